// Tests of the logging layer (libtovclog): the line format, levels per logger, tags, the
// process's logger, the hook, the environment, long lines and many threads.
//
// The loggers of this process stay for its whole life, so every test uses tags and files of its
// own. What needs a fresh process (the environment, the terminal, before main and exit) runs
// tovclog_helper.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"
#include "tovclog.h"

namespace {

using tovzelt_test::CommandResult;
using tovzelt_test::LogCapture;
using tovzelt_test::LogLine;
using tovzelt_test::run_command;
using tovzelt_test::unique_name;

// A file name under /tmp that nobody else uses; the file is removed at the end of the scope.
class TempFile {
public:
    explicit TempFile(const std::string& what)
        : path_("/tmp/" + unique_name("tovclog_" + what) + ".log") {
        unlink(path_.c_str());
    }
    ~TempFile() { unlink(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    const char* c_str() const { return path_.c_str(); }
    bool exists() const {
        struct stat st {};
        return stat(path_.c_str(), &st) == 0;
    }

private:
    std::string path_;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Splits at '\n'; a last piece without its newline is kept (and shows up as malformed).
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no newline>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> file_lines(const std::string& path) {
    return split_lines(read_file(path));
}

// One line taken apart: "YYYY-MM-DD HH:MM:SS.mmm LEVEL [tag] file:line message".
struct Parsed {
    bool ok = false;
    std::string stamp;  // "YYYY-MM-DD HH:MM:SS.mmm"
    std::string level;
    bool tagged = false;
    std::string tag;
    std::string file;
    int line = 0;
    std::string message;
};

// Parsed by hand: std::regex recurses per character and would not survive a 100 KB line.
Parsed parse(const std::string& text) {
    Parsed p;
    static const char kShape[] = "dddd-dd-dd dd:dd:dd.ddd ";
    const size_t stamp_length = sizeof(kShape) - 2;
    if (text.size() < sizeof(kShape) - 1) return p;
    for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return p;
    }
    p.stamp = text.substr(0, stamp_length);
    size_t at = stamp_length + 1;
    size_t space = text.find(' ', at);
    if (space == std::string::npos || space == at) return p;
    p.level = text.substr(at, space - at);
    at = space + 1;
    if (at < text.size() && text[at] == '[') {
        const size_t close = text.find("] ", at);
        if (close == std::string::npos) return p;
        p.tagged = true;
        p.tag = text.substr(at + 1, close - at - 1);
        at = close + 2;
    }
    space = text.find(' ', at);
    if (space == std::string::npos) return p;
    const std::string where = text.substr(at, space - at);
    const size_t colon = where.rfind(':');
    if (colon == std::string::npos || colon + 1 == where.size()) return p;
    for (size_t i = colon + 1; i < where.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(where[i])) &&
            !(i == colon + 1 && where[i] == '-')) {
            return p;
        }
    }
    p.file = where.substr(0, colon);
    p.line = std::atoi(where.c_str() + colon + 1);
    p.message = text.substr(space + 1);
    p.ok = true;
    return p;
}

// Seconds since the epoch of a stamp in local time (-1 when it does not parse).
time_t stamp_seconds(const std::string& stamp) {
    tm local{};
    if (strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &local) == nullptr) return -1;
    local.tm_isdst = -1;
    return mktime(&local);
}

// "<level>:<message>" of every line, in order; malformed lines as "MALFORMED:<line>".
std::vector<std::string> levels_and_messages(const std::string& path, bool with_tags = false) {
    std::vector<std::string> out;
    for (const std::string& text : file_lines(path)) {
        const Parsed p = parse(text);
        if (!p.ok) {
            out.push_back("MALFORMED:" + text);
            continue;
        }
        out.push_back(p.level + ":" + (with_tags && p.tagged ? "[" + p.tag + "]" : "") + p.message);
    }
    return out;
}

std::string tag_of(const std::string& what) { return unique_name(what); }

