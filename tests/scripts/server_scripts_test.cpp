// The installed start and stop scripts of the store's Redis server, run for real.
//
// Every test leaves the server running: the other test programs rely on it.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using tovzelt_test::CommandResult;
using tovzelt_test::RawRedis;
using tovzelt_test::run_command;
using tovzelt_test::server_answers;
using tovzelt_test::unique_name;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kStartup = TOVZELT_STARTUP_SCRIPT;
const std::string kShutdown = TOVZELT_SHUTDOWN_SCRIPT;
const std::string kDataDir = "/var/lib/tov-zelt";
const std::string kServerLog = kDataDir + "/redis.log";
const std::string kLockFile = kDataDir + "/startup.lock";
constexpr int kPort = 10240;
// What the library relies on: a start that cannot succeed gives up in bounded time.
constexpr milliseconds kStartBound{10000};

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

off_t file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Runs a script and checks that it printed nothing at all, whatever its outcome.
CommandResult run_silent(const std::string& script) {
    CommandResult r = run_command(script);
    EXPECT_EQ(r.out, "") << script << " wrote on stdout";
    EXPECT_EQ(r.err, "") << script << " wrote on stderr";
    return r;
}

void start_server() {
    CommandResult r = run_silent(kStartup);
    ASSERT_EQ(r.exit_status, 0) << "startup script failed";
    ASSERT_TRUE(server_answers());
}

void stop_server() {
    CommandResult r = run_silent(kShutdown);
    ASSERT_EQ(r.exit_status, 0) << "shutdown script failed";
    ASSERT_FALSE(server_answers());
}

// State of a process from /proc/<pid>/stat ('\0' when there is no such process).
char process_state(int pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(") ");
    return close == std::string::npos ? '\0' : stat[close + 2];
}

bool process_alive(int pid) {
    char state = process_state(pid);
    return state != '\0' && state != 'Z';
}

