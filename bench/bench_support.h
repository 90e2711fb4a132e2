// Helpers shared by the benchmark programs: a raw hiredis connection (the baseline every figure
// is compared with), bench module names and contents, child processes, and the closing table
// that sets every library figure against its raw baseline of the same run.
//
// Naming of benchmarks: "lib/<what>" runs through libtovzelt, "raw/<what>" does the same work
// on plain hiredis, and "floor/<what>" (where there is one) sends on plain hiredis exactly the
// round trips the library's design makes. They are matched on <what>, their arguments and
// their thread count.
#ifndef TOVZELT_BENCH_SUPPORT_H
#define TOVZELT_BENCH_SUPPORT_H

#include <hiredis/hiredis.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tovzelt_bench {

struct ReplyDeleter {
    void operator()(redisReply* reply) const {
        if (reply != nullptr) freeReplyObject(reply);
    }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

// One plain, persistent hiredis connection to the store.
class RawConnection {
public:
    RawConnection();
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool ok() const { return context_ != nullptr && context_->err == 0; }
    redisContext* context() { return context_; }
    // One command given as words (binary-safe).
    Reply command(const std::vector<std::string>& words);
    // The same, without building a vector: the words of the hot loops.
    Reply command(int argc, const char** argv, const size_t* lengths);

private:
    redisContext* context_ = nullptr;
};

// Runs the installed startup script when the store does not answer; false when it still does
// not answer afterwards.
bool ensure_server();

// "<prefix>x<counter>_<pid>": a module name of this process that conforms to "<name>_<pid>".
std::string bench_module(const std::string& prefix);

// Writes `fields` fields f0..f<n-1> (value "v") into the module hash and its backup hash, so that
// the module starts with no pending change.
void fill_module(RawConnection& raw, const std::string& module, int fields);

// Deletes the module hash and its backup hash, and the base name from "module_sets".
void remove_module(RawConnection& raw, const std::string& module);

// Runs `argv` (argv[0] a path) with standard output and error sent to /dev/null, or into
// `out` when it is given; returns the wall time from the spawn to the end of the process, or a
// negative duration when it could not run or failed.
std::chrono::nanoseconds run_process(const std::vector<std::string>& argv,
                                     std::string* out = nullptr);

// Initialises Google Benchmark, makes sure the store answers, calls `prepare` (bench data, and
// the library's one-time costs paid before anything is timed), runs the benchmarks with the
// console reporter (every one of them N times with --rounds=N), then prints the table of
// library/raw ratios of the medians. Returns the exit status for main.
int run_benchmarks(int argc, char** argv, const char* title,
                   const std::function<void()>& prepare = nullptr);

}  // namespace tovzelt_bench

#endif  // TOVZELT_BENCH_SUPPORT_H
