// Cost of one call, on one thread, and throughput of update_param on many threads: every
// library figure next to the same Redis commands sent on plain hiredis.
//
// Single thread: the raw side uses one persistent connection. Each pooled library command adds
// a PING when it takes its connection and one when it gives it back: "floor/<what>" sends
// exactly the library's round trips (PING, command, PING for each command) on the raw
// connection, the least the design allows.
// Many threads: the raw side opens one connection per thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "bench_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using tovzelt_bench::RawConnection;
using tovzelt_bench::Reply;

namespace {

constexpr const char* kField = "f3";
constexpr const char* kBinField = "bin4k";
constexpr size_t kBinBytes = 4096;

// The acknowledgement the library sends for an add or update (the same script text).
constexpr const char* kAckScript =
    "redis.call('HSET', KEYS[1], ARGV[1], ARGV[2]) "
    "if redis.call('HGET', KEYS[2], ARGV[1]) == ARGV[2] then "
    "redis.call('HSET', KEYS[2], ARGV[1], ARGV[2]) return 1 end "
    "return 0";

std::string bin_value() {
    std::string bytes(kBinBytes, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7) & 0xff);
    return bytes;
}

RawConnection& raw() {
    static RawConnection* connection = new RawConnection();
    return *connection;
}

// One module per field count, filled on first use (module and backup hash agree).
std::mutex modules_mutex;
std::map<int, std::string> modules;

const std::string& module_with(int fields) {
    std::lock_guard<std::mutex> lock(modules_mutex);
    auto found = modules.find(fields);
    if (found != modules.end()) return found->second;
    const std::string module = tovzelt_bench::bench_module("tzbench" + std::to_string(fields));
    tovzelt_bench::fill_module(raw(), module, fields);
    const std::string bytes = bin_value();
    for (const std::string& hash : {module, module + "_zeltbackup"}) {
        raw().command({"HSET", hash, kBinField, bytes});
    }
    return modules.emplace(fields, module).first->second;
}

std::string backup_of(const std::string& module) { return module + "_zeltbackup"; }

// A value no earlier run has written: Google Benchmark runs each function several times.
std::string fresh_value() {
    static std::atomic<long long> round{0};
    return "p" + std::to_string(++round);
}
std::string base_of(const std::string& module) { return module.substr(0, module.rfind('_')); }

const char* const kPing[] = {"PING"};
const size_t kPingLength[] = {4};

// One command of a raw benchmark; with kFloor, between two PINGs as the pool sends it.
template <bool kFloor>
Reply send(RawConnection& connection, int argc, const char** argv, const size_t* lengths) {
    if (kFloor) connection.command(1, const_cast<const char**>(kPing), kPingLength);
    Reply reply = connection.command(argc, argv, lengths);
    if (kFloor) connection.command(1, const_cast<const char**>(kPing), kPingLength);
    return reply;
}

bool is_integer(const Reply& reply) {
    return reply != nullptr && reply->type == REDIS_REPLY_INTEGER;
}

// ---- one thread --------------------------------------------------------------------------

void raw_ping(benchmark::State& state) {
    const char* argv[] = {"PING"};
    const size_t lengths[] = {4};
    for (auto _ : state) {
        Reply reply = raw().command(1, argv, lengths);
        if (reply == nullptr || reply->type != REDIS_REPLY_STATUS) {
            state.SkipWithError("PING failed");
            break;
        }
    }
}

void lib_update_param(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (tz::update_param(module.c_str(), kField, "v") != 0) {
            state.SkipWithError("update_param failed");
            break;
        }
    }
}

template <bool kFloor>
void raw_update_param(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    const char* argv[] = {"HSET", module.c_str(), kField, "v"};
    const size_t lengths[] = {4, module.size(), std::strlen(kField), 1};
    for (auto _ : state) {
        if (!is_integer(send<kFloor>(raw(), 4, argv, lengths))) {
            state.SkipWithError("HSET failed");
            break;
        }
    }
}

void lib_get_param(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::string value = tz::get_param(module.c_str(), kField);
        if (value != "v") {
            state.SkipWithError("get_param gave another value");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
}

template <bool kFloor>
void raw_get_param(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    const char* argv[] = {"HGET", module.c_str(), kField};
    const size_t lengths[] = {4, module.size(), std::strlen(kField)};
    for (auto _ : state) {
        Reply reply = send<kFloor>(raw(), 3, argv, lengths);
        if (reply == nullptr || reply->type != REDIS_REPLY_STRING) {
            state.SkipWithError("HGET failed");
            break;
        }
        // The library hands the value back as a string: so does the baseline.
        std::string value(reply->str, reply->len);
        benchmark::DoNotOptimize(value);
    }
}

void lib_init_param(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (tz::init_param(module.c_str(), kField, "v") != 0) {
            state.SkipWithError("init_param failed");
            break;
        }
    }
}

