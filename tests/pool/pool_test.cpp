// The connection pool against the real store. The pool is a process-wide singleton built on
// first use, so every scenario runs in a child process of its own with a fresh pool (this
// process never builds one). Connections are broken precisely by killing them on the server
// (CLIENT KILL ID), which touches no other client, and the store is made unreachable for one
// thread only by moving that thread off the network.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "store_probe.h"
#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using namespace std::chrono_literals;
using Pool = tz::RedisConnectionPool;
using Clock = std::chrono::steady_clock;
using tovzelt_test::client_id;
using tovzelt_test::in_child;
using tovzelt_test::kill_client;
using tovzelt_test::LogCapture;
using tovzelt_test::ms_since;
using tovzelt_test::OffTheNetwork;
using tovzelt_test::open_tcp_sockets;
using tovzelt_test::RawRedis;
using tovzelt_test::unique_name;

namespace {

std::vector<redisContext*> lend(Pool& pool, size_t count) {
    std::vector<redisContext*> lent;
    for (size_t i = 0; i < count; ++i) {
        redisContext* connection = pool.getConnection();
        EXPECT_NE(connection, nullptr) << "borrow " << i;
        if (connection != nullptr) lent.push_back(connection);
    }
    return lent;
}

void give_back(Pool& pool, std::vector<redisContext*>& lent) {
    for (redisContext* connection : lent) pool.returnConnection(connection);
    lent.clear();
}

bool answers_ping(redisContext* connection) {
    auto* reply = static_cast<redisReply*>(redisCommand(connection, "PING"));
    const bool ok = reply != nullptr && reply->type == REDIS_REPLY_STATUS &&
                    std::string(reply->str, reply->len) == "PONG";
    if (reply != nullptr) freeReplyObject(reply);
    return ok;
}

// Kills the first `count` idle connections on the server while they stay idle, in their
// places: every idle connection is lent, its id noted, and all are given back in the order
// they came (the idle queue is first in, first out). Returns the ids killed.
std::vector<long long> break_idle(Pool& pool, RawRedis& raw, size_t count) {
    std::vector<redisContext*> idle = lend(pool, pool.idleCount());
    std::vector<long long> ids;
    for (redisContext* connection : idle) ids.push_back(client_id(connection));
    give_back(pool, idle);
    ids.resize(std::min(count, ids.size()));
    for (long long id : ids) EXPECT_TRUE(kill_client(raw, id)) << id;
    return ids;
}

void expect_counts(const Pool& pool, size_t size, size_t idle, size_t in_use) {
    EXPECT_EQ(pool.size(), size);
    EXPECT_EQ(pool.idleCount(), idle);
    EXPECT_EQ(pool.inUse(), in_use);
}

// Threads meet here; the last one to arrive runs `last` before any of them goes on.
class Meeting {
public:
    explicit Meeting(int parties) : parties_(parties) {}
    void arrive(const std::function<void()>& last) {
        std::unique_lock<std::mutex> lock(mutex_);
        const int generation = generation_;
        if (++arrived_ == parties_) {
            last();
            arrived_ = 0;
            ++generation_;
            cv_.notify_all();
            return;
        }
        cv_.wait(lock, [&] { return generation_ != generation; });
    }

private:
    const int parties_;
    int arrived_ = 0;
    int generation_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
};

class PoolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { tovzelt_test::ensure_server_running(); }
};

TEST_F(PoolTest, FirstUseOpens200IdleConnectionsOfACapacityOf300) {
    in_child([] {
        EXPECT_EQ(open_tcp_sockets(), 0u) << "loading the library opens no connection";
        LogCapture log;
        Pool& pool = Pool::getInstance();
        EXPECT_EQ(&Pool::getInstance(), &pool);
        EXPECT_EQ(pool.capacity(), 300u);
        expect_counts(pool, 200, 200, 0);
        EXPECT_FALSE(pool.isFull());
        EXPECT_EQ(open_tcp_sockets(), 200u);
        EXPECT_TRUE(log.lines().empty());
    });
}

