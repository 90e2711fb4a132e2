// The process-wide pool of pooled connections.
#include "tovzelt/connection_pool.h"

#include <hiredis/hiredis.h>
#include <strings.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "redis_handles.h"
#include "zelt_log.h"

namespace Tovana::TovZelt {

namespace {
constexpr size_t kInitialConnections = 200;

timeval to_timeval(int32_t ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

bool is_pong(const redisReply* reply) {
    if (reply == nullptr) return false;
    if (reply->type != REDIS_REPLY_STATUS && reply->type != REDIS_REPLY_STRING) return false;
    return reply->str != nullptr && strcasecmp(reply->str, "PONG") == 0;
}
}  // namespace

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void free_redis_context(redisContext*& context) {
    if (context != nullptr) {
        redisFree(context);
        context = nullptr;
    }
}

RedisConnectionPool& RedisConnectionPool::getInstance() {
    // Never freed: threads that outlive the end of the process's static objects must find a
    // stopped pool, not freed memory. The end-of-process teardown is registered once the pool
    // exists (a construction that throws leaves nothing behind and is tried again next time).
    static RedisConnectionPool* const instance = [] {
        auto* pool = new RedisConnectionPool();
        std::atexit([] { getInstance().shutdown(); });
        return pool;
    }();
    return *instance;
}

RedisConnectionPool::RedisConnectionPool() {
    const size_t initial = kInitialConnections < capacity_ ? kInitialConnections : capacity_;
    for (size_t i = 0; i < initial; ++i) {
        redisContext* connection = createOne();
        if (connection == nullptr) {
            while (!idle_.empty()) {
                redisFree(idle_.front());
                idle_.pop();
            }
            total_ = 0;
            throw std::runtime_error("Redis connection error: cannot allocate redis context");
        }
        idle_.push(connection);
        ++total_;
    }
}

RedisConnectionPool::~RedisConnectionPool() { shutdown(); }

void RedisConnectionPool::shutdown() {
    stopped_.store(true);
    cv_.notify_all();
    std::lock_guard<std::mutex> lock(mutex_);
    while (!idle_.empty()) {
        redisContext* connection = idle_.front();
        idle_.pop();
        if (connection != nullptr) redisFree(connection);
        if (total_ > 0) --total_;
    }
}

// A failed retry (a connect repeated while waiting, after a first one failed) is logged as a
// trace: the first failure already said what is wrong.
redisContext* RedisConnectionPool::createOne(bool retry) {
    const int failure_level = retry ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERROR;
    redisContext* connection =
        redisConnectWithTimeout(host_.c_str(), port_, to_timeval(connect_timeout_ms_));
    if (connection == nullptr) {
        CORE_LOG(failure_level, "redisConnectWithTimeout failed: no context");
        return nullptr;
    }
    if (connection->err != 0) {
        CORE_LOG(failure_level, "redisConnectWithTimeout err: %s", connection->errstr);
        redisFree(connection);
        return nullptr;
    }
    redisSetTimeout(connection, to_timeval(command_timeout_ms_));
    return connection;
}

bool RedisConnectionPool::healthy(redisContext* connection) {
    if (connection == nullptr || connection->err != 0) return false;
    ReplyPtr reply = take_reply(redisCommand(connection, "PING"));
    return is_pong(reply.get());
}

// Frees a connection without the lock held and counts it out.
void RedisConnectionPool::free_counted(redisContext* connection,
                                       std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    redisFree(connection);
    lock.lock();
    if (total_ > 0) --total_;
}

// PINGs a connection the caller has taken out of idle_ (so it is the caller's alone) without
// the lock held, so that other borrowers and give-backs do not queue behind the round trip. A
// connection that does not answer is freed and counted out. True when it answered.
bool RedisConnectionPool::check_outside_lock(redisContext* connection,
                                             std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    const bool ok = healthy(connection);
    if (!ok) redisFree(connection);
    lock.lock();
    if (!ok && total_ > 0) --total_;
    return ok;
}

redisContext* RedisConnectionPool::try_take_locked(std::unique_lock<std::mutex>& lock) {
    while (!idle_.empty()) {
        redisContext* connection = idle_.front();
        idle_.pop();
        if (connection != nullptr && check_outside_lock(connection, lock)) return connection;
    }
    return nullptr;
}

// Opens one connection below capacity, without the lock held; null when at capacity or when
// the connect failed.
redisContext* RedisConnectionPool::connect_counted(std::unique_lock<std::mutex>& lock, bool retry) {
    if (total_ >= capacity_) return nullptr;
    lock.unlock();
    redisContext* connection = createOne(retry);
    lock.lock();
    if (connection != nullptr) ++total_;
    return connection;
}

redisContext* RedisConnectionPool::getConnection() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (redisContext* connection = try_take_locked(lock)) return connection;
    if (redisContext* connection = connect_counted(lock)) return connection;

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_timeout_ms_);
    while (true) {
        if (!cv_.wait_until(lock, deadline, [this] { return stopped_.load() || !idle_.empty(); }))
            return nullptr;
        if (stopped_.load()) return nullptr;
        if (redisContext* connection = try_take_locked(lock)) return connection;
    }
}

