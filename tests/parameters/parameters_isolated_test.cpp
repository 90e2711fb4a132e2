// Parameter calls in processes of their own: the start of the store when the library is
// loaded, a facade built while no store can be reached, and the pool's creation failing under a
// facade that is ready. This process itself never builds the facade or the pool: every scenario
// runs in a forked child, or in this program run again inside private namespaces (a mount
// namespace in which the startup script fails or is missing, a network namespace without a
// store), so the installed scripts and the shared server are never touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "store_probe.h"
#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using Clock = std::chrono::steady_clock;
using tovzelt_test::in_child;
using tovzelt_test::LogCapture;
using tovzelt_test::ms_since;
using tovzelt_test::OffTheNetwork;
using tovzelt_test::RawRedis;
using tovzelt_test::unique_name;
using Lines = std::vector<std::pair<int, std::string>>;

namespace {

// Set in the environment of an inner run: which scenario it is.
const char* const kInnerRun = "TOVZELT_PARAMETERS_INNER_RUN";
// The network namespace of the outer run, where the store is.
const char* const kHomeNetwork = "TOVZELT_PARAMETERS_HOME_NETNS";

const char* const kNotReady =
    " failed: TovZELT is not ready because TovZeltCore construction failed.";

std::string script_dir() {
    const std::string script = TOVZELT_STARTUP_SCRIPT;
    return script.substr(0, script.rfind('/'));
}

std::string self_exe() {
    char path[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool is_inner_run(const char* scenario) {
    const char* value = std::getenv(kInnerRun);
    return value != nullptr && std::strcmp(value, scenario) == 0;
}

// Runs one disabled (inner) test of this program through `/bin/sh -c`, after `setup`, inside
// `unshare <namespaces>`, with `env` added to its environment.
tovzelt_test::CommandResult run_inner(const std::string& namespaces, const std::string& setup,
                                      const std::string& scenario, const std::string& test,
                                      const std::string& env) {
    const std::string inner = setup + " && exec env " + kInnerRun + "=" + scenario + " " + env +
                              " " + self_exe() +
                              " --gtest_also_run_disabled_tests --gtest_filter=" + test;
    return tovzelt_test::run_command("unshare " + namespaces + " sh -c '" + inner + "'");
}

void expect_inner_passed(const tovzelt_test::CommandResult& result) {
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("[  PASSED  ] 1 test."), std::string::npos) << result.out;
}

Lines levels_and_texts(const LogCapture& log) {
    Lines out;
    for (const auto& line : log.lines()) out.emplace_back(line.level, line.message);
    return out;
}

// --- The facade built while no store can be reached ---------------------------------------

TEST(NotReady, FacadeBuiltWithoutAStoreFailsEveryParameterFunctionFastAndStaysSo) {
    tovzelt_test::ensure_server_running();
    char script[] = "/tmp/tovzelt_failing_startupXXXXXX";
    const int fd = mkstemp(script);
    ASSERT_GE(fd, 0);
    const std::string body = "#!/bin/sh\nexit 3\n";
    ASSERT_EQ(write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
    close(fd);
    chmod(script, 0755);
    const auto result = run_inner(
        "-m -n",
        std::string("ip link set lo up && mount --bind ") + script + " " + TOVZELT_STARTUP_SCRIPT,
        "not_ready", "NotReadyInner.*",
        std::string(kHomeNetwork) + "=/proc/" + std::to_string(getpid()) + "/ns/net");
    unlink(script);
    expect_inner_passed(result);
}

TEST(NotReadyInner, DISABLED_Run) {
    if (!is_inner_run("not_ready")) GTEST_SKIP() << "runs inside NotReady";
    ASSERT_FALSE(tovzelt_test::server_answers()) << "the store must be out of reach here";

    LogCapture log;
    EXPECT_EQ(tz::get_library_version(),
              "Tovana_Tovzelt_V1.0.34_b135_branch_master_9228f5c_20260520");
    EXPECT_STREQ(tz::get_build_version(), "V1.0.34");
    EXPECT_STREQ(tz::get_build_meta(), "2026-05-20 13:42:58");
    EXPECT_STREQ(tz::get_build_id(), "9228f5c");
    EXPECT_TRUE(log.lines().empty()) << "identification builds nothing and starts nothing";

    // The first parameter call builds the facade: the (failing) start, its pause, the failed
    // connect. The name check does not run.
    const auto start = Clock::now();
    EXPECT_EQ(tz::init_param("cam_42", "k", "v"), -1);
    EXPECT_GE(ms_since(start), 100) << "the start pauses 100 ms";
    EXPECT_EQ(levels_and_texts(log),
              (Lines{{0, "TovZELT reconnect: szCommand: " TOVZELT_STARTUP_SCRIPT},
                     {2,
                      "TovZELT deconstruction: service redis_startup command failed to be "
                      "executed, value: 768"},
                     {2, "Connection error: Connection refused"},
                     {2,
                      "TovZELT: TovZeltCore construction failed: ZeltOp instantiation failed due "
                      "to connection error."},
                     {2, std::string("init_parameter") + kNotReady}}));

    std::string key = "key untouched";
    std::string value = "value untouched";
    const char bytes[] = {'a', '\0', 'b'};
    tz::TovZELT& facade = tz::TovZELT::getInstance();
    struct Row {
        std::string operation;
        std::function<std::string()> run;  // the result, as text
        std::string result;
    };
    auto code = [](int8_t c) { return std::to_string(c); };
    auto list = [](const std::vector<std::string>& l) { return std::to_string(l.size()); };
    const std::vector<Row> rows = {
        {"init_parameter", [&] { return code(tz::init_param("cam_42", "k", "v")); }, "-1"},
        {"init_parameter", [&] { return code(tz::init_param(nullptr, nullptr, nullptr)); }, "-1"},
        {"add_parameter", [&] { return code(tz::add_param("cam_42", "k", "v")); }, "-1"},
        {"update_parameter", [&] { return code(tz::update_param("cam_42", "k", "v")); }, "-1"},
        {"update_parameter_bin",
         [&] { return code(tz::update_param_bin("cam_42", "k", bytes, 3)); }, "-1"},
        {"delete_parameter", [&] { return code(tz::delete_param("cam_42", "k")); }, "-1"},
        {"mod_clear", [&] { return code(tz::module_clear("cam_42")); }, "-1"},
        {"mod_clear", [&] { return code(tz::module_clear(nullptr)); }, "-1"},
        {"get_value", [&] { return tz::get_param("cam_42", "k"); }, ""},
        {"get_value_bin", [&] { return tz::get_param_bin("cam_42", "k"); }, ""},
        {"get_modules", [&] { return list(tz::get_modules("cam")); }, "0"},
        {"add_sets_v", [&] { return code(tz::add_sets_value("s", "m")); }, "-1"},
        {"get_sets_v", [&] { return list(tz::get_sets_l("s")); }, "0"},
        {"get_change_info",
         [&] { return code(tz::get_change_notes("cam_42", key, value)) + key + value; },
         "-1key untouchedvalue untouched"},
        {"extract_module", [&] { return code(facade.extract_module("cam_42")); }, "-1"},
        {"create_zelt_ins",
         [&] { return facade.create_zelt_ins("cam_42") == nullptr ? "null" : "object"; }, "null"},
        {"TovZELT interface",
         [&] { return facade.ensure_zelt_ready(nullptr) ? "ready" : "not ready"; }, "not ready"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.operation);
        log.clear();
        const auto call = Clock::now();
        EXPECT_EQ(row.run(), row.result);
        EXPECT_LT(ms_since(call), 50) << "fails fast";
        EXPECT_EQ(levels_and_texts(log), (Lines{{2, row.operation + kNotReady}}));
        for (const auto& line : log.lines()) {
            EXPECT_EQ(line.tag, "Tovzelt");
            EXPECT_EQ(line.file, "src/wrap_zelt_core");
        }
    }

    // The store is back within reach: the facade is still not ready and tries nothing.
    const int home = open(std::getenv(kHomeNetwork), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(home, 0);
    ASSERT_EQ(setns(home, CLONE_NEWNET), 0);
    close(home);
    ASSERT_TRUE(tovzelt_test::server_answers());
    log.clear();
    EXPECT_EQ(tz::init_param("cam_42", "k", "v"), -1);
    EXPECT_EQ(tz::get_param("cam_42", "k"), "");
    EXPECT_EQ(levels_and_texts(log), (Lines{{2, std::string("init_parameter") + kNotReady},
                                            {2, std::string("get_value") + kNotReady}}));
}

// --- The start when the library is loaded -------------------------------------------------

TEST(LoadTimeStart, MissingStartupScriptIsLoggedWith32512AndLoadingGoesOn) {
    tovzelt_test::ensure_server_running();
    const std::string log_file = "/tmp/tovzelt_load_start_" + std::to_string(getpid()) + ".log";
    unlink(log_file.c_str());
    const auto result =
        run_inner("-m", "mount -t tmpfs tmpfs " + script_dir(), "load_time", "LoadTimeStartInner.*",
                  "TOVCLOG_FILE=" + log_file + " TOVCLOG_LEVEL=4");
    expect_inner_passed(result);
    // The start at load and the start of the facade's construction.
    EXPECT_EQ(occurrences(read_file(log_file),
                          "TovZELT deconstruction: service redis_startup command failed to be "
                          "executed, value: 32512"),
              2);
    unlink(log_file.c_str());
    struct stat st {};
    EXPECT_EQ(stat(TOVZELT_STARTUP_SCRIPT, &st), 0) << "the installed script is untouched";
}

TEST(LoadTimeStartInner, DISABLED_Run) {
    if (!is_inner_run("load_time")) GTEST_SKIP() << "runs inside LoadTimeStart";
    struct stat st {};
    ASSERT_NE(stat(TOVZELT_STARTUP_SCRIPT, &st), 0) << "the script must be missing here";

    // Before this program called anything, loading the library ran the (missing) script.
    const std::string loaded = read_file(std::getenv("TOVCLOG_FILE"));
    EXPECT_EQ(occurrences(loaded, "TovZELT reconnect: szCommand: " TOVZELT_STARTUP_SCRIPT), 1)
        << loaded;
    EXPECT_EQ(occurrences(loaded,
                          "TovZELT deconstruction: service redis_startup command failed to be "
                          "executed, value: 32512"),
              1)
        << loaded;

    // The store runs anyway: the facade, built after a second failed start, is ready.
    ASSERT_TRUE(tovzelt_test::server_answers());
    const std::string module = unique_name("loadstart");
    RawRedis raw;
    LogCapture log;
    EXPECT_EQ(tz::init_param(module.c_str(), "k", "v"), 0);
    EXPECT_EQ(log.count(2,
                        "TovZELT deconstruction: service redis_startup command failed to be "
                        "executed, value: 32512"),
              1);
    EXPECT_EQ(raw.str({"HGET", module, "k"}), "v");
    EXPECT_EQ(tz::get_param(module.c_str(), "k"), "v");
    raw.integer({"DEL", module, module + "_zeltbackup"});
}

// --- A ready facade whose pool cannot be created -------------------------------------------

TEST(PoolCreationUnderAReadyFacade, ValueCommandsLetTheErrorThroughAndTheOthersLogIt) {
    tovzelt_test::ensure_server_running();
    in_child([] {
        tz::TovZELT::getInstance();
        ASSERT_EQ(tovzelt_test::open_tcp_sockets(), 1u) << "the facade's own connection only";
        const std::string module = unique_name("nopool");
        const char bytes[] = {'a', '\0', 'b'};
        const std::string error = "Redis connection error: cannot allocate redis context";
        LogCapture log;
        {
            OffTheNetwork off;
            const std::vector<std::pair<const char*, std::function<void()>>> throwing = {
                {"get_param", [&] { tz::get_param(module.c_str(), "k"); }},
                {"get_param_bin", [&] { tz::get_param_bin(module.c_str(), "k"); }},
                {"update_param", [&] { tz::update_param(module.c_str(), "k", "v"); }},
                {"add_param", [&] { tz::add_param(module.c_str(), "k", "v"); }},
                {"init_param", [&] { tz::init_param(module.c_str(), "k", "v"); }},
                {"update_param_bin", [&] { tz::update_param_bin(module.c_str(), "k", bytes, 3); }},
            };
            for (const auto& [name, call] : throwing) {
                SCOPED_TRACE(name);
                try {
                    call();
                    ADD_FAILURE() << "no exception";
                } catch (const std::runtime_error& e) {
                    EXPECT_EQ(e.what(), error);
                }
            }

            struct Row {
                const char* name;
                std::function<std::string()> run;
                std::string result;
                std::string line;  // untagged, level 2
            };
            auto code = [](int8_t c) { return std::to_string(c); };
            auto list = [](const std::vector<std::string>& l) { return std::to_string(l.size()); };
            const std::vector<Row> rows = {
                {"get_modules", [&] { return list(tz::get_modules(module.c_str())); }, "0",
                 "Error: get_module_list " + error},
                {"add_sets_value", [&] { return code(tz::add_sets_value(module.c_str(), "m")); },
                 "-1", "Error: sets_add " + error},
                {"get_sets_l", [&] { return list(tz::get_sets_l(module.c_str())); }, "0",
                 "Error: get_sets " + error},
                {"delete_param", [&] { return code(tz::delete_param(module.c_str(), "k")); }, "-1",
                 "Error: del_hash_key " + error},
                {"module_clear", [&] { return code(tz::module_clear(module.c_str())); }, "-1",
                 "Error: del_hash " + error},
            };
            for (const Row& row : rows) {
                SCOPED_TRACE(row.name);
                log.clear();
                EXPECT_EQ(row.run(), row.result);
                const tovzelt_test::LogLine line = log.find(row.line);
                EXPECT_EQ(line.level, 2);
                EXPECT_FALSE(line.tagged);
                EXPECT_EQ(line.file, "src/wrap_zelt_core");
            }
            EXPECT_EQ(tovzelt_test::open_tcp_sockets(), 1u);
        }
        // Within reach again, the next command builds the pool.
        EXPECT_EQ(tz::update_param(module.c_str(), "k", "v"), 0);
        EXPECT_EQ(tz::RedisConnectionPool::getInstance().size(), 200u);
        RawRedis raw;
        EXPECT_EQ(raw.str({"HGET", module, "k"}), "v");
        raw.integer({"DEL", module});
    });
}

TEST(Registry, FailedCreationLeavesNoEntryAndTheNextCallBuildsTheObject) {
    tovzelt_test::ensure_server_running();
    in_child([] {
        tz::TovZELT& facade = tz::TovZELT::getInstance();
        const std::string name = unique_name("registry") + "_5";
        LogCapture log;
        {
            OffTheNetwork off;
            EXPECT_EQ(facade.create_zelt_ins(name), nullptr);
        }
        const Lines lines = levels_and_texts(log);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].first, 2);
        EXPECT_EQ(lines[0].second.rfind("Connection error: ", 0), 0u) << lines[0].second;
        EXPECT_EQ(lines[1], (std::pair<int, std::string>{
                                2,
                                "TovZELT: TovZeltCore create_zelt_ins creating instance failed: "
                                "ZeltOp instantiation failed due to connection error."}));
        EXPECT_EQ(tovzelt_test::open_tcp_sockets(), 1u) << "nothing of the attempt is left";

        tz::TovZeltCore* core = facade.create_zelt_ins(name);
        ASSERT_NE(core, nullptr);
        EXPECT_NE(core->get_redis_context(), nullptr);
        EXPECT_EQ(facade.create_zelt_ins(name), core);
        EXPECT_EQ(tovzelt_test::open_tcp_sockets(), 2u);
    });
}

}  // namespace