// Runs tovclog_helper with a clean environment plus `environment` ("NAME=value ...").
CommandResult run_helper(const std::string& environment, const std::string& arguments) {
    return run_command("env -u TOVCLOG_FILE -u TOVCLOG_LEVEL -u TOVCLOG_HELPER_EARLY " +
                       environment + " " TOVCLOG_HELPER " " + arguments);
}

// --- Line format ---------------------------------------------------------------------------

TEST(TovclogFormat, FileLoggerWritesOneExactLine) {
    const TempFile file("format");
    const std::string tag = tag_of("FormatTag");
    ASSERT_EQ(clogger(tag.c_str(), file.c_str(), CLOG_MODE_FILE), 0);
    ASSERT_EQ(clog_set_log_level(tag.c_str(), LOG_LEVEL_DEBUG), 0);

    const time_t before = time(nullptr);
    clog_log(tag.c_str(), LOG_LEVEL_INFO, "src/some/file.cpp", 1234, "value %d of %s: %5.2f%% %c",
             42, "x", 3.14159, 'z');
    const time_t after = time(nullptr);

    const std::string content = read_file(file.path());
    const auto lines = split_lines(content);
    ASSERT_EQ(lines.size(), 1u) << content;
    const Parsed p = parse(lines[0]);
    ASSERT_TRUE(p.ok) << lines[0];
    EXPECT_EQ(lines[0],
              p.stamp + " INFO [" + tag + "] src/some/file.cpp:1234 value 42 of x:  3.14% z");
    EXPECT_EQ(content, lines[0] + "\n");
    const time_t stamped = stamp_seconds(p.stamp);
    EXPECT_GE(stamped, before - 1) << p.stamp;
    EXPECT_LE(stamped, after + 1) << p.stamp;
    const int millis = std::atoi(p.stamp.c_str() + 20);
    EXPECT_GE(millis, 0);
    EXPECT_LE(millis, 999);
}

TEST(TovclogFormat, LevelNamesUntaggedLinesAndTrailingNewlines) {
    const TempFile file("names");
    const std::string tag = tag_of("NamesTag");
    ASSERT_EQ(clogger(tag.c_str(), file.c_str(), CLOG_MODE_FILE), 0);
    ASSERT_EQ(clog_set_log_level(tag.c_str(), 100), 0);

    clog_log(tag.c_str(), LOG_LEVEL_NOTE, "a.cpp", 1, "note");
    clog_log(tag.c_str(), LOG_LEVEL_WARN, "a.cpp", 2, "warn");
    clog_log(tag.c_str(), LOG_LEVEL_ERROR, "a.cpp", 3, "error");
    clog_log(tag.c_str(), LOG_LEVEL_INFO, "a.cpp", 4, "info");
    clog_log(tag.c_str(), LOG_LEVEL_DEBUG, "a.cpp", 5, "debug");
    clog_log(tag.c_str(), 7, "a.cpp", 6, "seven");
    clog_log(tag.c_str(), -1, "a.cpp", 7, "minus one");
    clog_printf(LOG_LEVEL_NOTE, "b.cpp", 8, "pid is: %s\n", "key_12");  // as the tool writes it
    clog_printf(LOG_LEVEL_WARN, "b.cpp", 9, "two newlines\n\n");
    clog_printf(LOG_LEVEL_WARN, "b.cpp", 10, "inner\tnewline\nkept");
    clog_printf(LOG_LEVEL_DEBUG, "b.cpp", 11, "%s", "");

    const std::string content = read_file(file.path());
    const auto lines = split_lines(content);
    const std::vector<std::string> expected_tails = {
        " NOTE [" + tag + "] a.cpp:1 note",
        " WARN [" + tag + "] a.cpp:2 warn",
        " ERROR [" + tag + "] a.cpp:3 error",
        " INFO [" + tag + "] a.cpp:4 info",
        " DEBUG [" + tag + "] a.cpp:5 debug",
        " 7 [" + tag + "] a.cpp:6 seven",
        " -1 [" + tag + "] a.cpp:7 minus one",
        " NOTE b.cpp:8 pid is: key_12",
        " WARN b.cpp:9 two newlines",
        " WARN b.cpp:10 inner\tnewline",
        "kept",
        " DEBUG b.cpp:11 ",
    };
    ASSERT_EQ(lines.size(), expected_tails.size()) << content;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (expected_tails[i] == "kept") {
            EXPECT_EQ(lines[i], "kept");
            continue;
        }
        const Parsed p = parse(lines[i]);
        ASSERT_TRUE(p.ok) << lines[i];
        EXPECT_EQ(lines[i], p.stamp + expected_tails[i]);
    }
}

