#include <ctime>

#include "platform/cpu_clock.h"

namespace serivane {

double threadCpuSeconds() {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
  }
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace serivane