// The network namespace of process `pid` ("self" for this one), or empty when unreadable.
std::string network_namespace(const std::string& pid) {
    char target[128];
    const ssize_t n = readlink(("/proc/" + pid + "/ns/net").c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Live redis-server processes serving our port (their title names the listening address) in
// this network namespace: a private server elsewhere (a benchmark's) is not ours.
std::vector<int> server_processes() {
    std::vector<int> pids;
    const std::string our_namespace = network_namespace("self");
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const int pid = std::stoi(name);
        const std::string comm = read_file("/proc/" + name + "/comm");
        if (comm != "redis-server\n" || !process_alive(pid)) continue;
        const std::string cmdline = read_file("/proc/" + name + "/cmdline");
        if (cmdline.find(":" + std::to_string(kPort)) == std::string::npos) continue;
        const std::string its_namespace = network_namespace(name);
        if (its_namespace.empty() || its_namespace == our_namespace) pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

// The process id the running server reports.
int server_pid() {
    RawRedis redis;
    const std::string info = redis.str({"INFO", "server"});
    const std::string field = "process_id:";
    size_t at = info.find(field);
    if (at == std::string::npos) return -1;
    return std::atoi(info.c_str() + at + field.size());
}

std::string config_get(const std::string& name) {
    RawRedis redis;
    std::vector<std::string> pair = redis.strings({"CONFIG", "GET", name});
    return pair.size() == 2 ? pair[1] : "";
}

// Targets of the descriptors a process holds ("pipe:[123]", "/var/lib/...", ...).
std::vector<std::string> descriptor_targets(int pid) {
    std::vector<std::string> targets;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (fds == nullptr) return targets;
    while (dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        char target[512];
        ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof(target) - 1);
        if (n > 0) targets.emplace_back(target, static_cast<size_t>(n));
    }
    closedir(fds);
    return targets;
}

// "Max open files" soft and hard limits of a process (-1 for unlimited).
std::pair<long, long> open_file_limits(int pid) {
    std::istringstream limits(read_file("/proc/" + std::to_string(pid) + "/limits"));
    std::string line;
    while (std::getline(limits, line)) {
        if (line.rfind("Max open files", 0) != 0) continue;
        std::istringstream fields(line.substr(std::strlen("Max open files")));
        std::string soft, hard;
        fields >> soft >> hard;
        auto value = [](const std::string& v) { return v == "unlimited" ? -1L : std::stol(v); };
        return {value(soft), value(hard)};
    }
    return {0, 0};
}

// A plain TCP listener on the server's port that never answers.
class SilentListener {
public:
    SilentListener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                     listen(fd_, 64) == 0;
    }
    ~SilentListener() { close_now(); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    bool listening() const { return listening_; }
    void close_now() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool listening_ = false;
};

class ServerScriptsTest : public ::testing::Test {
protected:
    // Whatever a test did, the server runs again afterwards.
    void TearDown() override {
        if (!server_answers()) {
            const int status = std::system(kStartup.c_str());
            EXPECT_EQ(status, 0) << "restarting the server after the test failed";
        }
        EXPECT_TRUE(server_answers()) << "the server is not running after the test";
    }
};

TEST_F(ServerScriptsTest, StartsAStoppedServer) {
    ASSERT_NO_FATAL_FAILURE(stop_server());
    ASSERT_TRUE(server_processes().empty());

    auto start = Clock::now();
    CommandResult r = run_silent(kStartup);
    const double elapsed = ms_since(start);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(server_answers()) << "the script returned before the server answers";
    EXPECT_LT(elapsed, 5000.0);
    EXPECT_EQ(server_processes().size(), 1u);
    std::cout << "[ figures  ] start from stopped: " << elapsed << " ms\n";
}

TEST_F(ServerScriptsTest, StartWhileRunningReturnsFastAndChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(start_server());
    const int pid = server_pid();
    ASSERT_GT(pid, 0);

    // The way the library runs it: system() with the path alone.
    constexpr int kRuns = 20;
    double total = 0, worst = 0;
    for (int i = 0; i < kRuns; ++i) {
        auto start = Clock::now();
        int status = std::system(kStartup.c_str());
        const double elapsed = ms_since(start);
        ASSERT_EQ(status, 0);
        total += elapsed;
        worst = std::max(worst, elapsed);
    }
    const double average = total / kRuns;
    std::cout << "[ figures  ] start while running: average " << average << " ms, worst " << worst
              << " ms over " << kRuns << " runs\n";
    EXPECT_LT(average, 200.0);

    EXPECT_EQ(server_pid(), pid) << "the running server was replaced";
    EXPECT_EQ(server_processes(), std::vector<int>{pid});
}

TEST_F(ServerScriptsTest, ConcurrentStartsLaunchOneServer) {
    ASSERT_NO_FATAL_FAILURE(stop_server());
    const off_t log_before = file_size(kServerLog);

    constexpr int kCopies = 8;
    std::vector<CommandResult> results(kCopies);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCopies; ++i) {
        threads.emplace_back([&results, i] { results[i] = run_command(kStartup); });
    }
    for (auto& t : threads) t.join();

    for (int i = 0; i < kCopies; ++i) {
        EXPECT_EQ(results[i].exit_status, 0) << "copy " << i;
        EXPECT_EQ(results[i].out, "") << "copy " << i;
        EXPECT_EQ(results[i].err, "") << "copy " << i;
    }
    EXPECT_TRUE(server_answers());
    EXPECT_EQ(server_processes().size(), 1u);
    // Only one copy launched a server: a second one would have logged its own start (and its
    // failure to bind) in the server log.
    std::string log = read_file(kServerLog);
    if (log.size() >= static_cast<size_t>(log_before)) log.erase(0, log_before);  // else rotated
    size_t starts = 0;
    for (size_t at = log.find("Redis is starting"); at != std::string::npos;
         at = log.find("Redis is starting", at + 1)) {
        ++starts;
    }
    EXPECT_EQ(starts, 1u) << log;
}

TEST_F(ServerScriptsTest, StopEndsTheServerAndStopWhenStoppedSucceeds) {
    ASSERT_NO_FATAL_FAILURE(start_server());
    const int pid = server_pid();
    ASSERT_GT(pid, 0);

    CommandResult first = run_silent(kShutdown);
    EXPECT_EQ(first.exit_status, 0);
    EXPECT_FALSE(process_alive(pid)) << "the script returned before the server process ended";
    EXPECT_FALSE(server_answers());
    EXPECT_TRUE(server_processes().empty());

    auto start = Clock::now();
    CommandResult second = run_silent(kShutdown);
    EXPECT_EQ(second.exit_status, 0);
    EXPECT_LT(ms_since(start), 2000.0);
    EXPECT_FALSE(server_answers());
}

TEST_F(ServerScriptsTest, RestartKeepsTheData) {
    ASSERT_NO_FATAL_FAILURE(start_server());
    const std::string hash = unique_name("scripts_hash");
    const std::string set = unique_name("scripts_set");
    const std::string bytes("a\0b\xff", 4);
    {
        RawRedis redis;
        ASSERT_EQ(redis.integer({"HSET", hash, "log_level", "info", "blob", bytes}), 2);
        ASSERT_EQ(redis.integer({"SADD", set, "cam", "radar"}), 2);
    }
    ASSERT_NO_FATAL_FAILURE(stop_server());
    ASSERT_NO_FATAL_FAILURE(start_server());

    RawRedis redis;
    EXPECT_EQ(redis.str({"HGET", hash, "log_level"}), "info");
    EXPECT_EQ(redis.str({"HGET", hash, "blob"}), bytes);
    std::vector<std::string> members = redis.strings({"SMEMBERS", set});
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, (std::vector<std::string>{"cam", "radar"}));
    redis.integer({"DEL", hash, set});
}

