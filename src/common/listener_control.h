// What the listener threads share with the end of the process: pauses that a stop cuts short,
// and reads that a stop can unblock.
//
// At process exit (or library unload) stop_all_listeners() sets every stop flag, wakes every
// pause, shuts down the socket every listener is reading from, and waits a bounded time for the
// listener threads to end.
#ifndef TOVZELT_LISTENER_CONTROL_H
#define TOVZELT_LISTENER_CONTROL_H

#include <atomic>
#include <chrono>

namespace Tovana::TovZelt {

class TovZeltCore;

// Sleeps for `duration` unless the listeners are being stopped or `stop` is set. Returns false
// when the pause was cut short by a stop.
bool listener_pause(std::chrono::milliseconds duration, const std::atomic<bool>* stop = nullptr);

// True once the end of the process has begun stopping the listeners.
bool listeners_stopping();

// The calling listener thread is about to block reading from `fd`; false when it must not
// (the listeners are being stopped). Every true is paired with end_listener_read().
bool begin_listener_read(int fd);
void end_listener_read();

// Records the module object the calling listener thread uses.
void set_listener_core(const TovZeltCore* core);

// Stops every listener and waits up to `timeout` for their threads to end. True when they all
// ended. Safe to call more than once.
bool stop_all_listeners(std::chrono::milliseconds timeout);

// True while a listener that uses `core` is still running (after stop_all_listeners() timed
// out): such an object must outlive the process's teardown.
bool listener_uses(const TovZeltCore* core);

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_LISTENER_CONTROL_H
