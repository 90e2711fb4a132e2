// get_change_notes(): reports the next pending change of a module and acknowledges it.
#include "tovzelt.h"

namespace Tovana::TovZelt {

int8_t get_change_notes(const char* module, std::string& key, std::string& value) {
    TovZELT& facade = TovZELT::getInstance();
    const int8_t change = facade.get_change_info(module, key, value);
    if (change == 1 || change == 2 || change == 3) {
        // A failed acknowledgement leaves the difference in place: the next call reports it
        // again.
        facade.ack_parameter(change, module, key, value);
    }
    return change;
}

}  // namespace Tovana::TovZelt
