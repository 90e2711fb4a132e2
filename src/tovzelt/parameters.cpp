// Exported parameter and set functions: each hands its arguments to the facade.
#include "tovzelt.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

int8_t init_param(const char* module, const char* key, const char* value) {
    return TovZELT::getInstance().init_parameter(module, key, value);
}

int8_t add_param(const char* module, const char* key, const char* value) {
    return TovZELT::getInstance().add_parameter(module, key, value);
}

int8_t update_param(const char* module, const char* key, const char* value) {
    return TovZELT::getInstance().update_parameter(module, key, value);
}

int8_t update_param_bin(const char* module, const char* key, const void* value, int32_t length) {
    TovZELT& facade = TovZELT::getInstance();
    if (length < 0) {
        // Widened, a negative length would become an enormous byte count.
        API_LOG(LOG_LEVEL_WARN, "Value length %d is negative. Exiting function.", length);
        return -1;
    }
    return facade.update_parameter_bin(module, key, value, static_cast<uint64_t>(length));
}

int8_t delete_param(const char* module, const char* key) {
    return TovZELT::getInstance().delete_parameter(module, key);
}

int8_t module_clear(const char* module) { return TovZELT::getInstance().mod_clear(module); }

std::string get_param(const char* module, const char* key) {
    return TovZELT::getInstance().get_value(module, key);
}

std::string get_param_bin(const char* module, const char* key) {
    return TovZELT::getInstance().get_value_bin(module, key);
}

std::vector<std::string> get_modules(const char* name) {
    return TovZELT::getInstance().get_modules(name);
}

int8_t add_sets_value(const char* key, const char* member) {
    return TovZELT::getInstance().add_sets_v(key, member);
}

std::vector<std::string> get_sets_l(const char* key) {
    return TovZELT::getInstance().get_sets_v(key);
}

}  // namespace Tovana::TovZelt
