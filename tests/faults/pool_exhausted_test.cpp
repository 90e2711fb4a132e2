// Every connection of the pool (its capacity of 300) lent out. The list, set, delete,
// whole-hash and free-form commands borrow for at most 500 ms: they fail after about that long
// and change nothing. The value commands borrow without a time limit: they wait for as long as
// nothing comes back, and succeed with the first connection that does.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Pool = tz::RedisConnectionPool;
using tovzelt_test::RawRedis;

namespace {

// How long a value command is kept waiting before a connection comes back: well past the
// 500 ms after which a timed borrow gives up.
constexpr auto kHeldFor = 900ms;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PoolExhaustedTest : public ::testing::Test {
protected:
    void SetUp() override {
        tovzelt_test::ensure_server_running();
        module_ = tovzelt_test::unique_name("faultpool") + "_" + std::to_string(getpid());
        set_ = tovzelt_test::unique_name("faultpoolset");
        // What a command that got through would show: a module with a field, a pending change
        // and its backup hash, a set with a member.
        raw_.integer({"HSET", module_ + "_zeltbackup", "k", "old", "gone", "x"});
        raw_.integer({"HSET", module_, "k", "v", "bin", std::string("a\0b", 3)});
        raw_.integer({"SADD", set_, "member"});
        lend_everything();
    }

    void TearDown() override {
        for (redisContext* connection : lent_) pool().returnConnection(connection);
        lent_.clear();
        raw_.integer({"DEL", module_, module_ + "_zeltbackup", set_});
        const std::string base = module_.substr(0, module_.rfind('_'));
        raw_.integer({"SREM", "module_sets", base});
    }

    static Pool& pool() { return Pool::getInstance(); }

    void lend_everything() {
        while (pool().inUse() < pool().capacity()) {
            redisContext* connection = pool().getConnection();
            ASSERT_NE(connection, nullptr) << "could not borrow connection " << lent_.size();
            lent_.push_back(connection);
        }
        ASSERT_EQ(pool().idleCount(), 0u);
    }

    // Gives one lent connection back (a waiter takes it).
    void give_one_back() {
        ASSERT_FALSE(lent_.empty());
        pool().returnConnection(lent_.back());
        lent_.pop_back();
    }

    RawRedis raw_;
    std::string module_;
    std::string set_;
    std::vector<redisContext*> lent_;
};

TEST_F(PoolExhaustedTest, TimedCommandsFailAfterAbout500msAndChangeNothing) {
    struct Case {
        const char* what;
        std::function<bool()> failed;  // the call's failure result
    };
    const std::string module = module_;
    const std::string set = set_;
    const std::string base = module.substr(0, module.rfind('_'));
    const std::vector<Case> cases = {
        {"get_modules", [&] { return tz::get_modules(base.c_str()).empty(); }},
        {"add_sets_value", [&] { return tz::add_sets_value(set.c_str(), "added") == -1; }},
        {"get_sets_l", [&] { return tz::get_sets_l(set.c_str()).empty(); }},
        {"delete_param", [&] { return tz::delete_param(module.c_str(), "k") == -1; }},
        {"module_clear", [&] { return tz::module_clear(module.c_str()) == -1; }},
        {"get_change_notes",
         [&] {
             std::string key = "untouched";
             std::string value = "untouched";
             return tz::get_change_notes(module.c_str(), key, value) == -1 && key == "untouched";
         }},
        {"exec_cmd_in_redis",
         [&] { return tz::exec_cmd_in_redis("HSET " + module + " k changed") == -1; }},
        {"query_cmd_in_redis",
         [&] { return tz::query_cmd_in_redis("HGET " + module + " k").empty(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = Clock::now();
        EXPECT_TRUE(c.failed());
        const long long took = ms_since(start);
        EXPECT_GE(took, 450) << "gave up before the 500 ms wait";
        EXPECT_LE(took, 1500) << "waited far longer than 500 ms";
    }
    // Nothing reached the store.
    EXPECT_EQ(raw_.str({"HGET", module_, "k"}), "v");
    EXPECT_EQ(raw_.integer({"HLEN", module_}), 2);
    EXPECT_EQ(raw_.str({"HGET", module_ + "_zeltbackup", "k"}), "old");
    EXPECT_EQ(raw_.strings({"SMEMBERS", set_}), std::vector<std::string>{"member"});
}

TEST_F(PoolExhaustedTest, ValueCommandsWaitForAConnectionAndSucceedWithIt) {
    struct Case {
        const char* what;
        std::function<bool()> call;    // true: the call's success result
        std::function<bool()> effect;  // true: the store shows what the call did
    };
    const std::string module = module_;
    const std::string bytes("x\0y\0z", 5);
    const std::vector<Case> cases = {
        {"update_param", [&] { return tz::update_param(module.c_str(), "k", "w1") == 0; },
         [&] {
             return raw_.str({"HGET", module, "k"}) == "w1";
         }},
        {"update_param_bin",
         [&] {
             return tz::update_param_bin(module.c_str(), "b", bytes.data(),
                                         static_cast<int32_t>(bytes.size())) == 0;
         },
         [&] {
             return raw_.str({"HGET", module, "b"}) == bytes;
         }},
        {"get_param", [&] { return tz::get_param(module.c_str(), "k") == "w1"; },
         [] { return true; }},
        {"get_param_bin",
         [&] { return tz::get_param_bin(module.c_str(), "bin") == std::string("a\0b", 3); },
         [] { return true; }},
        // Its record in "module_sets" borrows with the timed borrow and may give up; the two
        // hash writes wait.
        {"init_param", [&] { return tz::init_param(module.c_str(), "i", "w2") == 0; },
         [&] {
             return raw_.str({"HGET", module, "i"}) == "w2" &&
                    raw_.str({"HGET", module + "_zeltbackup", "i"}) == "w2";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = Clock::now();
        std::future<bool> result = std::async(std::launch::async, c.call);
        EXPECT_EQ(result.wait_for(kHeldFor), std::future_status::timeout)
            << "returned while every connection was lent out";
        give_one_back();
        ASSERT_EQ(result.wait_for(5s), std::future_status::ready)
            << "still waiting after a connection came back";
        EXPECT_TRUE(result.get());
        EXPECT_GE(ms_since(start),
                  std::chrono::duration_cast<std::chrono::milliseconds>(kHeldFor).count());
        EXPECT_TRUE(c.effect());
        // The connection it used is idle again: lend it out once more.
        lend_everything();
    }
}

}  // namespace
