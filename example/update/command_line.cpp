#include "command_line.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "command_words.h"
#include "tovzelt.h"

namespace zelt_tool {

namespace tz = Tovana::TovZelt;

namespace {
constexpr int kWordsOfValueCommand = 5;
constexpr int kWordsOfKeyCommand = 4;
constexpr int kWordsOfModuleOnly = 3;
constexpr int kStatusInvalidCommandLine = 1;
constexpr int kStatusValueRefused = -1;
// The base name whose query looks at the modules numbered 0, 1 and 2.
constexpr const char* kNumberedQueryBase = "lumoxsdk";
constexpr int kNumberedQueryModules = 3;

struct CommandLine {
    int word_count = 0;
    std::string command;
    std::string module;
    std::string key;
    std::string value;
};

// What one command writes with update_param, and how it reports.
struct ValueCommand {
    bool only_settable_keys;
    const char* success_line;
    const char* failure_line;
};

const ValueCommand kSetCommand{true, "Set successfully.", "【ERROR】Set failed."};
const ValueCommand kAddCommand{false, "Add successfully.", "【ERROR】Add failed."};

void print_line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

bool has_word_count_of_some_command(int word_count) {
    return word_count >= kWordsOfModuleOnly && word_count <= kWordsOfValueCommand;
}

CommandLine words_of(int argc, const char* const argv[]) {
    CommandLine line;
    line.word_count = argc;
    line.command = argv[1];
    line.module = argv[2];
    if (argc >= kWordsOfKeyCommand) line.key = argv[3];
    if (argc >= kWordsOfValueCommand) line.value = argv[4];
    return line;
}

bool is_set_command(const std::string& word) {
    return word == "update" || word == "set" || word == "-s";
}
bool is_add_command(const std::string& word) { return word == "add" || word == "-a"; }
bool is_del_command(const std::string& word) { return word == "del"; }
bool is_query_command(const std::string& word) { return word == "query" || word == "-q"; }

int refuse_word_count(int word_count) {
    std::printf("【ERROR】input parameter count: %d doesn't match expected format.\n\n",
                word_count);
    print_help();
    return 0;
}

int refuse_key(const std::string& key) {
    std::printf("【ERROR】key: %s not supported.\n\n", key.c_str());
    print_help();
    return 0;
}

int refuse_value(const std::string& value) {
    std::printf("【ERROR】log value: %s not supported.\n\n", value.c_str());
    print_help();
    return kStatusValueRefused;
}

int refuse_command_word(const std::string& command) {
    std::printf("【ERROR】Unexpected operation type: %s.\n\n", command.c_str());
    print_help();
    return 0;
}

int run_value_command(const CommandLine& line, const ValueCommand& command) {
    if (line.word_count != kWordsOfValueCommand) return refuse_word_count(line.word_count);
    if (command.only_settable_keys && !is_settable_key(line.key)) return refuse_key(line.key);
    if (!validate_log_level(line.key, line.value)) return refuse_value(line.value);
    const int8_t result =
        tz::update_param(line.module.c_str(), line.key.c_str(), line.value.c_str());
    print_line(result == 0 ? command.success_line : command.failure_line);
    return result;
}

int run_del_command(const CommandLine& line) {
    if (line.word_count != kWordsOfKeyCommand) return refuse_word_count(line.word_count);
    return tz::delete_param(line.module.c_str(), line.key.c_str());
}

void print_query_line(const std::string& module, const std::string& key, const std::string& value) {
    print_line("module: " + module + ", key: " + key + ", value is: " + value);
}

// Reports the first non-empty value among the modules "lumoxsdk_0", "_1" and "_2".
void query_numbered_modules(const std::string& key) {
    std::string module;
    for (int number = 0; number < kNumberedQueryModules; ++number) {
        module = std::string(kNumberedQueryBase) + "_" + std::to_string(number);
        const std::string value = tz::get_param(module.c_str(), key.c_str());
        if (!value.empty()) {
            print_query_line(module, key, value);
            return;
        }
    }
    print_line("module: " + module + ", key: " + key + " NOT FOUND.");
}

int run_query_command(const CommandLine& line) {
    if (line.word_count != kWordsOfKeyCommand) return refuse_word_count(line.word_count);
    if (line.module == kNumberedQueryBase) {
        query_numbered_modules(line.key);
    } else {
        print_query_line(line.module, line.key,
                         tz::get_param(line.module.c_str(), line.key.c_str()));
    }
    return 0;
}

int dispatch(const CommandLine& line) {
    if (is_set_command(line.command)) return run_value_command(line, kSetCommand);
    if (is_add_command(line.command)) return run_value_command(line, kAddCommand);
    if (is_del_command(line.command)) return run_del_command(line);
    if (is_query_command(line.command)) return run_query_command(line);
    return refuse_command_word(line.command);
}
}  // namespace

bool is_module_exists(const std::string& module) {
    return !tz::get_modules(module.c_str()).empty();
}

int run_command_line(int argc, const char* const argv[]) {
    if (!has_word_count_of_some_command(argc)) {
        print_line(
            "【ERROR】Command line argument does not appear to be a valid command line "
            "argument.\n");
        print_help();
        return kStatusInvalidCommandLine;
    }
    const CommandLine line = words_of(argc, argv);
    if (!is_module_exists(line.module)) {
        print_line("【ERROR】Module doesn't exist. Please check again.");
        return 0;
    }
    return dispatch(line);
}

}  // namespace zelt_tool
