// The list, set, delete and whole-hash commands. They borrow with the timed borrow (at most
// 500 ms) and turn every std::exception into their failure result.
#include <hiredis/hiredis.h>

#include <exception>

#include "redis_handles.h"
#include "tovzelt/connection_pool.h"
#include "tovzelt/zelt_op.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
// The text of each element of an array reply, up to its first zero byte.
void append_element_texts(const redisReply* reply, std::vector<std::string>& out) {
    for (size_t i = 0; i < reply->elements; ++i) {
        const redisReply* element = reply->element[i];
        out.emplace_back(element != nullptr && element->str != nullptr ? element->str : "");
    }
}

// The whole text of an element (zero bytes included).
std::string element_bytes(const redisReply* element) { return reply_bytes(element); }

int8_t deleted_count(const redisReply* reply) {
    return reply->type == REDIS_REPLY_INTEGER ? static_cast<int8_t>(reply->integer) : 0;
}
}  // namespace

std::vector<std::string> ZeltOp::get_module_list(const std::string& pattern) {
    std::vector<std::string> keys;
    try {
        PooledConnection connection(RedisConnectionPool::getInstance(), Borrow::kTimed);
        if (!connection) {
            CORE_LOG(LOG_LEVEL_WARN, "get_module_list: getConnection timeout/null");
            return keys;
        }
        ReplyPtr reply = take_reply(redisCommand(connection.get(), "KEYS %s", pattern.c_str()));
        if (reply != nullptr && reply->type == REDIS_REPLY_ARRAY) {
            append_element_texts(reply.get(), keys);
        } else {
            CORE_LOG(LOG_LEVEL_WARN, "Failed to get the key %s", pattern.c_str());
        }
    } catch (const std::exception& e) {
        CORE_PRINTF(LOG_LEVEL_ERROR, "Error: get_module_list %s", e.what());
    }
    return keys;
}

int8_t ZeltOp::sets_add(const std::string& key, const std::string& member) {
    CORE_LOG(LOG_LEVEL_DEBUG, "ZeltOp sets_add: key: %s, member: %s", key.c_str(), member.c_str());
    try {
        PooledConnection connection(RedisConnectionPool::getInstance(), Borrow::kTimed);
        if (!connection) {
            CORE_LOG(LOG_LEVEL_WARN, "sets_add: getConnection timeout/null");
            return -1;
        }
        ReplyPtr reply =
            take_reply(redisCommand(connection.get(), "SADD %s %s", key.c_str(), member.c_str()));
        // The member is in the set only when the server answered with a count; an error reply
        // (a key of another type) or no reply means nothing was added.
        return reply != nullptr && reply->type == REDIS_REPLY_INTEGER ? 0 : -1;
    } catch (const std::exception& e) {
        CORE_PRINTF(LOG_LEVEL_ERROR, "Error: sets_add %s", e.what());
        return -1;
    }
}

std::vector<std::string> ZeltOp::get_sets(const std::string& key) {
    CORE_LOG(LOG_LEVEL_DEBUG, "ZeltOp get_sets: key: %s", key.c_str());
    std::vector<std::string> members;
    try {
        PooledConnection connection(RedisConnectionPool::getInstance(), Borrow::kTimed);
        if (!connection) {
            CORE_LOG(LOG_LEVEL_WARN, "get_sets: getConnection timeout/null");
            return members;
        }
        ReplyPtr reply = take_reply(redisCommand(connection.get(), "SMEMBERS %s", key.c_str()));
        if (reply != nullptr && reply->type == REDIS_REPLY_ARRAY) {
            append_element_texts(reply.get(), members);
        } else {
            CORE_LOG(LOG_LEVEL_WARN, "Failed to get SMEMBERS %s", key.c_str());
        }
    } catch (const std::exception& e) {
        CORE_PRINTF(LOG_LEVEL_ERROR, "Error: get_sets %s", e.what());
    }
    return members;
}

