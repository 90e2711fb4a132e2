// A process that uses libtovzelt, started by bench_startup.
//
//   first_call_probe exit            ends at once: the cost of loading the library (its
//                                    load-time start) and of the end of the process
//   first_call_probe first <module>  times the first call of the process (a get_param of field
//                                    "k") in its three parts: the facade (startup script, pause,
//                                    its own connection), the pool (200 connections) and the
//                                    command itself; then a second call. Prints "facade pool
//                                    command second" in ns.
#include <cstdio>

#include "probe_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using tovzelt_probe::Clock;
using tovzelt_probe::ns_between;

namespace {
int time_first_calls(const char* module) {
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
}  // namespace

int main(int argc, char** argv) { return tovzelt_probe::run_probe(argc, argv, time_first_calls); }
