// Owners of hiredis handles, so that every reply and connection is released on every path.
//
// ReplyPtr owns a top-level reply (array elements stay borrowed from it). PooledConnection
// borrows a pooled connection in its constructor and gives it back in its destructor.
#ifndef TOVZELT_REDIS_HANDLES_H
#define TOVZELT_REDIS_HANDLES_H

#include <hiredis/hiredis.h>

#include <memory>
#include <string>

#include "tovzelt/connection_pool.h"

namespace Tovana::TovZelt {

struct ReplyDeleter {
    void operator()(redisReply* reply) const {
        if (reply != nullptr) freeReplyObject(reply);
    }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyDeleter>;

struct ContextDeleter {
    void operator()(redisContext* context) const {
        if (context != nullptr) redisFree(context);
    }
};
using ContextPtr = std::unique_ptr<redisContext, ContextDeleter>;

// Takes ownership of what redisCommand() and friends return.
inline ReplyPtr take_reply(void* reply) { return ReplyPtr(static_cast<redisReply*>(reply)); }

// The text of a string, status or error reply, whole; empty for other replies.
inline std::string reply_bytes(const redisReply* reply) {
    if (reply == nullptr || reply->str == nullptr) return std::string();
    return std::string(reply->str, reply->len);
}

enum class Borrow { kBlocking, kTimed };

// A connection borrowed from the pool for the lifetime of this object.
class PooledConnection {
public:
    PooledConnection(RedisConnectionPool& pool, Borrow mode)
        : pool_(pool),
          connection_(mode == Borrow::kBlocking ? pool.getConnectionBlocking()
                                                : pool.getConnection()) {}
    ~PooledConnection() { give_back(); }
    PooledConnection(const PooledConnection&) = delete;
    PooledConnection& operator=(const PooledConnection&) = delete;

    redisContext* get() const { return connection_; }
    explicit operator bool() const { return connection_ != nullptr; }

    // Gives the connection back now (idempotent).
    void give_back() {
        if (connection_ != nullptr) {
            pool_.returnConnection(connection_);
            connection_ = nullptr;
        }
    }

private:
    RedisConnectionPool& pool_;
    redisContext* connection_;
};

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_REDIS_HANDLES_H
