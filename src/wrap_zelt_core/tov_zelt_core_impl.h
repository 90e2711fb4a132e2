// TovZeltCore::Impl: a ZeltOp and the object's dedicated connection (which is the ZeltOp's
// subscription connection). Arguments are checked by TovZeltCore before they get here.
#ifndef TOVZELT_TOV_ZELT_CORE_IMPL_H
#define TOVZELT_TOV_ZELT_CORE_IMPL_H

#include <cstdint>
#include <string>
#include <vector>

#include "tovzelt/tov_zelt_core.h"
#include "tovzelt/zelt_op.h"

namespace Tovana::TovZelt {

class __attribute__((visibility("hidden"))) TovZeltCore::Impl {
public:
    // Opens the dedicated connection (a blocking connect to the store); throws
    // std::runtime_error when that fails.
    Impl();
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    int8_t set_value(const char* hash, const char* key, const char* value);
    int8_t set_value_bin(const char* hash, const char* key, const void* value, uint64_t length);
    std::string get_value(const char* hash, const char* key);
    std::string get_value_bin(const char* hash, const char* key);
    std::vector<std::string> get_modules(const char* name);
    int8_t sets_add_value(const char* key, const char* member);
    std::vector<std::string> get_sets_list(const char* key);
    int8_t del_module(const char* hash);
    int8_t del_module_key(const char* hash, const char* key);
    int8_t del_module_key(const std::string& hash, const std::string& key);
    int8_t ack_value(const std::string& hash, const std::string& key, const std::string& value);
    redisContext* get_redis_context();

    ZeltOp& op() { return op_; }

private:
    ZeltOp op_;
};

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_TOV_ZELT_CORE_IMPL_H
