// zelt_callback(): starts the listener thread of a module.
#include <exception>
#include <system_error>

#include "listener.h"
#include "listener_registry.h"
#include "tovzelt.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
// Calls every callback registered for the record's module. A callback that throws is logged
// and the others still run: an application's exception must not end the listener.
ChangeCallback dispatcher_for(ListenerRecord* record) {
    return [record](const std::string& event, const std::string& key, const std::string& kind) {
        std::vector<ChangeCallback> callbacks;
        {
            std::lock_guard<std::mutex> lock(ListenerRegistry::instance().threads_mutex);
            callbacks = record->callbacks;
        }
        for (const ChangeCallback& callback : callbacks) {
            if (!callback) continue;
            try {
                callback(event, key, kind);
            } catch (const std::exception& e) {
                API_LOG(LOG_LEVEL_ERROR, "zelt_callback: callback of module %s threw: %s",
                        record->module.c_str(), e.what());
            } catch (...) {
                API_LOG(LOG_LEVEL_ERROR,
                        "zelt_callback: callback of module %s threw an unknown exception",
                        record->module.c_str());
            }
        }
    };
}

void run_listener_thread(std::string module, ListenerRecord* record, std::atomic<bool>* stop) {
    bind_listener_thread(record);
    create_callback_thread(std::move(module), dispatcher_for(record), *stop);
    listener_thread_ended();
}

// A running listener of `module`, or null. Caller holds threads_mutex.
ListenerRecord* running_listener_of(ListenerRegistry& registry, const std::string& module) {
    for (auto& record : registry.records) {
        if (record->running && record->module == module && !record->stop->load()) {
            return record.get();
        }
    }
    return nullptr;
}
}  // namespace

void create_callback_thread(std::string module, ChangeCallback callback, std::atomic<bool>& stop) {
    TovZELT& facade = TovZELT::getInstance();
    notification_listener(facade, module, stop, std::move(callback));
}

void zelt_callback(const char* module, ChangeCallback callback) {
    if (module == nullptr) {
        API_LOG(LOG_LEVEL_WARN, "zelt_callback: module name is null, no listener started.");
        return;
    }
    API_LOG(LOG_LEVEL_DEBUG, "zelt_callback: creating zelt callback function for module: %s",
            module);
    std::string name(module);
    auto stop = std::make_unique<std::atomic<bool>>(false);

    ListenerRegistry& registry = ListenerRegistry::instance();
    std::lock_guard<std::mutex> lock(registry.threads_mutex);
    if (registry.stopping) return;
    // One listener per module name: a hiredis connection must never be read by two threads,
    // so a further callback for the module joins the running listener.
    if (ListenerRecord* running = running_listener_of(registry, name)) {
        running->callbacks.push_back(std::move(callback));
        API_LOG(LOG_LEVEL_DEBUG, "zelt_callback: module %s already has a listener; callback added",
                module);
        return;
    }
    auto record = std::make_unique<ListenerRecord>();
    record->module = name;
    record->callbacks.push_back(std::move(callback));
    record->stop = stop.get();
    try {
        registry.threads.emplace_back(run_listener_thread, std::move(name), record.get(),
                                      stop.get());
    } catch (const std::system_error& e) {
        API_LOG(LOG_LEVEL_ERROR, "zelt_callback: cannot start the listener of module %s: %s",
                module, e.what());
        return;
    }
    ++registry.running;
    registry.stop_flags.push_back(std::move(stop));
    registry.records.push_back(std::move(record));
    registry.threads.back().detach();
}

}  // namespace Tovana::TovZelt
