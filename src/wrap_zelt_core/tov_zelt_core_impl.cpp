#include "tov_zelt_core_impl.h"

#include <hiredis/hiredis.h>

#include <stdexcept>

#include "server_scripts.h"
#include "tovzelt/connection_pool.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
// The deletion rule: a count above 0 is a success.
int8_t deletion_result(int8_t count, const char* hash) {
    if (count > 0) {
        CORE_LOG(LOG_LEVEL_DEBUG, "Delete module: %s successfully.", hash);
        return 0;
    }
    CORE_LOG(LOG_LEVEL_DEBUG,
             "Delete module failed or no module deleted. The module to be deleted is: %s", hash);
    return -1;
}

// The name taken literally in a glob pattern: a name holding '*', '?' or '[' lists only the
// keys that begin with exactly that name.
std::string escape_glob(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}
}  // namespace

TovZeltCore::Impl::Impl() {
    redisContext*& connection = op_.subscription_context();
    connection = redisConnect(kRedisHost, kRedisPort);
    if (connection == nullptr) {
        CORE_LOG(LOG_LEVEL_ERROR,
                 "ZeltOp instantiation failed due to can't allocate redis context.");
        throw std::runtime_error(
            "ZeltOp instantiation failed due to can't allocate redis context.");
    }
    if (connection->err != 0) {
        CORE_LOG(LOG_LEVEL_ERROR, "Connection error: %s", connection->errstr);
        free_redis_context(connection);
        throw std::runtime_error("ZeltOp instantiation failed due to connection error.");
    }
}

TovZeltCore::Impl::~Impl() { free_redis_context(op_.subscription_context()); }

int8_t TovZeltCore::Impl::set_value(const char* hash, const char* key, const char* value) {
    return op_.h_set_value(hash, key, value);
}

int8_t TovZeltCore::Impl::set_value_bin(const char* hash, const char* key, const void* value,
                                        uint64_t length) {
    return op_.h_set_value_bin(hash, key, value, length);
}

std::string TovZeltCore::Impl::get_value(const char* hash, const char* key) {
    std::string value;
    op_.h_get_value(hash, key, value);
    CORE_LOG(LOG_LEVEL_DEBUG, "get_value: %s", value.c_str());
    return value;
}

std::string TovZeltCore::Impl::get_value_bin(const char* hash, const char* key) {
    std::string value;
    op_.h_get_value_bin(hash, key, value);
    CORE_LOG(LOG_LEVEL_DEBUG, "get_value_bin: %zu bytes", value.size());
    return value;
}

std::vector<std::string> TovZeltCore::Impl::get_modules(const char* name) {
    const std::string base(name);
    if (base.empty()) return {};
    std::string pattern = escape_glob(base) + "_*";
    return op_.get_module_list(pattern);
}

int8_t TovZeltCore::Impl::sets_add_value(const char* key, const char* member) {
    return op_.sets_add(key, member);
}

std::vector<std::string> TovZeltCore::Impl::get_sets_list(const char* key) {
    return op_.get_sets(key);
}

int8_t TovZeltCore::Impl::del_module(const char* hash) {
    return deletion_result(op_.del_hash(hash), hash);
}

int8_t TovZeltCore::Impl::del_module_key(const char* hash, const char* key) {
    return deletion_result(op_.del_hash_key(hash, key), hash);
}

int8_t TovZeltCore::Impl::del_module_key(const std::string& hash, const std::string& key) {
    return deletion_result(op_.del_hash_key(hash, key), hash.c_str());
}

int8_t TovZeltCore::Impl::ack_value(const std::string& hash, const std::string& key,
                                    const std::string& value) {
    return op_.h_ack_value(hash, key, value);
}

redisContext* TovZeltCore::Impl::get_redis_context() { return op_.subscription_context(); }

}  // namespace Tovana::TovZelt
