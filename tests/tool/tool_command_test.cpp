// zelt_tool as an operator runs it, against the real store: its output, exit status and what
// it leaves in the store, and its removal of the keys of modules whose processes have ended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "tool_runner.h"

namespace {

using tool_test::kHelpText;
using tool_test::run_tool;
using tool_test::StoreModules;
using tovzelt_test::CommandResult;
using tovzelt_test::RawRedis;

const std::string kMissing = "<nil>";
const std::string kAbsentModule = "【ERROR】Module doesn't exist. Please check again.\n";

std::string invalid_command_line() {
    return std::string(
               "【ERROR】Command line argument does not appear to be a valid command line "
               "argument.\n\n") +
           kHelpText;
}
std::string wrong_count(int words) {
    return "【ERROR】input parameter count: " + std::to_string(words) +
           " doesn't match expected format.\n\n" + kHelpText;
}
std::string unsupported_key(const std::string& key) {
    return "【ERROR】key: " + key + " not supported.\n\n" + kHelpText;
}
std::string unsupported_value(const std::string& value) {
    return "【ERROR】log value: " + value + " not supported.\n\n" + kHelpText;
}
std::string unexpected_operation(const std::string& word) {
    return "【ERROR】Unexpected operation type: " + word + ".\n\n" + kHelpText;
}
std::string query_line(const std::string& module, const std::string& key,
                       const std::string& value) {
    return "module: " + module + ", key: " + key + ", value is: " + value + "\n";
}

std::string joined(const std::vector<std::string>& words) {
    std::string text = "zelt_tool";
    for (const std::string& word : words) text += " [" + word + "]";
    return text;
}

// One run of the tool and what it must print and return.
struct Expected {
    std::vector<std::string> words;
    std::string out;
    int exit_status;
};

void expect_run(const Expected& expected) {
    const CommandResult result = run_tool(expected.words);
    EXPECT_EQ(result.out, expected.out) << joined(expected.words);
    EXPECT_EQ(result.exit_status, expected.exit_status) << joined(expected.words);
    EXPECT_EQ(result.err, "") << joined(expected.words);
}

std::string file_content(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

int occurrences(const std::string& text, const std::string& fragment) {
    int count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos;
         at = text.find(fragment, at + fragment.size())) {
        ++count;
    }
    return count;
}

class ToolCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(tovzelt_test::ensure_server_running());
        redis_ = std::make_unique<RawRedis>();
        ASSERT_NE(redis_->context(), nullptr);
        modules_ = std::make_unique<StoreModules>(*redis_);
    }
    void TearDown() override { modules_.reset(); }

    RawRedis& redis() { return *redis_; }
    StoreModules& modules() { return *modules_; }
    std::string field(const std::string& hash, const std::string& name) {
        return redis_->str({"HGET", hash, name}, kMissing);
    }
    // A module of this test's process, as its init leaves it, with "log_level" and
    // "console_level" at "info". Listed in "module_sets": should the test not get to remove
    // it, later runs of the tool do.
    std::string live_module(const std::string& prefix) {
        const std::string module = modules().base(prefix, true) + "_" + std::to_string(getpid());
        modules().initialised_module(module, "log_level", "info");
        modules().initialised_module(module, "console_level", "info");
        return module;
    }

private:
    std::unique_ptr<RawRedis> redis_;
    std::unique_ptr<StoreModules> modules_;
};

TEST_F(ToolCommandTest, HelpWithoutArgumentsOrWithAHelpSwitch) {
    const std::vector<std::vector<std::string>> command_lines = {
        {}, {"-h"}, {"--help"}, {"-h", "set", "m_1", "log_level", "info", "more"}, {"--help", "x"}};
    for (const auto& words : command_lines) expect_run({words, kHelpText, 0});
}

