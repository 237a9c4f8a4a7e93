#include "calibration/quotes/option_chain.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace serivane {

namespace {

std::string chainFile(const std::string& name) {
  return std::string(SERIVANE_TEST_DATA_DIR) + "/chains/" + name;
}

// The check a chain file fails (-1 none), or the text of the error its reading raises.
struct Outcome {
  int check = -1;
  std::string error;
};

Outcome runChecks(const std::string& path) {
  Outcome outcome;
  try {
    OptionChain chain = readOptionChain(path);
    outcome.check = prepareOptionChain(chain);
  } catch (const std::exception& e) {
    outcome.error = e.what();
  }
  return outcome;
}

TEST(OptionChainChecks, EachFixtureFailsItsOwnCheck) {
  struct Case {
    const char* file;   // fixture in tests/data/chains (see its README)
    int check;          // expected failing check, -1 for none
    const char* error;  // expected error text of the reading, "" for none
  };
  // clang-format off
  const Case kCases[] = {
      {"valid.txt",                          -1, ""},
      {"check01_duplicate_point.txt",         1, ""},
      {"check02_too_many.txt",                2, ""},
      {"check03_too_few.txt",                 3, ""},
      {"check04_one_expiration.txt",          4, ""},
      {"check05_too_long.txt",                5, ""},
      {"check06_too_short.txt",               6, ""},
      {"check07_first_bucket_one_side.txt",   7, ""},
      {"check08_price_floor.txt",             8, ""},
      {"check09_last_bucket_one_side.txt",    9, ""},
      {"check10_low_strike.txt",             10, ""},
      {"check11_high_strike.txt",            11, ""},
      {"check12_high_rate.txt",              12, ""},
      {"check13_high_dividend.txt",          13, ""},
      {"check14_low_rate.txt",               14, ""},
      {"check15_low_dividend.txt",           15, ""},
      {"check16_huge_iv.txt",                16, ""},
      {"check16_iv_above_500pct.txt",        16, ""},
      {"check17_tiny_spot.txt",              17, ""},
      {"check17_huge_spot.txt",              17, ""},
      {"no_such_file.txt",                    0, ""},
      // Malformed files: the reading's error, or a clean end of the reading.
      {"malformed_spot_no_number.txt",       -1, "invalid stod argument"},
      {"malformed_spot_out_of_range.txt",    -1, "stod argument out of range"},
      {"malformed_spot_decimal_comma.txt",   -1, "invalid stod argument"},
      {"malformed_empty.txt",                -1, "invalid stod argument"},
      {"malformed_truncated_record.txt",     -1, ""},
      {"malformed_text_in_record.txt",        3, ""},
  };
  // clang-format on
  for (const Case& c : kCases) {
    const Outcome outcome = runChecks(chainFile(c.file));
    EXPECT_EQ(outcome.error, c.error) << c.file;
    EXPECT_EQ(outcome.check, c.check) << c.file;
  }
}

TEST(OptionChainChecks, MessagesAreTheFixedTexts) {
  struct Case {
    int check;
    const char* message;
  };
  const Case kCases[] = {
      {0, "The 'OptionsData.txt' file was not found.\n"},
      {1, "The input file should contain only one option for every (strike,expiration) point.\n"},
      {2, "The maximum number of options to be inlcuded in the calibration is 1000.\n"},
      {3, "The minimum number of options to be inlcuded in the calibration is 20. \n"},
      {4, "The input file should contain options of at least two different expirations.\n"},
      {5, "The longest option expiration allowed is 5Y.\n"},
      {6, "The shortest option expiration allowed is 1D.\n"},
      {7,
       "The input file should contain at least 2 options either side of the asset spot in each "
       "expiration bucket.\n"},
      {8, "The minimum (market) option price allowed is 0.001% of the asset spot.\n"},
      {9, "The input file should contain at least 2 calls and 2 puts in each expiration bucket.\n"},
      {10, "The smaller strike in the input file shouldn't be less than 20% of the asset spot.\n"},
      {11, "The largest strike in the input file shouldn't be more than 3 x asset spot.\n"},
      {12, "The maximum interest rate allowed is 20%.\n"},
      {13, "The maximum dividend yield allowed is 30%.\n"},
      {14, "The minimum interest rate allowed is -1%.\n"},
      {15, "The minimum dividend yield allowed is -20%.\n"},
      {16, "The (market) implied volatilities should be more than 0% and at most 500%.\n"},
      {17, "The asset spot should be between 0.000001 and 1,000,000,000.\n"},
  };
  for (const Case& c : kCases) EXPECT_STREQ(kCheckMessages[c.check], c.message) << c.check;
}

TEST(OptionChainReader, ReadsFieldsWithOrWithoutFinalLineBreak) {
  TempFolder folder;
  const std::string body =
      "heading\n  101.5 text after the spot\ncolumns\n"
      "0.2 90 30 0.03 0.01\n0.21\n110\n  60 0.02\t0.005 0.22 101.5 60 0.02 0.005";
  for (const std::string& tail : {std::string(""), std::string("\n"), std::string("  \n \n")}) {
    {
      std::ofstream out("chain.txt");
      out << body << tail;
    }
    const OptionChain chain = readOptionChain("chain.txt");
    ASSERT_TRUE(chain.opened);
    EXPECT_EQ(chain.end, ChainReadEnd::kEndOfFile) << "tail '" << tail << "'";
    EXPECT_DOUBLE_EQ(chain.spot, 101.5);
    ASSERT_EQ(chain.quotes.size(), 3u) << "tail '" << tail << "'";
    const OptionQuote& q = chain.quotes[1];
    EXPECT_EQ(q.index, 1);
    EXPECT_DOUBLE_EQ(q.marketIV, 0.21);
    EXPECT_DOUBLE_EQ(q.strike, 110.0);
    EXPECT_DOUBLE_EQ(q.expirationDays, 60.0);
    EXPECT_DOUBLE_EQ(q.rate, 0.02);
    EXPECT_DOUBLE_EQ(q.dividendYield, 0.005);
    EXPECT_DOUBLE_EQ(q.spot, 101.5);
    // A put only when the spot is strictly above the strike.
    EXPECT_EQ(chain.quotes[0].putFlag, 1);
    EXPECT_EQ(chain.quotes[1].putFlag, 0);
    EXPECT_EQ(chain.quotes[2].putFlag, 0);
  }
}

// The spot line as the whole reading sees it, in chain files of its own: the sample chain's
// "100<TAB>spot" reads, a spot with a decimal comma is refused whatever follows it.
TEST(OptionChainReader, SpotLineOfAChainFile) {
  TempFolder folder;
  const std::string quotes = "0.2 90 30 0.03 0.01\n0.21 110 30 0.03 0.01\n";
  struct Case {
    const char* spotLine;
    double spot;        // the spot read, when no error
    const char* error;  // the reading's error, "" for none
  };
  const Case kCases[] = {
      {"100\tspot", 100.0, ""},
      {"100.5", 100.5, ""},
      {"100.5\r", 100.5, ""},
      {"100,5", 0.0, "invalid stod argument"},
      {"100,5\tspot", 0.0, "invalid stod argument"},
      {"100abc", 0.0, "invalid stod argument"},
  };
  for (const Case& c : kCases) {
    {
      std::ofstream out("chain.txt");
      out << "heading\n" << c.spotLine << "\ncolumns\n" << quotes;
    }
    try {
      const OptionChain chain = readOptionChain("chain.txt");
      EXPECT_STREQ("", c.error) << c.spotLine;
      EXPECT_EQ(chain.spot, c.spot) << c.spotLine;
      EXPECT_EQ(chain.quotes.size(), 2u) << c.spotLine;
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), c.error) << c.spotLine;
    }
  }
}

