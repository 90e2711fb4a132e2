// ZeltOp: the command layer between the per-module object and the store.
//
// Each command borrows a pooled connection, sends one command, reads and releases its reply and
// gives the connection back on every path. Commands keep no state: one ZeltOp serves any number
// of threads at once. The one field, the module's keyspace subscription connection, belongs to
// the module's listener thread alone (restart_zelt, reconnect_sub, refresh_service).
//
// Key layout of the store:
//   <module>               hash, field = parameter key, value = parameter value
//   <module>_zeltbackup    hash, the values as the module last accepted them
//   module_sets            set of module base names
//   any other name         sets that applications keep
#ifndef TOVZELT_ZELT_OP_H
#define TOVZELT_ZELT_OP_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tovzelt/export.h"

namespace Tovana::TovZelt {

using HashSnapshot = std::unordered_map<std::string, std::string>;

class TOVZELT_API ZeltOp {
public:
    ZeltOp() = default;
    ~ZeltOp() = default;
    ZeltOp(const ZeltOp&) = delete;
    ZeltOp& operator=(const ZeltOp&) = delete;

    // Value commands: borrow with RedisConnectionPool::getConnectionBlocking(). 0 or -1.
    // They let the pool's creation error (std::runtime_error) through to the caller.
    int8_t h_set_value(const std::string& module, const std::string& key, const std::string& value);
    int8_t h_set_value_bin(const std::string& module, const std::string& key, const void* value,
                           uint64_t length);
    // `value` is written only on success (0).
    int8_t h_get_value(const std::string& module, const std::string& key, std::string& value);
    int8_t h_get_value_bin(const std::string& module, const std::string& key, std::string& value);

    // List, set, delete and whole-hash commands: borrow with getConnection() (at most 500 ms)
    // and catch every std::exception.
    std::vector<std::string> get_module_list(const std::string& pattern);
    int8_t sets_add(const std::string& key, const std::string& member);
    std::vector<std::string> get_sets(const std::string& key);
    // Number of keys (fields) removed, or -1 when no command could be sent.
    int8_t del_hash(const std::string& hash);
    int8_t del_hash_key(const std::string& hash, const std::string& key);
    // Every field of the hash, values kept whole (zero bytes included); empty on any failure.
    HashSnapshot get_hash(const std::string& module);
    // As get_hash(), but tells a failed read (false) from a hash that has no fields (true).
    bool read_hash(const std::string& module, HashSnapshot& fields);

    // Change detection: the first difference between `module` and its backup hash.
    // 0 none, 1 update, 2 delete, 3 add; -1 when either hash could not be read.
    // `key` and `value` are written only with 1, 2 or 3.
    int8_t get_updated_value(const std::string& module, std::string& key, std::string& value);

    // Acknowledges an add or update: writes `value` into the backup hash and, in the same atomic
    // step, into the module hash only while the module hash still holds `value` there (a newer
    // write by another party is kept and shows as the next change). 0 or -1.
    int8_t h_ack_value(const std::string& module, const std::string& key, const std::string& value);

    // Server control and the subscription connection (listener thread only).
    void restart_zelt();
    void reconnect_sub();
    void refresh_service();

    // The module's keyspace subscription connection; null when there is none.
    redisContext*& subscription_context() { return subscription_context_; }

private:
    redisContext* subscription_context_ = nullptr;
};

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_ZELT_OP_H
