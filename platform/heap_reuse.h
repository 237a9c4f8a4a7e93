#ifndef SERIVANE_PLATFORM_HEAP_REUSE_H_
#define SERIVANE_PLATFORM_HEAP_REUSE_H_

namespace serivane {

// Asks the C library's allocator to keep freed memory for the next allocation of the same thread
// instead of handing it back to the system: blocks up to kHeapReuseBlockBytes come from the
// thread's heap, and a heap is only trimmed once more than kHeapReuseTrimBytes lie free at its
// top. Each solve of a calibration allocates and frees the same arrays again; kept, their pages
// are neither faulted in and zeroed by the system anew nor released with a flush of every
// core's address translations. Process-wide, so only the console program calls it (a host that
// loads the module keeps its own allocator settings). Where the allocator takes no such
// settings, nothing happens.
void keepHeapForReuse();

// Larger than every grid array of a calibration solve (400 x 180 doubles in the dense mode are
// 0.6 MB), and within what the allocator accepts on 32-bit systems.
inline constexpr long kHeapReuseBlockBytes = 16L * 1024 * 1024;
inline constexpr long kHeapReuseTrimBytes = 128L * 1024 * 1024;

}  // namespace serivane

#endif  // SERIVANE_PLATFORM_HEAP_REUSE_H_
