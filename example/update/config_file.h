// The tool's configuration file: lines of "name = value".
#ifndef ZELT_TOOL_CONFIG_FILE_H
#define ZELT_TOOL_CONFIG_FILE_H

#include <string>

namespace zelt_tool {

inline constexpr const char* kConfigFilePath = "/opt/tovana/hvx/tov-zelt/conf/zelt.conf";

// `text` without spaces, tabs, newlines and carriage returns at either end.
std::string trim(const std::string& text);

// The trimmed value of the first line whose trimmed name (the text before the first "=") is
// exactly `name`. Empty lines, lines with "#" in the first column and lines without "=" are
// skipped. Empty when there is no such line or the file cannot be read.
std::string get_value_from_ini(const std::string& path, const std::string& name);

}  // namespace zelt_tool

#endif  // ZELT_TOOL_CONFIG_FILE_H
