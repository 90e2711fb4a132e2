// Cost of one call, on one thread, and throughput of update_param on many threads: every
// library figure next to the same Redis commands sent on plain hiredis.
//
// Single thread: the raw side uses one persistent connection. Each pooled library command adds
// a PING when it takes its connection and one when it gives it back: "floor/<what>" sends
// exactly the library's round trips (PING, command, PING for each command) on the raw
// connection, the least the design allows.
// Many threads: the raw side opens one connection per thread.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cassert>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

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

// The words of one raw command, ready for redisCommandArgv without allocating. They point into
// the strings they were made from, which must outlive them.
class Words {
public:
    Words(std::initializer_list<std::string_view> words) {
        assert(words.size() <= kMost);
        for (std::string_view word : words) {
            argv_[argc_] = word.data();
            lengths_[argc_] = word.size();
            ++argc_;
        }
    }
    Words(const Words&) = delete;
    Words& operator=(const Words&) = delete;

    int argc() const { return static_cast<int>(argc_); }
    // hiredis takes the array as non-const; it does not write to it.
    const char** argv() const { return const_cast<const char**>(argv_.data()); }
    const size_t* lengths() const { return lengths_.data(); }

private:
    static constexpr size_t kMost = 7;  // EVAL of the acknowledgement
    std::array<const char*, kMost> argv_{};
    std::array<size_t, kMost> lengths_{};
    size_t argc_ = 0;
};

const Words kPing = {"PING"};

// One command of a raw benchmark; with kFloor, between two PINGs as the pool sends it.
template <bool kFloor>
Reply send(RawConnection& connection, const Words& words) {
    if (kFloor) connection.command(kPing.argc(), kPing.argv(), kPing.lengths());
    Reply reply = connection.command(words.argc(), words.argv(), words.lengths());
    if (kFloor) connection.command(kPing.argc(), kPing.argv(), kPing.lengths());
    return reply;
}

bool is_integer(const Reply& reply) {
    return reply != nullptr && reply->type == REDIS_REPLY_INTEGER;
}

// The timed loop of every benchmark here: `step` once per iteration, until it fails, which
// stops the benchmark with `error`.
template <typename Step>
void repeat(benchmark::State& state, const char* error, Step step) {
    for (auto _ : state) {
        if (!step()) {
            state.SkipWithError(error);
            break;
        }
    }
}

// The module of a single-thread benchmark: its argument is the field count.
const std::string& module_of(const benchmark::State& state) {
    return module_with(static_cast<int>(state.range(0)));
}

// ---- one thread --------------------------------------------------------------------------

void raw_ping(benchmark::State& state) {
    repeat(state, "PING failed", [] {
        Reply reply = raw().command(kPing.argc(), kPing.argv(), kPing.lengths());
        return reply != nullptr && reply->type == REDIS_REPLY_STATUS;
    });
}

void lib_update_param(benchmark::State& state) {
    const std::string& module = module_of(state);
    repeat(state, "update_param failed",
           [&] { return tz::update_param(module.c_str(), kField, "v") == 0; });
}

template <bool kFloor>
void raw_update_param(benchmark::State& state) {
    const Words hset = {"HSET", module_of(state), kField, "v"};
    repeat(state, "HSET failed", [&] { return is_integer(send<kFloor>(raw(), hset)); });
}

// One HGET whose value is copied into a string, as the library hands values back; false when
// the reply is no string, or not of `bytes` bytes when they are given.
template <bool kFloor>
bool hget_value(const Words& hget, std::optional<size_t> bytes = std::nullopt) {
    Reply reply = send<kFloor>(raw(), hget);
    if (reply == nullptr || reply->type != REDIS_REPLY_STRING) return false;
    if (bytes && reply->len != *bytes) return false;
    std::string value(reply->str, reply->len);
    benchmark::DoNotOptimize(value);
    return true;
}

void lib_get_param(benchmark::State& state) {
    const std::string& module = module_of(state);
    repeat(state, "get_param gave another value", [&] {
        std::string value = tz::get_param(module.c_str(), kField);
        benchmark::DoNotOptimize(value);
        return value == "v";
    });
}

template <bool kFloor>
void raw_get_param(benchmark::State& state) {
    const Words hget = {"HGET", module_of(state), kField};
    repeat(state, "HGET failed", [&] { return hget_value<kFloor>(hget); });
}

void lib_init_param(benchmark::State& state) {
    const std::string& module = module_of(state);
    repeat(state, "init_param failed",
           [&] { return tz::init_param(module.c_str(), kField, "v") == 0; });
}

