#include "event_recorder.h"

#include "test_support.h"

namespace tovzelt_test {

Tovana::TovZelt::ChangeCallback EventRecorder::callback() {
    return [this](const std::string& event, const std::string& key, const std::string& kind) {
        record(event, key, kind);
    };
}

void EventRecorder::record(const std::string& event, const std::string& key,
                           const std::string& kind) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(Event{event, key, kind, std::chrono::steady_clock::now()});
    }
    arrived_.notify_all();
}

std::vector<Event> EventRecorder::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Event> EventRecorder::with_key(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    for (const auto& e : events_) {
        if (e.key == key) out.push_back(e);
    }
    return out;
}

bool EventRecorder::wait_for_key(const std::string& key, size_t count,
                                 std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] {
        size_t n = 0;
        for (const auto& e : events_) n += e.key == key ? 1 : 0;
        return n >= count;
    });
}

bool wait_until_listening(EventRecorder& recorder, const std::string& probe_key,
                          std::chrono::milliseconds timeout) {
    RawRedis raw;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
        raw.integer({"HSET", probe_key, "probe", std::to_string(i)});
        if (recorder.wait_for_key(probe_key, 1, std::chrono::milliseconds(300))) return true;
    }
    return false;
}

}  // namespace tovzelt_test
