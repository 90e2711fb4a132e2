// The process's listener registry: the listener threads, their stop flags and the bookkeeping
// that lets the end of the process stop them.
#ifndef TOVZELT_LISTENER_REGISTRY_H
#define TOVZELT_LISTENER_REGISTRY_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tovzelt/tov_zelt_core.h"

namespace Tovana::TovZelt {

// One running listener. Guarded by ListenerRegistry::threads_mutex.
struct ListenerRecord {
    std::string module;
    std::vector<ChangeCallback> callbacks;  // every callback registered for the module
    std::atomic<bool>* stop = nullptr;      // owned by ListenerRegistry::stop_flags
    const TovZeltCore* core = nullptr;      // the module object the listener uses
    int reading_fd = -1;                    // the socket it is blocked on, or -1
    bool running = true;
};

struct ListenerRegistry {
    // Never freed: listener threads may outlive the process's static objects.
    static ListenerRegistry& instance();

    std::mutex threads_mutex;
    std::vector<std::thread> threads;  // detached, kept as a record
    std::vector<std::unique_ptr<std::atomic<bool>>> stop_flags;
    std::vector<std::unique_ptr<ListenerRecord>> records;  // one per thread, same order
    size_t running = 0;
    bool stopping = false;
    std::condition_variable wake;  // pauses and the end of a thread
};

// Registers the calling thread as the listener of `record` (for pauses and reads).
void bind_listener_thread(ListenerRecord* record);
// Marks the calling listener thread as ended.
void listener_thread_ended();

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_LISTENER_REGISTRY_H