// Configuration the library depends on, read back from the running server.
TEST_F(ServerScriptsTest, ServerSettings) {
    ASSERT_NO_FATAL_FAILURE(start_server());
    struct Setting {
        const char* name;
        const char* value;
    };
    const Setting settings[] = {
        {"bind", "127.0.0.1"}, {"port", "10240"},         {"requirepass", ""},
        {"appendonly", "yes"}, {"appendfsync", "always"}, {"dir", "/var/lib/tov-zelt"},
        {"daemonize", "no"},
    };
    for (const auto& s : settings) EXPECT_EQ(config_get(s.name), s.value) << s.name;
    EXPECT_EQ(config_get("logfile").rfind(kDataDir + "/", 0), 0u) << config_get("logfile");
}

TEST_F(ServerScriptsTest, KeyspaceNotificationsReachASubscriber) {
    ASSERT_NO_FATAL_FAILURE(start_server());
    const std::string flags = config_get("notify-keyspace-events");
    for (char flag : std::string("Kghs")) {
        const bool present = flags.find(flag) != std::string::npos ||
                             (flag != 'K' && flags.find('A') != std::string::npos);
        EXPECT_TRUE(present) << "flag " << flag << " missing from \"" << flags << "\"";
    }

    std::unique_ptr<redisContext, decltype(&redisFree)> sub(
        redisConnectWithTimeout("127.0.0.1", kPort, timeval{2, 0}), &redisFree);
    ASSERT_TRUE(sub != nullptr && sub->err == 0);
    auto* ack = static_cast<redisReply*>(redisCommand(sub.get(), "PSUBSCRIBE __keyspace@0__:*"));
    ASSERT_NE(ack, nullptr);
    freeReplyObject(ack);
    ASSERT_EQ(redisSetTimeout(sub.get(), timeval{2, 0}), REDIS_OK);

    const std::string hash = unique_name("scripts_notify");
    const std::string set = unique_name("scripts_notify_set");
    struct Case {
        std::vector<std::string> command;
        std::string key;
        std::string event;
    };
    const Case cases[] = {
        {{"HSET", hash, "log_level", "debug"}, hash, "hset"},
        {{"HDEL", hash, "log_level"}, hash, "hdel"},
        {{"SADD", set, "cam"}, set, "sadd"},
        {{"DEL", set}, set, "del"},
    };
    RawRedis writer;
    for (const auto& c : cases) {
        redisReply* done = writer.command(c.command);
        ASSERT_NE(done, nullptr);
        freeReplyObject(done);
        // Read until our event arrives; other programs may write to the store meanwhile.
        bool seen = false;
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        while (!seen && Clock::now() < deadline) {
            void* raw = nullptr;
            if (redisGetReply(sub.get(), &raw) != REDIS_OK) break;
            auto* message = static_cast<redisReply*>(raw);
            auto text = [message](size_t i) {
                const redisReply* e = message->element[i];
                return e->type == REDIS_REPLY_STRING ? std::string(e->str, e->len) : "";
            };
            seen = message->type == REDIS_REPLY_ARRAY && message->elements == 4 &&
                   text(0) == "pmessage" && text(2) == "__keyspace@0__:" + c.key &&
                   text(3) == c.event;
            freeReplyObject(message);
        }
        EXPECT_TRUE(seen) << "no \"" << c.event << "\" event for " << c.key;
    }
}