TEST_F(PoolTest, IdleConnectionsAreLentOldestFirstAndGivenBackAtTheEnd) {
    in_child([] {
        Pool& pool = Pool::getInstance();
        redisContext* first = pool.getConnection();
        ASSERT_NE(first, nullptr);
        EXPECT_TRUE(answers_ping(first));
        pool.returnConnection(first);
        pool.returnConnection(nullptr);
        expect_counts(pool, 200, 200, 0);

        std::vector<redisContext*> lent = lend(pool, 199);
        EXPECT_EQ(std::count(lent.begin(), lent.end(), first), 0);
        std::set<redisContext*> distinct(lent.begin(), lent.end());
        EXPECT_EQ(distinct.size(), 199u);
        redisContext* last = pool.getConnectionBlocking();
        EXPECT_EQ(last, first);
        lent.push_back(last);
        expect_counts(pool, 200, 0, 200);
        give_back(pool, lent);
        expect_counts(pool, 200, 200, 0);
    });
}

TEST_F(PoolTest, AtCapacityTimedBorrowGivesUpAfter500msAndBlockingBorrowWaitsForAGiveBack) {
    in_child([] {
        Pool& pool = Pool::getInstance();
        std::vector<redisContext*> lent = lend(pool, 200);
        expect_counts(pool, 200, 0, 200);
        EXPECT_FALSE(pool.isFull());

        // No idle connection left: each borrow opens one more, up to the capacity.
        lent.push_back(pool.getConnectionBlocking());
        ASSERT_NE(lent.back(), nullptr);
        EXPECT_EQ(pool.size(), 201u);
        std::vector<redisContext*> more = lend(pool, 99);
        lent.insert(lent.end(), more.begin(), more.end());
        expect_counts(pool, 300, 0, 300);
        EXPECT_TRUE(pool.isFull());
        EXPECT_EQ(open_tcp_sockets(), 300u);

        LogCapture log;
        auto start = Clock::now();
        EXPECT_EQ(pool.getConnection(), nullptr);
        const long long waited = ms_since(start);
        EXPECT_GE(waited, 490);
        EXPECT_LT(waited, 2000);
        EXPECT_EQ(pool.size(), 300u);
        EXPECT_EQ(open_tcp_sockets(), 300u);
        EXPECT_EQ(log.count_containing("redisConnectWithTimeout"), 0) << "no connect at capacity";

        // A connection given back during the wait goes to the waiter.
        redisContext* returned = lent.back();
        lent.pop_back();
        std::thread giver([&] {
            std::this_thread::sleep_for(150ms);
            pool.returnConnection(returned);
        });
        start = Clock::now();
        redisContext* got = pool.getConnection();
        EXPECT_LT(ms_since(start), 490);
        EXPECT_EQ(got, returned);
        giver.join();

        // The blocking borrow waits longer than the timed one, until a connection comes back.
        std::thread late_giver([&] {
            std::this_thread::sleep_for(800ms);
            pool.returnConnection(got);
        });
        start = Clock::now();
        redisContext* blocking = pool.getConnectionBlocking();
        EXPECT_GE(ms_since(start), 780);
        EXPECT_EQ(blocking, got);
        late_giver.join();
        lent.push_back(blocking);

        give_back(pool, lent);
        expect_counts(pool, 300, 300, 0);
        EXPECT_FALSE(pool.isFull());
    });
}

TEST_F(PoolTest, BrokenIdleConnectionIsFreedWhenTaken) {
    in_child([] {
        RawRedis raw;
        Pool& pool = Pool::getInstance();
        for (bool blocking : {false, true}) {
            SCOPED_TRACE(blocking ? "getConnectionBlocking" : "getConnection");
            pool.reset_idle(2);
            ASSERT_EQ(pool.size(), 2u);
            const std::vector<long long> killed = break_idle(pool, raw, 1);
            ASSERT_EQ(killed.size(), 1u);
            const size_t sockets = open_tcp_sockets();

            redisContext* got = blocking ? pool.getConnectionBlocking() : pool.getConnection();
            ASSERT_NE(got, nullptr);
            const long long id = client_id(got);
            EXPECT_GT(id, 0);
            EXPECT_NE(id, killed[0]);
            expect_counts(pool, 1, 0, 1);
            EXPECT_EQ(open_tcp_sockets(), sockets - 1);
            pool.returnConnection(got);
        }
    });
}

