// The four value commands: HSET and HGET of one field, text and bytes. They borrow with the
// blocking borrow, count towards the pool's periodic scrub and log the pool's statistics.
#include <hiredis/hiredis.h>

#include "redis_handles.h"
#include "tovzelt/connection_pool.h"
#include "tovzelt/zelt_op.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
constexpr unsigned kScrubEvery = 500;
constexpr size_t kScrubRefillTarget = 8;
constexpr int kScrubMinIntervalMs = 3000;

void log_no_connection(const char* name, size_t idle_before, size_t in_use_before,
                       size_t capacity) {
    CORE_LOG(LOG_LEVEL_WARN,
             "%s: getConnection timeout/null (idle_before=%zu, in_use_before=%zu, cap=%zu)", name,
             idle_before, in_use_before, capacity);
}

void log_pool_stats(const char* name, const RedisConnectionPool& pool) {
    const size_t idle = pool.idleCount();
    const size_t in_use = pool.inUse();
    const size_t size = pool.size();
    const size_t cap = pool.capacity();
    const int full = pool.isFull() ? 1 : 0;
    CORE_LOG(LOG_LEVEL_DEBUG,
             "pool stats after %s: idle=%zu, in_use=%zu, size=%zu, cap=%zu, full=%d", name, idle,
             in_use, size, cap, full);
}

// Gives the connection back, counts the call for the scrub and logs the statistics.
void finish_value_command(const char* name, RedisConnectionPool& pool,
                          PooledConnection& connection) {
    if (connection) {
        // Only a command that ran counts towards the scrub.
        connection.give_back();
        pool.tick_maybe_scrub(kScrubEvery, kScrubRefillTarget, kScrubMinIntervalMs);
    }
    log_pool_stats(name, pool);
}

// Interprets the reply of an HSET. A write the server refused (an error reply, or a reply of
// an unexpected kind) is a failure: the field was not written.
int8_t hset_result(const redisReply* reply, const std::string& module, const std::string& key,
                   bool binary) {
    const char* verb = binary ? "HSET(bin)" : "HSET";
    if (reply == nullptr) {
        CORE_LOG(LOG_LEVEL_WARN, "%s %s %s <value> failed (null reply)", verb, module.c_str(),
                 key.c_str());
        return -1;
    }
    switch (reply->type) {
        case REDIS_REPLY_INTEGER:
            CORE_LOG(LOG_LEVEL_DEBUG, "%s result=%lld (1:new field, 0:updated)", verb,
                     reply->integer);
            return 0;
        case REDIS_REPLY_STATUS:
            CORE_LOG(LOG_LEVEL_DEBUG, "%s status=%s", verb,
                     reply->str != nullptr ? reply->str : "(null)");
            return 0;
        default:
            CORE_LOG(LOG_LEVEL_WARN, "%s unexpected reply type=%d", verb, reply->type);
            return -1;
    }
}

// Interprets the reply of an HGET; `value` is written only on success.
int8_t hget_result(const redisReply* reply, const std::string& module, const std::string& key,
                   bool binary, std::string& value) {
    if (reply == nullptr) {
        CORE_LOG(LOG_LEVEL_WARN,
                 binary ? "HGET(bin) %s %s failed: null reply" : "HGET %s %s failed: null reply",
                 module.c_str(), key.c_str());
        return -1;
    }
    if (reply->type == REDIS_REPLY_STRING && (!binary || reply->str != nullptr)) {
        value.assign(reply->str != nullptr ? reply->str : "", reply->len);
        if (binary) {
            CORE_LOG(LOG_LEVEL_DEBUG, "HGET(bin) %s %s => %zu bytes", module.c_str(), key.c_str(),
                     reply->len);
        } else {
            CORE_LOG(LOG_LEVEL_DEBUG, "HGET %s %s => %s", module.c_str(), key.c_str(),
                     reply->str != nullptr ? reply->str : "(null)");
        }
        return 0;
    }
    if (reply->type == REDIS_REPLY_NIL) {
        CORE_LOG(
            LOG_LEVEL_WARN,
            binary ? "HGET(bin) not found: module=%s, key=%s" : "HGET not found: module=%s, key=%s",
            module.c_str(), key.c_str());
        return -1;
    }
    CORE_LOG(LOG_LEVEL_WARN,
             binary ? "HGET(bin) unexpected reply type=%d (module=%s, key=%s)"
                    : "HGET unexpected reply type=%d (module=%s, key=%s)",
             reply->type, module.c_str(), key.c_str());
    return -1;
}

// Borrows a connection (blocking), sends the HSET built by `send` and gives the connection back.
template <typename Send>
int8_t hset_command(const char* name, bool binary, const std::string& module,
                    const std::string& key, Send send) {
    RedisConnectionPool& pool = RedisConnectionPool::getInstance();
    const size_t idle_before = pool.idleCount();
    const size_t in_use_before = pool.inUse();
    PooledConnection connection(pool, Borrow::kBlocking);
    int8_t result = -1;
    if (!connection) {
        log_no_connection(name, idle_before, in_use_before, pool.capacity());
    } else {
        ReplyPtr reply = take_reply(send(connection.get()));
        result = hset_result(reply.get(), module, key, binary);
    }
    finish_value_command(name, pool, connection);
    return result;
}
}  // namespace

int8_t ZeltOp::h_set_value(const std::string& module, const std::string& key,
                           const std::string& value) {
    return hset_command("h_set_value", false, module, key, [&](redisContext* connection) {
        return redisCommand(connection, "HSET %s %s %s", module.c_str(), key.c_str(),
                            value.c_str());
    });
}

int8_t ZeltOp::h_set_value_bin(const std::string& module, const std::string& key, const void* value,
                               uint64_t length) {
    // The pool is fetched (built on first use) before the value is looked at.
    RedisConnectionPool::getInstance();
    if (value == nullptr || length == 0) {
        CORE_LOG(LOG_LEVEL_WARN, "h_set_value_bin: null value or zero length (module=%s, key=%s)",
                 module.c_str(), key.c_str());
        return -1;
    }
    return hset_command("h_set_value_bin", true, module, key, [&](redisContext* connection) {
        return redisCommand(connection, "HSET %s %s %b", module.c_str(), key.c_str(), value,
                            static_cast<size_t>(length));
    });
}

namespace {
int8_t hget_command(const char* name, bool binary, const std::string& module,
                    const std::string& key, std::string& value) {
    RedisConnectionPool& pool = RedisConnectionPool::getInstance();
    const size_t idle_before = pool.idleCount();
    const size_t in_use_before = pool.inUse();
    PooledConnection connection(pool, Borrow::kBlocking);
    if (!connection) {
        log_no_connection(name, idle_before, in_use_before, pool.capacity());
        return -1;
    }
    ReplyPtr reply =
        take_reply(redisCommand(connection.get(), "HGET %s %s", module.c_str(), key.c_str()));
    const int8_t result = hget_result(reply.get(), module, key, binary, value);
    reply.reset();
    finish_value_command(name, pool, connection);
    return result;
}
}  // namespace

int8_t ZeltOp::h_get_value(const std::string& module, const std::string& key, std::string& value) {
    return hget_command("h_get_value", false, module, key, value);
}

int8_t ZeltOp::h_get_value_bin(const std::string& module, const std::string& key,
                               std::string& value) {
    return hget_command("h_get_value_bin", true, module, key, value);
}

}  // namespace Tovana::TovZelt
