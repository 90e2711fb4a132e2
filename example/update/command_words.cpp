#include "command_words.h"

#include <algorithm>
#include <cstdio>

namespace zelt_tool {

const std::vector<std::string> level_list = {"info", "warn", "err", "debug", "off"};

namespace {
const std::vector<std::string> kSettableKeys = {"log_level", "console_level", "logger_switch",
                                                "log_file_path"};
const std::vector<std::string> kLevelKeys = {"log_level", "console_level"};

constexpr const char* kHelpText =
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
}  // namespace

bool isStringInList(const std::string& word, const std::vector<std::string>& list) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

bool is_help_switch(const std::string& word) { return word == "-h" || word == "--help"; }

bool is_settable_key(const std::string& key) { return isStringInList(key, kSettableKeys); }

bool validate_log_level(const std::string& key, const std::string& value) {
    if (!isStringInList(key, kLevelKeys)) return true;
    return isStringInList(value, level_list);
}

void print_help() { std::fputs(kHelpText, stdout); }

}  // namespace zelt_tool
