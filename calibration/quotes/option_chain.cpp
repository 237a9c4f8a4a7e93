#include "calibration/quotes/option_chain.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "core/black_scholes.h"

namespace serivane {

const char* const kCheckMessages[kCheckCount] = {
    "The 'OptionsData.txt' file was not found.\n",
    "The input file should contain only one option for every (strike,expiration) point.\n",
    "The maximum number of options to be inlcuded in the calibration is 1000.\n",
    "The minimum number of options to be inlcuded in the calibration is 20. \n",
    "The input file should contain options of at least two different expirations.\n",
    "The longest option expiration allowed is 5Y.\n",
    "The shortest option expiration allowed is 1D.\n",
    "The input file should contain at least 2 options either side of the asset spot in each "
    "expiration bucket.\n",
    "The minimum (market) option price allowed is 0.001% of the asset spot.\n",
    "The input file should contain at least 2 calls and 2 puts in each expiration bucket.\n",
    "The smaller strike in the input file shouldn't be less than 20% of the asset spot.\n",
    "The largest strike in the input file shouldn't be more than 3 x asset spot.\n",
    "The maximum interest rate allowed is 20%.\n",
    "The maximum dividend yield allowed is 30%.\n",
    "The minimum interest rate allowed is -1%.\n",
    "The minimum dividend yield allowed is -20%.\n",
    "The (market) implied volatilities should be more than 0% and at most 500%.\n",
    "The asset spot should be between 0.000001 and 1,000,000,000.\n",
};

double stodSpot(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  if (end == begin) throw std::invalid_argument("invalid stod argument");
  if (errno == ERANGE) throw std::out_of_range("stod argument out of range");
  // A label may follow the number after white space ("100<TAB>spot"), but a number run straight
  // into other characters ("100,5", "100abc") is no spot: taking its first digits would calibrate
  // to a wrong spot without a word.
  if (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end))) {
    throw std::invalid_argument("invalid stod argument");
  }
  return value;
}

OptionChain readOptionChain(const std::string& path) {
  OptionChain chain;
  // Opened for reading only: nothing is ever written to the chain, and a read-only file must
  // still be readable.
  std::ifstream in(path);
  if (!in.is_open()) return chain;
  return readOptionChain(in);
}

OptionChain readOptionChain(std::istream& in) {
  OptionChain chain;
  chain.opened = true;

  std::string line;
  std::getline(in, line);  // heading
  std::string spotLine;
  std::getline(in, spotLine);
  chain.spot = stodSpot(spotLine);
  std::getline(in, line);  // column heading

  for (;;) {
    double values[5];
    int read = 0;
    while (read < 5 && (in >> values[read])) ++read;
    if (read == 5) {
      OptionQuote q;
      q.index = static_cast<std::int32_t>(chain.quotes.size());
      q.marketIV = values[0];
      q.spot = chain.spot;
      q.strike = values[1];
      q.expirationDays = values[2];
      q.rate = values[3];
      q.dividendYield = values[4];
      q.putFlag = chain.spot > q.strike ? 1 : 0;
      chain.quotes.push_back(q);
      continue;
    }
    // The end of the file before the first number of a record is the normal end; anything else
    // (text that is no number, a record cut short) stops the reading where it is.
    chain.end = (read == 0 && in.eof()) ? ChainReadEnd::kEndOfFile : ChainReadEnd::kUnreadable;
    break;
  }
  return chain;
}

bool sameQuote(const OptionQuote& a, const OptionQuote& b) {
  return a.expirationDays == b.expirationDays && a.strike == b.strike && a.marketIV == b.marketIV;
}

bool sameStrikeExpiration(const OptionQuote& a, const OptionQuote& b) {
  return a.expirationDays == b.expirationDays && a.strike == b.strike;
}

void sortQuotes(std::vector<OptionQuote>& quotes) {
  std::stable_sort(quotes.begin(), quotes.end(), [](const OptionQuote& a, const OptionQuote& b) {
    if (a.expirationDays != b.expirationDays) return a.expirationDays < b.expirationDays;
    return a.strike < b.strike;
  });
}

