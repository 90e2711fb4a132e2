// The server killed with SIGKILL while 8 threads write through update_param, then started
// again by its startup script. The store keeps every write in its append-only file before it
// answers, so a write that returned 0 survives the kill; writes that met the dead server fail
// within a bounded time, and the same process is served again once the server is back.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fault_helpers.h"
#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWriters = 8;
// Longest a single update_param may take while the server is gone: the blocking borrow gives
// up 3 s after its first failed connect, and a connection that met the dead server fails at
// once (the peer is gone, nothing waits for the 1 s command timeout). Twice that is the bound.
constexpr auto kLongestCall = 6s;
constexpr int kWritesBeforeKill = 20;
constexpr int kWritesAfterRestart = 20;
// Bound of the whole scenario: past it, the writers are told to stop whatever happened.
constexpr auto kScenarioBound = 60s;

struct Writer {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> acknowledged;  // field, value
    int failed = 0;
    int acknowledged_after_restart = 0;
    Clock::duration longest{};
};

class ServerKillTest : public ::testing::Test {
protected:
    void SetUp() override { tovzelt_test::ensure_server_running(); }
    void TearDown() override { tovzelt_test::ensure_server_running(); }
};

TEST_F(ServerKillTest, AcknowledgedWritesSurviveASigkillAndTheProcessIsServedAgain) {
    const std::string module = tovzelt_test::unique_name("faultkill");
    // A process already in service: facade and pool are built before the kill.
    ASSERT_EQ(tz::update_param(module.c_str(), "warm", "1"), 0);

    std::atomic<bool> stop{false};
    std::atomic<bool> restarted{false};
    std::atomic<int> finished{0};
    std::vector<Writer> writers(kWriters);
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t) {
        threads.emplace_back([&, t] {
            Writer& writer = writers[t];
            for (int i = 0; !stop.load(); ++i) {
                const std::string field = "w" + std::to_string(t) + "_" + std::to_string(i);
                const std::string value = "v" + std::to_string(i);
                const bool after_restart = restarted.load();
                const auto start = Clock::now();
                const int8_t result =
                    tz::update_param(module.c_str(), field.c_str(), value.c_str());
                const auto took = Clock::now() - start;
                std::lock_guard<std::mutex> lock(writer.mutex);
                writer.longest = std::max(writer.longest, took);
                if (result == 0) {
                    writer.acknowledged.emplace_back(field, value);
                    if (after_restart) ++writer.acknowledged_after_restart;
                } else {
                    ++writer.failed;
                }
            }
            ++finished;
        });
    }
    const auto every_writer = [&](auto&& condition) {
        return std::all_of(writers.begin(), writers.end(), [&](Writer& writer) {
            std::lock_guard<std::mutex> lock(writer.mutex);
            return condition(writer);
        });
    };

    const auto scenario_end = Clock::now() + kScenarioBound;
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(scenario_end - Clock::now());
    };
    EXPECT_TRUE(tovzelt_test::wait_until(
        [&] {
            return every_writer([](Writer& w) {
                return static_cast<int>(w.acknowledged.size()) >= kWritesBeforeKill;
            });
        },
        left()))
        << "the writers did not get going";

    const long long killed = fault_test::kill_server(SIGKILL, 5s);
    ASSERT_GT(killed, 0) << "no server to kill, or it did not end";
    // The writers meet the dead server for a while (nothing else restarts it: this test runs
    // alone), each of them within the bound of one call.
    tovzelt_test::wait_until([&] { return every_writer([](Writer& w) { return w.failed > 0; }); },
                             kLongestCall);
    EXPECT_FALSE(every_writer([](Writer& w) { return w.failed == 0; }))
        << "no write failed while the server was gone";

    tovzelt_test::ensure_server_running();
    const long long restarted_pid = fault_test::server_pid();
    EXPECT_NE(restarted_pid, killed) << "the server answering is the one that was killed";
    restarted.store(true);

    EXPECT_TRUE(tovzelt_test::wait_until(
        [&] {
            return every_writer(
                [](Writer& w) { return w.acknowledged_after_restart >= kWritesAfterRestart; });
        },
        left()))
        << "the process was not served again after the restart";
    stop.store(true);

    // A writer stuck in a call would never finish: bounded wait before joining.
    if (!tovzelt_test::wait_until([&] { return finished.load() == kWriters; }, 15s)) {
        ADD_FAILURE() << "a writer is blocked in update_param";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    for (auto& thread : threads) thread.join();

    tovzelt_test::RawRedis raw;
    const std::vector<std::string> stored = raw.strings({"HGETALL", module});
    std::map<std::string, std::string> in_store;
    for (size_t i = 0; i + 1 < stored.size(); i += 2) in_store[stored[i]] = stored[i + 1];
    size_t acknowledged = 0;
    for (int t = 0; t < kWriters; ++t) {
        Writer& writer = writers[t];
        EXPECT_LE(writer.longest, kLongestCall)
            << "writer " << t << " waited "
            << std::chrono::duration_cast<std::chrono::milliseconds>(writer.longest).count()
            << " ms in one call";
        for (const auto& [field, value] : writer.acknowledged) {
            ++acknowledged;
            const auto found = in_store.find(field);
            EXPECT_TRUE(found != in_store.end() && found->second == value)
                << field << " returned 0 but is not in the store after the restart";
        }
    }
    EXPECT_GE(acknowledged,
              static_cast<size_t>(kWriters * (kWritesBeforeKill + kWritesAfterRestart)));
    int failed = 0;
    Clock::duration longest{};
    for (Writer& writer : writers) {
        failed += writer.failed;
        longest = std::max(longest, writer.longest);
    }
    std::printf(
        "%zu writes acknowledged and found after the restart, %d failed meanwhile, "
        "longest call %lld ms\n",
        acknowledged, failed,
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));

    // Reads go through the same pool once more.
    EXPECT_EQ(tz::get_param(module.c_str(), "warm"), "1");
    raw.integer({"DEL", module});
}

}  // namespace
