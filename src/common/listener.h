// The notification listener: one thread per listened module, reading keyspace notifications
// from the module object's subscription connection and handing each to the callbacks.
#ifndef TOVZELT_LISTENER_H
#define TOVZELT_LISTENER_H

#include <atomic>
#include <string>

#include "tovzelt/export.h"
#include "tovzelt/tov_zelt.h"
#include "tovzelt/tov_zelt_core.h"

namespace Tovana::TovZelt {

// The thread's entry: fetches the facade and runs the listener loop until `stop` is seen set.
void create_callback_thread(std::string module, ChangeCallback callback, std::atomic<bool>& stop);

// The listener loop (returns only when `stop` is seen set).
void notification_listener(TovZELT& facade, const std::string& module, std::atomic<bool>& stop,
                           ChangeCallback callback);

// Decodes one reply of the subscription connection: a pattern message (an array of four
// strings: kind, pattern, channel, event) calls `callback` with (event, key, kind), the key
// being the channel after its last ':' (empty when it has none). Anything else is dropped.
TOVZELT_API void process_notification(const redisReply* reply, const std::string& module,
                                      ChangeCallback callback);

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_LISTENER_H
