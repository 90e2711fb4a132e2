// A subscription asked for while the server is still replaying its append-only file. The server
// already takes the subscription then, and publishes a notification for every write it replays:
// a listener subscribed in that window would be handed the store's whole history as changes,
// one per second, ahead of any real change. The library subscribes only once loading is over.
//
// Runs in a child process in a network namespace of its own, against a private server on
// 127.0.0.1:10240 there whose append-only file holds a few hundred thousand writes; the shared
// server is not touched.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "store_probe.h"
#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using namespace std::chrono_literals;
using tovzelt_test::LogCapture;

namespace {

constexpr int kReplayedWrites = 400000;
constexpr int kError = 2;

// Brings the loopback interface of the current network namespace up.
bool loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

// A connection to 127.0.0.1:10240 in this namespace, freed on every path.
struct Connection {
    redisContext* context = redisConnect("127.0.0.1", 10240);
    ~Connection() {
        if (context != nullptr) redisFree(context);
    }
    bool ok() const { return context != nullptr && context->err == 0; }
    // The reply's text (status, error or string), empty when there is none.
    std::string text(const char* command) {
        auto* reply = static_cast<redisReply*>(redisCommand(context, command));
        std::string result;
        if (reply != nullptr && reply->str != nullptr) result.assign(reply->str, reply->len);
        if (reply != nullptr) freeReplyObject(reply);
        return result;
    }
};

bool server_is_loading() {
    Connection connection;
    return connection.ok() && connection.text("PING").rfind("LOADING", 0) == 0;
}

// A private server in a scratch directory; shut down and removed with this object.
class PrivateServer {
public:
    PrivateServer() {
        char directory[] = "/tmp/tovzelt_loading_XXXXXX";
        if (mkdtemp(directory) != nullptr) directory_ = directory;
    }
    ~PrivateServer() {
        stop();
        if (!directory_.empty()) std::system(("rm -rf " + directory_).c_str());
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    // Starts the server; true once it accepts connections (it may still be loading).
    bool start() {
        const std::string command =
            "redis-server --port 10240 --bind 127.0.0.1 --dir " + directory_ +
            " --appendonly yes --appendfsync no --save '' --notify-keyspace-events Kghs"
            " --daemonize yes --pidfile " +
            directory_ + "/redis.pid --logfile " + directory_ + "/redis.log";
        if (directory_.empty() || std::system(command.c_str()) != 0) return false;
        return tovzelt_test::wait_until([] { return Connection().ok(); }, 5s);
    }

    // Ends the server without a snapshot: what it wrote stays in its append-only file.
    void stop() {
        std::ifstream pid_file(directory_ + "/redis.pid");
        long pid = 0;
        if (!(pid_file >> pid) || pid <= 0) return;
        {
            Connection connection;
            if (connection.ok()) connection.text("SHUTDOWN NOSAVE");
        }
        tovzelt_test::wait_until([&] { return kill(static_cast<pid_t>(pid), 0) != 0; }, 5s);
    }

private:
    std::string directory_;
};

// Writes `count` hash fields through one pipelined connection.
bool write_history(int count) {
    Connection connection;
    if (!connection.ok()) return false;
    constexpr int kBatch = 1000;
    for (int done = 0; done < count; done += kBatch) {
        for (int i = done; i < done + kBatch; ++i) {
            redisAppendCommand(connection.context, "HSET replayed_%d f v", i);
        }
        for (int i = 0; i < kBatch; ++i) {
            void* reply = nullptr;
            if (redisGetReply(connection.context, &reply) != REDIS_OK) return false;
            freeReplyObject(reply);
        }
    }
    return true;
}

TEST(SubscribeWhileLoadingTest, SubscriptionWaitsForTheServerToFinishLoading) {
    tovzelt_test::in_child(
        [] {
            ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "unshare(CLONE_NEWNET) failed (needs root)";
            ASSERT_TRUE(loopback_up());
            PrivateServer server;
            ASSERT_TRUE(server.start());
            ASSERT_TRUE(write_history(kReplayedWrites));
            server.stop();
            ASSERT_TRUE(server.start());
            ASSERT_TRUE(server_is_loading())
                << "the server finished loading before the test could subscribe";

            LogCapture log;
            // Repairing the subscription connection while the server loads leaves it unmade.
            {
                tz::ZeltOp op;
                op.reconnect_sub();
                const bool still_loading = server_is_loading();
                if (still_loading) {
                    EXPECT_EQ(op.subscription_context(), nullptr);
                    EXPECT_TRUE(log.has(
                        kError, "reconnect_sub: redis connect failed: server is loading its data"));
                }
                tz::free_redis_context(op.subscription_context());
            }

            // The listener's first subscription, asked for while the server loads, is made
            // once loading is over: the first notification it reads is a write made after it.
            const bool loading_when_subscribing = server_is_loading();
            tz::TovZeltCore core;
            core.subscribe();
            EXPECT_FALSE(server_is_loading());
            if (loading_when_subscribing) {
                EXPECT_TRUE(
                    log.has(kError, "Failed to subscribe to channel: server is loading its data"));
            }
            const std::string written = "after_" + std::to_string(getpid());
            {
                Connection writer;
                ASSERT_TRUE(writer.ok());
                writer.text(("HSET " + written + " f v").c_str());
            }
            std::string first_key;
            core.get_reply("loading", [&](const std::string&, const std::string& key,
                                          const std::string&) { first_key = key; });
            EXPECT_EQ(first_key, written) << "a write replayed from the file came first";
        },
        60s);
}

}  // namespace
