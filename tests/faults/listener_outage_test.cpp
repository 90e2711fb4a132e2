// A listener whose server disappears for 10 seconds. The port is held meanwhile, so that
// neither the listener's own restarts nor anyone else can bring a server up: every connect
// meets a peer that closes at once. Once the port is free again the listener restarts the
// server, subscribes again and hands on events, and the process holds exactly the descriptors
// and connections it held before.
//
// Then callbacks registered with odd input: a null module, names made of format and glob
// characters, an empty callback next to a real one.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fault_helpers.h"
#include "store_probe.h"
#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tovzelt_test::RawRedis;

namespace {

constexpr auto kOutage = 10s;

// The keys a callback has been handed, in order.
class Keys {
public:
    tz::ChangeCallback callback() {
        return [this](const std::string&, const std::string& key, const std::string&) {
            std::lock_guard<std::mutex> lock(mutex_);
            keys_.push_back(key);
            arrived_.notify_all();
        };
    }

    size_t count_of(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& k : keys_) n += k == key ? 1 : 0;
        return n;
    }

    // Writes a field of `key` every 300 ms until one more event of `key` has arrived.
    bool write_until_seen(const std::string& key, std::chrono::milliseconds timeout) {
        const size_t before = count_of(key);
        const auto deadline = Clock::now() + timeout;
        int round = 0;
        while (Clock::now() < deadline) {
            {
                RawRedis raw;  // a fresh connection: the server may have been restarted
                raw.integer({"HSET", key, "probe", std::to_string(++round)});
            }
            std::unique_lock<std::mutex> lock(mutex_);
            if (arrived_.wait_for(lock, 300ms, [&] { return count_locked(key) > before; })) {
                return true;
            }
        }
        return count_of(key) > before;
    }

private:
    size_t count_locked(const std::string& key) const {
        size_t n = 0;
        for (const auto& k : keys_) n += k == key ? 1 : 0;
        return n;
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> keys_;
};

// Lives for the whole program: the listeners keep calling into it until the process ends.
Keys& keys() {
    static Keys* const keys = new Keys();
    return *keys;
}

class ListenerOutageTest : public ::testing::Test {
protected:
    void SetUp() override { tovzelt_test::ensure_server_running(); }
    void TearDown() override { tovzelt_test::ensure_server_running(); }
};

TEST_F(ListenerOutageTest, ListenerComesBackAfterTenSecondsWithoutServerAndLeaksNothing) {
    const std::string module = tovzelt_test::unique_name("faultlisten");
    tz::zelt_callback(module.c_str(), keys().callback());
    // From its first event on, the listener holds its connections and waits on them.
    ASSERT_TRUE(keys().write_until_seen(module, 30s)) << "the listener never started";
    const size_t fds_before = fault_test::open_fds();
    const size_t sockets_before = tovzelt_test::open_tcp_sockets();
    const fault_test::ServerView seen_before = fault_test::server_view_of_this_process();
    ASSERT_EQ(seen_before.subscribed, 1u);

    {
        const long long killed = fault_test::kill_server(SIGTERM, 10s);
        ASSERT_GT(killed, 0) << "no server to stop, or it did not end";
        fault_test::PortHolder port(3s);
        ASSERT_TRUE(port.holding()) << "a server came back before the port could be held";
        const auto outage_end = Clock::now() + kOutage;
        // The listener finds the server gone and keeps trying: its restarts and reconnects
        // reach the held port and fail.
        EXPECT_TRUE(tovzelt_test::wait_until([&] { return port.accepted() > 0; }, kOutage))
            << "nothing tried to reach the server while it was away";
        std::this_thread::sleep_until(outage_end);
        port.release();
        std::printf("outage of %lld s: %zu connects met the held port\n",
                    static_cast<long long>(kOutage.count()), port.accepted());
    }

    // The listener's next restart brings the server back (or this one does, whichever first).
    const auto back = Clock::now();
    tovzelt_test::ensure_server_running();
    EXPECT_TRUE(keys().write_until_seen(module, 30s))
        << "the listener receives no event after the server came back";
    std::printf(
        "first event %lld ms after the port was free\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back).count()));

    // The listener handed the event on after its restart and resubscription: whatever it
    // opened on the way is closed again by now (a short grace for a close in flight).
    EXPECT_TRUE(tovzelt_test::wait_until(
        [&] {
            return fault_test::open_fds() == fds_before &&
                   tovzelt_test::open_tcp_sockets() == sockets_before;
        },
        3s))
        << "descriptors leaked across the outage: " << fds_before << " -> "
        << fault_test::open_fds() << ", TCP sockets " << sockets_before << " -> "
        << tovzelt_test::open_tcp_sockets();
    const fault_test::ServerView seen_after = fault_test::server_view_of_this_process();
    EXPECT_EQ(seen_after.subscribed, 1u) << "the listener should hold exactly one subscription";
    EXPECT_LE(seen_after.connections, seen_before.connections);
    std::printf(
        "descriptors %zu -> %zu, TCP sockets %zu -> %zu, connections the server sees %zu "
        "-> %zu\n",
        fds_before, fault_test::open_fds(), sockets_before, tovzelt_test::open_tcp_sockets(),
        seen_before.connections, seen_after.connections);
    RawRedis raw;
    raw.integer({"DEL", module});
}

TEST_F(ListenerOutageTest, CallbacksWithOddInputAreRefusedOrServedLiterally) {
    // A null module starts nothing.
    const size_t sockets_before = tovzelt_test::open_tcp_sockets();
    tz::zelt_callback(nullptr, keys().callback());
    // A listener started by mistake would have opened its connection within this time.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(tovzelt_test::open_tcp_sockets(), sockets_before);

    // A module named with format and glob characters, whose first callback is empty: the
    // listener runs, skips the empty callback and hands the keys of its events on whole. Its
    // events are recorded apart, so that only this listener can deliver them.
    static Keys* const odd_keys = new Keys();
    const std::string odd = tovzelt_test::unique_name("%s%n%d*?[x") + " \x01\xff";
    tz::zelt_callback(odd.c_str(), tz::ChangeCallback());
    tz::zelt_callback(odd.c_str(), odd_keys->callback());
    EXPECT_TRUE(odd_keys->write_until_seen(odd, 30s)) << "no event for a key with odd characters";
    RawRedis raw;
    raw.integer({"DEL", odd});
}

}  // namespace
