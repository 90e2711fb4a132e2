// Fuzz target: zelt_tool's configuration-file reader (get_value_from_ini, trim).
//
// Input: the first byte gives the length of the entry name, the bytes after it are the name,
// the rest is the file (kept in an anonymous in-memory file, read through its /proc path).
// Properties checked:
// - a value found is trimmed, holds no line break and comes from the file;
// - a name that cannot stand in a line as an entry name (a line break or '=' in it, blanks at
//   either end) finds nothing;
// - trim() gives a part of its text with no blank at either end, and trimming twice changes
//   nothing.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config_file.h"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One in-memory file for the whole run, rewritten for each input.
int memory_file() {
    static const int fd = memfd_create("zelt_conf", 0);
    return fd;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t name_length = data[0] < size - 1 ? data[0] : size - 1;
    const std::string name(reinterpret_cast<const char*>(data) + 1, name_length);
    const std::string file(reinterpret_cast<const char*>(data) + 1 + name_length,
                           size - 1 - name_length);

    const std::string trimmed = zelt_tool::trim(file);
    check(file.find(trimmed) != std::string::npos);
    check(trimmed.empty() || (!is_blank(trimmed.front()) && !is_blank(trimmed.back())));
    check(zelt_tool::trim(trimmed) == trimmed);

    const int fd = memory_file();
    check(fd >= 0);
    check(ftruncate(fd, 0) == 0);
    check(pwrite(fd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    const std::string value = zelt_tool::get_value_from_ini(path, name);
    check(value == zelt_tool::trim(value));
    check(value.find('\n') == std::string::npos);
    check(file.find(value) != std::string::npos);
    const bool impossible_name =
        name.find_first_of("=\n") != std::string::npos ||
        (!name.empty() && (is_blank(name.front()) || is_blank(name.back())));
    if (impossible_name) check(value.empty());
    return 0;
}
