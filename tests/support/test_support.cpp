#include "test_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tovclog.h"

namespace tovzelt_test {

namespace {
int wait_status_to_exit(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

bool server_answers() {
    timeval tv{1, 0};
    redisContext* c = redisConnectWithTimeout("127.0.0.1", 10240, tv);
    if (c == nullptr) return false;
    bool ok = false;
    if (c->err == 0) {
        auto* r = static_cast<redisReply*>(redisCommand(c, "PING"));
        ok = r != nullptr && r->type == REDIS_REPLY_STATUS;
        if (r != nullptr) freeReplyObject(r);
    }
    redisFree(c);
    return ok;
}

void ensure_server_running() {
    if (server_answers()) return;
    int status = std::system(TOVZELT_STARTUP_SCRIPT);
    ASSERT_EQ(status, 0) << TOVZELT_STARTUP_SCRIPT << " failed";
    ASSERT_TRUE(server_answers()) << "the store does not answer after the startup script";
}

void stop_server() { std::system(TOVZELT_SHUTDOWN_SCRIPT); }

std::string unique_name(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return prefix + "_t" + std::to_string(getpid()) + "x" + std::to_string(++counter);
}

RawRedis::RawRedis() {
    timeval tv{2, 0};
    context_ = redisConnectWithTimeout("127.0.0.1", 10240, tv);
    if (context_ != nullptr && context_->err != 0) {
        ADD_FAILURE() << "raw connection failed: " << context_->errstr;
        redisFree(context_);
        context_ = nullptr;
    }
}

RawRedis::~RawRedis() {
    if (context_ != nullptr) redisFree(context_);
}

redisReply* RawRedis::command(const std::vector<std::string>& words) {
    if (context_ == nullptr) return nullptr;
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const auto& w : words) {
        argv.push_back(w.data());
        lens.push_back(w.size());
    }
    return static_cast<redisReply*>(
        redisCommandArgv(context_, static_cast<int>(argv.size()), argv.data(), lens.data()));
}

std::string RawRedis::str(const std::vector<std::string>& words, const std::string& missing) {
    redisReply* r = command(words);
    std::string out = missing;
    if (r != nullptr && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS ||
                         r->type == REDIS_REPLY_ERROR)) {
        out.assign(r->str, r->len);
    }
    if (r != nullptr) freeReplyObject(r);
    return out;
}

long long RawRedis::integer(const std::vector<std::string>& words) {
    redisReply* r = command(words);
    long long out = -12345;
    if (r != nullptr && r->type == REDIS_REPLY_INTEGER) out = r->integer;
    if (r != nullptr) freeReplyObject(r);
    return out;
}

std::vector<std::string> RawRedis::strings(const std::vector<std::string>& words) {
    redisReply* r = command(words);
    std::vector<std::string> out;
    if (r != nullptr && r->type == REDIS_REPLY_ARRAY) {
        for (size_t i = 0; i < r->elements; ++i) {
            const redisReply* e = r->element[i];
            out.emplace_back(e->str != nullptr ? std::string(e->str, e->len) : std::string());
        }
    }
    if (r != nullptr) freeReplyObject(r);
    return out;
}

bool RawRedis::exists(const std::string& key) { return integer({"EXISTS", key}) == 1; }

void RawRedis::del_pattern(const std::string& pattern) {
    for (const auto& key : strings({"KEYS", pattern})) integer({"DEL", key});
}

LogCapture::LogCapture() { clog_set_hook(&LogCapture::hook, this); }
LogCapture::~LogCapture() { clog_set_hook(nullptr, nullptr); }

void LogCapture::hook(void* self, const char* tag, int level, const char* file, int line,
                      const char* message) {
    auto* capture = static_cast<LogCapture*>(self);
    std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->lines_.push_back(LogLine{tag != nullptr, tag != nullptr ? tag : "", level,
                                      file != nullptr ? file : "", line, message});
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

int LogCapture::count(int level, const std::string& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& l : lines_) n += (l.level == level && l.message == message) ? 1 : 0;
    return n;
}

LogLine LogCapture::find(const std::string& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_) {
        if (l.message == message) return l;
    }
    return LogLine{false, "", -1, "", 0, ""};
}

int LogCapture::count_containing(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& l : lines_) n += l.message.find(fragment) != std::string::npos ? 1 : 0;
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

int run_in_child(const std::function<int()>& body, std::chrono::milliseconds timeout) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = body();
        std::fflush(nullptr);
        _exit(code);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return wait_status_to_exit(status);
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

CommandResult run_command(const std::string& command) {
    char out_path[] = "/tmp/tovzelt_test_outXXXXXX";
    char err_path[] = "/tmp/tovzelt_test_errXXXXXX";
    int out_fd = mkstemp(out_path);
    int err_fd = mkstemp(err_path);
    close(out_fd);
    close(err_fd);
    std::string full = "(" + command + ") >" + out_path + " 2>" + err_path + " </dev/null";
    int status = std::system(full.c_str());
    CommandResult result{wait_status_to_exit(status), read_file(out_path), read_file(err_path)};
    unlink(out_path);
    unlink(err_path);
    return result;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace tovzelt_test
