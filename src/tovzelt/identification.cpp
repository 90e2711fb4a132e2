// Version and build identification of the library.
#include "tovzelt.h"

namespace Tovana::TovZelt {

std::string get_library_version() {
    return "Tovana_Tovzelt_V1.0.34_b135_branch_master_9228f5c_20260520";
}

const char* get_build_version() { return "V1.0.34"; }

const char* get_build_meta() { return "2026-05-20 13:42:58"; }

const char* get_build_id() { return "9228f5c"; }

}  // namespace Tovana::TovZelt
