// Change notes while the server is away: a failed read or write is a failure, never an empty
// hash, and the pending changes are all still there once the server is back. Stops the shared
// server, so it runs alone; every test leaves the server running.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <tuple>

#include "test_support.h"
#include "tovzelt.h"

namespace {

namespace tz = Tovana::TovZelt;
using namespace tovzelt_test;

constexpr const char* kKeepKey = "caller's key";
constexpr const char* kKeepValue = "caller's value";
// Any process that loads the library starts the server; when one outside this run did so while
// the server was meant to be away, the outcome says nothing about the library.
constexpr const char* kStartedElsewhere =
    "another process started the server while it was meant to be stopped";

class ChangeNotesServerDownTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensure_server_running();
        module_ = unique_name("cns");
        backup_ = module_ + "_zeltbackup";
        RawRedis raw;
        raw.integer({"DEL", module_, backup_});
        // Accepted: a=1, b=2. Pending: a updated to 10, c added, b deleted.
        ASSERT_EQ(tz::init_param(module_.c_str(), "a", "1"), 0);
        ASSERT_EQ(tz::init_param(module_.c_str(), "b", "2"), 0);
        ASSERT_EQ(tz::update_param(module_.c_str(), "a", "10"), 0);
        ASSERT_EQ(tz::add_param(module_.c_str(), "c", "3"), 0);
        ASSERT_EQ(tz::delete_param(module_.c_str(), "b"), 0);
    }
    void TearDown() override {
        ensure_server_running();
        RawRedis raw;
        raw.integer({"DEL", module_, backup_});
    }

    // The pending changes of SetUp are all reported, adds and updates first, and then nothing.
    void expect_all_pending_reported() {
        std::set<std::tuple<int, std::string, std::string>> first;
        for (int i = 0; i < 2; ++i) {
            std::string key, value;
            const int type = tz::get_change_notes(module_.c_str(), key, value);
            first.insert({type, key, value});
        }
        EXPECT_EQ(first, (std::set<std::tuple<int, std::string, std::string>>{{1, "a", "10"},
                                                                              {3, "c", "3"}}));
        std::string key, value;
        EXPECT_EQ(tz::get_change_notes(module_.c_str(), key, value), 2);
        EXPECT_EQ(key, "b");
        EXPECT_EQ(value, "2");
        key = kKeepKey;
        EXPECT_EQ(tz::get_change_notes(module_.c_str(), key, value), 0);
        EXPECT_EQ(key, kKeepKey);
        RawRedis raw;
        EXPECT_EQ(raw.strings({"HGETALL", backup_}).size(), 4u);
        EXPECT_EQ(raw.str({"HGET", backup_, "a"}), "10");
        EXPECT_EQ(raw.str({"HGET", backup_, "c"}), "3");
    }

    std::string module_;
    std::string backup_;
};

TEST_F(ChangeNotesServerDownTest, NoServerMeansFailureAndTheChangesWait) {
    stop_server();
    ASSERT_FALSE(server_answers());
    for (int i = 0; i < 2; ++i) {
        std::string key = kKeepKey, value = kKeepValue;
        EXPECT_EQ(tz::get_change_notes(module_.c_str(), key, value), -1);
        EXPECT_EQ(key, kKeepKey);
        EXPECT_EQ(value, kKeepValue);
    }
    if (server_answers()) GTEST_SKIP() << kStartedElsewhere;
    ensure_server_running();
    RawRedis raw;
    EXPECT_EQ(raw.str({"HGET", backup_, "a"}), "1") << "nothing was acknowledged";
    EXPECT_EQ(raw.str({"HGET", backup_, "b"}), "2");
    expect_all_pending_reported();
}

TEST_F(ChangeNotesServerDownTest, AcknowledgementFailsWhileTheServerIsAway) {
    tz::TovZELT& facade = tz::TovZELT::getInstance();
    std::string key, value;
    const int type = facade.get_change_info(module_.c_str(), key, value);
    ASSERT_TRUE(type == 1 || type == 3) << type;
    stop_server();
    ASSERT_FALSE(server_answers());
    const auto start = std::chrono::steady_clock::now();
    const int acked = facade.ack_parameter(type, module_.c_str(), key, value);
    if (server_answers()) GTEST_SKIP() << kStartedElsewhere;
    EXPECT_EQ(acked, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "the acknowledgement gives up in bounded time";
    ensure_server_running();
    RawRedis raw;
    EXPECT_EQ(raw.str({"HGET", backup_, key}), type == 1 ? "1" : "<nil>");
    expect_all_pending_reported();
}

}  // namespace