TEST_F(PoolTest, AfterEveryIdleConnectionBrokeTheNextBorrowFreesThemAndOpensOne) {
    in_child([] {
        RawRedis raw;
        Pool& pool = Pool::getInstance();
        const std::vector<long long> killed = break_idle(pool, raw, 200);
        ASSERT_EQ(killed.size(), 200u);
        EXPECT_EQ(pool.idleCount(), 200u);

        redisContext* got = pool.getConnectionBlocking();
        ASSERT_NE(got, nullptr);
        const long long id = client_id(got);
        EXPECT_GT(id, 0);
        EXPECT_EQ(std::count(killed.begin(), killed.end(), id), 0);
        expect_counts(pool, 1, 0, 1);
        EXPECT_EQ(open_tcp_sockets(), 2u) << "the new connection and the test's own";
        pool.returnConnection(got);
    });
}

TEST_F(PoolTest, BrokenLentConnectionIsFreedOnGiveBackAndWakesAWaiter) {
    in_child([] {
        RawRedis raw;
        Pool& pool = Pool::getInstance();
        redisContext* victim = pool.getConnection();
        ASSERT_NE(victim, nullptr);
        ASSERT_TRUE(kill_client(raw, client_id(victim)));
        size_t sockets = open_tcp_sockets();
        pool.returnConnection(victim);
        expect_counts(pool, 199, 199, 0);
        EXPECT_EQ(open_tcp_sockets(), sockets - 1);

        // At capacity, a waiter in the blocking borrow gets a new connection once a broken one
        // has been given back and freed.
        std::vector<redisContext*> lent = lend(pool, 300);
        ASSERT_EQ(pool.size(), 300u);
        victim = lent.back();
        lent.pop_back();
        const long long victim_id = client_id(victim);
        std::atomic<pid_t> waiter_tid{0};
        redisContext* got = nullptr;
        std::thread waiter([&] {
            waiter_tid = gettid();
            got = pool.getConnectionBlocking();
        });
        ASSERT_TRUE(tovzelt_test::wait_until([&] { return waiter_tid.load() != 0; }, 2s));
        ASSERT_TRUE(tovzelt_test::wait_thread_asleep(waiter_tid.load(), 2s));
        ASSERT_TRUE(kill_client(raw, victim_id));
        const auto start = Clock::now();
        pool.returnConnection(victim);
        waiter.join();
        EXPECT_LT(ms_since(start), 1000);
        ASSERT_NE(got, nullptr);
        const long long id = client_id(got);
        EXPECT_GT(id, 0);
        EXPECT_NE(id, victim_id);
        EXPECT_EQ(pool.size(), 300u);
        lent.push_back(got);
        give_back(pool, lent);
        expect_counts(pool, 300, 300, 0);
    });
}

TEST_F(PoolTest, ConnectionWhoseCommandRanPastTheOneSecondTimeoutIsFreedOnGiveBack) {
    in_child([] {
        Pool& pool = Pool::getInstance();
        redisContext* connection = pool.getConnection();
        ASSERT_NE(connection, nullptr);
        const std::string never = unique_name("never");
        const auto start = Clock::now();
        auto* reply =
            static_cast<redisReply*>(redisCommand(connection, "BLPOP %s 5", never.c_str()));
        const long long waited = ms_since(start);
        EXPECT_EQ(reply, nullptr);
        if (reply != nullptr) freeReplyObject(reply);
        EXPECT_GE(waited, 950);
        EXPECT_LT(waited, 3000);
        EXPECT_NE(connection->err, 0);
        pool.returnConnection(connection);
        expect_counts(pool, 199, 199, 0);
        EXPECT_EQ(open_tcp_sockets(), 199u);
    });
}

