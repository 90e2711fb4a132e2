// Fuzz target: the decoder of the listener's notifications (process_notification), fed with
// whatever a hiredis reader makes of arbitrary bytes, as the listener's connection would.
//
// Input: the first byte sets the size of the pieces the rest is fed in (1 to 16 bytes), so
// that replies split across reads are covered. Every reply the reader gives is handed to the
// decoder. Properties checked:
// - the callback runs exactly for arrays of four elements, once per such reply;
// - it receives the fourth element's text as the event, the first one's as the kind, and as
//   the key the third one's text after its last ':' (empty when it has none), each whole (zero
//   bytes included);
// - an empty callback and a null reply are ignored.
#include <hiredis/hiredis.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "listener.h"

// hiredis (0.14) allocates an array's element table as soon as it reads the array's declared
// size; a huge declared size must make that allocation fail (a protocol error for the reader)
// rather than end the run.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=256";
}

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}

std::string text_of(const redisReply* element) {
    if (element == nullptr || element->str == nullptr) return std::string();
    return std::string(element->str, element->len);
}

void decode(const redisReply* reply) {
    const bool pattern_message = reply->type == REDIS_REPLY_ARRAY && reply->elements == 4;
    std::string expected_key;
    if (pattern_message) {
        const std::string channel = text_of(reply->element[2]);
        const size_t colon = channel.rfind(':');
        if (colon != std::string::npos) expected_key = channel.substr(colon + 1);
    }
    int calls = 0;
    Tovana::TovZelt::process_notification(
        reply, "fuzz_1",
        [&](const std::string& event, const std::string& key, const std::string& kind) {
            ++calls;
            check(pattern_message);
            check(event == text_of(reply->element[3]));
            check(kind == text_of(reply->element[0]));
            check(key == expected_key);
            check(key.find(':') == std::string::npos);
        });
    check(calls == (pattern_message ? 1 : 0));
    Tovana::TovZelt::process_notification(reply, "fuzz_1", Tovana::TovZelt::ChangeCallback());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Tovana::TovZelt::process_notification(nullptr, "fuzz_1",
                                          [](auto&, auto&, auto&) { std::abort(); });
    if (size == 0) return 0;
    const size_t piece = (data[0] % 16) + 1;
    redisReader* reader = redisReaderCreate();
    check(reader != nullptr);
    bool failed = false;
    for (size_t at = 1; at < size && !failed; at += piece) {
        const size_t length = size - at < piece ? size - at : piece;
        if (redisReaderFeed(reader, reinterpret_cast<const char*>(data) + at, length) != REDIS_OK) {
            break;
        }
        while (true) {
            void* reply = nullptr;
            if (redisReaderGetReply(reader, &reply) != REDIS_OK) {
                failed = true;  // a protocol error: the listener's connection would be dropped
                break;
            }
            if (reply == nullptr) break;  // needs more bytes
            decode(static_cast<const redisReply*>(reply));
            freeReplyObject(reply);
        }
    }
    redisReaderFree(reader);
    return 0;
}
