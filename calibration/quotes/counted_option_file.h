#ifndef SERIVANE_CALIBRATION_QUOTES_COUNTED_OPTION_FILE_H_
#define SERIVANE_CALIBRATION_QUOTES_COUNTED_OPTION_FILE_H_

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace serivane {

// The counted layout of "OptionsData.txt" read by the exported calibration objectives, and the
// `ObjectiveRecord` line they append to "Results.txt".
//
// Counted layout: whitespace-separated numbers read by formatted extraction (line breaks carry no
// meaning): the count N, then N records of eight fields: market implied volatility, S, K, T in
// years, r, d, CallPut (0 call, 1 put), EuroAmer (0 European, 1 American, 2 Bermudan). Nothing in
// the file tells it apart from the chain layout of the console program: a chain file is read with
// its first number as N.

inline constexpr char kOptionsDataName[] = "OptionsData.txt";
inline constexpr char kResultsName[] = "Results.txt";
// The most quotes one evaluation of a host objective prices from "OptionsData.txt" (the analytic
// and the PDE objectives alike): a count above it is refused.
inline constexpr long kMaxCountedQuotes = 10000;

// One quote of the counted layout.
struct HestonQuote {
  double marketIV = 0.0;
  double S = 0.0;
  double K = 0.0;
  double T = 0.0;  // years
  double r = 0.0;
  double d = 0.0;
  std::int32_t CallPut = 0;
  std::int32_t EuroAmer = 0;
};

// What a read of the counted layout gave.
struct CountedQuotes {
  bool opened = false;              // the file could be opened for input
  bool countRead = false;           // the count N could be extracted (as a 32-bit signed integer)
  long count = 0;                   // N as read
  std::vector<HestonQuote> quotes;  // the records read whole, in reading order

  // The records read are exactly the N announced: a negative N, an unreadable N, a short file or
  // a field that is not a number all fail this test.
  bool complete() const {
    return opened && countRead && count >= 0 && quotes.size() == static_cast<std::size_t>(count);
  }
};

// Reads N and then up to N records from `in`; reading stops at the first record whose eight
// fields cannot all be extracted. The integer fields (N, CallPut, EuroAmer) are 32-bit signed:
// a value outside that range counts as not extracted.
CountedQuotes readCountedQuotes(std::istream& in);

// The same from the file at `path`; `opened` is false when the file cannot be opened (nothing
// else is read then).
CountedQuotes readCountedOptionFile(const std::string& path);

// One evaluation of a calibration objective: the mean squared implied-volatility error and the
// parameters it was evaluated at.
struct ObjectiveRecord {
  double meanSquaredError = 0.0;
  double v0 = 0.0;
  double vL = 0.0;
  double theta = 0.0;  // mean-reversion speed
  double volvol = 0.0;
  double rho = 0.0;
  bool hasCpuTime = false;  // the PDE objectives add the seconds of their pricing loop
  double cpuSeconds = 0.0;
};

// Writes one line at stream precision 15, fields separated by one TAB:
// "Objective function:" TAB 10000 x mean TAB sqrt(mean) TAB "v0: " v0 TAB "vL: " vL TAB
// "theta: " theta TAB "volvol: " volvol TAB "rho: " rho TAB [ "CPU Time: " seconds TAB ] "\n".
void writeObjectiveRecord(std::ostream& os, const ObjectiveRecord& rec);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_QUOTES_COUNTED_OPTION_FILE_H_
