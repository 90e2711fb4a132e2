#include "command_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "test_support.h"

namespace tovzelt_test {

CommandMonitor::CommandMonitor() {
    timeval tv{5, 0};
    context_ = redisConnectWithTimeout("127.0.0.1", 10240, tv);
    if (context_ == nullptr || context_->err != 0) {
        ADD_FAILURE() << "monitor connection failed";
        if (context_ != nullptr) redisFree(context_);
        context_ = nullptr;
        return;
    }
    redisSetTimeout(context_, tv);
    auto* reply = static_cast<redisReply*>(redisCommand(context_, "MONITOR"));
    const bool ok = reply != nullptr && reply->type == REDIS_REPLY_STATUS;
    if (reply != nullptr) freeReplyObject(reply);
    if (!ok) ADD_FAILURE() << "MONITOR refused";
}

CommandMonitor::~CommandMonitor() {
    if (context_ != nullptr) redisFree(context_);
}

Command CommandMonitor::parse_line(const std::string& line) {
    Command words;
    size_t i = line.find("] ");
    if (i == std::string::npos) return words;
    i += 2;
    while (i < line.size()) {
        if (line[i] != '"') {
            ++i;
            continue;
        }
        ++i;
        std::string word;
        while (i < line.size() && line[i] != '"') {
            char c = line[i++];
            if (c == '\\' && i < line.size()) {
                const char e = line[i++];
                switch (e) {
                    case 'n':
                        c = '\n';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'a':
                        c = '\a';
                        break;
                    case 'b':
                        c = '\b';
                        break;
                    case 'x':
                        c = static_cast<char>(std::strtol(line.substr(i, 2).c_str(), nullptr, 16));
                        i += 2;
                        break;
                    default:
                        c = e;
                        break;
                }
            }
            word.push_back(c);
        }
        ++i;  // the closing quote
        words.push_back(word);
    }
    return words;
}

std::vector<Command> CommandMonitor::commands_naming(const std::vector<std::string>& names) {
    std::vector<Command> found;
    if (context_ == nullptr) return found;
    const std::string marker = unique_name("monitor_marker");
    {
        RawRedis raw;
        raw.str({"ECHO", marker});
    }
    while (true) {
        void* raw_reply = nullptr;
        if (redisGetReply(context_, &raw_reply) != REDIS_OK || raw_reply == nullptr) {
            ADD_FAILURE() << "the monitor stopped before the end marker";
            return found;
        }
        auto* reply = static_cast<redisReply*>(raw_reply);
        const std::string line = reply->str != nullptr ? std::string(reply->str, reply->len) : "";
        freeReplyObject(reply);
        const Command words = parse_line(line);
        if (words.size() == 2 && words[0] == "ECHO" && words[1] == marker) return found;
        const bool naming =
            words.size() > 1 && std::any_of(words.begin() + 1, words.end(), [&](const auto& w) {
                return std::find(names.begin(), names.end(), w) != names.end();
            });
        if (naming) found.push_back(words);
    }
}

}  // namespace tovzelt_test
