#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

extern char** environ;

namespace tovzelt_bench {

namespace {
constexpr const char* kHost = "127.0.0.1";
constexpr int kPort = 10240;
constexpr const char* kStartupScript = "/opt/tovana/hvx/tov-zelt/redis_startup.sh";
constexpr const char* kBackupSuffix = "_zeltbackup";

bool answers_ping() {
    RawConnection raw;
    if (!raw.ok()) return false;
    Reply reply = raw.command({"PING"});
    return reply != nullptr && reply->type == REDIS_REPLY_STATUS;
}

}  // namespace

RawConnection::RawConnection() {
    timeval timeout{3, 0};
    context_ = redisConnectWithTimeout(kHost, kPort, timeout);
    if (context_ != nullptr && context_->err != 0) {
        std::fprintf(stderr, "raw connection failed: %s\n", context_->errstr);
        redisFree(context_);
        context_ = nullptr;
    }
}

RawConnection::~RawConnection() {
    if (context_ != nullptr) redisFree(context_);
}

Reply RawConnection::command(const std::vector<std::string>& words) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    argv.reserve(words.size());
    lengths.reserve(words.size());
    for (const auto& word : words) {
        argv.push_back(word.data());
        lengths.push_back(word.size());
    }
    return command(static_cast<int>(argv.size()), argv.data(), lengths.data());
}

Reply RawConnection::command(int argc, const char** argv, const size_t* lengths) {
    if (context_ == nullptr) return nullptr;
    return Reply(static_cast<redisReply*>(redisCommandArgv(context_, argc, argv, lengths)));
}

bool ensure_server() {
    // Other users of the store may be restarting it: a few tries, about half a minute in all.
    for (int attempt = 0; attempt < 15; ++attempt) {
        if (answers_ping()) return true;
        if (std::system(kStartupScript) == 0 && answers_ping()) return true;
        sleep(1);
    }
    return false;
}

std::string bench_module(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return prefix + "x" + std::to_string(++counter) + "_" + std::to_string(getpid());
}

void fill_module(RawConnection& raw, const std::string& module, int fields) {
    for (const std::string& hash : {module, module + kBackupSuffix}) {
        std::vector<std::string> words = {"HSET", hash};
        for (int i = 0; i < fields; ++i) {
            words.push_back("f" + std::to_string(i));
            words.push_back("v");
        }
        raw.command(words);
    }
}

void remove_module(RawConnection& raw, const std::string& module) {
    raw.command({"DEL", module, module + kBackupSuffix});
    const size_t underscore = module.rfind('_');
    if (underscore != std::string::npos) {
        raw.command({"SREM", "module_sets", module.substr(0, underscore)});
    }
}

std::chrono::nanoseconds run_process(const std::vector<std::string>& argv, std::string* out) {
    std::vector<char*> args;
    for (const auto& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);

    int pipe_fds[2] = {-1, -1};
    if (out != nullptr && pipe2(pipe_fds, O_CLOEXEC) != 0) return std::chrono::nanoseconds(-1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (out != nullptr) {
        close(pipe_fds[1]);
        if (spawned == 0) {
            char buffer[4096];
            ssize_t n;
            while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0) out->append(buffer, n);
        }
        close(pipe_fds[0]);
    }
    if (spawned != 0) return std::chrono::nanoseconds(-1);
    int status = 0;
    waitpid(pid, &status, 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::chrono::nanoseconds(-1);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed);
}

namespace {
// One run's figures.
struct Figure {
    double ns = 0;                // real time per iteration
    double items_per_second = 0;  // 0 when the benchmark counts no items
};

// Every run of one benchmark, over the rounds.
struct Runs {
    std::vector<Figure> ok;
    int failed = 0;
};

struct Key {
    std::string side;  // "lib" or "raw"
    std::string what;  // name after the side, with arguments and threads
};

double to_ns(double value, benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kNanosecond:
            return value;
        case benchmark::kMicrosecond:
            return value * 1e3;
        case benchmark::kMillisecond:
            return value * 1e6;
        case benchmark::kSecond:
            return value * 1e9;
    }
    return value;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string format_ns(double ns) {
    char text[32];
    if (ns >= 1e9) {
        std::snprintf(text, sizeof(text), "%.3f s", ns / 1e9);
    } else if (ns >= 1e6) {
        std::snprintf(text, sizeof(text), "%.2f ms", ns / 1e6);
    } else if (ns >= 1e3) {
        std::snprintf(text, sizeof(text), "%.1f us", ns / 1e3);
    } else {
        std::snprintf(text, sizeof(text), "%.0f ns", ns);
    }
    return text;
}

std::string format_ratio(double ratio) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", ratio);
    return text;
}

std::string format_rate(double per_second) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f/s", per_second);
    return text;
}