TEST_F(ServerScriptsTest, ServerAcceptsAHundredLibraryProcesses) {
    ASSERT_NO_FATAL_FAILURE(stop_server());
    ASSERT_NO_FATAL_FAILURE(start_server());
    const int pid = server_pid();
    ASSERT_GT(pid, 0);
    const long maxclients = std::atol(config_get("maxclients").c_str());
    const auto [soft, hard] = open_file_limits(pid);

    rlimit ours{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &ours), 0);
    // The script raises the server's limit as far as the hard limit lets it, never lowers it.
    if (ours.rlim_max != RLIM_INFINITY) {
        EXPECT_GE(hard == -1 ? LONG_MAX : hard, static_cast<long>(ours.rlim_max));
    }
    EXPECT_TRUE(soft == hard || soft >= 20532) << "soft " << soft << ", hard " << hard;
    // 20500 configured; the server keeps 32 descriptors for itself below a lower limit.
    const long reachable = soft == -1 ? 20500 : std::min(20500L, soft - 32);
    EXPECT_EQ(maxclients, reachable);
    std::cout << "[ figures  ] maxclients " << maxclients << ", server open-file limit " << soft
              << " (hard " << hard << ")\n";
    if (soft == -1 || soft >= 20032) {
        EXPECT_GE(maxclients, 20000);
    }
}

// A caller that reads its output through a pipe must not wait for the server: the server keeps
// none of the caller's descriptors, nor the lock file.
TEST_F(ServerScriptsTest, ServerKeepsNoDescriptorOfTheCaller) {
    ASSERT_NO_FATAL_FAILURE(stop_server());
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);  // inherited by the script through system()
    struct stat pipe_stat {};
    ASSERT_EQ(fstat(ends[0], &pipe_stat), 0);
    const std::string our_pipe = "pipe:[" + std::to_string(pipe_stat.st_ino) + "]";

    auto start = Clock::now();
    CommandResult r =
        run_command("timeout 10 sh -c 'out=$(" + kStartup + "; echo done); printf %s \"$out\"'");
    const double elapsed = ms_since(start);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "done");
    EXPECT_LT(elapsed, 5000.0) << "the caller waited for the server to let go of its pipe";
    ASSERT_TRUE(server_answers());

    const int pid = server_pid();
    ASSERT_GT(pid, 0);
    for (const auto& target : descriptor_targets(pid)) {
        EXPECT_NE(target, our_pipe) << "the server holds the caller's pipe";
        EXPECT_NE(target, kLockFile) << "the server holds the start lock";
    }
    // The lock is free while the server runs (other scripts on the machine may hold it briefly).
    EXPECT_EQ(run_command("flock -w 10 " + kLockFile + " true").exit_status, 0);
}

TEST_F(ServerScriptsTest, StartFailsInBoundedTimeWhenThePortIsTaken) {
    ASSERT_NO_FATAL_FAILURE(stop_server());
    {
        SilentListener listener;
        ASSERT_TRUE(listener.listening()) << std::strerror(errno);
        auto start = Clock::now();
        CommandResult r = run_silent(kStartup);
        const double elapsed = ms_since(start);
        EXPECT_NE(r.exit_status, 0);
        EXPECT_LT(elapsed, double(kStartBound.count()));
        std::cout << "[ figures  ] failed start with the port taken: " << elapsed << " ms\n";
        EXPECT_TRUE(server_processes().empty()) << "a server was left behind";
    }
    ASSERT_NO_FATAL_FAILURE(start_server());
}

// A running server that refuses new clients cannot be helped by a start: the script says so at
// once instead of waiting, and leaves the server alone.
TEST_F(ServerScriptsTest, StartFailsFastWhenTheServerTakesNoMoreClients) {
    ASSERT_NO_FATAL_FAILURE(start_server());
    const int pid = server_pid();
    RawRedis holder;  // the one client left room for
    const std::string maxclients = holder.strings({"CONFIG", "GET", "maxclients"}).at(1);
    ASSERT_EQ(holder.str({"CONFIG", "SET", "maxclients", "1"}), "OK");

    auto start = Clock::now();
    CommandResult r = run_silent(kStartup);
    const double elapsed = ms_since(start);
    EXPECT_EQ(holder.str({"CONFIG", "SET", "maxclients", maxclients}), "OK");
    EXPECT_NE(r.exit_status, 0);
    EXPECT_LT(elapsed, 3000.0);
    EXPECT_EQ(server_pid(), pid);
}