TEST_F(PoolTest, ResetIdleTrimsAndRefillsIdleConnectionsAndLeavesLentOnesAlone) {
    in_child([] {
        Pool& pool = Pool::getInstance();
        std::vector<redisContext*> lent = lend(pool, 3);
        pool.reset_idle(0);
        expect_counts(pool, 3, 0, 3);
        EXPECT_EQ(open_tcp_sockets(), 3u);
        pool.reset_idle(5);
        expect_counts(pool, 8, 5, 3);
        EXPECT_EQ(open_tcp_sockets(), 8u);
        pool.reset_idle(2);
        expect_counts(pool, 5, 2, 3);
        EXPECT_EQ(open_tcp_sockets(), 5u);
        for (redisContext* connection : lent) EXPECT_TRUE(answers_ping(connection));
        give_back(pool, lent);
        expect_counts(pool, 5, 5, 0);

        // At capacity nothing is opened.
        lent = lend(pool, 300);
        expect_counts(pool, 300, 0, 300);
        pool.reset_idle(5);
        expect_counts(pool, 300, 0, 300);
        EXPECT_EQ(open_tcp_sockets(), 300u);
        give_back(pool, lent);
        pool.reset_idle(0);
        expect_counts(pool, 0, 0, 0);
        EXPECT_EQ(open_tcp_sockets(), 0u);

        redisContext* connection = pool.getConnection();
        ASSERT_NE(connection, nullptr);
        expect_counts(pool, 1, 0, 1);
        pool.returnConnection(connection);
    });
}

TEST_F(PoolTest, ScrubFreesOnlyBrokenIdleConnectionsAndRefillsToTheTarget) {
    in_child([] {
        RawRedis raw;
        Pool& pool = Pool::getInstance();
        LogCapture log;
        EXPECT_EQ(pool.scrub_idle_and_refill(8), 0u);
        expect_counts(pool, 200, 200, 0);
        const std::string healthy =
            "scrub_idle: idle_before=200, bad=0, idle_after=200, in_use=0, size=200, cap=300";
        EXPECT_EQ(log.count(4, healthy), 1);
        const tovzelt_test::LogLine line = log.find(healthy);
        EXPECT_EQ(line.tag, "Tovzelt");
        EXPECT_EQ(line.file, "src/wrap_zelt_core");

        pool.reset_idle(4);
        redisContext* lent = pool.getConnection();
        ASSERT_NE(lent, nullptr);
        EXPECT_EQ(break_idle(pool, raw, 3).size(), 3u);
        log.clear();
        EXPECT_EQ(pool.scrub_idle_and_refill(8), 3u);
        expect_counts(pool, 9, 8, 1);
        EXPECT_EQ(open_tcp_sockets(), 10u) << "nine pooled and the test's own";
        EXPECT_TRUE(log.has(
            4, "scrub_idle: idle_before=3, bad=3, idle_after=8, in_use=1, size=9, cap=300"));

        // Without a target nothing is refilled.
        EXPECT_EQ(break_idle(pool, raw, 2).size(), 2u);
        EXPECT_EQ(pool.scrub_idle_and_refill(0), 2u);
        expect_counts(pool, 7, 6, 1);
        pool.returnConnection(lent);
    });
}

