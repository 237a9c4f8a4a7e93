#include <cstdlib>  // defines __GLIBC__ on glibc systems

#include "platform/heap_reuse.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace serivane {

void keepHeapForReuse() {
#if defined(__GLIBC__)
  // Fixed thresholds also switch off glibc's own adjustment of them, which would otherwise hand
  // the first large block of every size back to the system.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kHeapReuseBlockBytes));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(kHeapReuseTrimBytes));
#endif
}

}  // namespace serivane