TEST_F(ToolCommandTest, InvalidWordCountStillCleansUp) {
    const std::string base = modules().base("toolcount", true);
    const std::string dead = base + "_" + std::to_string(tool_test::surely_dead_pid());
    modules().initialised_module(dead, "log_level", "info");
    const std::string module = live_module("toolcount_live");

    expect_run({{"bogus"}, invalid_command_line(), 1});
    EXPECT_FALSE(redis().exists(dead)) << "a malformed command line cleans up too";
    EXPECT_FALSE(redis().exists(dead + "_zeltbackup"));

    expect_run({{"set", module, "log_level", "debug", "extra"}, invalid_command_line(), 1});
    EXPECT_EQ(field(module, "log_level"), "info");
}

TEST_F(ToolCommandTest, AbsentModuleIsReportedBeforeTheCommandWord) {
    const std::string pid = std::to_string(getpid());
    const std::string absent = modules().base("toolabsent", false) + "_" + pid;
    // A module hash without its backup hash counts as absent.
    const std::string hash_only = modules().base("toolhashonly", false) + "_" + pid;
    modules().hset(hash_only, "log_level", "info");

    const std::vector<std::vector<std::string>> command_lines = {
        {"set", absent, "log_level", "info"}, {"set", absent},
        {"frobnicate", absent, "log_level"},  {"query", hash_only, "log_level"},
        {"del", hash_only, "log_level"},
    };
    for (const auto& words : command_lines) expect_run({words, kAbsentModule, 0});
    EXPECT_FALSE(redis().exists(absent));
    EXPECT_EQ(field(hash_only, "log_level"), "info");
}

TEST_F(ToolCommandTest, WrongWordCountForTheCommand) {
    const std::string module = live_module("toolwords");
    const std::vector<Expected> runs = {
        {{"set", module}, wrong_count(3), 0},
        {{"update", module, "log_level"}, wrong_count(4), 0},
        {{"-a", module, "log_level"}, wrong_count(4), 0},
        {{"del", module}, wrong_count(3), 0},
        {{"del", module, "log_level", "x"}, wrong_count(5), 0},
        {{"query", module}, wrong_count(3), 0},
        {{"-q", module, "log_level", "x"}, wrong_count(5), 0},
    };
    for (const Expected& run : runs) expect_run(run);
    EXPECT_EQ(field(module, "log_level"), "info");
}

TEST_F(ToolCommandTest, SetAndAddWriteTheModuleHashOnly) {
    const std::string module = live_module("toolset");
    const std::string set_ok = "Set successfully.\n";
    const std::string add_ok = "Add successfully.\n";
    const struct {
        Expected run;
        std::string field;
        std::string stored;  // in the module hash afterwards
    } cases[] = {
        {{{"set", module, "log_level", "debug"}, set_ok, 0}, "log_level", "debug"},
        {{{"update", module, "console_level", "off"}, set_ok, 0}, "console_level", "off"},
        {{{"-s", module, "logger_switch", "Any Value"}, set_ok, 0}, "logger_switch", "Any Value"},
        {{{"set", module, "log_file_path", "/var/log/a b.log"}, set_ok, 0},
         "log_file_path",
         "/var/log/a b.log"},
        {{{"set", module, "log_level", "Warn"}, unsupported_value("Warn"), 255},
         "log_level",
         "debug"},
        {{{"-s", module, "console_level", "verbose"}, unsupported_value("verbose"), 255},
         "console_level",
         "off"},
        {{{"set", module, "other_key", "info"}, unsupported_key("other_key"), 0},
         "other_key",
         kMissing},
        {{{"set", module, "LOG_LEVEL", "info"}, unsupported_key("LOG_LEVEL"), 0},
         "LOG_LEVEL",
         kMissing},
        {{{"add", module, "other_key", "Any Value"}, add_ok, 0}, "other_key", "Any Value"},
        {{{"-a", module, "console_level", "OFF"}, unsupported_value("OFF"), 255},
         "console_level",
         "off"},
        {{{"-a", module, "console_level", "warn"}, add_ok, 0}, "console_level", "warn"},
        {{{"add", module, "log_level", "bogus"}, unsupported_value("bogus"), 255},
         "log_level",
         "debug"},
        // The library refuses an empty key.
        {{{"add", module, "", "info"}, "【ERROR】Add failed.\n", 255}, "", kMissing},
    };
    for (const auto& c : cases) {
        expect_run(c.run);
        EXPECT_EQ(field(module, c.field), c.stored) << joined(c.run.words);
    }
    EXPECT_EQ(field(module + "_zeltbackup", "log_level"), "info");
    EXPECT_EQ(field(module + "_zeltbackup", "console_level"), "info");
}

