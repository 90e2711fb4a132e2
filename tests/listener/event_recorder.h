// Records the calls a change callback receives, for tests that wait on them.
#ifndef TOVZELT_TEST_EVENT_RECORDER_H
#define TOVZELT_TEST_EVENT_RECORDER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tovzelt.h"

namespace tovzelt_test {

struct Event {
    std::string event;
    std::string key;
    std::string kind;
    std::chrono::steady_clock::time_point at;
};

class EventRecorder {
public:
    // A callback that records into this recorder (which must outlive the listener).
    Tovana::TovZelt::ChangeCallback callback();
    void record(const std::string& event, const std::string& key, const std::string& kind);

    std::vector<Event> events() const;
    // Waits until `count` events with this key have arrived.
    bool wait_for_key(const std::string& key, size_t count, std::chrono::milliseconds timeout);
    // Events with this key, in arrival order.
    std::vector<Event> with_key(const std::string& key) const;

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Event> events_;
};

// Writes a probe field into `probe_key` (a fresh hash) every 300 ms until the recorder has
// received its event: from then on the listener is subscribed. Exactly one probe event is
// handed on, and the listener then pauses for a second.
bool wait_until_listening(EventRecorder& recorder, const std::string& probe_key,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace tovzelt_test

#endif  // TOVZELT_TEST_EVENT_RECORDER_H
