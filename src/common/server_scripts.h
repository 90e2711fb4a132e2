// The store's startup and shutdown scripts, run through system().
#ifndef TOVZELT_SERVER_SCRIPTS_H
#define TOVZELT_SERVER_SCRIPTS_H

namespace Tovana::TovZelt {

inline constexpr const char* kStartupScript = "/opt/tovana/hvx/tov-zelt/redis_startup.sh";
inline constexpr const char* kShutdownScript = "/opt/tovana/hvx/tov-zelt/redis_shutdown.sh";
inline constexpr const char* kRedisHost = "127.0.0.1";
inline constexpr int kRedisPort = 10240;
inline constexpr const char* kKeyspacePattern = "__keyspace@0__:*";

// Length of the fixed buffer the command text is built in.
inline constexpr int kCommandBufferSize = 1024;

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_SERVER_SCRIPTS_H