TEST_F(PoolTest, TickScrubsOnEvery500thCallAndNotAgainWithin3000ms) {
    in_child([] {
        RawRedis raw;
        Pool& pool = Pool::getInstance();
        pool.reset_idle(4);
        break_idle(pool, raw, 4);
        LogCapture log;
        auto scrubs = [&] { return log.count_containing("scrub_idle: "); };

        for (int i = 0; i < 250; ++i) pool.tick_maybe_scrub(0, 8, 3000);  // not counted
        for (int call = 1; call < 500; ++call) pool.tick_maybe_scrub(500, 8, 3000);
        EXPECT_EQ(scrubs(), 0);
        expect_counts(pool, 4, 4, 0);

        const int64_t before_first = tz::now_ms();
        pool.tick_maybe_scrub(500, 8, 3000);  // call 500
        const int64_t after_first = tz::now_ms();
        EXPECT_EQ(scrubs(), 1);
        EXPECT_TRUE(log.has(
            4, "scrub_idle: idle_before=4, bad=4, idle_after=8, in_use=0, size=8, cap=300"));
        expect_counts(pool, 8, 8, 0);

        // Call 1000 comes 2.5 s after that scrub: its turn is dropped.
        break_idle(pool, raw, 8);
        std::this_thread::sleep_for(std::chrono::milliseconds(after_first + 2500 - tz::now_ms()));
        for (int call = 501; call <= 1000; ++call) pool.tick_maybe_scrub(500, 8, 3000);
        ASSERT_LT(tz::now_ms() - before_first, 3000) << "the machine was too slow to tell";
        EXPECT_EQ(scrubs(), 1);
        expect_counts(pool, 8, 8, 0);

        // Once 3000 ms have passed, the next turn (call 1500, not call 1001) scrubs.
        std::this_thread::sleep_for(std::chrono::milliseconds(after_first + 3010 - tz::now_ms()));
        for (int call = 1001; call < 1500; ++call) pool.tick_maybe_scrub(500, 8, 3000);
        EXPECT_EQ(scrubs(), 1);
        pool.tick_maybe_scrub(500, 8, 3000);  // call 1500
        EXPECT_EQ(scrubs(), 2);
        EXPECT_TRUE(log.has(
            4, "scrub_idle: idle_before=8, bad=8, idle_after=8, in_use=0, size=8, cap=300"));
    });
}

TEST_F(PoolTest, The500thValueCommandOfTheProcessScrubsAndOtherCommandsDoNotCount) {
    in_child([] {
        const std::string module = unique_name("scrubroad");
        const std::string set = unique_name("scrubset");
        LogCapture log;
        int value_commands = 0;
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(tz::init_param(module.c_str(), "k", "v"), 0);  // backup and module: two
            value_commands += 2;
            EXPECT_EQ(tz::add_sets_value(set.c_str(), "m"), 0);
            EXPECT_FALSE(tz::get_modules(module.c_str()).empty());
            EXPECT_EQ(tz::delete_param(module.c_str(), "absent"), -1);
        }
        for (int i = 0; i < 150; ++i, ++value_commands) {
            ASSERT_EQ(tz::update_param(module.c_str(), "k", "w"), 0);
        }
        const char bytes[] = {'a', '\0', 'b'};
        for (int i = 0; i < 75; ++i, ++value_commands) {
            ASSERT_EQ(tz::update_param_bin(module.c_str(), "b", bytes, 3), 0);
        }
        for (int i = 0; i < 74; ++i, ++value_commands) {
            ASSERT_EQ(tz::get_param(module.c_str(), "k"), "w");
        }
        EXPECT_FALSE(tz::get_sets_l(set.c_str()).empty());
        ASSERT_EQ(value_commands, 499);
        EXPECT_EQ(log.count_containing("scrub_idle: "), 0);

        EXPECT_EQ(tz::get_param_bin(module.c_str(), "b"), std::string(bytes, 3));
        EXPECT_EQ(log.count_containing("scrub_idle: "), 1);
        EXPECT_TRUE(log.has(
            4, "scrub_idle: idle_before=200, bad=0, idle_after=200, in_use=0, size=200, cap=300"));
        EXPECT_TRUE(log.has(
            4, "pool stats after h_get_value_bin: idle=200, in_use=0, size=200, cap=300, full=0"));
        RawRedis raw;
        raw.integer({"DEL", module, module + "_zeltbackup", set});
    });
}

