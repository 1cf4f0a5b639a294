#include "parallel/page_filler.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <system_error>

#include "parallel/quiet.hpp"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older headers lack the name
#endif

namespace karnoxel::parallel {
namespace {

// Populated per call: small enough that the helper stays just ahead of a
// writer that starts at the front, large enough that calls cost nothing.
constexpr std::size_t STEP = std::size_t{4} << 20;

void populate(char* begin, char* end) {
    for (char* at = begin; at < end; at += STEP) {
        // Any failure (an old kernel, no memory left) ends the help: the
        // writer's own page faults then do what is left, as without it.
        if (::madvise(at, std::min<std::size_t>(STEP, static_cast<std::size_t>(end - at)), MADV_POPULATE_WRITE) != 0) {
            return;
        }
    }
}

}  // namespace

void PageFiller::start(void* begin, std::size_t bytes) {
    wait();
    if (bytes < MIN_BYTES) return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto from = reinterpret_cast<std::uintptr_t>(begin);
    const std::uintptr_t first = (from + page - 1) / page * page;
    const std::uintptr_t last = (from + bytes) / page * page;
    if (last <= first) return;
    char* const a = reinterpret_cast<char*>(first);
    char* const b = reinterpret_cast<char*>(last);
    const SignalsBlocked quiet;
    try {
        thread_ = std::thread(populate, a, b);
        pthread_setname_np(thread_.native_handle(), "karnoxel-pages");
    } catch (const std::system_error&) {
        // No thread to be had: the writer faults its pages in itself.
    }
}

void PageFiller::wait() noexcept {
    if (thread_.joinable()) thread_.join();
}

}  // namespace karnoxel::parallel
