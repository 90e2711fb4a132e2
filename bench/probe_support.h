// What the two probes started by bench_startup share: their command line and their clock.
// Header-only, so that neither probe links anything beyond what it measures.
//
//   <probe> exit            ends at once
//   <probe> first <module>  times the first calls of the process on the module
#ifndef TOVZELT_BENCH_PROBE_SUPPORT_H
#define TOVZELT_BENCH_PROBE_SUPPORT_H

#include <chrono>
#include <cstdio>
#include <cstring>

namespace tovzelt_probe {

using Clock = std::chrono::steady_clock;

inline long long ns_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

// Reads the command line and runs `first` for "first <module>"; the exit status for main.
inline int run_probe(int argc, char** argv, int (*first)(const char* module)) {
    if (argc == 2 && std::strcmp(argv[1], "exit") == 0) return 0;
    if (argc != 3 || std::strcmp(argv[1], "first") != 0) {
        std::fprintf(stderr, "usage: %s exit | first <module>\n", argv[0]);
        return 2;
    }
    return first(argv[2]);
}

}  // namespace tovzelt_probe

#endif  // TOVZELT_BENCH_PROBE_SUPPORT_H
