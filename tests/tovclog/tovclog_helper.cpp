// A small program for tovclog_test: runs one scenario in a fresh process.
//
//   tovclog_helper quiet               logs every level, tagged and untagged, long lines too
//   tovclog_helper levels <other>      logs levels 0..4 tagged and untagged; then points
//                                      TOVCLOG_FILE at <other>, TOVCLOG_LEVEL at 0 and logs
//                                      "after setenv" lines (the environment is read once)
//   tovclog_helper lazy <path>         sets TOVCLOG_FILE=<path> in main, before the first line
//   tovclog_helper console             a console logger: lines go to standard error
//   tovclog_helper same <path>         a file logger on the same file as TOVCLOG_FILE
//   tovclog_helper fastpath <path>     lines nobody takes, whose arguments would crash a formatter
//
// With TOVCLOG_HELPER_EARLY=1 it also logs before main, from atexit and from a static destructor.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tovclog.h"

namespace {

bool early() {
    const char* e = std::getenv("TOVCLOG_HELPER_EARLY");
    return e != nullptr && std::strcmp(e, "1") == 0;
}

struct AtExit {
    ~AtExit() {
        if (early()) clog_printf(LOG_LEVEL_NOTE, "helper.cpp", 3, "static destructor");
    }
};

struct BeforeMain {
    BeforeMain() {
        if (early()) clog_printf(LOG_LEVEL_NOTE, "helper.cpp", 1, "before main");
    }
};

// Constructed before main and destroyed after it.
AtExit at_exit_object;
BeforeMain before_main_object;

void log_every_level(const char* what) {
    for (int level = LOG_LEVEL_NOTE; level <= LOG_LEVEL_DEBUG; ++level) {
        clog_log("HelperTag", level, "helper.cpp", 100 + level, "%s tagged %d", what, level);
        clog_printf(level, "helper.cpp", 200 + level, "%s untagged %d", what, level);
    }
}

// An address no formatter can read.
const char* unreadable() {
    volatile std::uintptr_t address = 16;
    return reinterpret_cast<const char*>(address);
}

}  // namespace

int main(int argc, char** argv) {
    if (early()) {
        std::atexit([] { clog_printf(LOG_LEVEL_NOTE, "helper.cpp", 2, "atexit"); });
        clog_printf(LOG_LEVEL_NOTE, "helper.cpp", 4, "in main");
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    const char* path = argc > 2 ? argv[2] : nullptr;

    if (mode == "quiet") {
        log_every_level("quiet");
        clog_log("Tovzelt", LOG_LEVEL_ERROR, "helper.cpp", 1, "an error %s", "line");
        clog_log("tovzelt", 9, "helper.cpp", 2, "an unknown level");
        clog_log(nullptr, LOG_LEVEL_WARN, "helper.cpp", 3, "a NULL tag");
        const std::string long_text(100 * 1024, 'q');
        clog_log("HelperTag", LOG_LEVEL_ERROR, "helper.cpp", 4, "%s", long_text.c_str());
        clog_printf(LOG_LEVEL_NOTE, "helper.cpp", 5, "%s", long_text.c_str());
        return 0;
    }
    if (mode == "levels" && path != nullptr) {
        log_every_level("before");
        setenv("TOVCLOG_FILE", path, 1);
        setenv("TOVCLOG_LEVEL", "0", 1);
        log_every_level("after setenv");
        return 0;
    }
    if (mode == "lazy" && path != nullptr) {
        setenv("TOVCLOG_FILE", path, 1);
        setenv("TOVCLOG_LEVEL", "4", 1);
        log_every_level("lazy");
        return 0;
    }
    if (mode == "console") {
        if (clogger("ConsoleTag", nullptr, CLOG_MODE_CONSOLE) != 0) return 2;
        if (clog_set_log_level("consoletag", LOG_LEVEL_INFO) != 0) return 3;
        for (int level = LOG_LEVEL_NOTE; level <= LOG_LEVEL_DEBUG; ++level) {
            clog_log("CONSOLETAG", level, "console.cpp", level, "console tagged %d", level);
            clog_printf(level, "console.cpp", 10 + level, "console untagged %d", level);
            clog_log("OtherTag", level, "console.cpp", 20 + level, "other tag %d", level);
        }
        return 0;
    }
    if (mode == "same" && path != nullptr) {
        if (clogger("SameTag", path, CLOG_MODE_FILE) != 0) return 2;
        if (clog_set_log_level("SameTag", LOG_LEVEL_DEBUG) != 0) return 3;
        log_every_level("same");
        clog_log("SameTag", LOG_LEVEL_DEBUG, "helper.cpp", 7, "same tagged");
        return 0;
    }
    if (mode == "fastpath" && path != nullptr) {
        // Nobody takes these lines: formatting them would read the unreadable address.
        clog_log("nobody", LOG_LEVEL_DEBUG, "fast.cpp", 1, "%s", unreadable());
        clog_log("nobody", LOG_LEVEL_INFO, "fast.cpp", 2, "%s", unreadable());
        clog_log("nobody", LOG_LEVEL_WARN, "fast.cpp", 3, "%s", unreadable());
        clog_log("nobody", LOG_LEVEL_NOTE, "fast.cpp", 4, "%s", unreadable());
        clog_printf(LOG_LEVEL_DEBUG, "fast.cpp", 5, "%s", unreadable());
        clog_printf(LOG_LEVEL_NOTE, "fast.cpp", 6, "%s", unreadable());
        // A logger at the default level: more verbose lines still go nowhere.
        if (clogger("fast", path, CLOG_MODE_FILE) != 0) return 2;
        clog_log("fast", LOG_LEVEL_DEBUG, "fast.cpp", 7, "%s", unreadable());
        clog_log("nobody", LOG_LEVEL_INFO, "fast.cpp", 8, "%s", unreadable());
        clog_printf(LOG_LEVEL_DEBUG, "fast.cpp", 9, "%s", unreadable());
        // Down to notes only.
        if (clog_set_log_level("fast", LOG_LEVEL_NOTE) != 0) return 3;
        clog_log("fast", LOG_LEVEL_WARN, "fast.cpp", 10, "%s", unreadable());
        clog_log("fast", LOG_LEVEL_NOTE, "fast.cpp", 11, "written %s", "note");
        for (int i = 0; i < 1000000; ++i) {
            clog_log("fast", LOG_LEVEL_DEBUG, "fast.cpp", 12, "%s %d", unreadable(), i);
        }
        return 0;
    }
    return 64;
}
