// RedisConnectionPool: the process-wide pool of synchronous connections to the local store.
//
// Every short command of the library runs on a connection borrowed here and given back right
// after its reply has been read. A connection is checked with PING when it is taken and when it
// is given back; one that fails is freed. The pool opens 200 connections when it is created and
// never holds more than 300 (a few more while several threads connect at once).
//
// Thread safety: every operation may be called from any thread at any time. `mutex_` guards
// `idle_` and `total_`; `scrub_mutex_` is only try-locked and is taken before `mutex_`.
//
// Ownership: the pool owns its idle connections. A borrowed connection belongs to the borrower
// until it is passed to returnConnection(), which must happen on every path.
//
// Lifetime: the single instance is built on the first getInstance() and is never freed; at
// process exit (or library unload) it is stopped and its idle connections are closed, so that
// threads still running at that point see a stopped pool rather than freed memory.
#ifndef TOVZELT_CONNECTION_POOL_H
#define TOVZELT_CONNECTION_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <queue>
#include <string>

#include "tovzelt/export.h"

namespace Tovana::TovZelt {

// Milliseconds of the steady clock since its epoch.
TOVZELT_API int64_t now_ms();

// Closes `context` if it is not null and sets the caller's variable to null.
TOVZELT_API void free_redis_context(redisContext*& context);

class TOVZELT_API RedisConnectionPool {
public:
    // The single pool of the process, built on first use. Throws std::runtime_error("Redis
    // connection error: cannot allocate redis context") when the 200 first connections cannot
    // be opened; the next call then tries again.
    static RedisConnectionPool& getInstance();

    RedisConnectionPool(const RedisConnectionPool&) = delete;
    RedisConnectionPool& operator=(const RedisConnectionPool&) = delete;

    // An idle connection that answers PING, or a new one below capacity; otherwise waits up to
    // 500 ms for one to come back. Null when none came, or at once where it would wait in a
    // stopped pool.
    redisContext* getConnection();

    // Like getConnection(), but waits for as long as lent connections can come back. When no
    // connection can be opened and nothing is lent out, it retries the connect whenever woken
    // (at least every `kBlockingRetryMs`) and gives up with null after `kBlockingGiveUpMs`.
    // Only the first failed connect of a wait is logged as a failure; its retries are traces,
    // so that an outage does not flood the system log. Null at once when the pool is stopped.
    redisContext* getConnectionBlocking();

    // Gives a borrowed connection back: kept when it answers PING, freed otherwise. Null is
    // ignored. A stopped pool frees whatever it is given.
    void returnConnection(redisContext* connection);

    // Frees idle connections down to `keep`, then opens new ones up to `keep` while below
    // capacity. Lent connections are not touched.
    void reset_idle(size_t keep);

    // Checks every idle connection, frees the broken ones, then tops the idle set up to
    // `target`. Returns the number of broken connections freed.
    size_t scrub_idle_and_refill(size_t target);

    // Counts one call; every `every`-th call scrubs (refilling to `refill_target`) unless the
    // last scrub began less than `min_interval_ms` ago or another thread is scrubbing.
    void tick_maybe_scrub(unsigned every, size_t refill_target, int min_interval_ms);

    // Stops the pool for good: waiters are woken and return null, given-back connections are
    // freed.
    void stop();

    size_t capacity() const;
    size_t size() const;
    size_t idleCount() const;
    size_t inUse() const;
    bool isFull() const;

    // Bounds of getConnectionBlocking() when no connection can be opened or come back.
    static constexpr int kBlockingRetryMs = 100;
    static constexpr int kBlockingGiveUpMs = 3000;

private:
    RedisConnectionPool();
    ~RedisConnectionPool();
    void shutdown();  // the end-of-process teardown: stop, wake everyone, free the idle set

    redisContext* createOne(bool retry = false);
    bool healthy(redisContext* connection);
    bool check_outside_lock(redisContext* connection, std::unique_lock<std::mutex>& lock);
    redisContext* try_take_locked(std::unique_lock<std::mutex>& lock);
    redisContext* connect_counted(std::unique_lock<std::mutex>& lock, bool retry = false);
    void free_counted(redisContext* connection, std::unique_lock<std::mutex>& lock);
    size_t in_use_locked() const;

    const std::string host_ = "127.0.0.1";
    const int32_t port_ = 10240;
    const size_t capacity_ = 300;
    const int32_t connect_timeout_ms_ = 3000;
    const int32_t command_timeout_ms_ = 1000;
    const int32_t wait_timeout_ms_ = 500;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::queue<redisContext*> idle_;  // guarded by mutex_
    size_t total_ = 0;                // guarded by mutex_
    std::atomic<bool> stopped_{false};
    std::atomic<uint64_t> op_counter_{0};
    std::atomic<int64_t> last_scrub_ms_{0};
    std::mutex scrub_mutex_;
};

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_CONNECTION_POOL_H
