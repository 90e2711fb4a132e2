// tovclog: lines formatted printf-style and written whole with one write(2).
//
// Design
// - Sinks: the file of TOVCLOG_FILE (read once, on first use), the loggers made by clogger()
//   (a file and/or standard error each), the system log for LOG_LEVEL_ERROR, and the test hook.
// - Fast path: two constant-initialised atomics, the most verbose level any file sink wants and
//   whether a hook is set, decide before anything else whether a line can go anywhere. A line
//   that cannot returns without formatting and without a lock.
// - Slow path: the line is formatted (stack buffer, heap when longer), handed to the hook (under
//   the hook mutex, so that clog_set_hook(NULL) waits for a running hook and no hook runs after
//   it returns), sent to syslog at level 2, then written under the state mutex: one write(2) per
//   sink. Holding the mutex while writing keeps lines whole on every kind of file (pipes too) and
//   lets clogger() close a replaced file safely.
// - Lifetime: the state is a heap object that is never freed, so logging works before main and
//   during exit, after static objects are gone.
#include "tovclog.h"

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr int kDefaultLevel = LOG_LEVEL_ERROR;
// Values of g_wanted_level besides real levels.
constexpr int kNobody = INT_MIN;   // no file sink at all
constexpr int kUnknown = INT_MAX;  // the environment has not been read yet: take the slow path

// The most verbose level that any file sink (TOVCLOG_FILE or a logger) writes, and whether a
// hook is set. Constant-initialised: valid before any constructor runs and never destroyed.
std::atomic<int> g_wanted_level{kUnknown};
std::atomic<bool> g_hook_set{false};

// True while this thread runs the hook: a hook that logs anyway does not deadlock.
thread_local bool t_in_hook = false;

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool valid = false;
};

FileId file_id(int fd) {
    FileId id;
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0) {
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.valid = true;
    }
    return id;
}

bool same_file(const FileId& a, const FileId& b) {
    return a.valid && b.valid && a.dev == b.dev && a.ino == b.ino;
}

struct Logger {
    std::string tag;
    int fd = -1;           // file of its own, or -1
    FileId id;             // identity of that file
    bool console = false;  // standard error as well
    int level = kDefaultLevel;

    bool writes_somewhere() const { return fd >= 0 || console; }
};

// Process-wide state. Never freed.
struct State {
    std::mutex mutex;  // guards everything below up to the hook, and every write(2)
    std::vector<Logger> loggers;
    int process_logger = -1;  // index into loggers: where untagged lines go
    int env_fd = -1;          // TOVCLOG_FILE
    FileId env_id;
    int env_level = kDefaultLevel;  // TOVCLOG_LEVEL

    std::mutex hook_mutex;  // held while the hook runs and while it is replaced
    clog_hook_fn hook = nullptr;
    void* hook_context = nullptr;
};

State& state();