TEST_F(PoolTest, ValueCommandThatGotNoConnectionDoesNotCountTowardsTheScrub) {
    in_child([] {
        Pool& pool = Pool::getInstance();
        pool.stop();
        tz::ZeltOp op;
        const std::string module = unique_name("nocount");
        std::string value = "untouched";
        LogCapture log;
        for (int i = 0; i < 499; ++i) EXPECT_EQ(op.h_set_value(module, "f", "v"), -1);
        EXPECT_EQ(log.count(1,
                            "h_set_value: getConnection timeout/null (idle_before=200, "
                            "in_use_before=0, cap=300)"),
                  499);
        EXPECT_EQ(log.count(4,
                            "pool stats after h_set_value: idle=200, in_use=0, size=200, "
                            "cap=300, full=0"),
                  499);
        for (int i = 0; i < 10; ++i) EXPECT_EQ(op.h_get_value(module, "f", value), -1);
        EXPECT_EQ(value, "untouched");
        EXPECT_EQ(log.count(1,
                            "h_get_value: getConnection timeout/null (idle_before=200, "
                            "in_use_before=0, cap=300)"),
                  10);
        EXPECT_EQ(log.count_containing("pool stats after h_get_value"), 0);

        pool.tick_maybe_scrub(500, 8, 3000);
        EXPECT_EQ(log.count_containing("scrub_idle: "), 0)
            << "value commands that borrowed nothing were counted";
        for (int i = 0; i < 498; ++i) pool.tick_maybe_scrub(500, 8, 3000);
        EXPECT_EQ(log.count_containing("scrub_idle: "), 0);
        pool.tick_maybe_scrub(500, 8, 3000);
        EXPECT_EQ(log.count_containing("scrub_idle: "), 1);
    });
}

TEST_F(PoolTest, StoppedPoolLendsWhatItHasOrCanOpenButNeverWaits) {
    in_child([] {
        Pool& pool = Pool::getInstance();
        pool.stop();
        auto start = Clock::now();
        EXPECT_EQ(pool.getConnectionBlocking(), nullptr);
        EXPECT_LT(ms_since(start), 100);

        redisContext* idle = pool.getConnection();
        ASSERT_NE(idle, nullptr);
        EXPECT_TRUE(answers_ping(idle));
        pool.returnConnection(idle);  // freed, and not counted down
        expect_counts(pool, 200, 199, 1);
        EXPECT_EQ(open_tcp_sockets(), 199u);

        std::vector<redisContext*> lent = lend(pool, 199);
        redisContext* opened = pool.getConnection();
        ASSERT_NE(opened, nullptr);
        EXPECT_EQ(pool.size(), 201u);
        lent.push_back(opened);
        std::vector<redisContext*> more = lend(pool, 99);
        lent.insert(lent.end(), more.begin(), more.end());
        EXPECT_EQ(pool.size(), 300u);

        start = Clock::now();
        EXPECT_EQ(pool.getConnection(), nullptr);
        EXPECT_LT(ms_since(start), 100) << "a stopped pool does not wait";
        give_back(pool, lent);
        EXPECT_EQ(open_tcp_sockets(), 0u);
        EXPECT_EQ(pool.size(), 300u);
    });
}

TEST_F(PoolTest, StopWakesEveryWaiterWithNull) {
    in_child([] {
        Pool& pool = Pool::getInstance();
        std::vector<redisContext*> lent = lend(pool, 300);
        ASSERT_TRUE(pool.isFull());
        struct Waiter {
            bool blocking;
            std::atomic<pid_t> tid{0};
            redisContext* got = nullptr;
            long long waited_ms = -1;
            std::thread thread;
        };
        Waiter waiters[3];
        waiters[0].blocking = true;
        waiters[1].blocking = true;
        waiters[2].blocking = false;
        for (Waiter& w : waiters) {
            w.thread = std::thread([&pool, &w] {
                w.tid = gettid();
                const auto start = Clock::now();
                w.got = w.blocking ? pool.getConnectionBlocking() : pool.getConnection();
                w.waited_ms = ms_since(start);
            });
        }
        for (Waiter& w : waiters) {
            ASSERT_TRUE(tovzelt_test::wait_until([&] { return w.tid.load() != 0; }, 2s));
            ASSERT_TRUE(tovzelt_test::wait_thread_asleep(w.tid.load(), 2s));
        }
        pool.stop();
        for (Waiter& w : waiters) {
            w.thread.join();
            EXPECT_EQ(w.got, nullptr);
            EXPECT_LT(w.waited_ms, 450) << (w.blocking ? "blocking" : "timed") << " borrow";
        }
        give_back(pool, lent);
        EXPECT_EQ(open_tcp_sockets(), 0u);
    });
}

