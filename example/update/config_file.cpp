#include "config_file.h"

#include <fstream>

namespace zelt_tool {

namespace {
constexpr const char* kBlanks = " \t\n\r";

// Only a "#" in the very first column makes a comment.
bool is_skipped_line(const std::string& line) { return line.empty() || line[0] == '#'; }
}  // namespace

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string get_value_from_ini(const std::string& path, const std::string& name) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (is_skipped_line(line)) continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        if (trim(line.substr(0, equals)) == name) return trim(line.substr(equals + 1));
    }
    return "";
}

}  // namespace zelt_tool
