// Listener threads: what reaches the callback, in which order and at which pace, and how a
// listener survives the loss of the server. Each scenario runs in a child process of its own,
// since listeners run until their process ends.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "event_recorder.h"
#include "store_probe.h"
#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using namespace std::chrono_literals;
using tovzelt_test::Event;
using tovzelt_test::EventRecorder;
using tovzelt_test::LogCapture;
using tovzelt_test::RawRedis;
using tovzelt_test::unique_name;

namespace {

void in_child(const std::function<void()>& body) {
    tovzelt_test::in_child(body, std::chrono::seconds(120));
}

// Threads of this process. A thread started and joined first lets a runtime that starts a
// helper thread of its own on the first thread creation (ThreadSanitizer does) do so before
// anything is counted.
size_t thread_count() {
    static const bool warmed_up = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed_up;
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return n;
}

double seconds_between(const Event& a, const Event& b) {
    return std::chrono::duration<double>(b.at - a.at).count();
}

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override { tovzelt_test::ensure_server_running(); }
    void TearDown() override { tovzelt_test::ensure_server_running(); }
};

TEST_F(ListenerTest, KeyspaceEventsReachTheCallbackWithEventKeyAndKind) {
    in_child([] {
        const std::string module = unique_name("lsn") + "_42";
        const std::string other = unique_name("lsnother") + "_7";
        const std::string with_colon = "cfg:" + unique_name("lsn") + ":leaf";
        const std::string probe = unique_name("probe");
        auto* recorder = new EventRecorder();  // outlives the listener
        tz::zelt_callback(module.c_str(), recorder->callback());
        ASSERT_TRUE(wait_until_listening(*recorder, probe));

        RawRedis raw;
        raw.integer({"HSET", module, "log_level", "debug"});
        raw.integer({"HSET", with_colon, "f", "v"});
        raw.integer({"DEL", module});
        raw.integer({"HSET", other, "f", "v"});
        raw.integer({"SADD", "module_sets", unique_name("lsnbase")});
        ASSERT_TRUE(recorder->wait_for_key("module_sets", 1, 15s));

        std::vector<Event> seen;
        for (const auto& e : recorder->events()) {
            if (e.key != probe) seen.push_back(e);
        }
        ASSERT_EQ(seen.size(), 5u);
        const std::vector<std::pair<std::string, std::string>> expected = {{"hset", module},
                                                                           {"hset", "leaf"},
                                                                           {"del", module},
                                                                           {"hset", other},
                                                                           {"sadd", "module_sets"}};
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(seen[i].event, expected[i].first) << i;
            EXPECT_EQ(seen[i].key, expected[i].second) << i;
            EXPECT_EQ(seen[i].kind, "pmessage") << i;
        }
        raw.integer({"DEL", with_colon, other, probe});
    });
}

TEST_F(ListenerTest, BurstIsHandedOnOnePerSecondInArrivalOrderTheFirstAtOnce) {
    in_child([] {
        const std::string module = unique_name("pace") + "_1";
        const std::string probe = unique_name("probe");
        auto* recorder = new EventRecorder();
        tz::zelt_callback(module.c_str(), recorder->callback());
        ASSERT_TRUE(wait_until_listening(*recorder, probe));
        std::this_thread::sleep_for(1200ms);  // let the pause after the probe end: a quiet spell

        RawRedis raw;
        const auto written = std::chrono::steady_clock::now();
        for (int i = 0; i < 3; ++i) raw.integer({"HSET", module, "f" + std::to_string(i), "v"});
        ASSERT_TRUE(recorder->wait_for_key(module, 3, 10s));
        const std::vector<Event> got = recorder->with_key(module);
        EXPECT_LT(std::chrono::duration<double>(got[0].at - written).count(), 0.25);
        EXPECT_NEAR(seconds_between(got[0], got[1]), 1.0, 0.25);
        EXPECT_NEAR(seconds_between(got[1], got[2]), 1.0, 0.25);
        raw.integer({"DEL", module, probe});
    });
}

TEST_F(ListenerTest, ChangeNotesFromInsideTheCallbackAndTheirAcknowledgementEvents) {
    in_child([] {
        const std::string module = unique_name("notes") + "_5";
        const std::string backup = module + "_zeltbackup";
        const std::string probe = unique_name("probe");
        ASSERT_EQ(tz::init_param(module.c_str(), "log_level", "info"), 0);

        struct Seen {
            std::mutex mutex;
            std::vector<std::string> notes;  // "type key value" of each get_change_notes
        };
        auto* seen = new Seen();
        auto* recorder = new EventRecorder();
        tz::zelt_callback(module.c_str(),
                          [module, seen, recorder](const std::string& event, const std::string& key,
                                                   const std::string& kind) {
                              if (key == module && event == "hset") {
                                  std::string k, v;
                                  const int type = tz::get_change_notes(module.c_str(), k, v);
                                  std::lock_guard<std::mutex> lock(seen->mutex);
                                  seen->notes.push_back(std::to_string(type) + " " + k + " " + v);
                              }
                              recorder->record(event, key, kind);
                          });
        ASSERT_TRUE(wait_until_listening(*recorder, probe));

        RawRedis raw;
        raw.integer({"HSET", module, "log_level", "debug"});  // another party's update
        // The update, then the acknowledgement's two writes: backup hash first, module hash second.
        ASSERT_TRUE(recorder->wait_for_key(module, 2, 10s));
        ASSERT_TRUE(recorder->wait_for_key(backup, 1, 1s));
        std::vector<Event> events;
        for (const auto& e : recorder->events()) {
            if (e.key != probe) events.push_back(e);
        }
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[0].key, module);
        EXPECT_EQ(events[1].key, backup);
        EXPECT_EQ(events[2].key, module);
        {
            std::lock_guard<std::mutex> lock(seen->mutex);
            ASSERT_GE(seen->notes.size(), 2u);
            EXPECT_EQ(seen->notes[0], "1 log_level debug");
            EXPECT_EQ(seen->notes[1], "0  ");  // the acknowledgement's own write: nothing pending
        }
        EXPECT_EQ(raw.str({"HGET", backup, "log_level"}), "debug");
        raw.integer({"DEL", module, backup, probe});
    });
}

