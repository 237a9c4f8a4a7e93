// libFuzzer target: the counted layout of "OptionsData.txt" as the exported objectives read it,
// with the quote check they apply. Any text must give a consistent read (never more records than
// the count, complete() exactly when all announced records came), without crash or undefined
// behaviour.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "calibration/exports/export_args.h"
#include "calibration/quotes/counted_option_file.h"

using namespace serivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const CountedQuotes file = readCountedQuotes(in);
  if (file.countRead && file.count >= 0 &&
      file.quotes.size() > static_cast<std::size_t>(file.count)) {
    __builtin_trap();
  }
  if (!file.countRead && !file.quotes.empty()) __builtin_trap();
  for (const HestonQuote& q : file.quotes) {
    const std::string bad = checkExportArgs({{"marketIV", ArgKind::kMarketVol, q.marketIV},
                                             {"S", ArgKind::kSpot, q.S},
                                             {"K", ArgKind::kStrike, q.K},
                                             {"T", ArgKind::kMaturity, q.T},
                                             {"r", ArgKind::kRate, q.r},
                                             {"d", ArgKind::kRate, q.d}});
    (void)bad;
  }
  return 0;
}
