#include <unistd.h>

#include <cstring>
#include <fstream>

#include "platform/processor.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace serivane {

namespace {

// The value of the first /proc/cpuinfo line whose label is one of the usual names for the
// processor model; "" when there is none.
std::string cpuinfoModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  for (const char* label : {"model name", "Hardware", "Processor", "cpu model"}) {
    in.clear();
    in.seekg(0);
    while (std::getline(in, line)) {
      if (line.compare(0, std::strlen(label), label) != 0) continue;
      const std::string::size_type colon = line.find(':');
      if (colon == std::string::npos) continue;
      const std::string::size_type start = line.find_first_not_of(" \t", colon + 1);
      if (start != std::string::npos) return line.substr(start);
    }
  }
  return std::string();
}

}  // namespace

std::string processorBrandString() {
  std::string brand;
#if defined(__x86_64__) || defined(__i386__)
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  const unsigned int highest = __get_cpuid_max(0x80000000u, nullptr);
  char text[49] = {0};
  int filled = 0;
  for (unsigned int leaf = 0x80000002u; leaf <= 0x80000004u && leaf <= highest; ++leaf) {
    __cpuid(leaf, eax, ebx, ecx, edx);
    const unsigned int regs[4] = {eax, ebx, ecx, edx};
    std::memcpy(text + filled, regs, sizeof regs);
    filled += 16;
  }
  brand.assign(text, strnlen(text, sizeof text - 1));
#endif
  const std::string::size_type start = brand.find_first_not_of(' ');
  brand = start == std::string::npos ? std::string() : brand.substr(start);
  if (brand.empty()) brand = cpuinfoModel();
  if (brand.empty()) brand = "unknown processor";
  return brand;
}

int processorCount() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace serivane
