// libFuzzer target: the chain layout of "OptionsData.txt" read, sorted, de-duplicated and checked
// as the console program does it. Any text must end in a chain or in the documented exceptions of
// the spot line, never in a crash, a hang or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include "calibration/quotes/option_chain.h"

using namespace serivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  OptionChain chain;
  try {
    chain = readOptionChain(in);
  } catch (const std::invalid_argument&) {
    return 0;  // a spot line without a number, or with one run into other characters
  } catch (const std::out_of_range&) {
    return 0;  // a spot beyond the doubles
  }
  const int failed = prepareOptionChain(chain);
  if (failed < -1 || failed >= kCheckCount) __builtin_trap();
  return 0;
}
