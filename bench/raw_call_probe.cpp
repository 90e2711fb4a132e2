// The baseline of first_call_probe: a process that uses plain hiredis only.
//
//   raw_call_probe exit            ends at once
//   raw_call_probe first <module>  times a connect and one HGET of field "k", then a second
//                                  HGET; prints "connect_and_command second" in ns.
#include <hiredis/hiredis.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {
long long ns_between(std::chrono::steady_clock::time_point from,
                     std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

bool hget(redisContext* context, const char* module) {
    auto* reply = static_cast<redisReply*>(redisCommand(context, "HGET %s k", module));
    const bool ok = reply != nullptr && reply->type == REDIS_REPLY_STRING;
    if (reply != nullptr) freeReplyObject(reply);
    return ok;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "exit") == 0) return 0;
    if (argc != 3 || std::strcmp(argv[1], "first") != 0) {
        std::fprintf(stderr, "usage: %s exit | first <module>\n", argv[0]);
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    timeval timeout{3, 0};
    redisContext* context = redisConnectWithTimeout("127.0.0.1", 10240, timeout);
    if (context == nullptr) return 1;
    const bool first = context->err == 0 && hget(context, argv[2]);
    const auto first_done = Clock::now();
    const bool second = first && hget(context, argv[2]);
    const auto second_done = Clock::now();
    redisFree(context);
    if (!second) return 1;
    std::printf("%lld %lld\n", ns_between(start, first_done), ns_between(first_done, second_done));
    return 0;
}
