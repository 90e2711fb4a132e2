// What the fault tests do to the shared server and how they look at a process's connections:
// killing the server, holding its port while it is away, counting descriptors and the
// connections the server sees from this process.
#ifndef TOVZELT_FAULT_HELPERS_H
#define TOVZELT_FAULT_HELPERS_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace fault_test {

// The process id the server on 127.0.0.1:10240 reports, or -1 when none answers.
long long server_pid();

// True once process `pid` has ended (gone, or a zombie whose sockets are closed).
bool process_ended(long long pid);

// Sends `signal` to the server that answers and waits (at most `timeout`) until its process
// has ended. The pid it had, or -1 when no server answered or it did not end in time.
long long kill_server(int signal, std::chrono::milliseconds timeout);

// Holds 127.0.0.1:10240 while it lives, so that no server can be started there: connects are
// accepted and closed at once, as by a server that goes away.
class PortHolder {
public:
    // Tries to take the port for up to `timeout`; holding() tells whether it did.
    explicit PortHolder(std::chrono::milliseconds timeout);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    bool holding() const { return fd_ >= 0; }
    // Connections accepted (and closed) so far.
    size_t accepted() const { return accepted_.load(); }
    // Lets go of the port (idempotent).
    void release();

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> accepted_{0};
    std::thread thread_;
};

// Open file descriptors of this process.
size_t open_fds();

// The connections the server holds from this process (matched on this process's local TCP
// ports), and how many of them are subscribed to a pattern.
struct ServerView {
    size_t connections = 0;
    size_t subscribed = 0;
};
ServerView server_view_of_this_process();

}  // namespace fault_test

#endif  // TOVZELT_FAULT_HELPERS_H
