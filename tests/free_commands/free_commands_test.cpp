// exec_cmd_in_redis / query_cmd_in_redis, the restart's effect on the pool and the module's
// subscription connection, against the running server. Nothing here stops the server: the
// scenarios that need it out of reach run in a child process off the network.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "area_helpers.h"
#include "test_support.h"
#include "tovzelt.h"

namespace {

namespace tz = Tovana::TovZelt;
using namespace tovzelt_test;

class FreeCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensure_server_running();
        prefix_ = unique_name("fc");
        raw_.del_pattern(prefix_ + "_*");
    }
    void TearDown() override { raw_.del_pattern(prefix_ + "_*"); }

    std::string key(const std::string& suffix) const { return prefix_ + "_" + suffix; }
    std::string get(const std::string& k) { return raw_.str({"GET", k}); }

    RawRedis raw_;
    std::string prefix_;
};

// Owns what a test ZeltOp opens: ZeltOp itself leaves its subscription connection to its owner.
struct SubscriptionOwner {
    tz::ZeltOp op;
    ~SubscriptionOwner() { tz::free_redis_context(op.subscription_context()); }
};

// Number of outcome lines query_cmd_in_redis wrote for `command` (value, missing key,
// unexpected type).
int outcome_lines(const LogCapture& log, const std::string& command) {
    int n = 0;
    for (const LogLine& line : log.lines()) {
        n += line.message.rfind("query_cmd_in_redis: " + command + " - ", 0) == 0 ||
                     line.message == "Unexpected reply type for " + command + "!"
                 ? 1
                 : 0;
    }
    return n;
}

TEST_F(FreeCommandsTest, QueryReturnsStringRepliesOnlyAndLogsTheOutcome) {
    const std::string present = key("present"), absent = key("absent"), list = key("list"),
                      zero = key("zero"), empty = key("empty"), hash = key("hash"),
                      status = key("status");
    ASSERT_EQ(raw_.str({"SET", present, "hello world"}), "OK");
    ASSERT_EQ(raw_.integer({"RPUSH", list, "a", "b"}), 2);
    ASSERT_EQ(raw_.str({"SET", zero, std::string("ab\0cd", 5)}), "OK");
    ASSERT_EQ(raw_.str({"SET", empty, ""}), "OK");
    ASSERT_EQ(raw_.integer({"HSET", hash, "f", "v"}), 1);

    struct Case {
        std::string command;
        std::string expected;
        std::string outcome;  // the untagged level-4 line
    };
    const auto value_line = [](const std::string& c, const std::string& v) {
        return "query_cmd_in_redis: " + c + " - Key value: " + v;
    };
    const auto missing_line = [](const std::string& c) {
        return "query_cmd_in_redis: " + c + " - Key does not exist!";
    };
    const auto unexpected_line = [](const std::string& c) {
        return "Unexpected reply type for " + c + "!";
    };
    const std::vector<Case> cases = {
        {"GET " + present, "hello world", value_line("GET " + present, "hello world")},
        {"HGET " + hash + " f", "v", value_line("HGET " + hash + " f", "v")},
        {"GET " + empty, "", value_line("GET " + empty, "")},
        {"GET " + zero, "ab", value_line("GET " + zero, "ab")},
        {"GET " + absent, "", missing_line("GET " + absent)},
        {"HGET " + hash + " nofield", "", missing_line("HGET " + hash + " nofield")},
        {"STRLEN " + present, "", unexpected_line("STRLEN " + present)},
        {"LRANGE " + list + " 0 -1", "", unexpected_line("LRANGE " + list + " 0 -1")},
        {"SET " + status + " v", "", unexpected_line("SET " + status + " v")},
        {"GET " + list, "", unexpected_line("GET " + list)},  // WRONGTYPE error reply
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        LogCapture log;
        const std::string result = tz::query_cmd_in_redis(c.command);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(result.size(), c.expected.size());
        EXPECT_TRUE(has_line(log, true, kDebug, kApi, "query_cmd_in_redis string: " + c.command));
        EXPECT_TRUE(has_line(log, false, kDebug, kApi, c.outcome));
        EXPECT_EQ(outcome_lines(log, c.command), 1);
    }
    EXPECT_EQ(get(status), "v") << "a status-answered command still takes effect";
}

