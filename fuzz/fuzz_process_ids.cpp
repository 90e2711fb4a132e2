// Fuzz target: the process ids that zelt_tool's cleanup reads from key names
// (extract_process_id_module1 for "F_N_<rest>", extract_process_id_module2 for "F_N").
//
// Input: the first byte gives the length of the base name F, the bytes after it are F, the
// rest is the key. Properties checked:
// - a result is -1 or a process id, and never both forms match one key;
// - a process id comes with a key of the expected form whose digits have that value;
// - a key of the expected form whose digits fit a process id gives that id;
// - the names the library writes for a module ("F_<pid>" and "F_<pid>_zeltbackup") give back
//   the pid they were made with.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "process_ids.h"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of a digit run, or -1 when it is above the largest process id (INT32_MAX).
long long value_of(const std::string& digits) {
    long long value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return -1;
    }
    return value;
}

// Reads "F_" then a digit run from the key; false when the key does not open that way.
bool digits_after_base(const std::string& base, const std::string& key, std::string& digits,
                       size_t& end) {
    if (key.size() < base.size() + 1 || key.compare(0, base.size(), base) != 0 ||
        key[base.size()] != '_') {
        return false;
    }
    end = base.size() + 1;
    while (end < key.size() && is_digit(key[end])) ++end;
    digits = key.substr(base.size() + 1, end - base.size() - 1);
    return !digits.empty();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t base_length = data[0] < size - 1 ? data[0] : size - 1;
    const std::string base(reinterpret_cast<const char*>(data) + 1, base_length);
    const std::string key(reinterpret_cast<const char*>(data) + 1 + base_length,
                          size - 1 - base_length);

    const int32_t with_rest = zelt_tool::extract_process_id_module1(base, key);
    const int32_t whole = zelt_tool::extract_process_id_module2(base, key);
    check(with_rest >= -1 && whole >= -1);
    check(with_rest == -1 || whole == -1);

    std::string digits;
    size_t end = 0;
    const bool opens = digits_after_base(base, key, digits, end);
    const long long value = opens ? value_of(digits) : -1;
    const bool rest_form = opens && end < key.size() && key[end] == '_' &&
                           key.find_first_of("\r\n", end + 1) == std::string::npos;
    const bool whole_form = opens && end == key.size();
    check(with_rest == (rest_form ? value : -1));
    check(whole == (whole_form ? value : -1));

    // The names the library makes for a module of this base name.
    int32_t pid = 0;
    std::memcpy(&pid, data, size < sizeof(pid) ? size : sizeof(pid));
    pid &= INT32_MAX;
    const std::string module = base + "_" + std::to_string(pid);
    check(zelt_tool::extract_process_id_module2(base, module) == pid);
    check(zelt_tool::extract_process_id_module1(base, module + "_zeltbackup") == pid);
    return 0;
}