TEST_F(PoolTest, BlockingBorrowWhileConnectsFailTakesAConnectionGivenBack) {
    in_child([] {
        RawRedis raw;
        Pool& pool = Pool::getInstance();
        redisContext* held = pool.getConnection();
        ASSERT_NE(held, nullptr);
        break_idle(pool, raw, 199);  // as after a restart of the server
        OffTheNetwork off;
        std::thread giver([&] {
            std::this_thread::sleep_for(400ms);
            pool.returnConnection(held);
        });
        auto start = Clock::now();
        redisContext* got = pool.getConnectionBlocking();
        const long long waited = ms_since(start);
        giver.join();
        EXPECT_EQ(got, held);
        EXPECT_GE(waited, 390);
        EXPECT_LT(waited, 2500);
        expect_counts(pool, 1, 0, 1);

        // Back on the network, a borrow with nothing idle connects at once.
        off.back();
        pool.returnConnection(got);
        pool.reset_idle(0);
        start = Clock::now();
        got = pool.getConnectionBlocking();
        EXPECT_LT(ms_since(start), 1000);
        ASSERT_NE(got, nullptr);
        EXPECT_TRUE(answers_ping(got));
        expect_counts(pool, 1, 0, 1);
        pool.returnConnection(got);
    });
}

TEST_F(PoolTest, ValueCommandGivesUpAfter3sWhenNoConnectionCanBeOpenedAndWorksOnceBack) {
    in_child([] {
        RawRedis raw;
        Pool& pool = Pool::getInstance();
        break_idle(pool, raw, 200);  // as after a restart of the server
        const std::string module = unique_name("giveup");
        tz::ZeltOp op;
        LogCapture log;
        {
            OffTheNetwork off;
            const auto start = Clock::now();
            EXPECT_EQ(op.h_set_value(module, "f", "v"), -1);
            const long long waited = ms_since(start);
            EXPECT_GE(waited, 2900);
            EXPECT_LT(waited, 6000);
            EXPECT_TRUE(log.has(1,
                                "h_set_value: getConnection timeout/null (idle_before=200, "
                                "in_use_before=0, cap=300)"));
            // The connect is retried at intervals while waiting, not in a tight loop; only the
            // first failure is logged as one (the system log gets one line, not thirty).
            const int connects = log.count_containing("redisConnectWithTimeout err: ");
            EXPECT_GE(connects, 10);
            EXPECT_LE(connects, 45);
            int failures = 0;
            for (const auto& line : log.lines()) {
                if (line.message.rfind("redisConnectWithTimeout err: ", 0) != 0) continue;
                failures += line.level == 2 ? 1 : 0;
                EXPECT_TRUE(line.level == 2 || line.level == 4) << line.level;
            }
            EXPECT_EQ(failures, 1);
            expect_counts(pool, 0, 0, 0);
            EXPECT_EQ(open_tcp_sockets(), 1u) << "only the test's own connection is left";
        }
        const auto start = Clock::now();
        EXPECT_EQ(op.h_set_value(module, "f", "v"), 0);
        EXPECT_LT(ms_since(start), 1000);
        expect_counts(pool, 1, 1, 0);
        EXPECT_EQ(raw.str({"HGET", module, "f"}), "v");
        raw.integer({"DEL", module});
    });
}

TEST_F(PoolTest, CreationFailsWhileTheStoreIsUnreachableAndSucceedsOnTheNextCall) {
    in_child([] {
        LogCapture log;
        {
            OffTheNetwork off;
            try {
                Pool::getInstance();
                ADD_FAILURE() << "the pool was built without a store";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Redis connection error: cannot allocate redis context");
            }
            const std::vector<tovzelt_test::LogLine> lines = log.lines();
            ASSERT_EQ(lines.size(), 1u) << "one failed connect, then the creation gives up";
            EXPECT_EQ(lines[0].level, 2);
            EXPECT_EQ(lines[0].message.rfind("redisConnectWithTimeout err: ", 0), 0u)
                << lines[0].message;
            EXPECT_EQ(open_tcp_sockets(), 0u);
        }
        Pool& pool = Pool::getInstance();
        expect_counts(pool, 200, 200, 0);
        EXPECT_EQ(open_tcp_sockets(), 200u);
    });
}