template <bool kFloor>
void raw_init_param(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    const std::string backup = backup_of(module);
    const std::string base = base_of(module);
    const char* sadd[] = {"SADD", "module_sets", base.c_str()};
    const size_t sadd_lengths[] = {4, 11, base.size()};
    const char* hset_backup[] = {"HSET", backup.c_str(), kField, "v"};
    const size_t backup_lengths[] = {4, backup.size(), std::strlen(kField), 1};
    const char* hset_module[] = {"HSET", module.c_str(), kField, "v"};
    const size_t module_lengths[] = {4, module.size(), std::strlen(kField), 1};
    for (auto _ : state) {
        const bool ok = is_integer(send<kFloor>(raw(), 3, sadd, sadd_lengths)) &&
                        is_integer(send<kFloor>(raw(), 4, hset_backup, backup_lengths)) &&
                        is_integer(send<kFloor>(raw(), 4, hset_module, module_lengths));
        if (!ok) {
            state.SkipWithError("SADD/HSET failed");
            break;
        }
    }
}

void lib_get_param_bin_4KiB(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::string value = tz::get_param_bin(module.c_str(), kBinField);
        if (value.size() != kBinBytes) {
            state.SkipWithError("get_param_bin gave another value");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBinBytes));
}

template <bool kFloor>
void raw_get_param_bin_4KiB(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    const char* argv[] = {"HGET", module.c_str(), kBinField};
    const size_t lengths[] = {4, module.size(), std::strlen(kBinField)};
    for (auto _ : state) {
        Reply reply = send<kFloor>(raw(), 3, argv, lengths);
        if (reply == nullptr || reply->type != REDIS_REPLY_STRING || reply->len != kBinBytes) {
            state.SkipWithError("HGET failed");
            break;
        }
        std::string value(reply->str, reply->len);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBinBytes));
}

void lib_get_change_notes_none(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    std::string key;
    std::string value;
    for (auto _ : state) {
        if (tz::get_change_notes(module.c_str(), key, value) != 0) {
            state.SkipWithError("get_change_notes found a change");
            break;
        }
    }
}

template <bool kFloor>
void raw_get_change_notes_none(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    const std::string backup = backup_of(module);
    const char* hgetall_module[] = {"HGETALL", module.c_str()};
    const size_t module_lengths[] = {7, module.size()};
    const char* hgetall_backup[] = {"HGETALL", backup.c_str()};
    const size_t backup_lengths[] = {7, backup.size()};
    for (auto _ : state) {
        Reply current = send<kFloor>(raw(), 2, hgetall_module, module_lengths);
        Reply accepted = send<kFloor>(raw(), 2, hgetall_backup, backup_lengths);
        if (current == nullptr || accepted == nullptr || current->type != REDIS_REPLY_ARRAY ||
            accepted->elements != current->elements) {
            state.SkipWithError("HGETALL failed");
            break;
        }
    }
}

// One pending change per iteration: another party's write (not timed), then the call that
// reports and acknowledges it.
void lib_get_change_notes_pending(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    std::string key;
    std::string value;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string changed = fresh_value();
        raw().command({"HSET", module, kField, changed});
        state.ResumeTiming();
        if (tz::get_change_notes(module.c_str(), key, value) != 1 || value != changed) {
            state.SkipWithError("get_change_notes did not report the update");
            break;
        }
    }
}

template <bool kFloor>
void raw_get_change_notes_pending(benchmark::State& state) {
    const std::string& module = module_with(static_cast<int>(state.range(0)));
    const std::string backup = backup_of(module);
    const char* hgetall_module[] = {"HGETALL", module.c_str()};
    const size_t module_lengths[] = {7, module.size()};
    const char* hgetall_backup[] = {"HGETALL", backup.c_str()};
    const size_t backup_lengths[] = {7, backup.size()};
    for (auto _ : state) {
        state.PauseTiming();
        const std::string changed = fresh_value();
        raw().command({"HSET", module, kField, changed});
        state.ResumeTiming();
        Reply current = send<kFloor>(raw(), 2, hgetall_module, module_lengths);
        Reply accepted = send<kFloor>(raw(), 2, hgetall_backup, backup_lengths);
        const char* eval[] = {"EVAL", kAckScript,     "2", backup.c_str(), module.c_str(),
                              kField, changed.c_str()};
        const size_t eval_lengths[] = {4,
                                       std::strlen(kAckScript),
                                       1,
                                       backup.size(),
                                       module.size(),
                                       std::strlen(kField),
                                       changed.size()};
        Reply ack = send<kFloor>(raw(), 7, eval, eval_lengths);
        if (current == nullptr || accepted == nullptr || !is_integer(ack)) {
            state.SkipWithError("HGETALL/EVAL failed");
            break;
        }
    }
}

