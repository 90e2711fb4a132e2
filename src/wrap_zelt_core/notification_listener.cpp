// The listener loop and the listener side of TovZeltCore: subscribing, reading one
// notification, repairing the subscription connection.
#include "listener.h"

#include <hiredis/hiredis.h>

#include <chrono>

#include "listener_control.h"
#include "redis_handles.h"
#include "server_loading.h"
#include "server_scripts.h"
#include "tov_zelt_core_impl.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
constexpr std::chrono::seconds kRetryCreatePause(1);
constexpr std::chrono::seconds kCyclePause(1);
constexpr std::chrono::seconds kResubscribePause(5);

bool connection_healthy(const redisContext* connection) {
    return connection != nullptr && connection->err == 0;
}

// What to say after "Failed to subscribe to channel: " (nothing without a connection).
const char* failure_reason(const redisContext* connection, bool loading) {
    if (connection == nullptr) return "";
    return loading ? kServerLoading : connection->errstr;
}

std::string element_text(const redisReply* element) {
    if (element == nullptr || element->str == nullptr) return std::string();
    return std::string(element->str, element->len);
}
}  // namespace

void process_notification(const redisReply* reply, const std::string& /*module*/,
                          ChangeCallback callback) {
    if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements != 4) return;
    const std::string event = element_text(reply->element[3]);
    const std::string channel = element_text(reply->element[2]);
    const std::string kind = element_text(reply->element[0]);
    const size_t colon = channel.rfind(':');
    const std::string key = colon == std::string::npos ? std::string() : channel.substr(colon + 1);
    if (callback) callback(event, key, kind);
}

void TovZeltCore::subscribe() {
    while (true) {
        redisContext* connection = get_redis_context();
        const bool loading = connection != nullptr && server_is_loading(connection);
        if (connection != nullptr && !loading) {
            ReplyPtr reply =
                take_reply(redisCommand(connection, "PSUBSCRIBE %s", kKeyspacePattern));
            if (reply != nullptr) return;
        }
        CORE_LOG(LOG_LEVEL_ERROR, "Failed to subscribe to channel%s%s",
                 connection != nullptr ? ": " : "", failure_reason(connection, loading));
        if (!listener_pause(kResubscribePause)) return;
        impl->op().reconnect_sub();
        if (connection_healthy(get_redis_context())) return;
    }
}

void TovZeltCore::get_reply(const std::string& module, ChangeCallback callback) {
    redisContext* connection = get_redis_context();
    if (connection == nullptr || !begin_listener_read(connection->fd)) return;
    void* raw = nullptr;
    const int status = redisGetReply(connection, &raw);
    end_listener_read();
    ReplyPtr reply = take_reply(raw);
    if (status == REDIS_OK && reply != nullptr) {
        process_notification(reply.get(), module, std::move(callback));
    }
}

void TovZeltCore::validate_context() {
    impl->op().restart_zelt();
    if (listeners_stopping()) return;
    impl->op().reconnect_sub();
}

void notification_listener(TovZELT& facade, const std::string& module, std::atomic<bool>& stop,
                           ChangeCallback callback) {
    TovZeltCore* core = facade.create_zelt_ins(module);
    set_listener_core(core);
    while (!stop.load()) {
        if (core == nullptr) {
            CORE_LOG(LOG_LEVEL_ERROR, "notification_listener: create_zelt_ins failed for module %s",
                     module.c_str());
            listener_pause(kRetryCreatePause, &stop);
            if (!stop.load()) core = facade.create_zelt_ins(module);
            set_listener_core(core);
            continue;
        }
        core->subscribe();
        while (!stop.load()) {
            if (!connection_healthy(core->get_redis_context())) core->validate_context();
            if (stop.load()) break;
            if (core->get_redis_context() != nullptr) core->get_reply(module, callback);
            listener_pause(kCyclePause, &stop);
        }
        listener_pause(kResubscribePause, &stop);
    }
}

}  // namespace Tovana::TovZelt