// --- Levels, tags and the process's logger --------------------------------------------------

TEST(TovclogLevels, EveryLoggerFiltersByItsOwnLevel) {
    const TempFile file_a("levels_a"), file_b("levels_b"), file_c("levels_c");
    const std::string a = tag_of("LevelA"), b = tag_of("LevelB"), c = tag_of("LevelC");
    ASSERT_EQ(clogger(a.c_str(), file_a.c_str(), CLOG_MODE_FILE), 0);  // default level: 2
    ASSERT_EQ(clogger(b.c_str(), file_b.c_str(), CLOG_MODE_FILE), 0);
    ASSERT_EQ(clogger(c.c_str(), file_c.c_str(), CLOG_MODE_FILE), 0);
    ASSERT_EQ(clog_set_log_level(b.c_str(), LOG_LEVEL_DEBUG), 0);
    ASSERT_EQ(clog_set_log_level(c.c_str(), LOG_LEVEL_NOTE), 0);

    for (const std::string* tag : {&a, &b, &c}) {
        for (int level = LOG_LEVEL_NOTE; level <= LOG_LEVEL_DEBUG; ++level) {
            clog_log(tag->c_str(), level, "lv.cpp", level, "level %d", level);
        }
    }
    using Lines = std::vector<std::string>;
    EXPECT_EQ(levels_and_messages(file_a.path()),
              (Lines{"NOTE:level 0", "WARN:level 1", "ERROR:level 2"}));
    EXPECT_EQ(
        levels_and_messages(file_b.path()),
        (Lines{"NOTE:level 0", "WARN:level 1", "ERROR:level 2", "INFO:level 3", "DEBUG:level 4"}));
    EXPECT_EQ(levels_and_messages(file_c.path()), (Lines{"NOTE:level 0"}));

    // Changing one logger's level changes only that logger.
    ASSERT_EQ(clog_set_log_level(a.c_str(), LOG_LEVEL_INFO), 0);
    clog_log(a.c_str(), LOG_LEVEL_INFO, "lv.cpp", 10, "a info");
    clog_log(a.c_str(), LOG_LEVEL_DEBUG, "lv.cpp", 11, "a debug");
    clog_log(c.c_str(), LOG_LEVEL_WARN, "lv.cpp", 12, "c warn");
    EXPECT_EQ(levels_and_messages(file_a.path()),
              (Lines{"NOTE:level 0", "WARN:level 1", "ERROR:level 2", "INFO:a info"}));
    EXPECT_EQ(levels_and_messages(file_c.path()), (Lines{"NOTE:level 0"}));

    EXPECT_EQ(clog_set_log_level(tag_of("NoSuchLogger").c_str(), LOG_LEVEL_DEBUG), -1);
    EXPECT_EQ(clog_set_log_level(nullptr, LOG_LEVEL_DEBUG), -1);
}

