// The server stopped under a process that already has its pool: the restart brings it back,
// command functions fail without a connection, and the subscription connection is rebuilt.
// Stops the shared server, so it runs alone; every test leaves the server running.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <string>
#include <vector>

#include "area_helpers.h"
#include "test_support.h"
#include "tovzelt.h"

namespace {

namespace tz = Tovana::TovZelt;
using namespace tovzelt_test;

// Any process that loads the library starts the server; when one outside this run did so while
// the server was meant to be away, the outcome says nothing about the library.
constexpr const char* kStartedElsewhere =
    "another process started the server while it was meant to be stopped";

struct SubscriptionOwner {
    tz::ZeltOp op;
    ~SubscriptionOwner() { tz::free_redis_context(op.subscription_context()); }
};

class ServerStoppedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensure_server_running();
        prefix_ = unique_name("fcs");
        RawRedis raw;
        raw.del_pattern(prefix_ + "_*");
        // The pool exists (and holds connections) before the server goes away.
        ASSERT_EQ(tz::exec_cmd_in_redis("SET " + key("warmup") + " 1"), 0);
    }
    void TearDown() override {
        ensure_server_running();
        RawRedis raw;
        raw.del_pattern(prefix_ + "_*");
    }
    std::string key(const std::string& suffix) const { return prefix_ + "_" + suffix; }

    // Stops the server and fails the test when it still answers.
    static void stop() {
        stop_server();
        ASSERT_FALSE(server_answers()) << "the shutdown script left the server running";
    }

    std::string prefix_;
};

TEST_F(ServerStoppedTest, RestartBringsTheServerBackAndClearsOnlyIdleConnections) {
    tz::RedisConnectionPool& pool = tz::RedisConnectionPool::getInstance();
    std::vector<redisContext*> lent = {pool.getConnection(), pool.getConnection()};
    ASSERT_NE(lent[0], nullptr);
    ASSERT_NE(lent[1], nullptr);
    const size_t idle_before = pool.idleCount();
    ASSERT_GT(idle_before, 0u);
    ASSERT_NO_FATAL_FAILURE(stop());

    LogCapture log;
    tz::ZeltOp op;
    op.restart_zelt();
    EXPECT_TRUE(server_answers()) << "restart_zelt returned before the server answered";
    EXPECT_TRUE(has_line(log, true, kWarn, kCore,
                         "restart_zelt: cleared idle redis pool before restart (idle_before=" +
                             std::to_string(idle_before) + ", in_use_before=2)"));
    EXPECT_EQ(pool.idleCount(), 0u);
    EXPECT_EQ(pool.inUse(), 2u);

    // The lent connections belonged to the old server: given back, the pool drops them.
    for (redisContext* c : lent) pool.returnConnection(c);
    EXPECT_EQ(pool.size(), 0u);
    const std::string k = key("after");
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + k + " back"), 0);
    EXPECT_EQ(tz::query_cmd_in_redis("GET " + k), "back");
}

TEST_F(ServerStoppedTest, CommandFunctionsGetNoConnectionAndSendNothing) {
    ASSERT_NO_FATAL_FAILURE(stop());
    const std::string k = key("while_down");
    LogCapture log;
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + k + " v"), -1);
    EXPECT_EQ(tz::query_cmd_in_redis("GET " + key("warmup")), "");
    if (server_answers()) GTEST_SKIP() << kStartedElsewhere;
    EXPECT_TRUE(has_line(log, true, kWarn, kApi, "exec_cmd_in_redis: getConnection timeout/null"));
    EXPECT_TRUE(has_line(log, true, kWarn, kApi, "query_cmd_in_redis: getConnection timeout/null"));
    EXPECT_EQ(log.count_containing("Error: "), 0) << "the pool exists: nothing is thrown";

    ensure_server_running();
    RawRedis raw;
    EXPECT_FALSE(raw.exists(k));
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + k + " v"), 0);
    EXPECT_EQ(tz::query_cmd_in_redis("GET " + key("warmup")), "1");
}

TEST_F(ServerStoppedTest, ReconnectSubAgainstAStoppedServerLeavesNoConnection) {
    SubscriptionOwner owner;
    owner.op.reconnect_sub();
    ASSERT_NE(owner.op.subscription_context(), nullptr);
    ASSERT_NO_FATAL_FAILURE(stop());
    const std::string refused = connect_error_text();
    LogCapture log;
    owner.op.reconnect_sub();
    if (refused.empty() || server_answers()) GTEST_SKIP() << kStartedElsewhere;
    EXPECT_EQ(owner.op.subscription_context(), nullptr);
    EXPECT_TRUE(
        has_line(log, true, kError, kCore, "reconnect_sub: redis connect failed: " + refused));

    ensure_server_running();
    owner.op.reconnect_sub();
    ASSERT_NE(owner.op.subscription_context(), nullptr);
    EXPECT_EQ(owner.op.subscription_context()->err, 0);
}

TEST_F(ServerStoppedTest, RefreshServiceRestartsAndResubscribes) {
    SubscriptionOwner owner;
    owner.op.reconnect_sub();
    ASSERT_NE(owner.op.subscription_context(), nullptr);
    ASSERT_NO_FATAL_FAILURE(stop());

    owner.op.refresh_service();
    EXPECT_TRUE(server_answers());
    redisContext* sub = owner.op.subscription_context();
    ASSERT_NE(sub, nullptr);
    ASSERT_EQ(sub->err, 0);
    ASSERT_EQ(redisSetTimeout(sub, seconds(5)), REDIS_OK);
    const std::string k = key("watched");
    RawRedis raw;
    ASSERT_EQ(raw.integer({"HSET", k, "f", "v"}), 1);
    std::vector<PubMessage> seen;
    EXPECT_TRUE(read_until_channel(sub, "__keyspace@0__:" + k, seen));
}

}  // namespace