int8_t ZeltOp::del_hash(const std::string& hash) {
    int8_t result = -1;
    try {
        PooledConnection connection(RedisConnectionPool::getInstance(), Borrow::kTimed);
        if (!connection) {
            CORE_LOG(LOG_LEVEL_WARN, "del_hash: getConnection timeout/null");
            return -1;
        }
        ReplyPtr reply = take_reply(redisCommand(connection.get(), "DEL %s", hash.c_str()));
        if (reply != nullptr) {
            result = deleted_count(reply.get());
            CORE_LOG(LOG_LEVEL_DEBUG, "DEL: Number of hash deleted: %d, hash name: %s", result,
                     hash.c_str());
        }
    } catch (const std::exception& e) {
        CORE_PRINTF(LOG_LEVEL_ERROR, "Error: del_hash %s", e.what());
        return -1;
    }
    return result;
}

int8_t ZeltOp::del_hash_key(const std::string& hash, const std::string& key) {
    int8_t result = -1;
    try {
        PooledConnection connection(RedisConnectionPool::getInstance(), Borrow::kTimed);
        if (!connection) {
            CORE_LOG(LOG_LEVEL_WARN, "del_hash_key: getConnection timeout/null");
            return -1;
        }
        ReplyPtr reply = take_reply(redisCommand(connection.get(), "HDEL %b %b", hash.data(),
                                                 hash.size(), key.data(), key.size()));
        if (reply != nullptr) {
            result = deleted_count(reply.get());
            CORE_LOG(LOG_LEVEL_DEBUG,
                     "HDEL: Number of hash key deleted: %d, hash name: %s, key name: %s", result,
                     hash.c_str(), key.c_str());
        }
    } catch (const std::exception& e) {
        CORE_PRINTF(LOG_LEVEL_ERROR, "Error: del_hash_key %s", e.what());
        return -1;
    }
    return result;
}

bool ZeltOp::read_hash(const std::string& module, HashSnapshot& fields) {
    CORE_LOG(LOG_LEVEL_DEBUG, "ZeltOp::get_hash, module: %s", module.c_str());
    try {
        PooledConnection connection(RedisConnectionPool::getInstance(), Borrow::kTimed);
        if (!connection) {
            CORE_LOG(LOG_LEVEL_WARN, "get_hash: getConnection timeout/null");
            return false;
        }
        CORE_LOG(LOG_LEVEL_DEBUG, "ZeltOp::get_hash, start to execute HGETALL.");
        ReplyPtr reply = take_reply(redisCommand(connection.get(), "HGETALL %s", module.c_str()));
        if (reply == nullptr) return false;
        CORE_LOG(LOG_LEVEL_DEBUG,
                 "To execute HGETALL command for module: %s, reply elements number: %d, reply "
                 "type: %d",
                 module.c_str(), static_cast<int>(reply->elements), reply->type);
        CORE_LOG(LOG_LEVEL_DEBUG, "Message: %s", reply->str != nullptr ? reply->str : "(null)");
        if (reply->type != REDIS_REPLY_ARRAY) return false;
        // Fields and values are kept whole: a value written as bytes compares and travels
        // unchanged.
        for (size_t i = 0; i + 1 < reply->elements; i += 2) {
            fields[element_bytes(reply->element[i])] = element_bytes(reply->element[i + 1]);
        }
        return true;
    } catch (const std::exception& e) {
        CORE_PRINTF(LOG_LEVEL_ERROR, "Error: get_hash %s", e.what());
        return false;
    }
}

// What could be read: empty when the read failed before the reply, as far as it was filled when
// it failed part-way. Callers that must tell a failure apart use read_hash().
HashSnapshot ZeltOp::get_hash(const std::string& module) {
    HashSnapshot fields;
    read_hash(module, fields);
    return fields;
}

}  // namespace Tovana::TovZelt
