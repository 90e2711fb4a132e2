// Probes for tests that look at a process's connections to the store: its open sockets, the
// server's id of a connection, killing one connection from the server side, and taking the
// calling thread off the network so that no connect can succeed.
#ifndef TOVZELT_TEST_STORE_PROBE_H
#define TOVZELT_TEST_STORE_PROBE_H

#include <hiredis/hiredis.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace tovzelt_test {

// Runs `body` in a forked child; expectations that fail there fail the calling test.
void in_child(const std::function<void()>& body,
              std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The TCP (IPv4) sockets of this process as (descriptor, local port); in the test programs these
// are connections to the store, and listening sockets of the test's own.
std::vector<std::pair<int, int>> tcp_sockets();

// How many TCP sockets this process holds open.
size_t open_tcp_sockets();

// The id the server gave `connection` (CLIENT ID sent on it), -1 when it does not answer.
long long client_id(redisContext* connection);

// Closes the server's side of the connection with this id; true when the server had it.
bool kill_client(RawRedis& raw, long long id);

// Moves the calling thread into a network namespace of its own (loopback down, nothing
// listening), so that every connect it makes fails at once, while connections opened before
// keep working. back() (or the destructor) returns the thread to the namespace it came from.
class OffTheNetwork {
public:
    OffTheNetwork();
    ~OffTheNetwork();
    OffTheNetwork(const OffTheNetwork&) = delete;
    OffTheNetwork& operator=(const OffTheNetwork&) = delete;
    void back();

private:
    int home_ = -1;
};

// True once thread `tid` of this process is asleep (blocked in a wait).
bool wait_thread_asleep(pid_t tid, std::chrono::milliseconds timeout);

// Milliseconds elapsed since `start`.
long long ms_since(std::chrono::steady_clock::time_point start);

}  // namespace tovzelt_test

#endif  // TOVZELT_TEST_STORE_PROBE_H
