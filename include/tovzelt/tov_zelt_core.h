// TovZeltCore: the per-module object. It checks arguments, decides which hashes a write
// touches, and reaches the store through its private Impl (a ZeltOp and the object's dedicated
// connection, which serves as its keyspace subscription connection).
//
// Thread safety: the parameter operations share no mutable state and may run on any number of
// threads at once. subscribe(), get_reply() and validate_context() use the dedicated connection
// and belong to the object's listener thread alone.
#ifndef TOVZELT_TOV_ZELT_CORE_H
#define TOVZELT_TOV_ZELT_CORE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tovzelt/export.h"

namespace Tovana::TovZelt {

// Called for every keyspace event: (event name, key, message kind).
using ChangeCallback =
    std::function<void(const std::string&, const std::string&, const std::string&)>;

class TOVZELT_API TovZeltCore {
public:
    // Opens the dedicated connection; throws std::runtime_error when that fails.
    TovZeltCore();
    ~TovZeltCore();
    TovZeltCore(const TovZeltCore&) = delete;
    TovZeltCore& operator=(const TovZeltCore&) = delete;

    // set_type 0: "init and sync" (backup hash, then module hash); 1: "update" (module hash).
    int8_t set_value(const char* module, const char* key, const char* value, int set_type);
    int8_t init_param(const char* module, const char* key, const char* value);
    int8_t add_param(const char* module, const char* key, const char* value);
    int8_t update_param(const char* module, const char* key, const char* value);
    int8_t update_param_bin(const char* module, const char* key, const void* value,
                            uint64_t length);
    // 0 once the arguments pass their checks (whatever the read gave), -1 when refused.
    int8_t get_value(const char* module, const char* key, std::string& out);
    int8_t get_param_bin(const char* module, const char* key, std::string& out);
    std::vector<std::string> get_modules(const char* name);
    int8_t sets_add_val(const char* key, const char* member);
    std::vector<std::string> get_sets_l(const char* key);
    int8_t module_clear(const char* module);
    int8_t delete_param(const char* module, const char* key);
    redisContext* get_redis_context();

    // Change notes: the next difference between the module hash and its backup hash.
    int8_t get_change_notes(const char* module, std::string& key, std::string& value);
    // Acknowledges a reported difference (1 update, 2 delete, 3 add).
    int8_t ack_param(int type, const char* module, const char* key, const char* value);
    // The same, with key and value kept whole (zero bytes included).
    int8_t ack_param(int type, const char* module, const std::string& key,
                     const std::string& value);

    // Listener side.
    void subscribe();
    void get_reply(const std::string& module, ChangeCallback callback);
    void validate_context();

private:
    class Impl;
    Impl* impl;
};

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_TOV_ZELT_CORE_H