TEST(OptionChainReader, UnreadableRecordEndsTheReading) {
  const OptionChain truncated = readOptionChain(chainFile("malformed_truncated_record.txt"));
  EXPECT_EQ(truncated.quotes.size(), 22u);
  EXPECT_EQ(truncated.end, ChainReadEnd::kUnreadable);
  const OptionChain text = readOptionChain(chainFile("malformed_text_in_record.txt"));
  EXPECT_EQ(text.quotes.size(), 11u);
  EXPECT_EQ(text.end, ChainReadEnd::kUnreadable);
}

// A chain built in memory: `perBucket` strikes evenly from 80 to 120 at each expiration.
std::vector<OptionQuote> makeChain(const std::vector<double>& expirations, int perBucket) {
  std::vector<OptionQuote> quotes;
  for (double days : expirations) {
    for (int i = 0; i < perBucket; ++i) {
      const double K = 80.0 + 40.0 * i / (perBucket - 1);
      quotes.push_back(
          {static_cast<int>(quotes.size()), 0.5, 100.0, K, days, 0.03, 0.01, 100.0 > K ? 1 : 0});
    }
  }
  return quotes;
}

int check(std::vector<OptionQuote> quotes) {
  sortQuotes(quotes);
  removeRepeats(quotes, &sameQuote);
  const std::size_t nDistinct = quotes.size();
  removeRepeats(quotes, &sameStrikeExpiration);
  return checkOptionChain(quotes, nDistinct, 100.0);
}