// Shows every run on the console and keeps its figures for the closing table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            const Key key = key_of(run);
            if (key.side.empty()) continue;
            auto& side = runs_[key.side];
            if (key.side == "lib" && side.find(key.what) == side.end()) order_.push_back(key.what);
            Runs& all = side[key.what];
            if (run.error_occurred) {
                ++all.failed;
                continue;
            }
            Figure figure;
            figure.ns = to_ns(run.GetAdjustedRealTime(), run.time_unit);
            const auto items = run.counters.find("items_per_second");
            figure.items_per_second = items != run.counters.end() ? items->second.value : 0;
            all.ok.push_back(figure);
        }
    }

    void print_ratios(const char* title, int rounds) const {
        std::printf(
            "\n=== %s: libtovzelt against raw hiredis, same run, median of %d round%s ===\n", title,
            rounds, rounds == 1 ? "" : "s");
        const auto lib = runs_.find("lib");
        if (lib == runs_.end()) return;
        const bool with_floor = runs_.count("floor") > 0;
        std::printf("%-38s %10s %10s %10s %8s %9s %11s\n", "what", "lib", "raw",
                    with_floor ? "floor" : "", "lib/raw", with_floor ? "floor/raw" : "",
                    with_floor ? "lib - floor" : "");
        for (const std::string& what : order_) {
            const Runs* base = find("raw", what);
            const Runs* floor = find("floor", what);
            if (lib->second.at(what).ok.empty() || (base != nullptr && base->ok.empty()) ||
                (floor != nullptr && floor->ok.empty())) {
                std::printf("%-38s   (every run failed: was the store available?)\n", what.c_str());
                continue;
            }
            if (base == nullptr) {
                std::printf("%-38s %10s\n", what.c_str(),
                            format_ns(median_of("lib", what, &Figure::ns)).c_str());
                continue;
            }
            const double lib_rate = median_of("lib", what, &Figure::items_per_second);
            const double raw_rate = median_of("raw", what, &Figure::items_per_second);
            if (lib_rate > 0 && raw_rate > 0) {
                const double floor_rate =
                    floor != nullptr ? median_of("floor", what, &Figure::items_per_second) : 0;
                std::printf("%-38s %10s %10s %10s %8.2f %9s %11s  (operations/s)\n", what.c_str(),
                            format_rate(lib_rate).c_str(), format_rate(raw_rate).c_str(),
                            floor != nullptr ? format_rate(floor_rate).c_str() : "",
                            lib_rate / raw_rate,
                            floor != nullptr ? format_ratio(floor_rate / raw_rate).c_str() : "",
                            floor != nullptr ? format_ratio(lib_rate / floor_rate).c_str() : "");
                continue;
            }
            const double lib_ns = median_of("lib", what, &Figure::ns);
            const double raw_ns = median_of("raw", what, &Figure::ns);
            if (floor == nullptr) {
                std::printf("%-38s %10s %10s %10s %8.2f\n", what.c_str(), format_ns(lib_ns).c_str(),
                            format_ns(raw_ns).c_str(), "", lib_ns / raw_ns);
                continue;
            }
            const double floor_ns = median_of("floor", what, &Figure::ns);
            const double over = lib_ns - floor_ns;
            std::printf("%-38s %10s %10s %10s %8.2f %9.2f %11s\n", what.c_str(),
                        format_ns(lib_ns).c_str(), format_ns(raw_ns).c_str(),
                        format_ns(floor_ns).c_str(), lib_ns / raw_ns, floor_ns / raw_ns,
                        (over < 0 ? "-" + format_ns(-over) : "+" + format_ns(over)).c_str());
        }
        if (with_floor) {
            std::printf(
                "(floor: the library's round trips on the raw connection, a PING before and after "
                "each command; for operations/s, floor/raw and lib/floor)\n");
        }
        for (const auto& [side, all] : runs_) {
            for (const auto& [what, runs] : all) {
                if (runs.failed > 0) {
                    std::printf("(%s/%s: %d run%s failed and %s left out)\n", side.c_str(),
                                what.c_str(), runs.failed, runs.failed == 1 ? "" : "s",
                                runs.failed == 1 ? "is" : "are");
                }
            }
        }
    }

private:
    static Key key_of(const Run& run) {
        const std::string& name = run.run_name.function_name;
        const size_t slash = name.find('/');
        if (slash == std::string::npos) return {};
        Key key;
        key.side = name.substr(0, slash);
        key.what = name.substr(slash + 1);
        if (!run.run_name.args.empty()) key.what += "/" + run.run_name.args;
        if (!run.run_name.threads.empty()) key.what += "/" + run.run_name.threads;
        return key;
    }

    const Runs* find(const std::string& side, const std::string& what) const {
        const auto found_side = runs_.find(side);
        if (found_side == runs_.end()) return nullptr;
        const auto found = found_side->second.find(what);
        return found == found_side->second.end() ? nullptr : &found->second;
    }

    double median_of(const std::string& side, const std::string& what,
                     double Figure::*field) const {
        const Runs* runs = find(side, what);
        if (runs == nullptr) return 0;
        std::vector<double> values;
        for (const Figure& figure : runs->ok) values.push_back(figure.*field);
        return median(values);
    }

    std::map<std::string, std::map<std::string, Runs>> runs_;
    std::vector<std::string> order_;  // the library's benchmarks, in the order they ran
};
}  // namespace

int run_benchmarks(int argc, char** argv, const char* title, const std::function<void()>& prepare) {
    // --rounds=N runs every benchmark N times, the rounds one after the other, and reports
    // medians. (Google Benchmark's own repetitions are not used: its statistics do not cope
    // with runs that failed, as they do when the store is restarted by someone else.)
    int rounds = 1;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--rounds=", 0) == 0) {
            rounds = std::max(1, std::atoi(arg.c_str() + 9));
            continue;
        }
        args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
    if (!ensure_server()) {
        std::fprintf(stderr, "the store at %s:%d does not answer\n", kHost, kPort);
        return 1;
    }
    if (prepare) prepare();
    RatioReporter reporter;
    for (int round = 0; round < rounds; ++round) benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios(title, rounds);
    std::fflush(stdout);
    benchmark::Shutdown();
    return 0;
}

}  // namespace tovzelt_bench
