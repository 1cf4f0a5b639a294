// Allocation failures on demand, for tests of what a failed allocation
// leaves behind. Compiled in only with the CMake option
// KARNOXEL_FAULT_INJECTION; otherwise every hook is empty.
#pragma once

namespace karnoxel::core::fault {

#if defined(KARNOXEL_FAULT_INJECTION)
// Makes the n-th allocation from now on the calling thread fail with
// std::bad_alloc (n = 0: none); returns the countdown that was left, so 0
// after an armed countdown means the failure happened.
long arm(long n);
// Counts one allocation; throws std::bad_alloc when the countdown ends.
void on_allocation();
#else
inline void on_allocation() {}
#endif

}  // namespace karnoxel::core::fault