TEST_F(FreeCommandsTest, ExecReportsThatTheCommandWentOutNotWhatTheServerSaid) {
    const std::string k = key("k"), h = key("h"), gone = key("gone");
    ASSERT_EQ(raw_.str({"SET", gone, "x"}), "OK");
    struct Case {
        std::string command;
        const char* what;
    };
    const std::vector<Case> cases = {
        {"SET " + k + " value1", "valid write"},
        {"HSET " + h + " field value2", "valid hash write"},
        {"DEL " + gone, "valid delete"},
        {"NOSUCHCOMMAND " + k + " x", "unknown command"},
        {"SET " + key("lonely"), "wrong number of arguments"},
        {"LPUSH " + k + " x", "wrong type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        EXPECT_EQ(tz::exec_cmd_in_redis(c.command), 0);
        EXPECT_TRUE(has_line(log, true, kDebug, kApi, "exec_cmd_in_redis string: " + c.command));
        EXPECT_EQ(log.count_containing("Error: exec_cmd_in_redis"), 0);
    }
    EXPECT_EQ(get(k), "value1") << "the rejected LPUSH left the string alone";
    EXPECT_EQ(raw_.str({"HGET", h, "field"}), "value2");
    EXPECT_FALSE(raw_.exists(gone));
    EXPECT_FALSE(raw_.exists(key("lonely")));
}

TEST_F(FreeCommandsTest, WordsAreSeparatedBySpacesAndNotByTabs) {
    const std::string spaced = key("spaced"), padded = key("padded"), tabbed = key("tab"),
                      tab_value = key("tabvalue");
    EXPECT_EQ(tz::exec_cmd_in_redis("SET   " + spaced + "     one"), 0);
    EXPECT_EQ(tz::exec_cmd_in_redis("   SET " + padded + " two   "), 0);
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + tabbed + "\tpart three"), 0);
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + tab_value + " a\tb"), 0);

    EXPECT_EQ(get(spaced), "one");
    EXPECT_EQ(get(padded), "two");
    EXPECT_EQ(get(tabbed + "\tpart"), "three") << "the tab is part of the key";
    EXPECT_FALSE(raw_.exists(tabbed));
    EXPECT_EQ(get(tab_value), "a\tb");

    EXPECT_EQ(tz::query_cmd_in_redis("GET    " + spaced), "one");
    EXPECT_EQ(tz::query_cmd_in_redis(" GET " + tabbed + "\tpart "), "three");
    EXPECT_EQ(tz::query_cmd_in_redis("GET\t" + spaced), "") << "\"GET\\t<key>\" is one word";
}

TEST_F(FreeCommandsTest, PercentSignsAreSentAsTheyStand) {
    const std::string k = key("pct"), odd = key("odd") + "%s%n";
    {
        LogCapture log;
        EXPECT_EQ(tz::exec_cmd_in_redis("SET " + k + " 50%"), 0);
        EXPECT_TRUE(
            has_line(log, true, kDebug, kApi, "exec_cmd_in_redis string: SET " + k + " 50%"));
    }
    EXPECT_EQ(get(k), "50%");
    EXPECT_EQ(tz::query_cmd_in_redis("GET " + k), "50%");

    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + odd + " %d%%%b%s"), 0);
    EXPECT_EQ(get(odd), "%d%%%b%s");
    EXPECT_EQ(tz::query_cmd_in_redis("GET " + odd), "%d%%%b%s");
    EXPECT_EQ(tz::query_cmd_in_redis("ECHO %s%d%n%b%%"), "%s%d%n%b%%");

    // Directives alone: an unknown command for the server, nothing for the client to expand.
    LogCapture log;
    EXPECT_EQ(tz::exec_cmd_in_redis("%s %d %n"), 0);
    EXPECT_EQ(tz::query_cmd_in_redis("%s %d %n %b"), "");
    EXPECT_TRUE(has_line(log, false, kDebug, kApi, "Unexpected reply type for %s %d %n %b!"));
}

