#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "core/environment.hpp"
#include "parallel/quiet.hpp"

namespace karnoxel::parallel {
namespace {

// Chunks per worker a range is cut into: enough for the workers to even out
// queries of unequal cost, few enough that handing out a chunk (one atomic
// add) stays negligible next to the searches in it.
constexpr std::size_t CHUNKS_PER_WORKER = 8;

// One run_on_pool call. Lives on the calling thread's stack until `finished`.
struct Job {
    RangeTask task;
    std::size_t count;                 // indices [0, count)
    std::size_t chunk;                 // indices per chunk, at least 1
    std::atomic<std::size_t> next{0};  // first index of the next chunk to hand out
    std::atomic<bool> failed{false};   // a chunk threw: skip the rest
    std::exception_ptr error;          // the first exception; written only by the worker that set `failed`
    std::size_t workers = 0;           // workers inside the job; guarded by the pool's mutex
    bool finished = false;             // every chunk is done; guarded by the pool's mutex
    std::condition_variable done;      // signalled once, when `finished` becomes true
};

struct Pool {
    std::mutex mutex;                  // guards queue, stopping and every job's workers/finished
    std::condition_variable wake;      // work arrived, or stopping
    std::deque<Job*> queue;            // jobs that still have chunks to hand out, oldest first
    bool stopping = false;             // set only to dismiss a pool that lost the race to be installed
    std::vector<std::thread> threads;  // the workers; never more than MAX_WORKERS
};

// Takes chunks until none is left. Returns once this worker has seen the
// range exhausted, so no chunk it claimed is still running.
void run_chunks(Job& job) {
    for (;;) {
        const std::size_t begin = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
        if (begin >= job.count) return;
        if (job.failed.load(std::memory_order_relaxed)) continue;
        const std::size_t end = std::min(job.count, begin + job.chunk);
        try {
            job.task.run(job.task.context, begin, end);
        } catch (...) {
            if (!job.failed.exchange(true)) job.error = std::current_exception();
        }
    }
}

// The module's thread-local storage (the walks' working memory, among
// others) is given to a thread at its first use of any of it, and the C
// library ends the process if that allocation fails. A worker takes it when
// it starts, instead of inside its first job, which may run under a memory
// limit that a later caller set (and must then fail with MemoryError only).
void take_thread_storage() {
    // Computing the address is what allocates the storage; the empty asm
    // keeps the compiler from dropping that.
    thread_local char taken = 0;
    __asm__ volatile("" : : "r"(&taken) : "memory");
}

void work_loop(Pool* pool) {
    take_thread_storage();
    std::unique_lock lock(pool->mutex);
    for (;;) {
        pool->wake.wait(lock, [&] { return pool->stopping || !pool->queue.empty(); });
        if (pool->stopping) return;
        Job* job = pool->queue.front();
        ++job->workers;
        lock.unlock();
        run_chunks(*job);
        lock.lock();
        // The range is exhausted: no later worker may enter the job. Once the
        // last worker inside has left, every chunk is done.
        const auto queued = std::find(pool->queue.begin(), pool->queue.end(), job);
        if (queued != pool->queue.end()) pool->queue.erase(queued);
        if (--job->workers == 0) {
            job->finished = true;
            // Notified under the lock: the waiting caller cannot wake, return
            // and destroy the job before this call has finished with it.
            job->done.notify_one();
        }
    }
}

// Starts up to `count` workers and returns how many started. Workers block
// every signal, so signals keep going to the Python threads that handle them.
std::size_t start_workers(Pool& pool, std::size_t count) {
    const SignalsBlocked quiet;
    pool.threads.reserve(count);
    try {
        while (pool.threads.size() < count) {
            pool.threads.emplace_back(work_loop, &pool);
            pthread_setname_np(pool.threads.back().native_handle(), "karnoxel-pool");
        }
    } catch (const std::system_error&) {
        // The system refused another thread: work with those that started.
    }
    return pool.threads.size();
}

void stop_workers(Pool& pool) {
    {
        std::lock_guard lock(pool.mutex);
        pool.stopping = true;
    }
    pool.wake.notify_all();
    for (std::thread& thread : pool.threads) thread.join();
}

// The pool of this process, or null before first use. A pool is never freed
// while installed: calls in flight on other threads may be using it.
std::atomic<Pool*> current_pool{nullptr};

// In a child created by fork only the forking thread exists. The inherited
// pool's workers are gone and its mutex may have been held by one of them
// when the fork happened, so the child never touches it again (its memory is
// abandoned) and builds a new pool on first use.
void forget_pool_in_child() {
    current_pool.store(nullptr, std::memory_order_relaxed);
}

// Registered while the module loads, before any thread of ours exists.
[[maybe_unused]] const int FORK_HANDLER_REGISTERED = pthread_atfork(nullptr, nullptr, forget_pool_in_child);

Pool& acquire_pool() {
    Pool* installed = current_pool.load(std::memory_order_acquire);
    if (installed != nullptr) return *installed;
    auto fresh = std::make_unique<Pool>();
    start_workers(*fresh, configured_worker_count());
    if (current_pool.compare_exchange_strong(installed, fresh.get(), std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
        return *fresh.release();  // lives until the process ends
    }
    // Another thread installed its pool first: dismiss ours, use theirs.
    stop_workers(*fresh);
    return *installed;
}

std::size_t affinity_count() {
    struct FreeCpuSet {
        void operator()(cpu_set_t* set) const { CPU_FREE(set); }
    };
    // The mask may be larger than the default cpu_set_t on very large machines.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 18); cpus *= 2) {
        std::unique_ptr<cpu_set_t, FreeCpuSet> set(CPU_ALLOC(cpus));
        if (!set) break;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set.get());
        if (sched_getaffinity(0, size, set.get()) == 0) {
            const int count = CPU_COUNT_S(size, set.get());
            return count > 0 ? static_cast<std::size_t>(count) : 1;
        }
        if (errno != EINVAL) break;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

std::size_t configured_worker_count() {
    const std::optional<std::uint64_t> value = core::unsigned_setting("KARNOXEL_NUM_THREADS");
    if (value && *value >= 1 && *value <= MAX_WORKERS) return static_cast<std::size_t>(*value);
    return std::min(affinity_count(), MAX_WORKERS);
}

void run_on_pool(std::size_t count, RangeTask task) {
    if (count < 2) {
        if (count == 1) task.run(task.context, 0, 1);
        return;
    }
    Pool& pool = acquire_pool();
    const std::size_t workers = pool.threads.size();
    if (workers == 0) {  // no thread could be started: answer here
        task.run(task.context, 0, count);
        return;
    }
    Job job;
    job.task = task;
    job.count = count;
    job.chunk = std::max<std::size_t>(1, count / (workers * CHUNKS_PER_WORKER));
    {
        std::unique_lock lock(pool.mutex);
        pool.queue.push_back(&job);
        pool.wake.notify_all();
        job.done.wait(lock, [&] { return job.finished; });
    }
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace karnoxel::parallel
