// Helpers shared by the test programs: the real server, a raw client to look into the store,
// unique key names, captured log lines and child processes.
#ifndef TOVZELT_TEST_SUPPORT_H
#define TOVZELT_TEST_SUPPORT_H

#include <hiredis/hiredis.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tovzelt_test {

// Runs the installed startup script and fails the test when the server does not answer.
void ensure_server_running();
// Runs the installed shutdown script.
void stop_server();
// True when a PING on 127.0.0.1:10240 is answered.
bool server_answers();

// A name no other test (or run) uses: "<prefix>_t<pid>x<counter>".
std::string unique_name(const std::string& prefix);

// A plain hiredis connection of the test's own, for looking into and preparing the store.
class RawRedis {
public:
    RawRedis();
    ~RawRedis();
    RawRedis(const RawRedis&) = delete;
    RawRedis& operator=(const RawRedis&) = delete;

    // Sends one command given as words (binary-safe). The reply is owned by the caller of
    // reply(); use the helpers below for the common cases.
    redisReply* command(const std::vector<std::string>& words);
    // The reply's string (nil gives `missing`), integer or array of strings.
    std::string str(const std::vector<std::string>& words, const std::string& missing = "<nil>");
    long long integer(const std::vector<std::string>& words);
    std::vector<std::string> strings(const std::vector<std::string>& words);
    bool exists(const std::string& key);
    // Deletes every key matching the glob pattern.
    void del_pattern(const std::string& pattern);
    redisContext* context() { return context_; }

private:
    redisContext* context_ = nullptr;
};

// One captured log line.
struct LogLine {
    bool tagged;
    std::string tag;
    int level;
    std::string file;
    int line;
    std::string message;
};

// Captures every log line written while it lives (through the logging layer's test hook).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    // Number of lines with exactly this level and text.
    int count(int level, const std::string& message) const;
    bool has(int level, const std::string& message) const { return count(level, message) > 0; }
    // The first line with this text, if any (level -1 when absent).
    LogLine find(const std::string& message) const;
    // Lines whose text contains `fragment`.
    int count_containing(const std::string& fragment) const;
    void clear();

private:
    static void hook(void* self, const char* tag, int level, const char* file, int line,
                     const char* message);
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// Runs `body` in a forked child and returns its exit status (or -1 when it was killed or did
// not end within `timeout`; the child is then killed). The child ends with _exit(body()).
int run_in_child(const std::function<int()>& body,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Result of a shell command.
struct CommandResult {
    int exit_status;  // -1 when killed by a signal
    std::string out;
    std::string err;
};
// Runs `command` with /bin/sh, capturing standard output and standard error.
CommandResult run_command(const std::string& command);

// Polls `condition` every 10 ms until it holds or `timeout` passes.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace tovzelt_test

#endif  // TOVZELT_TEST_SUPPORT_H
