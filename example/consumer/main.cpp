// A program of an integrator's own, built against the installed TovZelt: it prints the
// library's version, writes one parameter of a module of its own, reads it back and removes
// the module again.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tovzelt.h"

namespace tz = Tovana::TovZelt;

int main() {
    std::printf("libtovzelt %s\n", tz::get_library_version().c_str());

    const std::string module = "consumer_" + std::to_string(getpid());
    if (tz::update_param(module.c_str(), "log_level", "info") != 0) {
        std::fprintf(stderr, "update_param(%s, log_level, info) failed\n", module.c_str());
        return 1;
    }
    const std::string value = tz::get_param(module.c_str(), "log_level");
    tz::module_clear(module.c_str());

    std::printf("%s: log_level = %s\n", module.c_str(), value.c_str());
    return value == "info" ? 0 : 1;
}
