// tovclog: the small logging layer used by libtovzelt and zelt_tool.
//
// Contract
// - Every call formats one printf-style line and writes it with a single write(2), so lines of
//   concurrent threads never interleave. All functions are safe to call from any thread, and
//   before main or during exit.
// - Nothing reaches the terminal unless a logger created with clogger() asks for it.
// - Lines at LOG_LEVEL_ERROR go to the system log as well (syslog, facility user).
// - TOVCLOG_FILE=<path> appends every line of the process to that file; TOVCLOG_LEVEL=<n> sets
//   the most verbose level written there (default LOG_LEVEL_ERROR; 4 writes every level).
// - clogger(tag, path, mode) gives a tag a file of its own and makes it the process's logger:
//   untagged lines (clog_printf) follow it from then on. Tags are compared without regard to
//   case. clog_set_log_level(tag, level) sets how verbose that logger is.
// - A test hook sees every line, whatever the levels in force.
// - Line format: "YYYY-MM-DD HH:MM:SS.mmm <LEVEL> [<tag>] <file>:<line> <message>" (local time;
//   LEVEL is NOTE, WARN, ERROR, INFO or DEBUG, other numbers as the number; untagged lines have
//   no "[<tag>] "). Newlines that end the message are dropped: every call gives one line.
// - A line that no sink can take (no hook, not LOG_LEVEL_ERROR, more verbose than every logger
//   and TOVCLOG_FILE) returns without being formatted and without taking a lock.
#ifndef TOVCLOG_H
#define TOVCLOG_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TOVCLOG_API __attribute__((visibility("default")))
#define TOVCLOG_PRINTF(fmt_index, args_index) __attribute__((format(printf, fmt_index, args_index)))
#else
#define TOVCLOG_API
#define TOVCLOG_PRINTF(fmt_index, args_index)
#endif

// Lower numbers are more important; a threshold N lets through every level <= N.
typedef enum LogLevel {
    LOG_LEVEL_NOTE = 0,   // notes: commands being run, cleanup lines
    LOG_LEVEL_WARN = 1,   // refused input, lookups that found nothing, restart notices
    LOG_LEVEL_ERROR = 2,  // failures: connections, construction, scripts, caught exceptions
    LOG_LEVEL_INFO = 3,   // informational
    LOG_LEVEL_DEBUG = 4   // detailed traces: values read, pool statistics, comparisons
} LogLevel;

// Modes of clogger(); they can be combined.
enum { CLOG_MODE_CONSOLE = 1, CLOG_MODE_FILE = 2 };

// Writes one tagged line. `file` and `line` name the source of the call. It goes to the logger
// of `tag`, if there is one (a NULL tag makes it an untagged line, as with clog_printf).
TOVCLOG_API void clog_log(const char* tag, int level, const char* file, int line,
                          const char* format, ...) TOVCLOG_PRINTF(5, 6);

// Writes one untagged line; it goes where the process's logger (the last clogger) goes.
TOVCLOG_API void clog_printf(int level, const char* file, int line, const char* format, ...)
    TOVCLOG_PRINTF(4, 5);

// Creates (or replaces) the logger of `tag`, writing to `path` (appended; relative paths are
// taken from the working directory) when `mode` has CLOG_MODE_FILE, and to standard error when
// it has CLOG_MODE_CONSOLE. A replaced logger's file is closed and its level starts again at
// LOG_LEVEL_ERROR, the level of every new logger. Returns 0, or -1 when the file cannot be
// opened (the existing loggers then stay as they were).
TOVCLOG_API int clogger(const char* tag, const char* path, int mode);

// Sets the most verbose level that the logger of `tag` writes. Returns 0, or -1 for an unknown tag.
TOVCLOG_API int clog_set_log_level(const char* tag, int level);

// Test hook: called for every line (tag is NULL for untagged lines), before any level filter,
// with the message exactly as formatted (no prefix, no newline added). Calls are serialised.
// Passing NULL removes it; once clog_set_hook returns, the previous hook is not running and is
// never called again. The hook must not log (lines it writes do not reach it again).
typedef void (*clog_hook_fn)(void* context, const char* tag, int level, const char* file, int line,
                             const char* message);
TOVCLOG_API void clog_set_hook(clog_hook_fn hook, void* context);

#ifdef __cplusplus
}
#endif

#endif  // TOVCLOG_H
