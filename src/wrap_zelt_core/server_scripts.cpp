// start_zelt(): runs the store's startup script, then pauses.
#include "server_scripts.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tovzelt.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

void start_zelt() {
    char command[kCommandBufferSize];
    std::snprintf(command, sizeof(command), "%s", kStartupScript);
    CORE_LOG(LOG_LEVEL_NOTE, "TovZELT reconnect: szCommand: %s", command);
    const int status = std::system(command);
    if (status != 0) {
        CORE_LOG(LOG_LEVEL_ERROR,
                 "TovZELT deconstruction: service redis_startup command failed to be executed, "
                 "value: %d",
                 status);
    }
    usleep(100 * 1000);
}

}  // namespace Tovana::TovZelt