TEST_F(ToolCommandTest, DelRemovesOneFieldAndReportsOnlyByStatus) {
    const std::string module = live_module("tooldel");
    expect_run({{"del", module, "log_level"}, "", 0});
    EXPECT_EQ(field(module, "log_level"), kMissing);
    EXPECT_EQ(field(module, "console_level"), "info");
    EXPECT_EQ(field(module + "_zeltbackup", "log_level"), "info");
    expect_run({{"del", module, "log_level"}, "", 255});
}

TEST_F(ToolCommandTest, QueryPrintsTheValueEvenWhenEmpty) {
    const std::string module = live_module("toolquery");
    const std::string base = module.substr(0, module.rfind('_'));
    modules().hset(module, "empty_value", "");
    const std::vector<Expected> runs = {
        {{"query", module, "log_level"}, query_line(module, "log_level", "info"), 0},
        {{"-q", module, "missing_key"}, query_line(module, "missing_key", ""), 0},
        {{"-q", module, "empty_value"}, query_line(module, "empty_value", ""), 0},
        // A bare base name exists when any of its modules does; it has no hash of its own.
        {{"query", base, "log_level"}, query_line(base, "log_level", ""), 0},
    };
    for (const Expected& run : runs) expect_run(run);
}

TEST_F(ToolCommandTest, UnknownCommandWordWithAnExistingModule) {
    const std::string module = live_module("toolunknown");
    expect_run({{"frobnicate", module}, unexpected_operation("frobnicate"), 0});
    // Command words are case-sensitive.
    expect_run({{"Set", module, "log_level", "debug"}, unexpected_operation("Set"), 0});
    EXPECT_EQ(field(module, "log_level"), "info");
}

// The query of the base name "lumoxsdk" looks at its modules 0, 1 and 2 in this order. The
// fixed names are shared with nothing else; "lumoxsdk" is kept out of "module_sets", or runs
// would delete "lumoxsdk_2" when no process 2 exists.
class LumoxsdkQueryTest : public ToolCommandTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ToolCommandTest::SetUp());
        remove_numbered_modules();
    }
    void TearDown() override {
        remove_numbered_modules();
        ToolCommandTest::TearDown();
    }
    void remove_numbered_modules() {
        redis().integer({"SREM", "module_sets", "lumoxsdk"});
        for (const char* key : {"lumoxsdk_0", "lumoxsdk_1", "lumoxsdk_2"}) {
            redis().integer({"DEL", key, std::string(key) + "_zeltbackup"});
        }
    }
};

