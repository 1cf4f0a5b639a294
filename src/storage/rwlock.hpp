// Reader-writer lock, scoped guards, and the fork handling of store locks.
#pragma once

#include <pthread.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>

namespace karnoxel::storage {

// Many readers or one writer. Waiting writers go before new readers, so a
// steady stream of searches cannot starve an upsert. No caller ever takes a
// read lock it already holds, which writer preference would deadlock.
class RwLock {
public:
    // `spins`: whether taking the lock first tries for a while (for locks
    // held only briefly) before it sleeps.
    explicit RwLock(bool spins = true) : spins_(spins) { init(); }
    ~RwLock() { pthread_rwlock_destroy(&lock_); }
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    // Both first try for a short while before they sleep: the sections
    // these locks guard are short (an upsert's exclusive parts take
    // microseconds), and waking a sleeping thread costs more than that, on
    // every search that meets a writer.
    void lock_shared() {
        if (!spins_ || !spin([this] { return pthread_rwlock_tryrdlock(&lock_); })) {
            check(pthread_rwlock_rdlock(&lock_), "rdlock");
        }
    }
    void unlock_shared() { check(pthread_rwlock_unlock(&lock_), "unlock"); }
    void lock() {
        if (!spins_ || !spin([this] { return pthread_rwlock_trywrlock(&lock_); })) {
            check(pthread_rwlock_wrlock(&lock_), "wrlock");
        }
    }
    void unlock() { check(pthread_rwlock_unlock(&lock_), "unlock"); }

    // In a child process right after fork, which the parent's fork handler
    // made while holding this lock for writing: the child is the only
    // thread, so the lock is simply made anew (unlocking would check an
    // owner thread id that the child no longer has).
    void reset_in_child() { init(); }

private:
    void init() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
#if defined(__GLIBC__)
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
#endif
        check(pthread_rwlock_init(&lock_, &attr), "init");
        pthread_rwlockattr_destroy(&attr);
    }
    // Tries to take the lock for about 100 microseconds; true once taken.
    template <class Try>
    static bool spin(Try&& attempt) {
        for (int i = 0; i < 4096; ++i) {
            const int rc = attempt();
            if (rc == 0) return true;
            if (rc != EBUSY) check(rc, "trylock");
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        return false;
    }
    static void check(int rc, const char* what) {
        if (rc != 0) {
            std::fprintf(stderr, "karnoxel: src/storage/rwlock: pthread_rwlock_%s failed (%d)\n", what, rc);
            std::abort();
        }
    }
    pthread_rwlock_t lock_;
    bool spins_;
};

using ReadGuard = std::shared_lock<RwLock>;
using WriteGuard = std::unique_lock<RwLock>;

// Makes fork() safe for every store of the process. Each store registers its
// locks, in the order it takes them; a fork then waits until no thread is inside an operation on any
// store (it takes every store's locks for writing, in a fixed order), so the
// child inherits every store whole and unlocked, whatever the parent's other
// threads were doing. Operations never wait for the interpreter while they
// hold a store lock, so the forking thread (which holds it) cannot deadlock
// with them.
class ForkSafeLocks {
public:
    explicit ForkSafeLocks(std::array<RwLock*, 4> locks);
    ~ForkSafeLocks();
    ForkSafeLocks(const ForkSafeLocks&) = delete;
    ForkSafeLocks& operator=(const ForkSafeLocks&) = delete;

private:
    friend struct ForkHandlers;
    std::array<RwLock*, 4> locks_;  // in the order the store takes them
    ForkSafeLocks* prev_ = nullptr;  // registry neighbours, guarded by the registry mutex
    ForkSafeLocks* next_ = nullptr;
};

}  // namespace karnoxel::storage
