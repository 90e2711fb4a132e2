// The baseline of first_call_probe: a process that uses plain hiredis only.
//
//   raw_call_probe exit            ends at once
//   raw_call_probe first <module>  times a connect and one HGET of field "k", then a second
//                                  HGET; prints "connect_and_command second" in ns.
#include <hiredis/hiredis.h>

#include <cstdio>

#include "probe_support.h"

using tovzelt_probe::Clock;
using tovzelt_probe::ns_between;

namespace {
bool hget(redisContext* context, const char* module) {
    auto* reply = static_cast<redisReply*>(redisCommand(context, "HGET %s k", module));
    const bool ok = reply != nullptr && reply->type == REDIS_REPLY_STRING;
    if (reply != nullptr) freeReplyObject(reply);
    return ok;
}

int time_first_calls(const char* module) {
    const auto start = Clock::now();
    timeval timeout{3, 0};
    redisContext* context = redisConnectWithTimeout("127.0.0.1", 10240, timeout);
    if (context == nullptr) return 1;
    const bool first = context->err == 0 && hget(context, module);
    const auto first_done = Clock::now();
    const bool second = first && hget(context, module);
    const auto second_done = Clock::now();
    redisFree(context);
    if (!second) return 1;
    std::printf("%lld %lld\n", ns_between(start, first_done), ns_between(first_done, second_done));
    return 0;
}
}  // namespace

int main(int argc, char** argv) { return tovzelt_probe::run_probe(argc, argv, time_first_calls); }
