// Free-form commands: exec_cmd_in_redis() and query_cmd_in_redis().
//
// The command text is never used as a format: it is split into words (see command_words.h) and
// the words are sent as they stand, so "SET k 50%" stores "50%".
#include <hiredis/hiredis.h>

#include <exception>

#include "command_words.h"
#include "redis_handles.h"
#include "tovzelt.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
ReplyPtr send_words(redisContext* connection, const std::vector<std::string>& words) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    argv.reserve(words.size());
    lengths.reserve(words.size());
    for (const auto& word : words) {
        argv.push_back(word.data());
        lengths.push_back(word.size());
    }
    return take_reply(
        redisCommandArgv(connection, static_cast<int>(argv.size()), argv.data(), lengths.data()));
}

// The words of `command`; logs and returns an empty list when it holds none.
std::vector<std::string> command_words_or_log(const char* function, const std::string& command) {
    std::vector<std::string> words = split_command_words(command);
    if (words.empty()) API_LOG(LOG_LEVEL_WARN, "%s: empty command, nothing sent", function);
    return words;
}
}  // namespace

int exec_cmd_in_redis(std::string command) {
    API_LOG(LOG_LEVEL_DEBUG, "exec_cmd_in_redis string: %s", command.c_str());
    try {
        const std::vector<std::string> words = command_words_or_log("exec_cmd_in_redis", command);
        if (words.empty()) return -1;
        PooledConnection connection(RedisConnectionPool::getInstance(), Borrow::kTimed);
        if (!connection) {
            API_LOG(LOG_LEVEL_WARN, "exec_cmd_in_redis: getConnection timeout/null");
            return -1;
        }
        send_words(connection.get(), words);
        return 0;
    } catch (const std::exception& e) {
        API_PRINTF(LOG_LEVEL_ERROR, "Error: exec_cmd_in_redis %s", e.what());
        return -1;
    }
}

std::string query_cmd_in_redis(std::string command) {
    std::string result;
    API_LOG(LOG_LEVEL_DEBUG, "query_cmd_in_redis string: %s", command.c_str());
    try {
        const std::vector<std::string> words = command_words_or_log("query_cmd_in_redis", command);
        if (words.empty()) return result;
        PooledConnection connection(RedisConnectionPool::getInstance(), Borrow::kTimed);
        if (!connection) {
            API_LOG(LOG_LEVEL_WARN, "query_cmd_in_redis: getConnection timeout/null");
            return result;
        }
        ReplyPtr reply = send_words(connection.get(), words);
        if (reply == nullptr) {
            API_PRINTF(LOG_LEVEL_ERROR, "Redis command failed: %s", connection.get()->errstr);
            return result;
        }
        if (reply->type == REDIS_REPLY_NIL) {
            API_PRINTF(LOG_LEVEL_DEBUG, "query_cmd_in_redis: %s - Key does not exist!",
                       command.c_str());
        } else if (reply->type == REDIS_REPLY_STRING) {
            result = reply->str != nullptr ? reply->str : "";
            API_PRINTF(LOG_LEVEL_DEBUG, "query_cmd_in_redis: %s - Key value: %s", command.c_str(),
                       result.c_str());
        } else {
            API_PRINTF(LOG_LEVEL_DEBUG, "Unexpected reply type for %s!", command.c_str());
        }
    } catch (const std::exception& e) {
        API_PRINTF(LOG_LEVEL_ERROR, "Error: query_cmd_in_redis %s", e.what());
    }
    return result;
}

}  // namespace Tovana::TovZelt