TEST_F(FreeCommandsTest, EmptyCommandSendsNothing) {
    for (const std::string& text : {std::string(), std::string("    ")}) {
        SCOPED_TRACE("\"" + text + "\"");
        LogCapture log;
        EXPECT_EQ(tz::exec_cmd_in_redis(text), -1);
        EXPECT_EQ(tz::query_cmd_in_redis(text), "");
        int refusals = 0;
        for (const LogLine& line : log.lines()) {
            refusals += line.level == kWarn && line.file == kApi ? 1 : 0;
        }
        EXPECT_EQ(refusals, 2) << "one level-1 line per refused command";
    }
}

TEST_F(FreeCommandsTest, NoPooledConnectionSendsNothingAndLogsAtLevelOne) {
    const std::string k = key("blocked"), present = key("present");
    ASSERT_EQ(raw_.str({"SET", present, "there"}), "OK");
    tz::RedisConnectionPool& pool = tz::RedisConnectionPool::getInstance();
    std::vector<redisContext*> held;
    while (!pool.isFull()) {
        redisContext* c = pool.getConnection();
        if (c == nullptr) break;
        held.push_back(c);
    }
    ASSERT_TRUE(pool.isFull()) << "could not lend out every connection";

    LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + k + " v"), -1);
    const auto exec_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_EQ(tz::query_cmd_in_redis("GET " + present), "");
    EXPECT_GE(exec_ms, 450) << "the borrow waits for a connection to come back";
    EXPECT_LT(exec_ms, 3000);
    EXPECT_TRUE(has_line(log, true, kWarn, kApi, "exec_cmd_in_redis: getConnection timeout/null"));
    EXPECT_TRUE(has_line(log, true, kWarn, kApi, "query_cmd_in_redis: getConnection timeout/null"));
    EXPECT_EQ(log.count_containing("Redis command failed"), 0);
    EXPECT_EQ(log.count_containing("Key value"), 0);

    for (redisContext* c : held) pool.returnConnection(c);
    EXPECT_FALSE(raw_.exists(k)) << "nothing was sent without a connection";
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + k + " v"), 0);
    EXPECT_EQ(get(k), "v");
}

TEST_F(FreeCommandsTest, RestartEmptiesTheIdlePoolAndLeavesLentConnectionsAlone) {
    tz::RedisConnectionPool& pool = tz::RedisConnectionPool::getInstance();
    std::vector<redisContext*> lent;
    for (int i = 0; i < 3; ++i) {
        lent.push_back(pool.getConnection());
        ASSERT_NE(lent.back(), nullptr);
    }
    const size_t idle_before = pool.idleCount();
    const size_t in_use_before = pool.inUse();
    ASSERT_GT(idle_before, 0u);
    ASSERT_EQ(in_use_before, 3u);

    LogCapture log;
    tz::ZeltOp op;
    const auto start = std::chrono::steady_clock::now();
    op.restart_zelt();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_TRUE(has_line(log, true, kWarn, kCore,
                         "restart_zelt: cleared idle redis pool before restart (idle_before=" +
                             std::to_string(idle_before) +
                             ", in_use_before=" + std::to_string(in_use_before) + ")"));
    EXPECT_EQ(pool.idleCount(), 0u);
    EXPECT_EQ(pool.inUse(), in_use_before);
    EXPECT_EQ(pool.size(), in_use_before);
    for (redisContext* c : lent) {
        ASSERT_EQ(c->err, 0);
        auto* reply = static_cast<redisReply*>(redisCommand(c, "PING"));
        ASSERT_NE(reply, nullptr) << "a lent connection was closed";
        EXPECT_STREQ(reply->str, "PONG");
        freeReplyObject(reply);
        pool.returnConnection(c);
    }
    EXPECT_EQ(pool.idleCount(), 3u) << "healthy lent connections come back into the pool";
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + key("after") + " restarted"), 0);
    EXPECT_EQ(get(key("after")), "restarted");
}