TEST(OptionChainChecks, BoundariesPassAndOneStepBeyondFails) {
  EXPECT_EQ(check(makeChain({30, 91}, 10)), -1) << "20 quotes";
  EXPECT_EQ(check(makeChain({30, 91, 182}, 6)), 3) << "18 quotes";
  EXPECT_EQ(check(makeChain({30, 91}, 500)), -1) << "1000 quotes";
  std::vector<OptionQuote> q1001 = makeChain({30, 91}, 500);
  q1001.push_back({0, 0.5, 100.0, 100.5, 182.0, 0.03, 0.01, 0});
  EXPECT_EQ(check(q1001), 2) << "1001 quotes";
  EXPECT_EQ(check(makeChain({30, 1825}, 10)), -1) << "1825 days";
  EXPECT_EQ(check(makeChain({30, 1825.5}, 10)), 5) << "1825.5 days";
  {
    // One day: strikes near the spot, so that no price falls below the floor.
    std::vector<OptionQuote> q = makeChain({1, 30}, 10);
    for (OptionQuote& x : q) {
      if (x.expirationDays == 1) x.strike = 98.0 + 4.0 * (x.index % 10) / 9.0;
    }
    for (OptionQuote& x : q) x.putFlag = 100.0 > x.strike ? 1 : 0;
    EXPECT_EQ(check(q), -1) << "1 day";
    for (OptionQuote& x : q) {
      if (x.expirationDays == 1) x.expirationDays = 0.5;
    }
    EXPECT_EQ(check(q), 6) << "0.5 day";
  }
  struct Edit {
    const char* label;
    double strike;  // strike of the first quote of the second bucket, or 0 to keep it
    double rate;
    double dividend;
    int check;
    double iv = 0.0;  // market IV of that quote, or 0 to keep it
  };
  const Edit kEdits[] = {
      {"spot / strike exactly 5", 20.0, 0.03, 0.01, -1},
      {"strike exactly 3 x spot", 300.0, 0.03, 0.01, -1},
      {"rate exactly 0.2", 0.0, 0.2, 0.01, -1},
      {"rate just above 0.2", 0.0, 0.2000001, 0.01, 12},
      {"dividend exactly -0.2", 0.0, 0.03, -0.2, -1},
      {"dividend exactly 0.3", 0.0, 0.03, 0.3, -1},
      {"rate exactly -0.01", 0.0, -0.01, 0.01, -1},
      {"market IV exactly 5", 0.0, 0.03, 0.01, -1, 5.0},
      {"market IV just above 5", 0.0, 0.03, 0.01, 16, 5.000001},
      {"market IV 1e10", 0.0, 0.03, 0.01, 16, 1e10},
      {"market IV negative", 0.0, 0.03, 0.01, 16, -0.25},
  };
  for (const Edit& e : kEdits) {
    std::vector<OptionQuote> q = makeChain({30, 91}, 10);
    OptionQuote& x = q[10];
    if (e.strike > 0.0) {
      x.strike = e.strike;
      x.marketIV = 1.5;
      x.putFlag = 100.0 > x.strike ? 1 : 0;
    }
    x.rate = e.rate;
    x.dividendYield = e.dividend;
    if (e.iv != 0.0) x.marketIV = e.iv;
    EXPECT_EQ(check(q), e.check) << e.label;
  }
}

TEST(OptionChainChecks, SpotOutsideThePriceRangeFails) {
  // The whole chain scaled: Black-Scholes-Merton prices scale with it, so only check 17 can see it.
  struct Case {
    double spot;
    int check;
  };
  const Case kCases[] = {
      {1e-6, -1}, {0.99e-6, 17}, {1e9, -1}, {1.01e9, 17}, {1e-300, 17}, {1e300, 17}};
  for (const Case& c : kCases) {
    std::vector<OptionQuote> q = makeChain({30, 91}, 10);
    for (OptionQuote& x : q) {
      x.spot = c.spot;
      x.strike *= c.spot / 100.0;
    }
    sortQuotes(q);
    EXPECT_EQ(checkOptionChain(q, q.size(), c.spot), c.check) << c.spot;
  }
}

TEST(OptionChainChecks, ExactRepeatsCountOnce) {
  std::vector<OptionQuote> q = makeChain({30, 91}, 10);
  q.push_back(q[3]);
  q.push_back(q[15]);
  EXPECT_EQ(check(q), -1);
  q.back().marketIV += 0.01;
  EXPECT_EQ(check(q), 1);
}

TEST(OptionChainChecks, SortKeepsExpirationThenStrikeOrder) {
  std::vector<OptionQuote> q = makeChain({91, 30}, 5);
  std::swap(q[1], q[3]);
  sortQuotes(q);
  for (std::size_t i = 1; i < q.size(); ++i) {
    EXPECT_TRUE(q[i - 1].expirationDays < q[i].expirationDays ||
                (q[i - 1].expirationDays == q[i].expirationDays && q[i - 1].strike < q[i].strike))
        << i;
  }
}

TEST(OptionChainReader, SpotConversion) {
  // A label after white space is ignored, as is the carriage return of a file with CRLF lines.
  for (const char* text : {"42.5", "  42.5", "42.5\tspot", "42.5 spot", "42.5 ,5", "42.5\r"}) {
    EXPECT_EQ(stodSpot(text), 42.5) << text;
  }
  struct Case {
    const char* text;
    const char* message;
  };
  const Case kCases[] = {
      {"", "invalid stod argument"},
      {"spot 100", "invalid stod argument"},
      {"1e999", "stod argument out of range"},
      // A number run straight into other characters is no spot, not its first digits.
      {"100,5", "invalid stod argument"},
      {"100abc", "invalid stod argument"},
      {"  42.5abc", "invalid stod argument"},
      {"100.5.3", "invalid stod argument"},
      {"100;\tspot", "invalid stod argument"},
      {"1e5x", "invalid stod argument"},
  };
  for (const Case& c : kCases) {
    try {
      stodSpot(c.text);
      ADD_FAILURE() << "no error for '" << c.text << "'";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), c.message) << c.text;
    }
  }
}

}  // namespace

}  // namespace serivane
