// Reader-writer lock and scoped guards.
#pragma once

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

namespace karnoxel::storage {

// Many readers or one writer. Waiting writers go before new readers, so a
// steady stream of searches cannot starve an upsert. No caller ever takes a
// read lock it already holds, which writer preference would deadlock.
class RwLock {
public:
    RwLock() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
#if defined(__GLIBC__)
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
#endif
        check(pthread_rwlock_init(&lock_, &attr), "init");
        pthread_rwlockattr_destroy(&attr);
    }
    ~RwLock() {
        pthread_rwlock_destroy(&lock_);
    }
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    void lock_shared() {
        check(pthread_rwlock_rdlock(&lock_), "rdlock");
    }
    void unlock_shared() {
        check(pthread_rwlock_unlock(&lock_), "unlock");
    }
    void lock() {
        check(pthread_rwlock_wrlock(&lock_), "wrlock");
    }
    void unlock() {
        check(pthread_rwlock_unlock(&lock_), "unlock");
    }

private:
    static void check(int rc, const char* what) {
        if (rc != 0) {
            std::fprintf(stderr, "karnoxel: src/storage/rwlock: pthread_rwlock_%s failed (%d)\n", what, rc);
            std::abort();
        }
    }
    pthread_rwlock_t lock_;
};

class ReadGuard {
public:
    explicit ReadGuard(RwLock& lock) : lock_(lock) { lock_.lock_shared(); }
    ~ReadGuard() { lock_.unlock_shared(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    RwLock& lock_;
};

class WriteGuard {
public:
    explicit WriteGuard(RwLock& lock) : lock_(lock) { lock_.lock(); }
    ~WriteGuard() { lock_.unlock(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

private:
    RwLock& lock_;
};

}  // namespace karnoxel::storage