// The client's port of a connection, as the server lists it ("addr=127.0.0.1:<port>").
std::string local_address(redisContext* c) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(c->fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "?";
    return "addr=127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + " ";
}

TEST_F(FreeCommandsTest, ReconnectSubSubscribesAndReplacesTheConnection) {
    SubscriptionOwner owner;
    redisContext*& sub = owner.op.subscription_context();
    LogCapture log;
    owner.op.reconnect_sub();
    ASSERT_NE(sub, nullptr);
    ASSERT_EQ(sub->err, 0);
    EXPECT_EQ(log.count_containing("reconnect_sub"), 0) << "a good connect logs nothing";
    const std::string first_address = local_address(sub);
    ASSERT_NE(raw_.str({"CLIENT", "LIST"}).find(first_address), std::string::npos);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first connection" : "replacing connection");
        ASSERT_EQ(redisSetTimeout(sub, seconds(5)), REDIS_OK);
        const std::string k = key("watched" + std::to_string(round));
        ASSERT_EQ(raw_.integer({"HSET", k, "f", "v"}), 1);
        std::vector<PubMessage> seen;
        ASSERT_TRUE(read_until_channel(sub, "__keyspace@0__:" + k, seen))
            << "no keyspace message for the write";
        EXPECT_EQ(seen.front().kind, "pmessage") << "the PSUBSCRIBE answer was already read";
        EXPECT_EQ(seen.back().payload, "hset");
        if (round == 0) owner.op.reconnect_sub();
    }
    EXPECT_TRUE(wait_until(
        [&] {
            return raw_.str({"CLIENT", "LIST"}).find(first_address) == std::string::npos;
        },
        std::chrono::seconds(5)))
        << "the replaced connection was not closed";
}

// Child: the first command function of a fresh process finds no server to build its pool on;
// reconnect_sub finds none either.
TEST(IsolatedChild, DISABLED_NoServerAtFirstUse) {
    if (!in_isolated_child()) GTEST_SKIP() << "runs only as a child of its parent test";
    ASSERT_TRUE(leave_network()) << "unshare(CLONE_NEWNET) failed";
    const std::string connect_error = connect_error_text();
    ASSERT_NE(connect_error, "") << "the store is still reachable";

    LogCapture log;
    EXPECT_EQ(tz::exec_cmd_in_redis("SET isolated_child_key v"), -1);
    EXPECT_EQ(tz::query_cmd_in_redis("GET isolated_child_key"), "");
    const std::string pool_error = "Redis connection error: cannot allocate redis context";
    EXPECT_TRUE(has_line(log, false, kError, kApi, "Error: exec_cmd_in_redis " + pool_error));
    EXPECT_TRUE(has_line(log, false, kError, kApi, "Error: query_cmd_in_redis " + pool_error));
    EXPECT_EQ(log.count_containing("getConnection timeout/null"), 0);

    log.clear();
    SubscriptionOwner owner;
    owner.op.reconnect_sub();
    EXPECT_EQ(owner.op.subscription_context(), nullptr);
    EXPECT_TRUE(has_line(log, true, kError, kCore,
                         "reconnect_sub: redis connect failed: " + connect_error));
}

TEST(FreeCommandsUnreachable, FirstUseWithoutServerFailsWithThePoolError) {
    run_isolated_child("IsolatedChild.DISABLED_NoServerAtFirstUse");
}

}  // namespace