// ---- many threads ------------------------------------------------------------------------

// The threads write a module of their own: their fields are pending changes, which the
// change-notes benchmarks of the next round must not find.
const std::string& throughput_module() {
    static const std::string module = [] {
        const std::string name = tovzelt_bench::bench_module("tzbenchthreads");
        tovzelt_bench::fill_module(raw(), name, 10);
        std::lock_guard<std::mutex> lock(modules_mutex);
        modules.emplace(-1, name);  // removed at the end with the others
        return name;
    }();
    return module;
}

void lib_update_param_throughput(benchmark::State& state) {
    const std::string& module = throughput_module();
    const std::string field = "t" + std::to_string(state.thread_index());
    for (auto _ : state) {
        if (tz::update_param(module.c_str(), field.c_str(), "v") != 0) {
            state.SkipWithError("update_param failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

template <bool kFloor>
void raw_update_param_throughput(benchmark::State& state) {
    const std::string& module = throughput_module();
    const std::string field = "t" + std::to_string(state.thread_index());
    RawConnection own;  // one connection per thread
    const char* argv[] = {"HSET", module.c_str(), field.c_str(), "v"};
    const size_t lengths[] = {4, module.size(), field.size(), 1};
    for (auto _ : state) {
        if (!is_integer(send<kFloor>(own, 4, argv, lengths))) {
            state.SkipWithError("HSET failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void per_call(benchmark::internal::Benchmark* b) {
    b->ArgName("fields")->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);
}

void many_threads(benchmark::internal::Benchmark* b) {
    b->Threads(1)->Threads(2)->Threads(8)->Threads(32)->Threads(300);
    b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

void register_all() {
    benchmark::RegisterBenchmark("raw/PING", raw_ping)->Unit(benchmark::kMicrosecond);

    struct Trio {
        const char* what;
        void (*lib)(benchmark::State&);
        void (*raw)(benchmark::State&);
        void (*floor)(benchmark::State&);
    };
    const Trio trios[] = {
        {"update_param", lib_update_param, raw_update_param<false>, raw_update_param<true>},
        {"get_param", lib_get_param, raw_get_param<false>, raw_get_param<true>},
        {"init_param", lib_init_param, raw_init_param<false>, raw_init_param<true>},
        {"get_param_bin_4KiB", lib_get_param_bin_4KiB, raw_get_param_bin_4KiB<false>,
         raw_get_param_bin_4KiB<true>},
        {"get_change_notes_none", lib_get_change_notes_none, raw_get_change_notes_none<false>,
         raw_get_change_notes_none<true>},
        {"get_change_notes_pending", lib_get_change_notes_pending,
         raw_get_change_notes_pending<false>, raw_get_change_notes_pending<true>},
    };
    for (const Trio& trio : trios) {
        const std::string what = trio.what;
        per_call(benchmark::RegisterBenchmark(("raw/" + what).c_str(), trio.raw));
        per_call(benchmark::RegisterBenchmark(("floor/" + what).c_str(), trio.floor));
        per_call(benchmark::RegisterBenchmark(("lib/" + what).c_str(), trio.lib));
    }
    many_threads(benchmark::RegisterBenchmark("raw/update_param_throughput",
                                              raw_update_param_throughput<false>));
    many_threads(benchmark::RegisterBenchmark("floor/update_param_throughput",
                                              raw_update_param_throughput<true>));
    many_threads(
        benchmark::RegisterBenchmark("lib/update_param_throughput", lib_update_param_throughput));
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    const int status = tovzelt_bench::run_benchmarks(argc, argv, "calls", [] {
        // The library's one-time costs (facade, pool of 200 connections) are paid here, before
        // anything is timed; bench_startup measures them.
        module_with(10);
        module_with(1000);
        throughput_module();
        tz::get_param(module_with(10).c_str(), kField);
    });
    std::lock_guard<std::mutex> lock(modules_mutex);
    for (const auto& [fields, module] : modules) tovzelt_bench::remove_module(raw(), module);
    return status;
}
