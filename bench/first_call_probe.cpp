// A process that uses libtovzelt, started by bench_startup.
//
//   first_call_probe exit            ends at once: the cost of loading the library (its
//                                    load-time start) and of the end of the process
//   first_call_probe first <module>  times the first call of the process (a get_param of field
//                                    "k") in its three parts: the facade (startup script, pause,
//                                    its own connection), the pool (200 connections) and the
//                                    command itself; then a second call. Prints "facade pool
//                                    command second" in ns.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "tovzelt.h"

namespace tz = Tovana::TovZelt;

namespace {
long long ns_between(std::chrono::steady_clock::time_point from,
                     std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "exit") == 0) return 0;
    if (argc != 3 || std::strcmp(argv[1], "first") != 0) {
        std::fprintf(stderr, "usage: %s exit | first <module>\n", argv[0]);
        return 2;
    }
    const char* module = argv[2];
    using Clock = std::chrono::steady_clock;
    // The order in which the first call of a process builds things.
    const auto start = Clock::now();
    tz::TovZELT& facade = tz::TovZELT::getInstance();
    const auto facade_built = Clock::now();
    if (!facade.ensure_zelt_ready("first_call_probe")) return 1;
    tz::RedisConnectionPool::getInstance();
    const auto pool_built = Clock::now();
    if (tz::get_param(module, "k") != "v") return 1;
    const auto first_done = Clock::now();
    if (tz::get_param(module, "k") != "v") return 1;
    const auto second_done = Clock::now();
    std::printf("%lld %lld %lld %lld\n", ns_between(start, facade_built),
                ns_between(facade_built, pool_built), ns_between(pool_built, first_done),
                ns_between(first_done, second_done));
    return 0;
}
