#ifndef SERIVANE_PLATFORM_CPU_CLOCK_H_
#define SERIVANE_PLATFORM_CPU_CLOCK_H_

namespace serivane {

// CPU seconds used so far by the calling thread. The solvers report their own CPU time with it:
// many solves run at once on the calibration's worker threads, and each must count only its own
// work, not that of the whole process.
double threadCpuSeconds();

}  // namespace serivane

#endif  // SERIVANE_PLATFORM_CPU_CLOCK_H_