redisContext* RedisConnectionPool::getConnectionBlocking() {
    std::unique_lock<std::mutex> lock(mutex_);
    // Set once a connect has failed while nothing was lent out: from then on nothing may ever
    // come back, so the wait is bounded and the connect is retried whenever woken.
    int64_t give_up_at = 0;
    while (true) {
        if (stopped_.load()) return nullptr;
        if (redisContext* connection = try_take_locked(lock)) return connection;
        const bool below_capacity = total_ < capacity_;
        if (redisContext* connection = connect_counted(lock, give_up_at != 0)) return connection;

        if (!below_capacity && in_use_locked() > 0 && give_up_at == 0) {
            // Every connection is lent out: one of them comes back sooner or later.
            cv_.wait(lock,
                     [this] { return stopped_.load() || !idle_.empty() || total_ < capacity_; });
            continue;
        }
        const int64_t now = now_ms();
        if (give_up_at == 0) give_up_at = now + kBlockingGiveUpMs;
        if (now >= give_up_at) return nullptr;
        cv_.wait_for(lock, std::chrono::milliseconds(kBlockingRetryMs),
                     [this] { return stopped_.load() || !idle_.empty(); });
    }
}

void RedisConnectionPool::returnConnection(redisContext* connection) {
    if (connection == nullptr) return;
    // Until it is back in idle_ the connection is the caller's: the PING runs without the lock.
    const bool ok = !stopped_.load() && healthy(connection);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopped_.load()) {
        lock.unlock();
        redisFree(connection);
        return;
    }
    if (ok) {
        idle_.push(connection);
    } else {
        free_counted(connection, lock);
    }
    lock.unlock();
    cv_.notify_one();
}

void RedisConnectionPool::reset_idle(size_t keep) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (idle_.size() > keep) {
        redisContext* connection = idle_.front();
        idle_.pop();
        if (connection == nullptr) continue;
        free_counted(connection, lock);
    }
    while (idle_.size() < keep) {
        redisContext* connection = connect_counted(lock);
        if (connection == nullptr) break;
        idle_.push(connection);
    }
    lock.unlock();
    cv_.notify_all();
}

size_t RedisConnectionPool::scrub_idle_and_refill(size_t target) {
    std::unique_lock<std::mutex> lock(mutex_);
    const size_t idle_before = idle_.size();
    size_t bad = 0;
    std::queue<redisContext*> kept;
    while (!idle_.empty()) {
        redisContext* connection = idle_.front();
        idle_.pop();
        if (connection == nullptr) continue;
        if (check_outside_lock(connection, lock)) {
            kept.push(connection);
        } else {
            ++bad;
        }
    }
    idle_.swap(kept);
    while (target != 0 && idle_.size() < target) {
        redisContext* connection = connect_counted(lock);
        if (connection == nullptr) break;
        idle_.push(connection);
    }
    cv_.notify_all();
    CORE_LOG(LOG_LEVEL_DEBUG,
             "scrub_idle: idle_before=%zu, bad=%zu, idle_after=%zu, in_use=%zu, size=%zu, cap=%zu",
             idle_before, bad, idle_.size(), in_use_locked(), total_, capacity_);
    return bad;
}

void RedisConnectionPool::tick_maybe_scrub(unsigned every, size_t refill_target,
                                           int min_interval_ms) {
    if (every == 0) return;
    const uint64_t n = op_counter_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n % every != 0) return;
    const int64_t now = now_ms();
    if (now - last_scrub_ms_.load(std::memory_order_relaxed) < min_interval_ms) return;
    std::unique_lock<std::mutex> scrub_lock(scrub_mutex_, std::try_to_lock);
    if (!scrub_lock.owns_lock()) return;
    if (now - last_scrub_ms_.load(std::memory_order_relaxed) < min_interval_ms) return;
    scrub_idle_and_refill(refill_target);
    last_scrub_ms_.store(now, std::memory_order_relaxed);
}

void RedisConnectionPool::stop() {
    stopped_.store(true);
    cv_.notify_all();
}

size_t RedisConnectionPool::capacity() const { return capacity_; }

size_t RedisConnectionPool::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
}

size_t RedisConnectionPool::idleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return idle_.size();
}

size_t RedisConnectionPool::in_use_locked() const {
    return total_ > idle_.size() ? total_ - idle_.size() : 0;
}

size_t RedisConnectionPool::inUse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_use_locked();
}

bool RedisConnectionPool::isFull() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_use_locked() >= capacity_;
}

}  // namespace Tovana::TovZelt
