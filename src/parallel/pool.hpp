// The process-wide worker pool that answers the queries of batch searches.
//
// One pool per process, shared by every store, created on first use with one
// worker per processor in the process's affinity mask (KARNOXEL_NUM_THREADS
// overrides the count). Workers are long-lived threads, so anything a search
// keeps in thread_local storage (visited arrays, heaps) is per worker and
// reused across queries and batches. A child process created by fork starts
// without a pool and builds its own on first use.
//
// Workers never touch Python objects; the thread that hands work over only
// waits, and may do so with the interpreter lock released.
#pragma once

#include <cstddef>

namespace karnoxel::parallel {

// Work over a range of indices: run(context, begin, end) handles [begin, end).
struct RangeTask {
    void (*run)(void* context, std::size_t begin, std::size_t end);
    void* context;
};

// Handles every index of [0, count) exactly once and returns when all are
// done. Fewer than 2 indices run on the calling thread; otherwise the range is
// handed out in chunks to the pool's workers while the calling thread waits.
// If the task throws, the remaining chunks are skipped and the first
// exception is rethrown here; the pool stays usable.
void run_on_pool(std::size_t count, RangeTask task);

// Calls body(i) for every i in [0, count), spread over the pool as above.
template <class Body>
void parallel_for(std::size_t count, Body& body) {
    run_on_pool(count, RangeTask{[](void* context, std::size_t begin, std::size_t end) {
                                     Body& f = *static_cast<Body*>(context);
                                     for (std::size_t i = begin; i < end; ++i) f(i);
                                 },
                                 &body});
}

// The number of workers a new pool starts: KARNOXEL_NUM_THREADS when it holds
// an integer from 1 to MAX_WORKERS, otherwise the processors this process may
// run on (at least 1).
std::size_t configured_worker_count();

inline constexpr std::size_t MAX_WORKERS = 1024;

}  // namespace karnoxel::parallel
