#include "fault_helpers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "store_probe.h"
#include "test_support.h"

namespace fault_test {

namespace {
using Clock = std::chrono::steady_clock;

// The value of `field:` in the reply to INFO server, or empty.
std::string info_field(tovzelt_test::RawRedis& raw, const std::string& field) {
    const std::string info = raw.str({"INFO", "server"}, "");
    std::istringstream lines(info);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            std::string value = line.substr(field.size() + 1);
            while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) {
                value.pop_back();
            }
            return value;
        }
    }
    return "";
}

// "key=value" of one CLIENT LIST line, or empty.
std::string client_field(const std::string& line, const std::string& key) {
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
    }
    return "";
}
}  // namespace

long long server_pid() {
    if (!tovzelt_test::server_answers()) return -1;
    tovzelt_test::RawRedis raw;
    const std::string pid = info_field(raw, "process_id");
    return pid.empty() ? -1 : std::atoll(pid.c_str());
}

bool process_ended(long long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] == 'Z';
}

long long kill_server(int signal, std::chrono::milliseconds timeout) {
    const long long pid = server_pid();
    if (pid <= 0) return -1;
    if (kill(static_cast<pid_t>(pid), signal) != 0) return -1;
    return tovzelt_test::wait_until([&] { return process_ended(pid); }, timeout) ? pid : -1;
}

PortHolder::PortHolder(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (fd_ < 0 && Clock::now() < deadline) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        // Like the server, so that connections of the old server waiting out their close do
        // not keep the port; a listening socket still keeps any other server off it.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(10240);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            listen(fd, 512) == 0) {
            fd_ = fd;
            break;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fd_ < 0) return;
    thread_ = std::thread([this] {
        while (!stop_.load()) {
            pollfd waiting{fd_, POLLIN, 0};
            if (poll(&waiting, 1, 50) <= 0) continue;
            const int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                close(connection);
                ++accepted_;
            }
        }
    });
}

PortHolder::~PortHolder() { release(); }

void PortHolder::release() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

size_t open_fds() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

ServerView server_view_of_this_process() {
    std::set<int> ports;
    for (const auto& socket : tovzelt_test::tcp_sockets()) ports.insert(socket.second);
    // The probe's own connection is opened after the ports were taken, so it is not counted.
    tovzelt_test::RawRedis raw;
    const std::string list = raw.str({"CLIENT", "LIST"}, "");
    ServerView view;
    std::istringstream lines(list);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string address = client_field(line, "addr");
        const size_t colon = address.rfind(':');
        if (colon == std::string::npos || address.compare(0, colon, "127.0.0.1") != 0) continue;
        if (ports.count(std::atoi(address.c_str() + colon + 1)) == 0) continue;
        ++view.connections;
        if (std::atoi(client_field(line, "psub").c_str()) > 0) ++view.subscribed;
    }
    return view;
}

}  // namespace fault_test
