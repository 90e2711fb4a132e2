// Server restart and the module's keyspace subscription connection (listener thread only).
#include <hiredis/hiredis.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "listener_control.h"
#include "redis_handles.h"
#include "server_loading.h"
#include "server_scripts.h"
#include "tovzelt/connection_pool.h"
#include "tovzelt/zelt_op.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

void ZeltOp::restart_zelt() {
    size_t idle_before = 0;
    size_t in_use_before = 0;
    try {
        RedisConnectionPool& pool = RedisConnectionPool::getInstance();
        idle_before = pool.idleCount();
        in_use_before = pool.inUse();
        pool.reset_idle(0);
    } catch (const std::exception& e) {
        // No pool yet and the server is down: there is nothing to clear, and the restart is
        // what brings the server back.
        CORE_PRINTF(LOG_LEVEL_ERROR, "Error: restart_zelt %s", e.what());
    }
    char command[kCommandBufferSize];
    std::snprintf(command, sizeof(command), "%s", kStartupScript);
    CORE_LOG(LOG_LEVEL_WARN,
             "restart_zelt: cleared idle redis pool before restart (idle_before=%zu, "
             "in_use_before=%zu)",
             idle_before, in_use_before);
    std::system(command);
    listener_pause(std::chrono::milliseconds(200));
}

void ZeltOp::reconnect_sub() {
    free_redis_context(subscription_context_);
    subscription_context_ = redisConnect(kRedisHost, kRedisPort);
    if (subscription_context_ == nullptr) {
        CORE_LOG(LOG_LEVEL_ERROR, "reconnect_sub: redis connect failed: no context");
        return;
    }
    if (subscription_context_->err != 0) {
        CORE_LOG(LOG_LEVEL_ERROR, "reconnect_sub: redis connect failed: %s",
                 subscription_context_->errstr);
        free_redis_context(subscription_context_);
        return;
    }
    if (server_is_loading(subscription_context_)) {
        // No subscription yet: the listener comes back once its next restart has waited for
        // the server to be ready.
        CORE_LOG(LOG_LEVEL_ERROR, "reconnect_sub: redis connect failed: %s", kServerLoading);
        free_redis_context(subscription_context_);
        return;
    }
    ReplyPtr reply =
        take_reply(redisCommand(subscription_context_, "PSUBSCRIBE %s", kKeyspacePattern));
    if (reply == nullptr) {
        CORE_LOG(LOG_LEVEL_ERROR, "reconnect_sub: PSUBSCRIBE failed");
        free_redis_context(subscription_context_);
    }
}

void ZeltOp::refresh_service() {
    restart_zelt();
    reconnect_sub();
}

}  // namespace Tovana::TovZelt