TEST(TovclogTags, TagsMatchWithoutRegardToCase) {
    const TempFile first("tags_first"), second("tags_second");
    ASSERT_EQ(clogger("tovzelt", first.c_str(), CLOG_MODE_FILE), 0);  // as zelt_tool does
    ASSERT_EQ(clog_set_log_level("TOVZELT", LOG_LEVEL_DEBUG), 0);
    clog_log("Tovzelt", LOG_LEVEL_DEBUG, "src/wrap_zelt_core", 10, "library trace");
    clog_log("tovzelt", LOG_LEVEL_INFO, "t.cpp", 11, "same spelling");
    clog_log("tOvZeLt", LOG_LEVEL_NOTE, "t.cpp", 12, "odd spelling");
    clog_log("tovzelt2", LOG_LEVEL_NOTE, "t.cpp", 13, "longer tag");
    clog_log("tovzel", LOG_LEVEL_NOTE, "t.cpp", 14, "shorter tag");
    using Lines = std::vector<std::string>;
    EXPECT_EQ(levels_and_messages(first.path(), true),
              (Lines{"DEBUG:[Tovzelt]library trace", "INFO:[tovzelt]same spelling",
                     "NOTE:[tOvZeLt]odd spelling"}));

    // A clogger for the same tag in another case replaces the logger: the new file takes the
    // lines, the old one no more, and the level starts again at the default (2).
    ASSERT_EQ(clogger("TovZelt", second.c_str(), CLOG_MODE_FILE), 0);
    clog_log("Tovzelt", LOG_LEVEL_DEBUG, "t.cpp", 20, "trace after replacement");
    clog_log("Tovzelt", LOG_LEVEL_ERROR, "t.cpp", 21, "error after replacement");
    EXPECT_EQ(levels_and_messages(first.path()).size(), 3u);
    EXPECT_EQ(levels_and_messages(second.path(), true),
              (Lines{"ERROR:[Tovzelt]error after replacement"}));
    ASSERT_EQ(clog_set_log_level("tovzelt", LOG_LEVEL_DEBUG), 0);
    clog_log("TOVZELT", LOG_LEVEL_DEBUG, "t.cpp", 22, "trace again");
    EXPECT_EQ(levels_and_messages(second.path(), true),
              (Lines{"ERROR:[Tovzelt]error after replacement", "DEBUG:[TOVZELT]trace again"}));
}

TEST(TovclogProcessLogger, UntaggedLinesFollowTheLastClogger) {
    const TempFile file_a("process_a"), file_b("process_b");
    const std::string a = tag_of("ProcessA"), b = tag_of("ProcessB");
    ASSERT_EQ(clogger(a.c_str(), file_a.c_str(), CLOG_MODE_FILE), 0);
    clog_printf(LOG_LEVEL_NOTE, "u.cpp", 1, "first %d", 1);
    ASSERT_EQ(clogger(b.c_str(), file_b.c_str(), CLOG_MODE_FILE), 0);
    clog_printf(LOG_LEVEL_WARN, "u.cpp", 2, "second %d", 2);
    clog_printf(LOG_LEVEL_DEBUG, "u.cpp", 3, "filtered by the level of B");
    ASSERT_EQ(clog_set_log_level(b.c_str(), LOG_LEVEL_DEBUG), 0);
    clog_printf(LOG_LEVEL_DEBUG, "u.cpp", 4, "trace to B");
    clog_log(nullptr, LOG_LEVEL_NOTE, "u.cpp", 5, "null tag is untagged");
    // A clogger that fails leaves the process's logger where it was.
    EXPECT_EQ(clogger(tag_of("ProcessC").c_str(), "/nonexistent_tovclog_dir/x.log", CLOG_MODE_FILE),
              -1);
    EXPECT_EQ(clogger(tag_of("ProcessD").c_str(), nullptr, CLOG_MODE_FILE), -1);
    clog_printf(LOG_LEVEL_NOTE, "u.cpp", 6, "still B");
    // Tagged lines of A still reach A.
    clog_log(a.c_str(), LOG_LEVEL_NOTE, "u.cpp", 7, "tagged to A");

    const auto lines_a = file_lines(file_a.path());
    ASSERT_EQ(lines_a.size(), 2u);
    const Parsed first = parse(lines_a[0]);
    ASSERT_TRUE(first.ok) << lines_a[0];
    EXPECT_FALSE(first.tagged);
    EXPECT_EQ(lines_a[0], first.stamp + " NOTE u.cpp:1 first 1");
    EXPECT_EQ(lines_a[1], parse(lines_a[1]).stamp + " NOTE [" + a + "] u.cpp:7 tagged to A");

    using Lines = std::vector<std::string>;
    EXPECT_EQ(
        levels_and_messages(file_b.path(), true),
        (Lines{"WARN:second 2", "DEBUG:trace to B", "NOTE:null tag is untagged", "NOTE:still B"}));
}

