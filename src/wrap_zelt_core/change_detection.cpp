// Change detection: the module hash against its backup hash, and the acknowledgement of an
// add or update.
#include <hiredis/hiredis.h>

#include "redis_handles.h"
#include "tovzelt/connection_pool.h"
#include "tovzelt/zelt_op.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
constexpr const char* kBackupSuffix = "_zeltbackup";

// Writes the accepted value into the backup hash and, in the same atomic step, into the module
// hash only while the module hash still holds that value: a value that another party wrote in
// between is kept (and is the next change reported), and a field it deleted stays deleted.
// Returns 1 when the module hash was written, 0 when it was left alone.
constexpr const char* kAckScript =
    "redis.call('HSET', KEYS[1], ARGV[1], ARGV[2]) "
    "if redis.call('HGET', KEYS[2], ARGV[1]) == ARGV[2] then "
    "redis.call('HSET', KEYS[2], ARGV[1], ARGV[2]) return 1 end "
    "return 0";

void log_field(const std::string& hash, const std::string& field, const std::string& value) {
    CORE_LOG(LOG_LEVEL_DEBUG, "module: %s - field: %s - value: %s", hash.c_str(), field.c_str(),
             value.c_str());
}

int8_t report(int8_t type, const std::string& field, const std::string& found, std::string& key,
              std::string& value) {
    key = field;
    value = found;
    return type;
}
}  // namespace

int8_t ZeltOp::get_updated_value(const std::string& module, std::string& key, std::string& value) {
    const std::string backup = module + kBackupSuffix;
    CORE_LOG(LOG_LEVEL_DEBUG, "Module: %s and module: %s will get its value and to compare.",
             module.c_str(), backup.c_str());

    // A hash that cannot be read is not an empty hash: comparing against it would report every
    // field of the other one as added or deleted.
    HashSnapshot current;
    HashSnapshot accepted;
    if (!read_hash(module, current) || !read_hash(backup, accepted)) {
        CORE_LOG(LOG_LEVEL_ERROR, "get_updated_value: cannot read %s or %s, nothing compared.",
                 module.c_str(), backup.c_str());
        return -1;
    }
    CORE_LOG(LOG_LEVEL_DEBUG, "length of module: %d", static_cast<int>(current.size()));
    CORE_LOG(LOG_LEVEL_DEBUG, "length of module_backup: %d", static_cast<int>(accepted.size()));

    for (const auto& [field, new_value] : current) {
        log_field(module, field, new_value);
        const auto it = accepted.find(field);
        if (it == accepted.end()) {
            CORE_LOG(LOG_LEVEL_DEBUG,
                     "%s: %s - %s is missing in the backup hash. in other word, add operation "
                     "detected.",
                     module.c_str(), field.c_str(), new_value.c_str());
            return report(3, field, new_value, key, value);
        }
        if (it->second != new_value) {
            CORE_LOG(LOG_LEVEL_DEBUG,
                     "%s: %s - %s is different with the value in the backup hash. in other word, "
                     "value update operation detected.",
                     module.c_str(), field.c_str(), new_value.c_str());
            return report(1, field, new_value, key, value);
        }
    }
    for (const auto& [field, old_value] : accepted) {
        log_field(backup, field, old_value);
        if (current.find(field) == current.end()) {
            CORE_LOG(LOG_LEVEL_DEBUG,
                     "%s: %s - %s is missing in the hash. in other word, delete operation "
                     "detected.",
                     module.c_str(), field.c_str(), old_value.c_str());
            return report(2, field, old_value, key, value);
        }
    }
    return 0;
}

int8_t ZeltOp::h_ack_value(const std::string& module, const std::string& key,
                           const std::string& value) {
    const std::string backup = module + kBackupSuffix;
    RedisConnectionPool& pool = RedisConnectionPool::getInstance();
    PooledConnection connection(pool, Borrow::kBlocking);
    if (!connection) {
        CORE_LOG(LOG_LEVEL_WARN, "h_ack_value: getConnection timeout/null (module=%s, key=%s)",
                 module.c_str(), key.c_str());
        return -1;
    }
    ReplyPtr reply = take_reply(redisCommand(
        connection.get(), "EVAL %s 2 %b %b %b %b", kAckScript, backup.data(), backup.size(),
        module.data(), module.size(), key.data(), key.size(), value.data(), value.size()));
    if (reply == nullptr || reply->type != REDIS_REPLY_INTEGER) {
        CORE_LOG(LOG_LEVEL_WARN, "ack %s %s failed: %s", module.c_str(), key.c_str(),
                 reply != nullptr && reply->str != nullptr ? reply->str : "null reply");
        return -1;
    }
    if (reply->integer == 0) {
        CORE_LOG(LOG_LEVEL_DEBUG,
                 "ack %s %s: the module hash changed meanwhile and keeps its newer value",
                 module.c_str(), key.c_str());
    }
    return 0;
}

}  // namespace Tovana::TovZelt