TEST_F(LumoxsdkQueryTest, FirstNonEmptyValueOfModulesZeroToTwo) {
    const struct {
        const char* what;
        std::vector<std::vector<std::string>> fields;  // {module, field, value}
        std::string out;
    } cases[] = {
        {"all three hold it",
         {{"lumoxsdk_0", "log_level", "err"},
          {"lumoxsdk_1", "log_level", "warn"},
          {"lumoxsdk_2", "log_level", "debug"}},
         query_line("lumoxsdk_0", "log_level", "err")},
        {"0 holds an empty value",
         {{"lumoxsdk_0", "log_level", ""},
          {"lumoxsdk_1", "log_level", "warn"},
          {"lumoxsdk_2", "log_level", "debug"}},
         query_line("lumoxsdk_1", "log_level", "warn")},
        {"only 2 holds it",
         {{"lumoxsdk_0", "other", "x"}, {"lumoxsdk_2", "log_level", "debug"}},
         query_line("lumoxsdk_2", "log_level", "debug")},
        {"none holds it",
         {{"lumoxsdk_0", "other", "x"}, {"lumoxsdk_1", "log_level", ""}},
         "module: lumoxsdk_2, key: log_level NOT FOUND.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remove_numbered_modules();
        for (const auto& f : c.fields) modules().initialised_module(f[0], f[1], f[2]);
        expect_run({{"query", "lumoxsdk", "log_level"}, c.out, 0});
    }
}

TEST_F(ToolCommandTest, CleanupDeletesTheKeysOfEndedProcessesOnly) {
    const std::string base = modules().base("toolclean", true);
    // Characters with a meaning in patterns are part of the base name like any other.
    const std::string literal_base = modules().base("tool.clean+", true);
    const std::string live = std::to_string(getpid());
    const std::string dead = std::to_string(tool_test::surely_dead_pid(1));
    const std::string dead_zeros = std::to_string(tool_test::surely_dead_pid(2));
    const std::string dead_hash_only = std::to_string(tool_test::surely_dead_pid(3));
    const std::string dead_backup_only = std::to_string(tool_test::surely_dead_pid(4));
    // Named only by keys that yield no process id.
    const std::string unnamed = std::to_string(tool_test::surely_dead_pid(5));
    const std::string oversized = "99999999999";
    const auto key = [&](const std::string& rest) { return base + "_" + rest; };

    const struct {
        std::string key;
        bool stays;
    } cases[] = {
        {key(dead), false},
        {key(dead + "_zeltbackup"), false},
        {key(dead_hash_only), false},
        {key(dead_backup_only + "_zeltbackup"), false},
        {literal_base + "_" + dead, false},
        {literal_base + "_" + dead + "_zeltbackup", false},
        {key(live), true},
        {key(live + "_zeltbackup"), true},
        {literal_base + "_" + live + "_zeltbackup", true},
        {key("0"), true},  // signal 0 to process 0 reaches the tool's own process group
        {key("1"), true},
        // The deletes name the process id, not the key.
        {key("00" + dead_zeros), true},
        {key(dead + "_other"), true},
        {key("cam_" + unnamed), true},  // another base name sharing the prefix
        {key(unnamed + "x"), true},
        {key(unnamed + "x_zeltbackup"), true},
        {key(unnamed + "_line\nbreak"), true},
        {key(oversized), true},
        {key(oversized + "_zeltbackup"), true},
    };
    for (const auto& c : cases) modules().hset(c.key, "log_level", "info");

    const tool_test::ScratchDirectory logs;
    const std::string log_file = logs.file("tool.log");
    const std::string module = key(live);
    const CommandResult result = run_tool({"query", module, "log_level"}, {"", log_file});
    EXPECT_EQ(result.out, query_line(module, "log_level", "info"));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");

    for (const auto& c : cases) EXPECT_EQ(redis().exists(c.key), c.stays) << "[" << c.key << "]";

    const std::string log = file_content(log_file);
    EXPECT_GE(occurrences(log, "Process : " + live + " is Running, related module will be kept."),
              3)
        << log;
    EXPECT_GE(occurrences(log, "Process : 0 is Running, related module will be kept."), 1);
    EXPECT_GE(occurrences(log, "Process : 1 is Running, related module will be kept."), 1);
    EXPECT_EQ(occurrences(log, "Process : " + dead_zeros +
                                   " is Not Running, related module will be deleted."),
              1)
        << log;
    EXPECT_EQ(occurrences(log, "Process : " + unnamed + " is"), 0) << log;
    // Both oversized keys are looked at, and the run goes on.
    EXPECT_EQ(occurrences(log, "pid is: " + key(oversized)), 2) << log;
    EXPECT_EQ(occurrences(log, "Process : " + oversized), 0);
}

}  // namespace