// Keeps the server process stopped (SIGSTOP) with its accept queue full, so that every new
// connect hangs, as with a server that hangs under load. Lets it go again on destruction.
class HungServer {
public:
    explicit HungServer(int pid) : pid_(pid) {
        stopped_ = kill(pid_, SIGSTOP) == 0;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 1000 && !queue_full(address); ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
            sockets_.push_back(fd);
        }
    }
    ~HungServer() {
        for (int fd : sockets_) close(fd);
        if (stopped_) kill(pid_, SIGCONT);  // harmless when the shutdown script killed it
    }
    HungServer(const HungServer&) = delete;
    HungServer& operator=(const HungServer&) = delete;

    bool hangs() const { return stopped_ && full_; }

private:
    // True when a new connect does not complete within 300 ms.
    bool queue_full(const sockaddr_in& address) {
        if (sockets_.size() % 100 != 99) return false;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        pollfd p{fd, POLLOUT, 0};
        full_ = poll(&p, 1, 300) == 0;
        sockets_.push_back(fd);
        return full_;
    }
    int pid_;
    bool stopped_ = false;
    bool full_ = false;
    std::vector<int> sockets_;
};

// Neither script may hang on a server that takes no connection any more: the start gives up,
// the stop kills the server.
TEST_F(ServerScriptsTest, ScriptsAreBoundedWithAHungServer) {
    ASSERT_NO_FATAL_FAILURE(start_server());
    const int pid = server_pid();
    ASSERT_GT(pid, 0);
    {
        HungServer hung(pid);
        ASSERT_TRUE(hung.hangs()) << "could not make connects hang";

        auto start = Clock::now();
        CommandResult started = run_silent(kStartup);
        const double start_ms = ms_since(start);
        EXPECT_NE(started.exit_status, 0);
        // About 7.5 s on a quiet machine; the bound only has to tell a bounded wait from the
        // minutes a blocked connect would take, also on a loaded machine.
        EXPECT_LT(start_ms, 30000.0);

        start = Clock::now();
        CommandResult stopped = run_silent(kShutdown);
        const double stop_ms = ms_since(start);
        EXPECT_EQ(stopped.exit_status, 0);
        EXPECT_LT(stop_ms, 30000.0);
        EXPECT_FALSE(process_alive(pid));
        std::cout << "[ figures  ] hung server: start gave up after " << start_ms
                  << " ms, stop took " << stop_ms << " ms\n";
    }
    ASSERT_NO_FATAL_FAILURE(start_server());
}

TEST_F(ServerScriptsTest, ScriptsPrintNothingInAnyState) {
    struct Step {
        const char* what;
        const std::string& script;
        bool answers_after;
    };
    const Step steps[] = {
        {"start when running", kStartup, true},       {"stop when running", kShutdown, false},
        {"stop when stopped", kShutdown, false},      {"start when stopped", kStartup, true},
        {"start when running again", kStartup, true},
    };
    ASSERT_NO_FATAL_FAILURE(start_server());
    for (const auto& step : steps) {
        CommandResult r = run_command(step.script);
        EXPECT_EQ(r.exit_status, 0) << step.what;
        EXPECT_EQ(r.out, "") << step.what;
        EXPECT_EQ(r.err, "") << step.what;
        EXPECT_EQ(server_answers(), step.answers_after) << step.what;
    }
}

// The scripts find their configuration and common part beside themselves. A copy made without
// the common part fails at once, quietly, and touches nothing: not the running server, not its
// files.
TEST_F(ServerScriptsTest, ScriptsWithoutTheirCommonPartFailQuietly) {
    ASSERT_NO_FATAL_FAILURE(start_server());
    const int pid = server_pid();
    char dir_template[] = "/tmp/tovzelt_scripts_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string copy = "cp " + kStartup + " " + kShutdown + " " + dir + "/";
    ASSERT_EQ(run_command(copy).exit_status, 0);
    const off_t log_before = file_size(kDataDir + "/scripts.log");

    const std::string startup_copy = dir + "/redis_startup.sh";
    const std::string shutdown_copy = dir + "/redis_shutdown.sh";
    EXPECT_EQ(run_silent(startup_copy).exit_status, 4);
    EXPECT_NE(run_silent(shutdown_copy).exit_status, 0);

    EXPECT_TRUE(server_answers());
    EXPECT_EQ(server_pid(), pid) << "the server was restarted";
    EXPECT_EQ(file_size(kDataDir + "/scripts.log"), log_before);
    ASSERT_EQ(run_command("rm -rf " + dir).exit_status, 0);
}

