// Delay from another party's write to the change callback: the first event after a quiet
// spell (the listener hands on at most one event per second, so the spell makes sure it is
// waiting on its connection). Baseline: a plain hiredis connection subscribed to the same
// pattern, read by a thread of its own.
//
// Both are timed from the moment the write is sent; with the store's "appendfsync always" the
// notification leaves the server after the write is on disk, as the write's own reply does
// (counters: write_us, the round trip of that write; after_reply_us, from its reply to the
// event).
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "bench_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using tovzelt_bench::RawConnection;
using tovzelt_bench::Reply;

namespace {

constexpr auto kQuietSpell = 1200ms;    // longer than the listener's pause after an event
constexpr auto kQuietSpellBound = 10s;  // a store that stays busy cannot give the figure
constexpr auto kEventTimeout = 5s;
constexpr const char* kPattern = "__keyspace@0__:*";
constexpr int kEventsPerRun = 5;

// Arrival times of the events of one key, as one receiver saw them.
class Arrivals {
public:
    explicit Arrivals(std::string key) : key_(std::move(key)) {}

    void seen(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        last_any_ = Clock::now();
        if (key == key_) {
            last_target_ = last_any_;
            ++count_;
            arrived_.notify_all();
        }
    }

    long long count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

    // Waits for the count to pass `after`; the arrival time, or nothing on time-out.
    bool wait_after(long long after, Clock::time_point& at) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, kEventTimeout, [&] { return count_ > after; })) return false;
        at = last_target_;
        return true;
    }

    // Waits until no event of any key arrived for `spell`; false when the store stayed busy
    // for kQuietSpellBound.
    bool wait_quiet(std::chrono::milliseconds spell) {
        const auto bound = Clock::now() + kQuietSpellBound;
        while (true) {
            Clock::time_point last;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                last = last_any_;
            }
            const auto now = Clock::now();
            if (now - last >= spell) return true;
            if (now >= bound) return false;
            std::this_thread::sleep_for(last + spell - now);
        }
    }

    const std::string& key() const { return key_; }

private:
    const std::string key_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    Clock::time_point last_any_{};
    Clock::time_point last_target_{};
    long long count_ = 0;
};

Arrivals* lib_arrivals = nullptr;
Arrivals* raw_arrivals = nullptr;

RawConnection& writer() {
    static RawConnection* connection = new RawConnection();
    return *connection;
}

// Sends one write to the watched key and waits for its event: the delay from the send, or a
// negative one. `write_us` gets the write's own round trip added, `after_reply_us` the time
// from the write's reply to the event (negative when the event came first).
std::chrono::nanoseconds one_event(Arrivals& arrivals, long long round, double& write_us,
                                   double& after_reply_us) {
    const long long before = arrivals.count();
    const auto sent = Clock::now();
    Reply reply = writer().command({"HSET", arrivals.key(), "f", std::to_string(round)});
    const auto replied = Clock::now();
    write_us += std::chrono::duration<double, std::micro>(replied - sent).count();
    Clock::time_point at;
    if (reply == nullptr || !arrivals.wait_after(before, at)) return std::chrono::nanoseconds(-1);
    after_reply_us += std::chrono::duration<double, std::micro>(at - replied).count();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at - sent);
}

// Both sides wait for the same quiet spell before each write, so that they measure under the
// same conditions (a store that has been idle for a moment).
void run_events(benchmark::State& state, Arrivals& arrivals) {
    long long round = 0;
    double write_us = 0;
    double after_reply_us = 0;
    for (auto _ : state) {
        if (!arrivals.wait_quiet(kQuietSpell)) {
            // Other clients keep writing: the listener works through their events one per
            // second, and ours would wait behind them.
            state.SkipWithError("the store never went quiet (other clients keep writing)");
            break;
        }
        const auto delay = one_event(arrivals, ++round, write_us, after_reply_us);
        if (delay.count() < 0) {
            state.SkipWithError("the event did not arrive");
            break;
        }
        state.SetIterationTime(static_cast<double>(delay.count()) / 1e9);
    }
    using benchmark::Counter;
    state.counters["write_us"] = Counter(write_us, Counter::kAvgIterations);
    state.counters["after_reply_us"] = Counter(after_reply_us, Counter::kAvgIterations);
}

void lib_first_event(benchmark::State& state) { run_events(state, *lib_arrivals); }
void raw_first_event(benchmark::State& state) { run_events(state, *raw_arrivals); }

// The baseline subscriber: one connection, read without pause.
class RawSubscriber {
public:
    explicit RawSubscriber(Arrivals& arrivals) : arrivals_(arrivals) {
        Reply reply = connection_.command({"PSUBSCRIBE", kPattern});
        if (reply == nullptr) return;
        thread_ = std::thread([this] { read_loop(); });
    }
    ~RawSubscriber() {
        if (connection_.ok()) shutdown(connection_.context()->fd, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
    }

private:
    void read_loop() {
        const std::string prefix = "__keyspace@0__:";
        while (true) {
            void* raw = nullptr;
            if (redisGetReply(connection_.context(), &raw) != REDIS_OK) return;
            Reply reply(static_cast<redisReply*>(raw));
            if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements != 4) {
                continue;
            }
            const redisReply* channel = reply->element[2];
            const std::string name(channel->str, channel->len);
            arrivals_.seen(name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size())
                                                                       : name);
        }
    }

    Arrivals& arrivals_;
    RawConnection connection_;
    std::thread thread_;
};

// Writes to the watched key until the listener hands on its event: from then on it is
// subscribed.
bool wait_until_listening(Arrivals& arrivals) {
    const auto bound = Clock::now() + 30s;
    long long round = 0;
    while (Clock::now() < bound) {
        const long long before = arrivals.count();
        writer().command({"HSET", arrivals.key(), "probe", std::to_string(++round)});
        Clock::time_point at;
        if (arrivals.wait_after(before, at)) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string lib_module = tovzelt_bench::bench_module("tzbenchlisten");
    const std::string raw_module = tovzelt_bench::bench_module("tzbenchlisten");
    Arrivals lib(lib_module);
    Arrivals raw(raw_module);
    lib_arrivals = &lib;
    raw_arrivals = &raw;
    for (const auto& [name, function] :
         {std::pair{"raw/first_event_after_quiet_spell", raw_first_event},
          std::pair{"lib/first_event_after_quiet_spell", lib_first_event}}) {
        benchmark::RegisterBenchmark(name, function)
            ->UseManualTime()
            ->Iterations(kEventsPerRun)
            ->Unit(benchmark::kMillisecond);
    }
    RawSubscriber* subscriber = nullptr;
    bool ready = true;
    const int status = tovzelt_bench::run_benchmarks(argc, argv, "listener", [&] {
        subscriber = new RawSubscriber(raw);
        tz::zelt_callback(lib_module.c_str(), [](const std::string&, const std::string& key,
                                                 const std::string&) { lib_arrivals->seen(key); });
        ready = wait_until_listening(lib) && wait_until_listening(raw);
        if (!ready) std::fprintf(stderr, "the listeners did not start within 30 s\n");
    });
    delete subscriber;
    writer().command({"DEL", lib_module, raw_module});
    return ready ? status : 1;
}
