#ifndef SERIVANE_PLATFORM_PROCESSOR_H_
#define SERIVANE_PLATFORM_PROCESSOR_H_

#include <string>

namespace serivane {

// The processor's brand string. On x86 it comes from the processor identification instruction:
// leaf 0x80000000 gives the highest extended leaf, and each of the leaves 0x80000002, 0x80000003
// and 0x80000004 that exists gives 16 characters; the text ends at the first NUL, or after the
// leaves that exist (fewer than three give a shorter text), and leading blanks are dropped.
// Elsewhere the "model name" (or "Hardware"/"Processor") line of /proc/cpuinfo, or "unknown
// processor" when none can be found.
std::string processorBrandString();

// The number of processors the system reports as online (at least 1).
int processorCount();

}  // namespace serivane

#endif  // SERIVANE_PLATFORM_PROCESSOR_H_