// Moves the data directory aside for a test and puts it back afterwards, whatever happens. Any
// process on the machine may run the startup script meanwhile and recreate the directory, so
// the restore moves whatever stands in the way out first.
class DataDirAside {
public:
    DataDirAside() : aside_(kDataDir + ".aside." + std::to_string(getpid())) {
        moved_ = std::rename(kDataDir.c_str(), aside_.c_str()) == 0;
    }
    ~DataDirAside() {
        if (!moved_) return;
        const std::string trash = kDataDir + ".trash." + std::to_string(getpid());
        const std::string quiet_stop = kShutdown + " >/dev/null 2>&1";
        bool back = false;
        for (int attempt = 0; attempt < 5 && !back; ++attempt) {
            ignore(std::system(quiet_stop.c_str()));
            std::rename(kDataDir.c_str(), (trash + "." + std::to_string(attempt)).c_str());
            back = std::rename(aside_.c_str(), kDataDir.c_str()) == 0;
        }
        // A server started in a directory that was moved away meanwhile must not stay.
        ignore(std::system(quiet_stop.c_str()));
        ignore(std::system(("rm -rf " + trash + ".*").c_str()));
        EXPECT_TRUE(back) << "could not put " << aside_ << " back as " << kDataDir;
    }
    DataDirAside(const DataDirAside&) = delete;
    DataDirAside& operator=(const DataDirAside&) = delete;
    bool moved() const { return moved_; }

private:
    static void ignore(int) {}
    std::string aside_;
    bool moved_ = false;
};

TEST_F(ServerScriptsTest, ScriptsCreateAMissingDataDirectory) {
    ASSERT_NO_FATAL_FAILURE(stop_server());
    const std::string key = unique_name("scripts_fresh");
    {
        DataDirAside aside;
        if (!aside.moved()) GTEST_SKIP() << "cannot move " << kDataDir << " aside";
        ASSERT_NE(access(kDataDir.c_str(), F_OK), 0);

        ASSERT_NO_FATAL_FAILURE(start_server());
        struct stat dir {};
        EXPECT_EQ(stat(kDataDir.c_str(), &dir), 0);
        EXPECT_TRUE(S_ISDIR(dir.st_mode));
        {
            RawRedis redis;
            EXPECT_EQ(redis.integer({"HSET", key, "k", "v"}), 1);
        }
        ASSERT_NO_FATAL_FAILURE(stop_server());

        // Stopping when the directory is missing (and so no server of ours runs) succeeds.
        ASSERT_EQ(run_command("rm -rf " + kDataDir).exit_status, 0);
        EXPECT_EQ(run_silent(kShutdown).exit_status, 0);
    }
    // The original data is back, without the fresh directory's key.
    ASSERT_NO_FATAL_FAILURE(start_server());
    RawRedis redis;
    EXPECT_FALSE(redis.exists(key));
}

// A user who owns the data directory can start and stop the server without root.
TEST_F(ServerScriptsTest, WorksForANonRootOwnerOfTheDataDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
    if (run_command("id -u nobody").exit_status != 0) GTEST_SKIP() << "no user nobody";
    ASSERT_NO_FATAL_FAILURE(stop_server());
    {
        DataDirAside aside;
        if (!aside.moved()) GTEST_SKIP() << "cannot move " << kDataDir << " aside";
        ASSERT_EQ(
            run_command("mkdir -m 0755 " + kDataDir + " && chown nobody " + kDataDir).exit_status,
            0);
        const std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";

        CommandResult started = run_command(as_nobody + kStartup);
        EXPECT_EQ(started.exit_status, 0);
        EXPECT_EQ(started.out + started.err, "");
        ASSERT_TRUE(server_answers());
        const int pid = server_pid();
        struct stat owner {};
        ASSERT_EQ(stat(("/proc/" + std::to_string(pid)).c_str(), &owner), 0);
        EXPECT_NE(owner.st_uid, 0u) << "the server runs as root";

        CommandResult stopped = run_command(as_nobody + kShutdown);
        EXPECT_EQ(stopped.exit_status, 0);
        EXPECT_EQ(stopped.out + stopped.err, "");
        EXPECT_FALSE(server_answers());
    }
    ASSERT_NO_FATAL_FAILURE(start_server());
}

}  // namespace
