// The load-time start of the store and stop_zelt().
#include <cstdio>
#include <cstdlib>

#include "server_scripts.h"
#include "tovzelt.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

int32_t g_restart_flag = 0;

void stop_zelt() {
    g_restart_flag = 1;
    char command[kCommandBufferSize];
    std::snprintf(command, sizeof(command), "%s", kShutdownScript);
    API_LOG(LOG_LEVEL_NOTE, "stop_zelt: szCommand: %s", command);
    const int status = std::system(command);
    if (status != 0) {
        API_LOG(LOG_LEVEL_ERROR,
                "stop_zelt: service redis_shutdown command failed to be executed, value: %d",
                status);
    }
}

namespace {
// Runs when the library is loaded, before the program's main: the store must be up before
// anything asks for it.
__attribute__((constructor)) void before_main() { start_zelt(); }
}  // namespace

}  // namespace Tovana::TovZelt
