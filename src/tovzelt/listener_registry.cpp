// Listener registry and the end-of-process stop of the listener threads.
#include "listener_registry.h"

#include <sys/socket.h>

#include "listener_control.h"

namespace Tovana::TovZelt {

namespace {
thread_local ListenerRecord* current_listener = nullptr;
}  // namespace

ListenerRegistry& ListenerRegistry::instance() {
    static ListenerRegistry* const registry = new ListenerRegistry();
    return *registry;
}

void bind_listener_thread(ListenerRecord* record) { current_listener = record; }

void listener_thread_ended() {
    ListenerRegistry& registry = ListenerRegistry::instance();
    {
        std::lock_guard<std::mutex> lock(registry.threads_mutex);
        if (current_listener != nullptr) {
            current_listener->running = false;
            current_listener->reading_fd = -1;
        }
        if (registry.running > 0) --registry.running;
    }
    registry.wake.notify_all();
    current_listener = nullptr;
}

bool listener_pause(std::chrono::milliseconds duration, const std::atomic<bool>* stop) {
    ListenerRegistry& registry = ListenerRegistry::instance();
    std::unique_lock<std::mutex> lock(registry.threads_mutex);
    const bool cut_short = registry.wake.wait_for(
        lock, duration, [&] { return registry.stopping || (stop != nullptr && stop->load()); });
    return !cut_short;
}

bool listeners_stopping() {
    ListenerRegistry& registry = ListenerRegistry::instance();
    std::lock_guard<std::mutex> lock(registry.threads_mutex);
    return registry.stopping;
}

bool begin_listener_read(int fd) {
    ListenerRegistry& registry = ListenerRegistry::instance();
    std::lock_guard<std::mutex> lock(registry.threads_mutex);
    if (registry.stopping) return false;
    if (current_listener != nullptr) current_listener->reading_fd = fd;
    return true;
}

void end_listener_read() {
    ListenerRegistry& registry = ListenerRegistry::instance();
    std::lock_guard<std::mutex> lock(registry.threads_mutex);
    if (current_listener != nullptr) current_listener->reading_fd = -1;
}

void set_listener_core(const TovZeltCore* core) {
    ListenerRegistry& registry = ListenerRegistry::instance();
    std::lock_guard<std::mutex> lock(registry.threads_mutex);
    if (current_listener != nullptr) current_listener->core = core;
}

bool stop_all_listeners(std::chrono::milliseconds timeout) {
    ListenerRegistry& registry = ListenerRegistry::instance();
    std::unique_lock<std::mutex> lock(registry.threads_mutex);
    registry.stopping = true;
    for (auto& flag : registry.stop_flags) flag->store(true);
    for (auto& record : registry.records) {
        // Unblocks a read that waits for the next notification; the listener then sees its
        // stop flag and ends.
        if (record->running && record->reading_fd >= 0) shutdown(record->reading_fd, SHUT_RDWR);
    }
    registry.wake.notify_all();
    return registry.wake.wait_for(lock, timeout, [&] { return registry.running == 0; });
}

bool listener_uses(const TovZeltCore* core) {
    ListenerRegistry& registry = ListenerRegistry::instance();
    std::lock_guard<std::mutex> lock(registry.threads_mutex);
    for (const auto& record : registry.records) {
        if (record->running && record->core == core) return true;
    }
    return false;
}

}  // namespace Tovana::TovZelt
