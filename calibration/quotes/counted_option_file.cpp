#include "calibration/quotes/counted_option_file.h"

#include <cmath>
#include <fstream>
#include <limits>

namespace serivane {

namespace {

// A 32-bit signed integer by formatted extraction; a value outside that range fails the stream
// (the count and the flags are 32-bit in the file's format, whatever the width of long here).
bool readInt32(std::istream& in, long& value) {
  if (!(in >> value)) return false;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    in.setstate(std::ios::failbit);
    return false;
  }
  return true;
}

}  // namespace

CountedQuotes readCountedQuotes(std::istream& in) {
  CountedQuotes result;
  result.opened = true;
  result.countRead = readInt32(in, result.count);
  if (!result.countRead) return result;
  // No reservation by N: a huge count over a short file must not allocate for it.
  for (long i = 0; i < result.count; ++i) {
    HestonQuote q;
    long callPut = 0;
    long euroAmer = 0;
    if (!(in >> q.marketIV >> q.S >> q.K >> q.T >> q.r >> q.d)) break;
    if (!readInt32(in, callPut) || !readInt32(in, euroAmer)) break;
    q.CallPut = static_cast<std::int32_t>(callPut);
    q.EuroAmer = static_cast<std::int32_t>(euroAmer);
    result.quotes.push_back(q);
  }
  return result;
}

CountedQuotes readCountedOptionFile(const std::string& path) {
  std::ifstream in(path);
  if (!in.good()) return CountedQuotes{};
  return readCountedQuotes(in);
}

void writeObjectiveRecord(std::ostream& os, const ObjectiveRecord& rec) {
  os.precision(15);
  os << "Objective function:" << '\t' << 10000.0 * rec.meanSquaredError << '\t'
     << std::sqrt(rec.meanSquaredError) << '\t' << "v0: " << rec.v0 << '\t' << "vL: " << rec.vL
     << '\t' << "theta: " << rec.theta << '\t' << "volvol: " << rec.volvol << '\t'
     << "rho: " << rec.rho << '\t';
  if (rec.hasCpuTime) os << "CPU Time: " << rec.cpuSeconds << '\t';
  os << "\n";
}

}  // namespace serivane