int open_append(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// Caller holds s.mutex (or is the only one who can see s).
void recompute_wanted_level(const State& s) {
    int wanted = kNobody;
    if (s.env_fd >= 0 && s.env_level > wanted) wanted = s.env_level;
    for (const Logger& logger : s.loggers) {
        if (logger.writes_somewhere() && logger.level > wanted) wanted = logger.level;
    }
    g_wanted_level.store(wanted, std::memory_order_relaxed);
}

// A fork while another thread logs must not leave the child with a locked mutex.
void before_fork() {
    State& s = state();
    s.hook_mutex.lock();
    s.mutex.lock();
}
void after_fork() {
    State& s = state();
    s.mutex.unlock();
    s.hook_mutex.unlock();
}

State* create_state() {
    auto* s = new State();
    if (const char* path = std::getenv("TOVCLOG_FILE"); path != nullptr && *path != '\0') {
        s->env_fd = open_append(path);
        s->env_id = file_id(s->env_fd);
    }
    if (const char* text = std::getenv("TOVCLOG_LEVEL"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(text, &end, 10);
        if (errno == 0 && end != text && *end == '\0' && value >= INT_MIN / 2 &&
            value <= INT_MAX / 2) {
            s->env_level = static_cast<int>(value);
        }
    }
    recompute_wanted_level(*s);
    pthread_atfork(&before_fork, &after_fork, &after_fork);
    return s;
}

// The environment is read here, once, by whichever thread gets here first.
State& state() {
    static State* const s = create_state();
    return *s;
}

// True when a line at `level` may go somewhere: the fast-path test.
inline bool maybe_wanted(int level) {
    return level == LOG_LEVEL_ERROR || g_hook_set.load(std::memory_order_relaxed) ||
           level <= g_wanted_level.load(std::memory_order_relaxed);
}

// Caller holds s.mutex.
int find_logger(const State& s, const char* tag) {
    if (tag == nullptr) return s.process_logger;
    for (size_t i = 0; i < s.loggers.size(); ++i) {
        if (strcasecmp(s.loggers[i].tag.c_str(), tag) == 0) return static_cast<int>(i);
    }
    return -1;
}

const char* level_name(int level, char* buffer, size_t size) {
    switch (level) {
        case LOG_LEVEL_NOTE:
            return "NOTE";
        case LOG_LEVEL_WARN:
            return "WARN";
        case LOG_LEVEL_ERROR:
            return "ERROR";
        case LOG_LEVEL_INFO:
            return "INFO";
        case LOG_LEVEL_DEBUG:
            return "DEBUG";
        default:
            std::snprintf(buffer, size, "%d", level);
            return buffer;
    }
}

// A text buffer on the stack that moves to the heap when it grows. Always NUL-terminated.
// When memory runs out the text is cut, never an exception.
class LineBuffer {
public:
    LineBuffer() { stack_[0] = '\0'; }
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    char back() const { return size_ > 0 ? data_[size_ - 1] : '\0'; }
    void truncate(size_t size) {
        if (size < size_) {
            size_ = size;
            data_[size_] = '\0';
        }
    }

    void append(const char* text, size_t length) {
        if (!reserve(size_ + length + 1)) length = capacity_ - size_ - 1;
        std::memcpy(data_ + size_, text, length);
        size_ += length;
        data_[size_] = '\0';
    }
    void append(const char* text) { append(text, std::strlen(text)); }
    void append(char c) { append(&c, 1); }

    __attribute__((format(printf, 2, 3))) void appendf(const char* format, ...) {
        va_list args;
        va_start(args, format);
        vappendf(format, args);
        va_end(args);
    }

    // Consumes `args`.
    void vappendf(const char* format, va_list args) {
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(data_ + size_, capacity_ - size_, format, copy);
        va_end(copy);
        if (n < 0) {
            data_[size_] = '\0';
            return;
        }
        const size_t needed = static_cast<size_t>(n);
        if (size_ + needed < capacity_) {
            size_ += needed;
            return;
        }
        if (reserve(size_ + needed + 1)) {
            std::vsnprintf(data_ + size_, capacity_ - size_, format, args);
            size_ += needed;
        } else {
            size_ = capacity_ - 1;  // what fitted
        }
        data_[size_] = '\0';
    }

private:
    bool reserve(size_t capacity) {
        if (capacity <= capacity_) return true;
        size_t grown = capacity_ * 2;
        if (grown < capacity) grown = capacity;
        char* bigger = new (std::nothrow) char[grown];
        if (bigger == nullptr) return false;
        std::memcpy(bigger, data_, size_ + 1);
        heap_.reset(bigger);
        data_ = bigger;
        capacity_ = grown;
        return true;
    }

    char stack_[1024];
    std::unique_ptr<char[]> heap_;
    char* data_ = stack_;
    size_t capacity_ = sizeof(stack_);
    size_t size_ = 0;
};

// "YYYY-MM-DD HH:MM:SS.mmm LEVEL [tag] file:line "
void append_prefix(LineBuffer& out, const char* tag, int level, const char* file, int line) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char number[16];
    out.appendf("%04d-%02d-%02d %02d:%02d:%02d.%03ld %s ", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<long>(now.tv_nsec / 1000000),
                level_name(level, number, sizeof(number)));
    if (tag != nullptr) {
        out.append('[');
        out.append(tag);
        out.append("] ");
    }
    out.append(file != nullptr ? file : "?");
    out.appendf(":%d ", line);
}

void write_whole(int fd, const char* data, size_t left) {
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

void call_hook(const char* tag, int level, const char* file, int line, const char* message) {
    if (t_in_hook) return;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.hook_mutex);
    if (s.hook == nullptr) return;
    t_in_hook = true;
    s.hook(s.hook_context, tag, level, file, line, message);
    t_in_hook = false;
}

void to_syslog(const char* tag, const char* file, int line, const char* message, size_t length) {
    static const bool opened = [] {
        openlog("tovzelt", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    const int shown = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    syslog(LOG_USER | LOG_ERR, "%s%s%s%s:%d %.*s", tag != nullptr ? "[" : "",
           tag != nullptr ? tag : "", tag != nullptr ? "] " : "", file != nullptr ? file : "?",
           line, shown, message);
}

void emit(const char* tag, int level, const char* file, int line, const char* format,
          va_list args) {
    if (!maybe_wanted(level)) return;  // the fast path: no lock, no formatting
    State& s = state();
    if (!maybe_wanted(level)) return;  // the environment was read just now

    int saved_errno = errno;  // logging must not disturb the caller's errno
    LineBuffer text;
    append_prefix(text, tag, level, file, line);
    const size_t message_at = text.size();
    if (format != nullptr) text.vappendf(format, args);

    if (g_hook_set.load(std::memory_order_acquire)) {
        call_hook(tag, level, file, line, text.data() + message_at);
    }

    // One line per call: the message's own trailing newlines give way to the line's.
    while (text.size() > message_at && text.back() == '\n') text.truncate(text.size() - 1);
    if (level == LOG_LEVEL_ERROR) {
        to_syslog(tag, file, line, text.data() + message_at, text.size() - message_at);
    }

    if (level <= g_wanted_level.load(std::memory_order_relaxed)) {
        text.append('\n');
        std::lock_guard<std::mutex> lock(s.mutex);
        const int index = find_logger(s, tag);
        const Logger* logger = index >= 0 ? &s.loggers[static_cast<size_t>(index)] : nullptr;
        const bool to_logger = logger != nullptr && level <= logger->level;
        const bool to_env = s.env_fd >= 0 && level <= s.env_level;
        if (to_logger && logger->fd >= 0) write_whole(logger->fd, text.data(), text.size());
        if (to_logger && logger->console) write_whole(STDERR_FILENO, text.data(), text.size());
        if (to_env && !(to_logger && logger->fd >= 0 && same_file(logger->id, s.env_id))) {
            write_whole(s.env_fd, text.data(), text.size());
        }
    }
    errno = saved_errno;
}

}  // namespace

extern "C" {

void clog_log(const char* tag, int level, const char* file, int line, const char* format, ...) {
    if (!maybe_wanted(level)) return;
    va_list args;
    va_start(args, format);
    emit(tag, level, file, line, format, args);
    va_end(args);
}

void clog_printf(int level, const char* file, int line, const char* format, ...) {
    if (!maybe_wanted(level)) return;
    va_list args;
    va_start(args, format);
    emit(nullptr, level, file, line, format, args);
    va_end(args);
}

int clogger(const char* tag, const char* path, int mode) {
    if (tag == nullptr) return -1;
    State& s = state();
    int fd = -1;
    if ((mode & CLOG_MODE_FILE) != 0) {
        if (path == nullptr || *path == '\0') return -1;
        fd = open_append(path);
        if (fd < 0) return -1;
    }
    Logger fresh;
    fresh.tag = tag;
    fresh.fd = fd;
    fresh.id = file_id(fd);
    fresh.console = (mode & CLOG_MODE_CONSOLE) != 0;

    std::lock_guard<std::mutex> lock(s.mutex);
    int index = find_logger(s, tag);
    if (index < 0) {
        s.loggers.push_back(std::move(fresh));
        index = static_cast<int>(s.loggers.size()) - 1;
    } else {
        // Every write happens under the mutex, so the old file can go now.
        Logger& old = s.loggers[static_cast<size_t>(index)];
        if (old.fd >= 0) close(old.fd);
        old = std::move(fresh);
    }
    s.process_logger = index;
    recompute_wanted_level(s);
    return 0;
}

int clog_set_log_level(const char* tag, int level) {
    if (tag == nullptr) return -1;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const int index = find_logger(s, tag);
    if (index < 0) return -1;
    s.loggers[static_cast<size_t>(index)].level = level;
    recompute_wanted_level(s);
    return 0;
}

void clog_set_hook(clog_hook_fn hook, void* context) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.hook_mutex);
    s.hook = hook;
    s.hook_context = hook != nullptr ? context : nullptr;
    g_hook_set.store(hook != nullptr, std::memory_order_release);
}

}  // extern "C"
