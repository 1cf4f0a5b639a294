// Faults in fresh memory on a helper thread while the caller fills it.
//
// A load writes every row of a new store once, front to back, and for a
// large store about a third of that time went to the kernel: a page fault and
// a zeroed page for every 4 KiB first touched. A PageFiller asks the kernel
// to populate the pages ahead of the writer from a second thread
// (madvise MADV_POPULATE_WRITE), which leaves the contents of every page as
// they are: pages the caller has written meanwhile keep what it wrote.
#pragma once

#include <cstddef>
#include <thread>

namespace karnoxel::parallel {

class PageFiller {
public:
    PageFiller() = default;
    ~PageFiller() { wait(); }
    PageFiller(const PageFiller&) = delete;
    PageFiller& operator=(const PageFiller&) = delete;

    // Starts populating the whole pages inside [begin, begin + bytes), from
    // the front. Does nothing for a range under MIN_BYTES, when the system
    // refuses a thread, or where the kernel cannot populate (before Linux
    // 5.14); throws std::bad_alloc when the thread's own record cannot be
    // allocated. The range must stay mapped until wait() returns: the caller
    // waits before it may grow, move or free that memory.
    void start(void* begin, std::size_t bytes);

    // Returns once the helper, if any, has finished.
    void wait() noexcept;

    bool running() const { return thread_.joinable(); }

    static constexpr std::size_t MIN_BYTES = std::size_t{16} << 20;

private:
    std::thread thread_;
};

}  // namespace karnoxel::parallel