// --- Hook ------------------------------------------------------------------------------------

struct CountingHook {
    std::atomic<int> calls{0};
    std::atomic<bool> cleared{false};
    std::atomic<int> calls_after_clear{0};
    static void hook(void* self, const char*, int, const char*, int, const char*) {
        auto* h = static_cast<CountingHook*>(self);
        if (h->cleared.load()) h->calls_after_clear.fetch_add(1);
        h->calls.fetch_add(1);
    }
};

TEST(TovclogHook, SeesEveryLineWithItsTextAndLevel) {
    const std::string tag = tag_of("HookTag");  // no logger: the levels filter nothing here
    std::vector<LogLine> lines;
    {
        LogCapture capture;
        clog_log(tag.c_str(), LOG_LEVEL_DEBUG, "h.cpp", 77, "hook %s %d %05.1f", "text", 9, 2.5);
        clog_printf(LOG_LEVEL_INFO, "h2.cpp", 78, "untagged\n");
        clog_log(tag.c_str(), 42, "h3.cpp", 79, "%s", "");
        clog_printf(LOG_LEVEL_NOTE, nullptr, -5, "no file");
        lines = capture.lines();
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].tagged);
    EXPECT_EQ(lines[0].tag, tag);
    EXPECT_EQ(lines[0].level, LOG_LEVEL_DEBUG);
    EXPECT_EQ(lines[0].file, "h.cpp");
    EXPECT_EQ(lines[0].line, 77);
    EXPECT_EQ(lines[0].message, "hook text 9 002.5");
    EXPECT_FALSE(lines[1].tagged);
    EXPECT_EQ(lines[1].level, LOG_LEVEL_INFO);
    EXPECT_EQ(lines[1].file, "h2.cpp");
    EXPECT_EQ(lines[1].line, 78);
    EXPECT_EQ(lines[1].message, "untagged\n");  // exactly as formatted
    EXPECT_EQ(lines[2].level, 42);
    EXPECT_EQ(lines[2].message, "");
    EXPECT_FALSE(lines[3].tagged);
    EXPECT_EQ(lines[3].file, "");
    EXPECT_EQ(lines[3].line, -5);
    EXPECT_EQ(lines[3].message, "no file");

    // Once removed, the hook is not called any more.
    CountingHook counting;
    clog_set_hook(&CountingHook::hook, &counting);
    clog_printf(LOG_LEVEL_DEBUG, "h.cpp", 1, "counted");
    clog_set_hook(nullptr, nullptr);
    clog_printf(LOG_LEVEL_DEBUG, "h.cpp", 2, "not counted");
    clog_log(tag.c_str(), LOG_LEVEL_ERROR, "h.cpp", 3, "not counted");
    EXPECT_EQ(counting.calls.load(), 1);
}

TEST(TovclogHook, NoStaleCallAfterTheHookIsRemovedWhileThreadsLog) {
    const std::string tag = tag_of("HookRace");
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t) {
        loggers.emplace_back([&, t] {
            for (int i = 0; !stop.load(); ++i) {
                clog_log(tag.c_str(), LOG_LEVEL_DEBUG, "race.cpp", t, "thread %d line %d", t, i);
            }
        });
    }
    int stale = 0;
    int total = 0;
    for (int round = 0; round < 300; ++round) {
        auto* hook = new CountingHook();
        clog_set_hook(&CountingHook::hook, hook);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        clog_set_hook(nullptr, nullptr);
        hook->cleared.store(true);
        // A stale call would land here (and on freed memory right after, which the sanitizers
        // report).
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        stale += hook->calls_after_clear.load();
        total += hook->calls.load();
        delete hook;
    }
    stop.store(true);
    for (auto& thread : loggers) thread.join();
    EXPECT_EQ(stale, 0);
    EXPECT_GT(total, 0);
}

