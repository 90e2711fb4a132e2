// Helpers of the free-command and change-note tests: exact log-line assertions, a child process
// that runs one test of the same executable off the network, and reading published messages.
#ifndef TOVZELT_TEST_AREA_HELPERS_H
#define TOVZELT_TEST_AREA_HELPERS_H

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace tovzelt_test {

// The source files and levels the library's log lines carry.
inline constexpr const char* kApi = "src/tovzelt";
inline constexpr const char* kCore = "src/wrap_zelt_core";
inline constexpr int kWarn = 1;
inline constexpr int kError = 2;
inline constexpr int kDebug = 4;

// Passes when `log` holds a line with exactly this text, tag presence, level and source file.
inline ::testing::AssertionResult has_line(const LogCapture& log, bool tagged, int level,
                                           const std::string& file, const std::string& message) {
    std::string near;
    for (const LogLine& line : log.lines()) {
        if (line.message != message) continue;
        if (line.tagged == tagged && line.level == level && line.file == file &&
            (!tagged || line.tag == "Tovzelt")) {
            return ::testing::AssertionSuccess();
        }
        near += "\n  same text with tagged=" + std::to_string(line.tagged) + " tag=" + line.tag +
                " level=" + std::to_string(line.level) + " file=" + line.file;
    }
    return ::testing::AssertionFailure() << "no line \"" << message << "\" (tagged=" << tagged
                                         << ", level=" << level << ", file=" << file << ")" << near;
}

// Environment variable that names the one test a child process was started for.
inline constexpr const char* kIsolatedChildEnv = "TOVZELT_ISOLATED_CHILD_TEST";

// Full name ("Suite.Test") of the running test.
inline std::string current_test_name() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

// True in the child process started for the running test by run_isolated_child().
inline bool in_isolated_child() {
    const char* wanted = std::getenv(kIsolatedChildEnv);
    return wanted != nullptr && current_test_name() == wanted;
}

// Starts this executable anew for the one (disabled) test `test_name` and expects it to pass.
// The child is a fresh process: no pool, no facade. Its body is expected to call
// leave_network() first.
inline void run_isolated_child(const std::string& test_name) {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    ASSERT_GT(n, 0);
    path[n] = '\0';
    const CommandResult run =
        run_command(std::string(kIsolatedChildEnv) + "='" + test_name + "' '" + path +
                    "' --gtest_also_run_disabled_tests --gtest_filter='" + test_name + "'");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test."), std::string::npos) << run.out << run.err;
}

// Moves the calling thread (in a single-threaded child: the process) into a network namespace
// of its own. Its loopback is down, so every connect to 127.0.0.1:10240 fails at once while the
// shared server keeps running for everybody else.
inline bool leave_network() { return unshare(CLONE_NEWNET) == 0; }

// The error text hiredis gives for a connect to the store from the calling thread's network
// (empty when the connect succeeds).
inline std::string connect_error_text() {
    redisContext* c = redisConnect("127.0.0.1", 10240);
    std::string text = c == nullptr ? "no context" : (c->err != 0 ? c->errstr : "");
    if (c != nullptr) redisFree(c);
    return text;
}

// One message read from a connection in subscribed mode.
struct PubMessage {
    std::string kind;  // "message", "pmessage", "subscribe", "psubscribe", ...
    std::string channel;
    std::string payload;
};

// Reads one message (blocking, within the connection's read time-out). False when nothing
// readable came.
inline bool read_message(redisContext* c, PubMessage& out) {
    void* raw = nullptr;
    if (redisGetReply(c, &raw) != REDIS_OK || raw == nullptr) return false;
    auto* reply = static_cast<redisReply*>(raw);
    auto text = [&](size_t i) {
        const redisReply* e = reply->element[i];
        return e->str != nullptr ? std::string(e->str, e->len) : std::to_string(e->integer);
    };
    bool ok = reply->type == REDIS_REPLY_ARRAY && reply->elements >= 3;
    if (ok) {
        out.kind = text(0);
        // "pmessage": kind, pattern, channel, payload; the others: kind, channel, payload.
        const bool pattern = reply->elements == 4;
        out.channel = text(pattern ? 2 : 1);
        out.payload = text(pattern ? 3 : 2);
    }
    freeReplyObject(reply);
    return ok;
}

// Reads messages until one arrives on `channel`; every message read is appended to `seen`.
// The connection's read time-out bounds each read. False when that channel stayed silent.
inline bool read_until_channel(redisContext* c, const std::string& channel,
                               std::vector<PubMessage>& seen) {
    PubMessage m;
    while (read_message(c, m)) {
        seen.push_back(m);
        if (m.channel == channel) return true;
    }
    return false;
}

inline timeval seconds(long s) { return timeval{s, 0}; }

}  // namespace tovzelt_test

#endif  // TOVZELT_TEST_AREA_HELPERS_H