void removeRepeats(std::vector<OptionQuote>& quotes,
                   bool (*same)(const OptionQuote&, const OptionQuote&)) {
  quotes.erase(std::unique(quotes.begin(), quotes.end(), same), quotes.end());
}

int checkOptionChain(const std::vector<OptionQuote>& quotes, std::size_t nDistinct, double spot) {
  const std::size_t n = quotes.size();
  if (n < nDistinct) return 1;
  if (n > 1000) return 2;
  if (n < 20) return 3;

  std::vector<double> expirations;
  for (const OptionQuote& q : quotes) {
    if (std::find(expirations.begin(), expirations.end(), q.expirationDays) == expirations.end()) {
      expirations.push_back(q.expirationDays);
    }
  }
  std::sort(expirations.begin(), expirations.end());
  if (expirations.size() < 2) return 4;
  if (expirations.back() > 1825.0) return 5;
  if (expirations.front() < 1.0) return 6;

  // The volatility range comes before the bucket scan: the price floor of a volatility out of
  // range (a negative one gives no price) would only hide what is wrong. Written so that a NaN
  // fails too.
  for (const OptionQuote& q : quotes) {
    if (!(q.marketIV > 0.0 && q.marketIV <= kMaxMarketIV)) return 16;
  }

  // Bucket scan: one pass over the sorted quotes, an expiration bucket being a run of quotes
  // with the same expiration.
  double bucketExpiration = quotes[0].expirationDays;
  int countLow = 0;   // quotes with spot >= strike in the bucket
  int countHigh = 0;  // quotes with spot < strike
  double lowRatio = 1.0;
  double highRatio = 1.0;
  double minPrice = spot;
  double maxRate = 0.0, minRate = 0.0, maxDividend = 0.0, minDividend = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const OptionQuote& q = quotes[i];
    maxRate = std::max(maxRate, q.rate);
    minRate = std::min(minRate, q.rate);
    maxDividend = std::max(maxDividend, q.dividendYield);
    minDividend = std::min(minDividend, q.dividendYield);
    if (q.expirationDays > bucketExpiration) {
      highRatio = std::max(highRatio, quotes[i - 1].strike / spot);
      if (countLow < 2 || countHigh < 2) return 7;
      bucketExpiration = q.expirationDays;
      countLow = 0;
      countHigh = 0;
    }
    if (spot >= q.strike) {
      if (countLow == 0) lowRatio = std::max(lowRatio, spot / q.strike);
      ++countLow;
    } else {
      ++countHigh;
    }
    const double price = bsmPrice(
        spot, q.strike, q.rate, q.dividendYield, q.marketIV, q.expirationDays / 365.0, q.putFlag);
    // A price that is not a number (a spot or volatility no pricing can use) is kept as the
    // minimum and fails the test below, instead of slipping through every later comparison.
    if (std::isnan(price) || price < minPrice) minPrice = price;
    if (!(minPrice / spot >= 1e-5)) return 8;
  }
  if (countLow < 2 || countHigh < 2) return 9;
  highRatio = std::max(highRatio, quotes[n - 1].strike / spot);
  if (lowRatio > 5.0) return 10;
  if (highRatio > 3.0) return 11;
  if (maxRate > 0.2) return 12;
  if (maxDividend > 0.3) return 13;
  if (minRate < -0.01) return 14;
  if (minDividend < -0.2) return 15;
  if (!(spot >= kMinSpot && spot <= kMaxSpot)) return 17;
  return -1;
}

int prepareOptionChain(OptionChain& chain) {
  if (!chain.opened) return 0;
  sortQuotes(chain.quotes);
  removeRepeats(chain.quotes, &sameQuote);
  const std::size_t nDistinct = chain.quotes.size();
  removeRepeats(chain.quotes, &sameStrikeExpiration);
  return checkOptionChain(chain.quotes, nDistinct, chain.spot);
}

}  // namespace serivane
