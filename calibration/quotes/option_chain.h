#ifndef SERIVANE_CALIBRATION_QUOTES_OPTION_CHAIN_H_
#define SERIVANE_CALIBRATION_QUOTES_OPTION_CHAIN_H_

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace serivane {

// The market option chain of "OptionsData.txt" in its chain layout:
//   line 1   a heading (ignored)
//   line 2   the spot, the number at the start of the line (text after it and white space is
//            ignored)
//   line 3   a column heading (ignored)
//   then     five numbers per quote, separated by any white space: market implied volatility,
//            strike, expiration in days, interest rate, dividend yield
// The console program and the calibration model function both read it with readOptionChain.

// One quote of the chain.
struct OptionQuote {
  std::int32_t index;     // reading order, 0 for the first quote read
  double marketIV;        // market implied volatility (fraction)
  double spot;            // asset spot, the same for every quote of one file
  double strike;          // strike
  double expirationDays;  // time to expiration in days (T = expirationDays / 365.0)
  double rate;            // continuously compounded interest rate (fraction)
  double dividendYield;   // continuous dividend yield (fraction)
  std::int32_t putFlag;   // 1 when spot > strike (taken as a put), else 0 (a call)
};

// How the reading of the quotes ended.
enum class ChainReadEnd {
  kEndOfFile,   // the file ended between two quotes
  kUnreadable,  // text that is no number, or the file ended inside a quote: reading stopped there
};

// What readOptionChain gives back.
struct OptionChain {
  bool opened = false;              // the file could be opened
  double spot = 0.0;                // the spot of line 2
  std::vector<OptionQuote> quotes;  // the quotes in reading order
  ChainReadEnd end = ChainReadEnd::kEndOfFile;
};

// Reads the chain at `path`. A file that cannot be opened gives opened = false and nothing else.
// A spot line that holds no number, or whose number runs straight into other characters
// ("100,5"), throws std::invalid_argument "invalid stod argument"; a number out of the double
// range throws std::out_of_range "stod argument out of range" (the console prints them). A record
// is taken only when all five of its numbers were read.
OptionChain readOptionChain(const std::string& path);
// The same from an open stream (opened is set).
OptionChain readOptionChain(std::istream& in);

// The spot conversion of line 2: leading blanks skipped, the decimal number at the start of the
// text converted; it must end the text or be followed by white space, after which the rest is
// ignored. Throws as readOptionChain says.
double stodSpot(const std::string& text);

// Same expiration, strike and market implied volatility (exact comparisons, in that order).
bool sameQuote(const OptionQuote& a, const OptionQuote& b);
// Same expiration and strike.
bool sameStrikeExpiration(const OptionQuote& a, const OptionQuote& b);

// Sorts ascending by expiration, equal expirations ascending by strike (stable, so that
// de-duplication keeps the first-read of equal quotes).
void sortQuotes(std::vector<OptionQuote>& quotes);
// Removes consecutive quotes for which `same(previous kept, next)` holds, keeping the first of
// each run.
void removeRepeats(std::vector<OptionQuote>& quotes,
                   bool (*same)(const OptionQuote&, const OptionQuote&));

// The sane ranges of checks 16 and 17. A market implied volatility is a fraction in (0, 5]: 500%
// a year is far beyond any listed option, and above it the Black-Scholes-Merton price is so flat
// in the volatility that no model volatility can be fitted to it (a quote of 1e10 made the fit run
// for minutes to an RMSE of 1e8). The spot is a price of a real asset, from a fraction of a cent
// to a billion: [1e-6, 1e9]; checks 10 and 11 keep every strike within [0.2, 3] x spot. The
// pricing is free of the price scale well inside this range, but near 1e+-150 the squares of the
// prices leave the double range and every model volatility comes out 0.
constexpr double kMaxMarketIV = 5.0;
constexpr double kMinSpot = 1e-6;
constexpr double kMaxSpot = 1e9;

// The number of input checks (0 .. kCheckCount - 1).
constexpr int kCheckCount = 18;

// The messages of the input checks, by check number 0 .. 17 (checks 7 and 8 share the bucket
// scan; kCheckMessages[7] is the "either side" message, kCheckMessages[8] the price floor).
extern const char* const kCheckMessages[kCheckCount];

// Sorts and de-duplicates `chain.quotes` in place and runs the checks in their order
// (0: file opened, then the quote checks 1 .. 6, 16, 7 .. 15, 17: the market volatility range is
// checked before the bucket scan prices the quotes). Returns the number of the first check that
// fails, or -1 when all pass; `chain.quotes` then holds the n prepared quotes.
int prepareOptionChain(OptionChain& chain);

// The checks alone on sorted quotes free of repeats; nDistinct is the count after the first
// de-duplication pass. Returns the first failing check number (1 .. 17, in the order above) or -1.
int checkOptionChain(const std::vector<OptionQuote>& quotes, std::size_t nDistinct, double spot);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_QUOTES_OPTION_CHAIN_H_
