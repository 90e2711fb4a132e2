// Whether the server is still loading its data set.
//
// While it replays its append-only file the server already accepts connections and takes a
// pattern subscription, and it then publishes a keyspace notification for every write it
// replays. A listener subscribed in that window is handed the whole history of the store as
// changes, one per second, ahead of any real one. Subscriptions are therefore made only once
// the server has finished loading.
#ifndef TOVZELT_SERVER_LOADING_H
#define TOVZELT_SERVER_LOADING_H

#include <hiredis/hiredis.h>

#include <cstring>

#include "redis_handles.h"

namespace Tovana::TovZelt {

// What a subscription connection reports when the server is still loading.
inline constexpr const char* kServerLoading = "server is loading its data";

// Sends PING on `connection`: true when the server answers that it is loading. Any other
// outcome (PONG, a broken connection) is left to the command that follows.
inline bool server_is_loading(redisContext* connection) {
    ReplyPtr reply = take_reply(redisCommand(connection, "PING"));
    return reply != nullptr && reply->type == REDIS_REPLY_ERROR && reply->str != nullptr &&
           std::strncmp(reply->str, "LOADING", 7) == 0;
}

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_SERVER_LOADING_H
