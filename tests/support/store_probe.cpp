#include "store_probe.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <thread>

namespace tovzelt_test {

void in_child(const std::function<void()>& body, std::chrono::milliseconds timeout) {
    const int status = run_in_child(
        [&] {
            // Nothing may leave the child's body: the child must end here, not go on running
            // the rest of the test program.
            try {
                body();
            } catch (const std::exception& e) {
                ADD_FAILURE() << "exception in the child: " << e.what();
            } catch (...) {
                ADD_FAILURE() << "unknown exception in the child";
            }
            return ::testing::Test::HasFailure() ? 1 : 0;
        },
        timeout);
    EXPECT_EQ(status, 0) << "the child process reported failures (see above) or did not end";
}

std::vector<std::pair<int, int>> tcp_sockets() {
    std::vector<std::pair<int, int>> sockets;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return sockets;
    const int dir_fd = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == dir_fd) continue;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        int type = 0;
        socklen_t type_length = sizeof(type);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) != 0 || type != SOCK_STREAM) {
            continue;
        }
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            address.sin_family != AF_INET) {
            continue;
        }
        sockets.emplace_back(fd, ntohs(address.sin_port));
    }
    closedir(dir);
    return sockets;
}

size_t open_tcp_sockets() { return tcp_sockets().size(); }

long long client_id(redisContext* connection) {
    auto* reply = static_cast<redisReply*>(redisCommand(connection, "CLIENT ID"));
    long long id = -1;
    if (reply != nullptr && reply->type == REDIS_REPLY_INTEGER) id = reply->integer;
    if (reply != nullptr) freeReplyObject(reply);
    return id;
}

bool kill_client(RawRedis& raw, long long id) {
    return raw.integer({"CLIENT", "KILL", "ID", std::to_string(id)}) == 1;
}

OffTheNetwork::OffTheNetwork() {
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0) {
        ADD_FAILURE() << "cannot open the network namespace of this thread";
        return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        ADD_FAILURE() << "unshare(CLONE_NEWNET) failed (the tests need root)";
        close(home_);
        home_ = -1;
    }
}

OffTheNetwork::~OffTheNetwork() { back(); }

void OffTheNetwork::back() {
    if (home_ < 0) return;
    if (setns(home_, CLONE_NEWNET) != 0) ADD_FAILURE() << "setns back to the network failed";
    close(home_);
    home_ = -1;
}

bool wait_thread_asleep(pid_t tid, std::chrono::milliseconds timeout) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    return wait_until(
        [&] {
            std::ifstream in(path);
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            const size_t paren = text.rfind(')');
            return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
        },
        timeout);
}

long long ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace tovzelt_test
