// zelt_tool's configuration file, which turns the tool's own logging on, and the help switches,
// which must not clean up. The configuration file is shared by every run of the tool on the
// machine, and no other run may clean up while the help is tested: these tests run alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "tool_runner.h"

namespace {

namespace fs = std::filesystem;
using tool_test::run_tool;
using tool_test::ScratchDirectory;
using tool_test::StoreModules;
using tovzelt_test::CommandResult;
using tovzelt_test::RawRedis;

const std::string kConfigFile = "/opt/tovana/hvx/tov-zelt/conf/zelt.conf";
const std::string kToolLogName = "tovclog_tovzelt_tool";

std::optional<std::string> content_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// Gives the configuration file the content a test wants and puts back what was there (or its
// absence) at destruction.
class ConfigFileGuard {
public:
    ConfigFileGuard() : saved_(content_of(kConfigFile)) {}
    ~ConfigFileGuard() { set(saved_); }
    ConfigFileGuard(const ConfigFileGuard&) = delete;
    ConfigFileGuard& operator=(const ConfigFileGuard&) = delete;

    // std::nullopt removes the file.
    void set(const std::optional<std::string>& content) {
        std::error_code ignored;
        if (!content) {
            fs::remove(kConfigFile, ignored);
            return;
        }
        fs::create_directories(fs::path(kConfigFile).parent_path(), ignored);
        std::ofstream(kConfigFile, std::ios::binary | std::ios::trunc) << *content;
        ASSERT_EQ(content_of(kConfigFile), content) << "cannot write " << kConfigFile;
    }

private:
    std::optional<std::string> saved_;
};

std::string query_line(const std::string& module, const std::string& key,
                       const std::string& value) {
    return "module: " + module + ", key: " + key + ", value is: " + value + "\n";
}

class ToolConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(tovzelt_test::ensure_server_running());
        redis_ = std::make_unique<RawRedis>();
        ASSERT_NE(redis_->context(), nullptr);
        modules_ = std::make_unique<StoreModules>(*redis_);
        config_ = std::make_unique<ConfigFileGuard>();
    }
    void TearDown() override {
        config_.reset();
        modules_.reset();
    }

    RawRedis& redis() { return *redis_; }
    StoreModules& modules() { return *modules_; }
    ConfigFileGuard& config() { return *config_; }

private:
    std::unique_ptr<RawRedis> redis_;
    std::unique_ptr<StoreModules> modules_;
    std::unique_ptr<ConfigFileGuard> config_;
};

TEST_F(ToolConfigTest, LogEntryOnTurnsTheToolsLoggingOn) {
    // A listed module of this process: the cleanup looks at it on every run and keeps it.
    const std::string module = modules().base("toolconf", true) + "_" + std::to_string(getpid());
    modules().initialised_module(module, "log_level", "info");

    const struct {
        const char* what;
        std::optional<std::string> content;
        bool logging;
    } cases[] = {
        {"blanks around =", "log = on\n", true},
        {"no blanks, no final newline", "log=on", true},
        {"tabs and a carriage return", "\tlog\t=\ton \r\n", true},
        {"after a section, a comment and an indented #-entry",
         "[tool]\n# note\n  #log = off\nlog = on\n", true},
        {"value in capitals", "log = ON\n", false},
        {"commented out", "#log = on\n", false},
        {"blanks before # make the entry \"#log\"", "  #log = on\n", false},
        {"the first entry decides", "log = off\nlog = on\n", false},
        {"value with a further =", "log = on = yes\n", false},
        {"no entry", "other = on\nlogging = on\n", false},
        {"empty file", "", false},
        {"no file", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        config().set(c.content);
        const ScratchDirectory directory;
        const CommandResult result =
            run_tool({"query", module, "log_level"}, {directory.path(), ""});
        EXPECT_EQ(result.out, query_line(module, "log_level", "info"));
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        const std::optional<std::string> log = content_of(directory.file(kToolLogName));
        EXPECT_EQ(log.has_value(), c.logging);
        if (!log) continue;
        // The library's detailed traces reach the tool's log; the cleanup ran before the log
        // was opened.
        EXPECT_NE(log->find("get_value: info"), std::string::npos) << *log;
        EXPECT_EQ(log->find("pid is: "), std::string::npos) << *log;
    }
}

TEST_F(ToolConfigTest, HelpSwitchesNeitherCleanUpNorLog) {
    config().set("log = on\n");
    const std::string dead =
        modules().base("toolhelp", true) + "_" + std::to_string(tool_test::surely_dead_pid());
    modules().initialised_module(dead, "log_level", "info");

    const ScratchDirectory directory;
    const std::vector<std::vector<std::string>> command_lines = {{"-h", "query", dead, "log_level"},
                                                                 {"--help"}};
    for (const auto& words : command_lines) {
        const CommandResult result = run_tool(words, {directory.path(), ""});
        EXPECT_EQ(result.out, tool_test::kHelpText);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(redis().exists(dead));
        EXPECT_TRUE(redis().exists(dead + "_zeltbackup"));
        EXPECT_FALSE(fs::exists(directory.file(kToolLogName)));
    }

    // Any other command line removes the module of the ended process.
    const CommandResult result = run_tool({"query", dead, "log_level"}, {directory.path(), ""});
    EXPECT_EQ(result.out, "【ERROR】Module doesn't exist. Please check again.\n");
    EXPECT_FALSE(redis().exists(dead));
    EXPECT_FALSE(redis().exists(dead + "_zeltbackup"));
}

}  // namespace
