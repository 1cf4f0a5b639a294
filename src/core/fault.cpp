// The allocation-failure hook of test builds: every operator new of this
// module (it is linked with -Bsymbolic, so its own calls bind here) and
// every growth of a PodBuffer counts down on the calling thread.
#include "core/fault.hpp"

#include <cstdlib>
#include <new>

namespace karnoxel::core::fault {
namespace {
thread_local long countdown = 0;
}

long arm(long n) {
    const long left = countdown;
    countdown = n;
    return left;
}

void on_allocation() {
    if (countdown > 0 && --countdown == 0) throw std::bad_alloc();
}

}  // namespace karnoxel::core::fault

void* operator new(std::size_t size) {
    karnoxel::core::fault::on_allocation();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
