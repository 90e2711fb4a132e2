// TovZeltCore: argument checks and the choice of hashes a write touches.
#include "tovzelt/tov_zelt_core.h"

#include <cstdint>
#include <string>

#include "tov_zelt_core_impl.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
constexpr const char* kBackupSuffix = "_zeltbackup";
// Largest byte value a single write may carry.
constexpr uint64_t kMaxValueBytes = INT32_MAX;

bool is_empty(const char* text) { return text == nullptr || text[0] == '\0'; }

bool module_ok(const char* module) {
    if (!is_empty(module)) return true;
    CORE_LOG(LOG_LEVEL_WARN, "Module string is empty or null. Exiting function.");
    return false;
}

bool key_ok(const char* key) {
    if (!is_empty(key)) return true;
    CORE_LOG(LOG_LEVEL_WARN, "Key string is empty or null. Exiting function.");
    return false;
}

bool value_ok(const char* value) {
    if (value != nullptr) return true;
    CORE_LOG(LOG_LEVEL_WARN, "Value string is null. Exiting function.");
    return false;
}

bool set_type_ok(int set_type) {
    if (set_type == 0 || set_type == 1) return true;
    CORE_LOG(LOG_LEVEL_WARN,
             "Please specify set type, explicite the setting type. Whether to sync or to update. "
             "0: init and sync. 1: update.");
    return false;
}

bool bytes_ok(const void* value, uint64_t length) {
    if (value == nullptr || length == 0) {
        CORE_LOG(LOG_LEVEL_WARN, "Value buffer is null or length is zero. Exiting function.");
        return false;
    }
    if (length > kMaxValueBytes) {
        CORE_LOG(LOG_LEVEL_WARN, "Value length %llu is out of range. Exiting function.",
                 static_cast<unsigned long long>(length));
        return false;
    }
    return true;
}

bool set_key_ok(const char* key) {
    if (!is_empty(key)) return true;
    CORE_LOG(LOG_LEVEL_WARN, "Input key string is empty or null. Exiting function.");
    return false;
}

bool member_ok(const char* member) {
    if (!is_empty(member)) return true;
    CORE_LOG(LOG_LEVEL_WARN, "Input member string is empty or null. Exiting function.");
    return false;
}
}  // namespace

TovZeltCore::TovZeltCore() : impl(new Impl()) {}

TovZeltCore::~TovZeltCore() { delete impl; }

int8_t TovZeltCore::set_value(const char* module, const char* key, const char* value,
                              int set_type) {
    if (!module_ok(module) || !key_ok(key) || !value_ok(value) || !set_type_ok(set_type)) {
        return -1;
    }
    if (set_type == 0) {
        const std::string backup = std::string(module) + kBackupSuffix;
        impl->set_value(backup.c_str(), key, value);  // a failed backup write is not reported
    }
    return impl->set_value(module, key, value);
}

int8_t TovZeltCore::init_param(const char* module, const char* key, const char* value) {
    return set_value(module, key, value, 0);
}

int8_t TovZeltCore::add_param(const char* module, const char* key, const char* value) {
    return set_value(module, key, value, 1);
}

int8_t TovZeltCore::update_param(const char* module, const char* key, const char* value) {
    return set_value(module, key, value, 1);
}

int8_t TovZeltCore::update_param_bin(const char* module, const char* key, const void* value,
                                     uint64_t length) {
    if (!module_ok(module) || !key_ok(key) || !bytes_ok(value, length)) return -1;
    return impl->set_value_bin(module, key, value, length);
}

int8_t TovZeltCore::get_value(const char* module, const char* key, std::string& out) {
    if (!module_ok(module) || !key_ok(key)) return -1;
    out = impl->get_value(module, key);
    return 0;
}

int8_t TovZeltCore::get_param_bin(const char* module, const char* key, std::string& out) {
    if (!module_ok(module) || !key_ok(key)) return -1;
    out = impl->get_value_bin(module, key);
    return 0;
}

std::vector<std::string> TovZeltCore::get_modules(const char* name) {
    if (!module_ok(name)) return {};
    return impl->get_modules(name);
}

int8_t TovZeltCore::sets_add_val(const char* key, const char* member) {
    if (!set_key_ok(key) || !member_ok(member)) return -1;
    return impl->sets_add_value(key, member);
}

std::vector<std::string> TovZeltCore::get_sets_l(const char* key) {
    if (!set_key_ok(key)) return {};
    return impl->get_sets_list(key);
}

int8_t TovZeltCore::module_clear(const char* module) {
    if (!module_ok(module)) return -1;
    return impl->del_module(module);
}

int8_t TovZeltCore::delete_param(const char* module, const char* key) {
    if (!module_ok(module) || !key_ok(key)) return -1;
    return impl->del_module_key(module, key);
}

redisContext* TovZeltCore::get_redis_context() { return impl->get_redis_context(); }

int8_t TovZeltCore::get_change_notes(const char* module, std::string& key, std::string& value) {
    if (!module_ok(module)) return -1;
    return impl->op().get_updated_value(module, key, value);
}

int8_t TovZeltCore::ack_param(int type, const char* module, const char* key, const char* value) {
    if ((type == 1 || type == 3) && value == nullptr) {
        // The checks of an add or update acknowledgement run in the order of a parameter write.
        if (module_ok(module) && key_ok(key)) value_ok(value);
        return -1;
    }
    return ack_param(type, module, key != nullptr ? std::string(key) : std::string(),
                     value != nullptr ? std::string(value) : std::string());
}

int8_t TovZeltCore::ack_param(int type, const char* module, const std::string& key,
                              const std::string& value) {
    switch (type) {
        case 1:
        case 3:
            if (!module_ok(module) || !key_ok(key.c_str())) return -1;
            return impl->ack_value(module, key, value);
        case 2: {
            if (module == nullptr) {
                CORE_LOG(LOG_LEVEL_WARN, "Module string is empty or null. Exiting function.");
                return -1;
            }
            const std::string backup = std::string(module) + kBackupSuffix;
            if (!key_ok(key.c_str())) return -1;
            // The field name as the comparison reported it, zero bytes included.
            return impl->del_module_key(backup, key);
        }
        default:
            CORE_LOG(LOG_LEVEL_WARN,
                     "Input type: %d not supported. (supported type: 1 - update, 2 - delete, 3 - "
                     "add )",
                     type);
            return -1;
    }
}

}  // namespace Tovana::TovZelt
