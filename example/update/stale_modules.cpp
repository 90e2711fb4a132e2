#include "stale_modules.h"

#include <cstdint>
#include <string>
#include <vector>

#include "process_ids.h"
#include "tovclog.h"
#include "tovzelt.h"

namespace zelt_tool {

namespace tz = Tovana::TovZelt;

namespace {
constexpr const char* kLogSource = "example/update/stale_modules";
constexpr const char* kModuleSetsKey = "module_sets";
constexpr const char* kBackupSuffix = "_zeltbackup";

// The process id named by a key of base name `base`, or -1 when the key names none.
int32_t process_id_of_key(const std::string& base, const std::string& key) {
    const int32_t pid = extract_process_id_module1(base, key);
    return pid != -1 ? pid : extract_process_id_module2(base, key);
}

// One entry per key that names a process id, in key order (duplicates kept).
std::vector<int32_t> process_ids_of_keys(const std::string& base,
                                         const std::vector<std::string>& keys) {
    std::vector<int32_t> pids;
    for (const std::string& key : keys) {
        clog_printf(LOG_LEVEL_NOTE, kLogSource, __LINE__, "pid is: %s\n", key.c_str());
        if (key.empty()) continue;
        const int32_t pid = process_id_of_key(base, key);
        if (pid != -1) pids.push_back(pid);
    }
    return pids;
}

void delete_module_keys(const std::string& base, int32_t pid) {
    const std::string module = base + "_" + std::to_string(pid);
    tz::module_clear(module.c_str());
    tz::module_clear((module + kBackupSuffix).c_str());
}

void clear_module_unless_running(const std::string& base, int32_t pid) {
    if (is_process_running(pid)) {
        clog_printf(LOG_LEVEL_NOTE, kLogSource, __LINE__,
                    "Process : %d is Running, related module will be kept.\n", pid);
        return;
    }
    clog_printf(LOG_LEVEL_NOTE, kLogSource, __LINE__,
                "Process : %d is Not Running, related module will be deleted.\n", pid);
    delete_module_keys(base, pid);
}
}  // namespace

void clear_notrunning_modules(const char* base) {
    if (base == nullptr) return;
    const std::string base_name = base;
    // Every key is looked at before anything is deleted.
    const std::vector<int32_t> pids = process_ids_of_keys(base_name, tz::get_modules(base));
    for (const int32_t pid : pids) clear_module_unless_running(base_name, pid);
}

void clear_notrunning_modules_of_all_bases() {
    for (const std::string& base : tz::get_sets_l(kModuleSetsKey)) {
        clear_notrunning_modules(base.c_str());
    }
}

}  // namespace zelt_tool
