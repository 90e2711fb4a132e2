// The words zelt_tool accepts on its command line, and its help text.
#ifndef ZELT_TOOL_COMMAND_WORDS_H
#define ZELT_TOOL_COMMAND_WORDS_H

#include <string>
#include <vector>

namespace zelt_tool {

// The level words a level key ("log_level", "console_level") may be set to.
extern const std::vector<std::string> level_list;

// True when `word` is an element of `list` (exact, case-sensitive comparison).
bool isStringInList(const std::string& word, const std::vector<std::string>& list);

// True when `word` is "-h" or "--help".
bool is_help_switch(const std::string& word);

// True for the four keys the set command accepts.
bool is_settable_key(const std::string& key);

// For the level keys, true when `value` is a level word; true for every other key.
bool validate_log_level(const std::string& key, const std::string& value);

// Writes the help text to standard output.
void print_help();

}  // namespace zelt_tool

#endif  // ZELT_TOOL_COMMAND_WORDS_H
