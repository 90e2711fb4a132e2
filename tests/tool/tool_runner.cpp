#include "tool_runner.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace tool_test {

using tovzelt_test::CommandResult;
using tovzelt_test::RawRedis;

const char* const kHelpText =
    "Usage: zelt_tool [Command] [Module] [Key] [Value]\n"
    "Command:\n"
    "  -h, --help               Show this help message and exit\n"
    "  -s, set                  Set command\n"
    "  -q, query                Query information\n"
    "Module:\n"
    "  <module name>            Module to set/query\n"
    "Key:\n"
    "  log_level/log_file_path  Log level/log file path\n"
    "Value:\n"
    "  debug/info/warn/err      Log level to set\n"
    "  off                      Turn off\n"
    "Examples:\n"
    "  /opt/tovana/hvx/tov-zelt/tools/zelt_tool --help\n"
    "  /opt/tovana/hvx/tov-zelt/tools/zelt_tool set lumoxsdk_1234 log_level info\n"
    "  /opt/tovana/hvx/tov-zelt/tools/zelt_tool set lumoxsdk_1234 log_level off\n"
    "  /opt/tovana/hvx/tov-zelt/tools/zelt_tool query lumoxsdk_1234 log_level\n";

namespace {
// `word` as one word of /bin/sh, whatever it holds.
std::string shell_quoted(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

const std::string& shared_working_directory() {
    static const ScratchDirectory directory;
    return directory.path();
}
}  // namespace

ScratchDirectory::ScratchDirectory() {
    char pattern[] = "/tmp/zelt_tool_testXXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        ADD_FAILURE() << "no scratch directory";
        return;
    }
    path_ = made;
}

ScratchDirectory::~ScratchDirectory() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

CommandResult run_tool(const std::vector<std::string>& words, const ToolRun& how) {
    const std::string directory =
        how.working_directory.empty() ? shared_working_directory() : how.working_directory;
    std::string command = "cd " + shell_quoted(directory) + " && ";
    if (!how.log_file.empty()) command += "TOVCLOG_FILE=" + shell_quoted(how.log_file) + " ";
    command += shell_quoted(ZELT_TOOL_PATH);
    for (const std::string& word : words) command += " " + shell_quoted(word);
    return tovzelt_test::run_command(command);
}

int surely_dead_pid(int offset) {
    std::ifstream file("/proc/sys/kernel/pid_max");
    int pid_max = 0;
    file >> pid_max;
    EXPECT_GT(pid_max, 0) << "cannot read /proc/sys/kernel/pid_max";
    return pid_max + offset;
}

StoreModules::~StoreModules() {
    for (const std::string& base : bases_) remove_keys_of(base);
}

std::string StoreModules::base(const std::string& prefix, bool listed) {
    const std::string name = tovzelt_test::unique_name(prefix);
    adopt_base(name, listed);
    return name;
}

void StoreModules::adopt_base(const std::string& base, bool listed) {
    bases_.push_back(base);
    remove_keys_of(base);
    if (listed) redis_.integer({"SADD", "module_sets", base});
}

void StoreModules::hset(const std::string& key, const std::string& field,
                        const std::string& value) {
    ASSERT_GE(redis_.integer({"HSET", key, field, value}), 0) << "HSET " << key;
}

void StoreModules::initialised_module(const std::string& module, const std::string& field,
                                      const std::string& value) {
    hset(module + "_zeltbackup", field, value);
    hset(module, field, value);
}

void StoreModules::remove_keys_of(const std::string& base) {
    // Keys are listed with a glob pattern; the base names of these tests hold no glob
    // characters.
    redis_.del_pattern(base + "_*");
    redis_.integer({"SREM", "module_sets", base});
}

}  // namespace tool_test