TEST_F(PoolTest, ManyThreadsBorrowAndGiveBackWithoutDeadlockOrDoubleLending) {
    in_child(
        [] {
            Pool& pool = Pool::getInstance();
            constexpr int kThreads = 32;
            constexpr int kRounds = 16;
            constexpr int kCrowdedBorrows = 11;  // 32 x 11 = 352: more than the capacity
            std::mutex held_mutex;
            std::set<redisContext*> held;
            std::atomic<int> double_lent{0};
            std::atomic<int> failed{0};
            std::atomic<int> timed_out{0};
            std::atomic<bool> done{false};
            std::vector<bool> full_when_crowded;
            Meeting meeting(kThreads);
            auto take = [&](redisContext* connection) {
                if (connection == nullptr) return false;
                std::lock_guard<std::mutex> lock(held_mutex);
                if (!held.insert(connection).second) ++double_lent;
                return true;
            };
            auto release = [&](std::vector<redisContext*>& mine) {
                if (!mine.empty() && !answers_ping(mine.back())) ++failed;
                for (redisContext* connection : mine) {
                    {
                        std::lock_guard<std::mutex> lock(held_mutex);
                        held.erase(connection);
                    }
                    pool.returnConnection(connection);
                }
                mine.clear();
            };

            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] {
                    std::vector<redisContext*> mine;
                    for (int round = 0; round < kRounds; ++round) {
                        if (round % 10 == 5) {
                            // Crowded round: every thread borrows at once, more than the pool
                            // may lend, with the timed borrow only, and holds on until all
                            // have tried.
                            meeting.arrive([] {});
                            for (int i = 0; i < kCrowdedBorrows; ++i) {
                                redisContext* connection = pool.getConnection();
                                if (!take(connection)) {
                                    ++timed_out;
                                    break;  // the pool is exhausted: once is enough
                                }
                                mine.push_back(connection);
                            }
                            meeting.arrive([&] { full_when_crowded.push_back(pool.isFull()); });
                            release(mine);
                            continue;
                        }
                        // Free round: the first borrow blocks (nothing is held yet); the others
                        // are timed, so that no thread waits for ever while holding connections.
                        redisContext* first = pool.getConnectionBlocking();
                        if (!take(first)) {
                            ++failed;
                            continue;
                        }
                        mine.push_back(first);
                        const int extra = (t * 7 + round) % 12;
                        for (int i = 0; i < extra; ++i) {
                            redisContext* connection = pool.getConnection();
                            if (take(connection)) {
                                mine.push_back(connection);
                            } else {
                                ++timed_out;
                            }
                        }
                        release(mine);
                    }
                });
            }
            std::thread housekeeper([&] {
                for (int i = 0; !done.load(); ++i) {
                    pool.tick_maybe_scrub(1, 8, 0);
                    if (i % 10 == 0) pool.reset_idle(100);
                    std::this_thread::sleep_for(1ms);
                }
            });
            for (std::thread& thread : threads) thread.join();
            done = true;
            housekeeper.join();

            EXPECT_EQ(double_lent.load(), 0);
            EXPECT_EQ(failed.load(), 0);
            EXPECT_EQ(full_when_crowded, std::vector<bool>({true, true}));
            EXPECT_GE(timed_out.load(), 2)
                << "the pool ran out of connections in the crowded rounds";
            EXPECT_EQ(pool.inUse(), 0u);
            EXPECT_EQ(pool.size(), pool.idleCount());
            EXPECT_LE(pool.size(), 300u + kThreads);
            EXPECT_EQ(open_tcp_sockets(), pool.size());
        },
        120s);
}

TEST_F(PoolTest, FreeRedisContextClosesAndNullsOnlyALiveHandle) {
    redisContext* none = nullptr;
    tz::free_redis_context(none);
    EXPECT_EQ(none, nullptr);
    const size_t before = open_tcp_sockets();
    redisContext* live = redisConnect("127.0.0.1", 10240);
    ASSERT_NE(live, nullptr);
    ASSERT_EQ(live->err, 0);
    EXPECT_EQ(open_tcp_sockets(), before + 1);
    tz::free_redis_context(live);
    EXPECT_EQ(live, nullptr);
    EXPECT_EQ(open_tcp_sockets(), before);
}

}  // namespace
