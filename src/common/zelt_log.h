// Log calls of libtovzelt. Lines name their source as the library's two source units:
// "src/tovzelt" (exported functions) and "src/wrap_zelt_core" (classes).
#ifndef TOVZELT_ZELT_LOG_H
#define TOVZELT_ZELT_LOG_H

#include "tovclog.h"

namespace Tovana::TovZelt {
inline constexpr const char* kLogTag = "Tovzelt";
inline constexpr const char* kApiSource = "src/tovzelt";
inline constexpr const char* kCoreSource = "src/wrap_zelt_core";
}  // namespace Tovana::TovZelt

// Tagged lines.
#define API_LOG(level, ...)                                                                \
    clog_log(::Tovana::TovZelt::kLogTag, (level), ::Tovana::TovZelt::kApiSource, __LINE__, \
             __VA_ARGS__)
#define CORE_LOG(level, ...)                                                                \
    clog_log(::Tovana::TovZelt::kLogTag, (level), ::Tovana::TovZelt::kCoreSource, __LINE__, \
             __VA_ARGS__)
// Untagged lines (caught exceptions, free-form command details, the tool's cleanup).
#define API_PRINTF(level, ...) \
    clog_printf((level), ::Tovana::TovZelt::kApiSource, __LINE__, __VA_ARGS__)
#define CORE_PRINTF(level, ...) \
    clog_printf((level), ::Tovana::TovZelt::kCoreSource, __LINE__, __VA_ARGS__)

#endif  // TOVZELT_ZELT_LOG_H
