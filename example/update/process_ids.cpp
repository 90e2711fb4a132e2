#include "process_ids.h"

#include <signal.h>

#include <cerrno>
#include <charconv>
#include <system_error>

namespace zelt_tool {

namespace {
// Where the digits of a key of base name `base` begin ("F_" opens the key), or npos.
size_t digits_begin_after_base(const std::string& base, const std::string& key) {
    const size_t begin = base.size() + 1;
    if (key.size() < begin || key.compare(0, base.size(), base) != 0 || key[base.size()] != '_') {
        return std::string::npos;
    }
    return begin;
}

size_t digit_run_length(const std::string& text, size_t begin) {
    size_t end = begin;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    return end - begin;
}

bool has_line_break_from(const std::string& text, size_t begin) {
    return text.find_first_of("\n\r", begin) != std::string::npos;
}

// The decimal number of a digit run, or -1 when it does not fit a signed 32-bit integer.
int32_t process_id_of_digits(const std::string& text, size_t begin, size_t length) {
    int32_t pid = -1;
    const char* first = text.data() + begin;
    const char* last = first + length;
    const auto [end, error] = std::from_chars(first, last, pid);
    if (error != std::errc() || end != last) return -1;
    return pid;
}
}  // namespace

int32_t extract_process_id_module1(const std::string& base, std::string key) {
    const size_t begin = digits_begin_after_base(base, key);
    if (begin == std::string::npos) return -1;
    const size_t length = digit_run_length(key, begin);
    const size_t separator = begin + length;
    if (length == 0 || separator >= key.size() || key[separator] != '_') return -1;
    if (has_line_break_from(key, separator + 1)) return -1;
    return process_id_of_digits(key, begin, length);
}

int32_t extract_process_id_module2(const std::string& base, std::string key) {
    const size_t begin = digits_begin_after_base(base, key);
    if (begin == std::string::npos) return -1;
    const size_t length = digit_run_length(key, begin);
    if (length == 0 || begin + length != key.size()) return -1;
    return process_id_of_digits(key, begin, length);
}

bool is_process_running(int pid) {
    // Signal 0 only tests that the process exists and may be signalled.
    if (kill(pid, 0) == 0) return true;
    return errno == EPERM;
}

}  // namespace zelt_tool