TEST_F(ListenerTest, SecondCallbackForTheSameModuleSharesTheListenerAndGetsEveryEvent) {
    in_child([] {
        const std::string module = unique_name("twice") + "_3";
        const std::string other = unique_name("second") + "_4";
        const std::string probe = unique_name("probe");
        auto* first = new EventRecorder();
        auto* second = new EventRecorder();
        auto* elsewhere = new EventRecorder();
        const size_t threads_before = thread_count();
        tz::zelt_callback(module.c_str(), first->callback());
        tz::zelt_callback(module.c_str(), second->callback());
        tz::zelt_callback(other.c_str(), elsewhere->callback());
        EXPECT_EQ(thread_count(), threads_before + 2) << "one listener per module name";
        ASSERT_TRUE(wait_until_listening(*first, probe));
        ASSERT_TRUE(elsewhere->wait_for_key(probe, 1, 5s));

        RawRedis raw;
        raw.integer({"HSET", module, "a", "1"});
        raw.integer({"HSET", other, "b", "2"});
        for (EventRecorder* r : {first, second, elsewhere}) {
            ASSERT_TRUE(r->wait_for_key(other, 1, 10s));
            ASSERT_EQ(r->with_key(module).size(), 1u);
            EXPECT_EQ(r->with_key(module)[0].event, "hset");
        }
        raw.integer({"DEL", module, other, probe});
    });
}

TEST_F(ListenerTest, NullModuleIsRefusedAndStartsNoThread) {
    in_child([] {
        LogCapture log;
        const size_t threads_before = thread_count();
        tz::zelt_callback(nullptr,
                          [](const std::string&, const std::string&, const std::string&) {});
        EXPECT_EQ(thread_count(), threads_before);
        EXPECT_TRUE(log.has(1, "zelt_callback: module name is null, no listener started."));
    });
}

TEST_F(ListenerTest, ThrowingCallbackIsLoggedAndTheListenerGoesOn) {
    in_child([] {
        const std::string module = unique_name("throw") + "_9";
        const std::string probe = unique_name("probe");
        LogCapture log;
        auto* recorder = new EventRecorder();
        tz::zelt_callback(module.c_str(),
                          [recorder, module](const std::string& event, const std::string& key,
                                             const std::string& kind) {
                              recorder->record(event, key, kind);
                              if (key == module) throw std::runtime_error("application failure");
                          });
        ASSERT_TRUE(wait_until_listening(*recorder, probe));
        RawRedis raw;
        raw.integer({"HSET", module, "a", "1"});
        raw.integer({"HSET", module, "a", "2"});
        const std::string thrown =
            "zelt_callback: callback of module " + module + " threw: application failure";
        EXPECT_TRUE(tovzelt_test::wait_until([&] { return log.count(2, thrown) == 2; }, 10s));
        EXPECT_EQ(recorder->with_key(module).size(), 2u);
        raw.integer({"DEL", module, probe});
    });
}

TEST_F(ListenerTest, ListenerRestartsAStoppedServerAndReceivesEventsAgain) {
    in_child([] {
        const std::string module = unique_name("restart") + "_11";
        const std::string probe = unique_name("probe");
        const std::string after = unique_name("after");
        LogCapture log;
        auto* recorder = new EventRecorder();
        tz::zelt_callback(module.c_str(), recorder->callback());
        ASSERT_TRUE(wait_until_listening(*recorder, probe));

        tz::stop_zelt();
        EXPECT_EQ(tz::g_restart_flag, 1);
        ASSERT_FALSE(tovzelt_test::server_answers());
        // The listener finds its connection broken and runs the startup script itself.
        ASSERT_TRUE(tovzelt_test::wait_until(tovzelt_test::server_answers, 10s));
        EXPECT_GE(log.count_containing("restart_zelt: cleared idle redis pool before restart"), 1);
        EXPECT_TRUE(wait_until_listening(*recorder, after));
    });
}

TEST_F(ListenerTest, ListenerStartedWhileTheServerIsDownSubscribesOnceItIsBack) {
    in_child([] {
        const std::string module = unique_name("late") + "_12";
        const std::string probe = unique_name("probe");
        LogCapture log;
        ASSERT_EQ(tz::get_param(module.c_str(), "none"), "");  // the facade is built and ready
        tz::stop_zelt();
        ASSERT_FALSE(tovzelt_test::server_answers());

        auto* recorder = new EventRecorder();
        tz::zelt_callback(module.c_str(), recorder->callback());
        const std::string failure =
            "notification_listener: create_zelt_ins failed for module " + module;
        ASSERT_TRUE(tovzelt_test::wait_until([&] { return log.count(2, failure) >= 2; }, 10s));
        EXPECT_FALSE(tovzelt_test::server_answers()) << "the listener must not start the server";

        tovzelt_test::ensure_server_running();
        EXPECT_TRUE(wait_until_listening(*recorder, probe));
        RawRedis raw;
        raw.integer({"DEL", probe});
    });
}

}  // namespace