template <bool kFloor>
void raw_init_param(benchmark::State& state) {
    const std::string& module = module_of(state);
    const std::string backup = backup_of(module);
    const std::string base = base_of(module);
    const Words sadd = {"SADD", "module_sets", base};
    const Words hset_backup = {"HSET", backup, kField, "v"};
    const Words hset_module = {"HSET", module, kField, "v"};
    repeat(state, "SADD/HSET failed", [&] {
        return is_integer(send<kFloor>(raw(), sadd)) &&
               is_integer(send<kFloor>(raw(), hset_backup)) &&
               is_integer(send<kFloor>(raw(), hset_module));
    });
}

void count_bin_bytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBinBytes));
}

void lib_get_param_bin_4KiB(benchmark::State& state) {
    const std::string& module = module_of(state);
    repeat(state, "get_param_bin gave another value", [&] {
        std::string value = tz::get_param_bin(module.c_str(), kBinField);
        benchmark::DoNotOptimize(value);
        return value.size() == kBinBytes;
    });
    count_bin_bytes(state);
}

template <bool kFloor>
void raw_get_param_bin_4KiB(benchmark::State& state) {
    const Words hget = {"HGET", module_of(state), kBinField};
    repeat(state, "HGET failed", [&] { return hget_value<kFloor>(hget, kBinBytes); });
    count_bin_bytes(state);
}

// Another party's write to the module's field, not timed; returns the value written.
std::string write_change_untimed(benchmark::State& state, const std::string& module) {
    state.PauseTiming();
    const std::string changed = fresh_value();
    raw().command({"HSET", module, kField, changed});
    state.ResumeTiming();
    return changed;
}

// The raw side of get_change_notes: both hashes of the module read whole, to be compared.
class ModuleHashes {
public:
    explicit ModuleHashes(const std::string& module)
        : module_(module), backup_(backup_of(module)) {}

    const std::string& module() const { return module_; }
    const std::string& backup() const { return backup_; }

    struct Contents {
        Reply current;
        Reply accepted;
    };
    template <bool kFloor>
    Contents read() const {
        return {send<kFloor>(raw(), hgetall_module_), send<kFloor>(raw(), hgetall_backup_)};
    }

private:
    const std::string& module_;
    const std::string backup_;
    const Words hgetall_module_{"HGETALL", module_};
    const Words hgetall_backup_{"HGETALL", backup_};
};

void lib_get_change_notes_none(benchmark::State& state) {
    const std::string& module = module_of(state);
    std::string key;
    std::string value;
    repeat(state, "get_change_notes found a change",
           [&] { return tz::get_change_notes(module.c_str(), key, value) == 0; });
}

template <bool kFloor>
void raw_get_change_notes_none(benchmark::State& state) {
    const ModuleHashes hashes(module_of(state));
    repeat(state, "HGETALL failed", [&] {
        const ModuleHashes::Contents contents = hashes.read<kFloor>();
        return contents.current != nullptr && contents.accepted != nullptr &&
               contents.current->type == REDIS_REPLY_ARRAY &&
               contents.accepted->elements == contents.current->elements;
    });
}

// One pending change per iteration: another party's write (not timed), then the call that
// reports and acknowledges it.
void lib_get_change_notes_pending(benchmark::State& state) {
    const std::string& module = module_of(state);
    std::string key;
    std::string value;
    repeat(state, "get_change_notes did not report the update", [&] {
        const std::string changed = write_change_untimed(state, module);
        return tz::get_change_notes(module.c_str(), key, value) == 1 && value == changed;
    });
}

template <bool kFloor>
void raw_get_change_notes_pending(benchmark::State& state) {
    const ModuleHashes hashes(module_of(state));
    repeat(state, "HGETALL/EVAL failed", [&] {
        const std::string changed = write_change_untimed(state, hashes.module());
        const ModuleHashes::Contents contents = hashes.read<kFloor>();
        const Words eval = {"EVAL",          kAckScript, "2",    hashes.backup(),
                            hashes.module(), kField,     changed};
        Reply ack = send<kFloor>(raw(), eval);
        return contents.current != nullptr && contents.accepted != nullptr && is_integer(ack);
    });
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

std::string field_of_thread(const benchmark::State& state) {
    return "t" + std::to_string(state.thread_index());
}

void lib_update_param_throughput(benchmark::State& state) {
    const std::string& module = throughput_module();
    const std::string field = field_of_thread(state);
    repeat(state, "update_param failed",
           [&] { return tz::update_param(module.c_str(), field.c_str(), "v") == 0; });
    state.SetItemsProcessed(state.iterations());
}

template <bool kFloor>
void raw_update_param_throughput(benchmark::State& state) {
    const std::string& module = throughput_module();
    const std::string field = field_of_thread(state);
    RawConnection own;  // one connection per thread
    const Words hset = {"HSET", module, field, "v"};
    repeat(state, "HSET failed", [&] { return is_integer(send<kFloor>(own, hset)); });
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