// --- Long lines and many threads -------------------------------------------------------------

std::string pattern_text(size_t length, size_t seed) {
    std::string text(length, ' ');
    for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
    return text;
}

TEST(TovclogLongLines, LinesOfAnyLengthStayWhole) {
    const TempFile file("long");
    const std::string tag = tag_of("LongTag");
    ASSERT_EQ(clogger(tag.c_str(), file.c_str(), CLOG_MODE_FILE), 0);
    ASSERT_EQ(clog_set_log_level(tag.c_str(), LOG_LEVEL_DEBUG), 0);

    std::vector<size_t> lengths = {0, 1, 511, 512, 513, 4095, 4096, 4097, 65536, 100 * 1024};
    for (size_t n = 900; n <= 1100; ++n) lengths.push_back(n);  // around the stack buffer
    LogCapture capture;
    for (size_t n : lengths) {
        const std::string text = pattern_text(n, n);
        clog_log(tag.c_str(), LOG_LEVEL_DEBUG, "long.cpp", static_cast<int>(n), "%s", text.c_str());
    }
    // A formatted long line, and a prefix (tag, file) longer than any stack buffer.
    const std::string big = pattern_text(100 * 1024, 3);
    clog_log(tag.c_str(), LOG_LEVEL_INFO, "long.cpp", 1, "<%s|%d|%s>", big.c_str(), 77, "end");
    const std::string long_file = "dir/" + pattern_text(3000, 5) + ".cpp";
    clog_log(tag.c_str(), LOG_LEVEL_INFO, long_file.c_str(), 2, "short after a long file");

    const auto lines = file_lines(file.path());
    ASSERT_EQ(lines.size(), lengths.size() + 2);
    for (size_t i = 0; i < lengths.size(); ++i) {
        const Parsed p = parse(lines[i]);
        ASSERT_TRUE(p.ok) << "line " << i;
        EXPECT_EQ(p.tag, tag);
        EXPECT_EQ(p.line, static_cast<int>(lengths[i]));
        EXPECT_EQ(p.message.size(), lengths[i]);
        EXPECT_TRUE(p.message == pattern_text(lengths[i], lengths[i])) << "length " << lengths[i];
    }
    const Parsed formatted = parse(lines[lengths.size()]);
    ASSERT_TRUE(formatted.ok);
    EXPECT_TRUE(formatted.message == "<" + big + "|77|end>");
    const Parsed long_prefix = parse(lines[lengths.size() + 1]);
    ASSERT_TRUE(long_prefix.ok);
    EXPECT_TRUE(long_prefix.file == long_file);
    EXPECT_EQ(long_prefix.message, "short after a long file");

    // The hook received the long messages whole too.
    const auto seen = capture.lines();
    ASSERT_EQ(seen.size(), lengths.size() + 2);
    for (size_t i = 0; i < lengths.size(); ++i) {
        EXPECT_EQ(seen[i].message.size(), lengths[i]);
    }
    EXPECT_TRUE(seen[lengths.size()].message == "<" + big + "|77|end>");
}

