// One-time costs, each measured on processes started for the purpose:
// - the first call of a process, a get_param (facade with its startup script and pause, pool
//   of 200 connections, the command), against a plain hiredis process's connect and HGET;
// - a process that loads the library and ends, against one that does not;
// - one zelt_tool query from start to exit, against redis-cli HGET;
// - the startup script when the store already runs, against redis-cli PING.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

using tovzelt_bench::run_process;

namespace {

constexpr int kProcessesPerRun = 6;
constexpr const char* kStartupScript = "/opt/tovana/hvx/tov-zelt/redis_startup.sh";
constexpr const char* kRedisCli = "/usr/bin/redis-cli";

std::string& module() {
    static std::string name;
    return name;
}

double seconds(std::chrono::nanoseconds ns) { return static_cast<double>(ns.count()) / 1e9; }

std::vector<long long> numbers_of(const std::string& text) {
    std::vector<long long> numbers;
    std::istringstream in(text);
    long long number;
    while (in >> number) numbers.push_back(number);
    return numbers;
}

// Runs a probe's "first <module>" and reads the figures it prints, in ns; none when it failed
// or printed another number of them.
std::vector<long long> first_call_parts(const char* probe, size_t count) {
    std::string out;
    const auto elapsed = run_process({probe, "first", module()}, &out);
    std::vector<long long> parts = numbers_of(out);
    if (elapsed.count() < 0 || parts.size() != count) parts.clear();
    return parts;
}

void lib_first_call(benchmark::State& state) {
    double facade_ms = 0;
    double pool_ms = 0;
    double command_us = 0;
    double second_us = 0;
    for (auto _ : state) {
        const std::vector<long long> parts = first_call_parts(FIRST_CALL_PROBE, 4);
        if (parts.empty()) {
            state.SkipWithError("first_call_probe failed");
            break;
        }
        state.SetIterationTime(static_cast<double>(parts[0] + parts[1] + parts[2]) / 1e9);
        facade_ms += parts[0] / 1e6;
        pool_ms += parts[1] / 1e6;
        command_us += parts[2] / 1e3;
        second_us += parts[3] / 1e3;
    }
    using benchmark::Counter;
    state.counters["facade_ms"] = Counter(facade_ms, Counter::kAvgIterations);
    state.counters["pool_ms"] = Counter(pool_ms, Counter::kAvgIterations);
    state.counters["command_us"] = Counter(command_us, Counter::kAvgIterations);
    state.counters["second_call_us"] = Counter(second_us, Counter::kAvgIterations);
}

void raw_first_call(benchmark::State& state) {
    double second_us = 0;
    for (auto _ : state) {
        const std::vector<long long> parts = first_call_parts(RAW_CALL_PROBE, 2);
        if (parts.empty()) {
            state.SkipWithError("raw_call_probe failed");
            break;
        }
        state.SetIterationTime(static_cast<double>(parts[0]) / 1e9);
        second_us += parts[1] / 1e3;
    }
    state.counters["second_call_us"] =
        benchmark::Counter(second_us, benchmark::Counter::kAvgIterations);
}

// Times whole processes from the spawn to their end.
void time_processes(benchmark::State& state, const std::vector<std::string>& argv) {
    for (auto _ : state) {
        const auto elapsed = run_process(argv);
        if (elapsed.count() < 0) {
            state.SkipWithError("the process failed");
            break;
        }
        state.SetIterationTime(seconds(elapsed));
    }
}

void lib_process_start_to_exit(benchmark::State& state) {
    time_processes(state, {FIRST_CALL_PROBE, "exit"});
}
void raw_process_start_to_exit(benchmark::State& state) {
    time_processes(state, {RAW_CALL_PROBE, "exit"});
}
void lib_tool_query(benchmark::State& state) {
    time_processes(state, {ZELT_TOOL, "query", module(), "k"});
}
void raw_tool_query(benchmark::State& state) {
    time_processes(state, {kRedisCli, "-p", "10240", "HGET", module(), "k"});
}
void lib_startup_script_server_up(benchmark::State& state) {
    time_processes(state, {kStartupScript});
}
void raw_startup_script_server_up(benchmark::State& state) {
    time_processes(state, {kRedisCli, "-p", "10240", "PING"});
}

void processes(benchmark::internal::Benchmark* b) {
    b->UseManualTime()->Iterations(kProcessesPerRun)->Unit(benchmark::kMillisecond);
}

void register_all() {
    const std::pair<const char*, void (*)(benchmark::State&)> all[] = {
        {"raw/first_call", raw_first_call},
        {"lib/first_call", lib_first_call},
        {"raw/process_start_to_exit", raw_process_start_to_exit},
        {"lib/process_start_to_exit", lib_process_start_to_exit},
        {"raw/tool_query", raw_tool_query},
        {"lib/tool_query", lib_tool_query},
        {"raw/startup_script_server_up", raw_startup_script_server_up},
        {"lib/startup_script_server_up", lib_startup_script_server_up},
    };
    for (const auto& [name, function] : all) {
        processes(benchmark::RegisterBenchmark(name, function));
    }
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    tovzelt_bench::RawConnection raw;
    const int status = tovzelt_bench::run_benchmarks(argc, argv, "startup", [&raw] {
        // A module the tool finds (its backup hash exists) and whose field it reads.
        module() = tovzelt_bench::bench_module("tzbenchstart");
        tovzelt_bench::fill_module(raw, module(), 1);
        raw.command({"HSET", module(), "k", "v"});
        raw.command({"HSET", module() + "_zeltbackup", "k", "v"});
    });
    if (!module().empty()) tovzelt_bench::remove_module(raw, module());
    std::printf(
        "(first_call: lib = facade + pool + first command, timed inside the process; raw = connect "
        "+ first command; tool_query raw = redis-cli HGET; startup_script raw = redis-cli PING)\n");
    return status;
}