TEST(TovclogThreads, ManyThreadsWriteWholeLinesToOneFile) {
    const TempFile file("threads");
    const std::string tag = tag_of("ThreadTag");
    ASSERT_EQ(clogger(tag.c_str(), file.c_str(), CLOG_MODE_FILE), 0);
    ASSERT_EQ(clog_set_log_level(tag.c_str(), LOG_LEVEL_DEBUG), 0);

    constexpr int kThreads = 8;
    constexpr int kLines = 2000;
    // No level 2 here: those lines would go to the system log as well.
    const int levels[] = {LOG_LEVEL_NOTE, LOG_LEVEL_WARN, LOG_LEVEL_INFO, LOG_LEVEL_DEBUG};
    static const char* const kNames[] = {"NOTE", "WARN", "INFO", "DEBUG"};
    auto padding = [](int t, int i) {
        // Mostly short lines, every 100th one long enough for the heap and a large write.
        const size_t length = i % 100 == 0 ? 8000 + t : static_cast<size_t>((i * 13 + t) % 300);
        return pattern_text(length, static_cast<size_t>(t * 31 + i));
    };
    std::atomic<bool> go{false};
    std::atomic<bool> stop_churn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kLines; ++i) {
                clog_log(tag.c_str(), levels[i % 4], "thread.cpp", t, "thread %d line %d %s", t, i,
                         padding(t, i).c_str());
            }
        });
    }
    // Meanwhile other loggers come and go and change level (no untagged lines are written).
    const TempFile other("threads_other");
    const std::string other_tag = tag_of("ThreadOther");
    std::thread churn([&] {
        while (!go.load()) std::this_thread::yield();
        for (int round = 0; !stop_churn.load(); ++round) {
            clogger(other_tag.c_str(), other.c_str(), CLOG_MODE_FILE);
            clog_set_log_level(other_tag.c_str(), round % 5);
            clog_log(other_tag.c_str(), LOG_LEVEL_NOTE, "churn.cpp", round, "churn %d", round);
            std::this_thread::yield();
        }
    });
    go.store(true);
    for (auto& thread : threads) thread.join();
    stop_churn.store(true);
    churn.join();

    const std::string content = read_file(file.path());
    const auto lines = split_lines(content);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);  // lines of one thread keep their order
    int bad = 0;
    for (const std::string& text : lines) {
        const Parsed p = parse(text);
        int t = -1, i = -1, consumed = 0;
        const bool shaped =
            p.ok && p.tag == tag && p.file == "thread.cpp" &&
            std::sscanf(p.message.c_str(), "thread %d line %d %n", &t, &i, &consumed) == 2 &&
            t >= 0 && t < kThreads && p.line == t && i == next[t];
        if (!shaped || p.message.substr(static_cast<size_t>(consumed)) != padding(t, i) ||
            p.level != kNames[i % 4]) {
            if (++bad <= 3) ADD_FAILURE() << "bad line: " << text.substr(0, 200);
            continue;
        }
        ++next[t];
    }
    EXPECT_EQ(bad, 0);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "thread " << t;
}

// --- Separate processes ----------------------------------------------------------------------

TEST(TovclogProcess, NothingReachesTheTerminalByDefault) {
    const CommandResult result = run_helper("", "quiet");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

TEST(TovclogProcess, ConsoleLoggerWritesToStandardError) {
    const CommandResult result = run_helper("", "console");
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    std::vector<std::string> got;
    for (const std::string& text : split_lines(result.err)) {
        const Parsed p = parse(text);
        got.push_back(p.ok ? p.level + ":" + p.message : "MALFORMED:" + text);
    }
    using Lines = std::vector<std::string>;
    EXPECT_EQ(
        got, (Lines{"NOTE:console tagged 0", "NOTE:console untagged 0", "WARN:console tagged 1",
                    "WARN:console untagged 1", "ERROR:console tagged 2", "ERROR:console untagged 2",
                    "INFO:console tagged 3", "INFO:console untagged 3"}));
}

// What log_every_level(what) of the helper leaves in a file at `level`.
std::vector<std::string> every_level_up_to(const std::string& what, int level) {
    static const char* const names[] = {"NOTE", "WARN", "ERROR", "INFO", "DEBUG"};
    std::vector<std::string> lines;
    for (int l = 0; l <= 4 && l <= level; ++l) {
        lines.push_back(std::string(names[l]) + ":[HelperTag]" + what + " tagged " +
                        std::to_string(l));
        lines.push_back(std::string(names[l]) + ":" + what + " untagged " + std::to_string(l));
    }
    return lines;
}

TEST(TovclogProcess, EnvironmentFileTakesEveryLineUpToItsLevelAndIsReadOnce) {
    const std::vector<std::pair<std::string, int>> cases = {{"", 2},
                                                            {"TOVCLOG_LEVEL=0", 0},
                                                            {"TOVCLOG_LEVEL=3", 3},
                                                            {"TOVCLOG_LEVEL=4", 4},
                                                            {"TOVCLOG_LEVEL=", 2},
                                                            {"TOVCLOG_LEVEL=junk", 2}};
    for (const auto& [setting, level] : cases) {
        SCOPED_TRACE(setting);
        const TempFile file("env"), other("env_other");
        const CommandResult result =
            run_helper("TOVCLOG_FILE=" + file.path() + " " + setting, "levels " + other.path());
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        // Changing the environment afterwards changes nothing: it was read on the first line.
        std::vector<std::string> expected = every_level_up_to("before", level);
        for (const std::string& line : every_level_up_to("after setenv", level)) {
            expected.push_back(line);
        }
        EXPECT_EQ(levels_and_messages(file.path(), true), expected);
        EXPECT_FALSE(other.exists());
    }
}

TEST(TovclogProcess, EnvironmentIsReadOnFirstUse) {
    const TempFile file("lazy");
    const CommandResult result = run_helper("", "lazy " + file.path());
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(levels_and_messages(file.path(), true), every_level_up_to("lazy", 4));
}

TEST(TovclogProcess, WorksBeforeMainAndDuringExit) {
    const TempFile file("early");
    const CommandResult result =
        run_helper("TOVCLOG_HELPER_EARLY=1 TOVCLOG_FILE=" + file.path(), "quiet");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    std::vector<std::string> notes;
    for (const std::string& line : levels_and_messages(file.path())) {
        if (line.find(":before main") != std::string::npos ||
            line.find(":in main") != std::string::npos ||
            line.find(":atexit") != std::string::npos ||
            line.find(":static destructor") != std::string::npos) {
            notes.push_back(line);
        }
    }
    using Lines = std::vector<std::string>;
    EXPECT_EQ(notes,
              (Lines{"NOTE:before main", "NOTE:in main", "NOTE:atexit", "NOTE:static destructor"}));
    // And the rest of the quiet run at the default level 2, the 100 KB lines whole.
    const auto lines = file_lines(file.path());
    int long_lines = 0;
    for (const std::string& text : lines) {
        const Parsed p = parse(text);
        EXPECT_TRUE(p.ok) << text.substr(0, 200);
        if (p.message == std::string(100 * 1024, 'q')) ++long_lines;
    }
    EXPECT_EQ(long_lines, 2);
}

TEST(TovclogProcess, LoggerOnTheEnvironmentFileWritesEachLineOnce) {
    const TempFile file("same");
    const CommandResult result =
        run_helper("TOVCLOG_FILE=" + file.path() + " TOVCLOG_LEVEL=1", "same " + file.path());
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    std::vector<std::string> expected;
    for (const std::string& line : every_level_up_to("same", 4)) {
        // Tagged lines of another tag reach the file through the environment only (level 1).
        const bool tagged = line.find("[HelperTag]") != std::string::npos;
        const bool note_or_warn = line.rfind("NOTE:", 0) == 0 || line.rfind("WARN:", 0) == 0;
        if (!tagged || note_or_warn) expected.push_back(line);
    }
    expected.push_back("DEBUG:[SameTag]same tagged");
    EXPECT_EQ(levels_and_messages(file.path(), true), expected);
}

TEST(TovclogProcess, LinesNobodyTakesAreNotFormatted) {
    const TempFile file("fastpath");
    const CommandResult result = run_helper("", "fastpath " + file.path());
    EXPECT_EQ(result.exit_status, 0) << "a line nobody takes was formatted: " << result.err;
    EXPECT_EQ(result.err, "");
    using Lines = std::vector<std::string>;
    EXPECT_EQ(levels_and_messages(file.path(), true), (Lines{"NOTE:[fast]written note"}));
}

}  // namespace
