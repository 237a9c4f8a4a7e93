// The console program end to end: each test copies the built program into a fresh temporary
// folder with its own "OptionsData.txt" (the program reads it from its own folder and writes
// "ModelIVs.txt" and its logs into the current one), runs it with piped answers and reads what
// it printed and wrote.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/objectives/model_ivs.h"
#include "calibration/quotes/option_chain.h"
#include "support/monte_carlo_table.h"
#include "support/program_launcher.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

struct RunResult {
  int exitCode = -1;
  std::string output;
};

// Runs the program copied into `folder`, with `answers` on its standard input.
RunResult runConsole(const TempFolder& folder, const std::string& answers) {
  const std::filesystem::path program = folder.path() / "Serivane64";
  std::filesystem::copy_file(
      SERIVANE_CONSOLE_PROGRAM, program, std::filesystem::copy_options::overwrite_existing);
  {
    std::ofstream in(folder.path() / "answers.txt");
    in << answers;
  }
  const std::string command = "cd '" + folder.path().string() + "' && OMP_NUM_THREADS=4 " +
                              launchCommand(program.string()) + " < answers.txt 2>&1";
  RunResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Generating parameters of the synthetic chains (GARCH diffusion).
const double kTrue[5] = {0.04, 0.06, 2.5, 3.0, -0.6};

// A synthetic chain priced at p on a finer grid than the calibration's: 3 expirations, 8 strikes
// each (24 quotes), written to `path`; returns the quotes in (expiration, strike) order.
std::vector<OptionQuote> writeSyntheticChain(const std::string& path, const double* p) {
  std::vector<OptionQuote> quotes;
  for (double days : {30.0, 120.0, 365.0}) {
    const double sd = 0.25 * std::sqrt(days / 365.0);
    for (int i = 0; i < 8; ++i) {
      const double K = std::round(100.0 * std::exp(sd * (-2.0 + 3.0 * i / 7.0)) * 4.0) / 4.0;
      quotes.push_back(
          {static_cast<int>(quotes.size()), 0.25, 100.0, K, days / 365.0, 0.03, 0.01, 100.0 > K});
    }
  }
  const CalibrationSettings fine{120, 60, 120, 2, 2, 1, 1, 1, 1};
  for (int pass = 0; pass < 2; ++pass) {
    const std::vector<double> ivs = modelIVsOfQuotes(quotes, p, fine);
    for (std::size_t i = 0; i < quotes.size(); ++i) quotes[i].marketIV = ivs[i];
  }
  std::ofstream out(path);
  out.precision(17);
  out << "Synthetic chain of console_test.cpp\n100\nIV strike days rate dividend\n";
  for (OptionQuote& q : quotes) {
    q.expirationDays *= 365.0;
    out << q.marketIV << " " << q.strike << " " << q.expirationDays << " " << q.rate << " "
        << q.dividendYield << "\n";
  }
  return quotes;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

double valueAfter(const std::string& line, const std::string& label) {
  EXPECT_EQ(line.compare(0, label.size(), label), 0) << line;
  return std::stod(line.substr(label.size()));
}

// Checks "ModelIVs.txt" line by line against its layout and the chain; returns the parameters.
std::vector<double> checkReport(const std::string& report,
                                const std::vector<OptionQuote>& quotes,
                                const std::string& heading,
                                double* rmse) {
  const std::vector<std::string> l = lines(report);
  EXPECT_EQ(l.size(), 11 + quotes.size());
  if (l.size() != 11 + quotes.size()) return {};
  EXPECT_EQ(l[0], heading);
  const char* labels[5] = {"v0 = \t", "vBar = \t", "kappa =\t", "xi = \t", "rho = \t"};
  std::vector<double> p;
  for (int i = 0; i < 5; ++i) p.push_back(valueAfter(l[1 + i], labels[i]));
  EXPECT_EQ(l[6], "");
  *rmse = valueAfter(l[7], "IV RMSE: ");
  std::ostringstream bp;
  bp << " (" << std::lround(*rmse * 10000.0) << " basis points)";
  EXPECT_NE(l[7].find(bp.str()), std::string::npos) << l[7];
  EXPECT_EQ(l[8].compare(0, 18, "Calibration time: "), 0) << l[8];
  EXPECT_NE(l[8].find(" secs on "), std::string::npos) << l[8];
  EXPECT_NE(l[8].find(" (number of cores: "), std::string::npos) << l[8];
  EXPECT_EQ(l[8].back(), ')') << l[8];
  EXPECT_EQ(l[9], "");
  EXPECT_EQ(l[10], "expiration\tstrike\t  model IV\tmarket IV");
  double sum = 0.0;
  for (std::size_t i = 0; i < quotes.size(); ++i) {
    const std::string& row = l[11 + i];
    double T, K, model, market;
    if (std::sscanf(row.c_str(), "%lf\t%lf\t %lf\t%lf", &T, &K, &model, &market) != 4) {
      ADD_FAILURE() << "unreadable row " << row;
      return {};
    }
    EXPECT_NE(row.find("\t "), std::string::npos) << row;
    // Precision 8: eight significant digits.
    EXPECT_NEAR(T, quotes[i].expirationDays / 365.0, 1e-8) << row;
    EXPECT_DOUBLE_EQ(K, quotes[i].strike) << row;
    EXPECT_NEAR(market, quotes[i].marketIV, 1e-8) << row;
    sum += (model - market) * (model - market);
  }
  EXPECT_NEAR(std::sqrt(sum / quotes.size()), *rmse, 1e-7);
  return p;
}

TEST(ConsoleProgram, RecoversGeneratingParametersInSpeedAndAccuracyMode) {
  struct Case {
    const char* label;
    const char* answers;
  };
  const Case kCases[] = {{"speed", "1\n0\n"}, {"accuracy", "1\n1\n"}};
  for (const Case& c : kCases) {
    TempFolder folder;
    const std::vector<OptionQuote> quotes =
        writeSyntheticChain((folder.path() / "OptionsData.txt").string(), kTrue);
    const RunResult run = runConsole(folder, c.answers);
    EXPECT_EQ(run.exitCode, 0) << c.label;
    EXPECT_NE(run.output.find("Calibrating..."), std::string::npos) << c.label << run.output;
    EXPECT_NE(run.output.find("The calibrated model parameters and implied volatilities have been "
                              "saved in ModelIVs.txt\nPress any key to continue . . ."),
              std::string::npos)
        << c.label << run.output;
    double rmse = 1.0;
    const std::vector<double> p = checkReport(
        folder.read("ModelIVs.txt"), quotes, "Calibrated GARCH diffusion model parameters", &rmse);
    ASSERT_EQ(p.size(), 5u) << c.label;
    for (int i = 0; i < 5; ++i) {
      EXPECT_NEAR(p[i], kTrue[i], 0.03 * std::fabs(kTrue[i])) << c.label << " parameter " << i;
    }
    EXPECT_LT(rmse, 1e-4) << c.label;
  }
}

// The short-dated, high-xi chain (tests/data/chains/short_high_xi.txt: three expiries of 6 to 20
// days, 12 strikes each) holds the Monte Carlo IVs of tests/data/monte_carlo/
// short_high_xi_chain.txt at the GARCH diffusion parameters below. Speed mode recovers them, and
// each model IV of its report agrees with the table within 0.5 bp plus four standard errors. With
// expiries this short kappa and vBar are the least determined (their product fixes the variance
// drift), so they get the widest tolerances.
TEST(ConsoleProgram, SpeedModeRecoversTheShortDatedHighXiChain) {
  const double kGenerating[5] = {0.02, 0.12, 4.0, 10.0, -0.85};
  const double kTolerance[5] = {0.05 * 0.02, 0.1 * 0.12, 0.1 * 4.0, 0.05 * 10.0, 0.02};
  TempFolder folder;
  const std::string chainPath = std::string(SERIVANE_TEST_DATA_DIR) + "/chains/short_high_xi.txt";
  std::filesystem::copy_file(chainPath, folder.path() / "OptionsData.txt");
  const std::vector<OptionQuote> quotes = readOptionChain(chainPath).quotes;
  const std::vector<monte_carlo::Row> table = monte_carlo::loadTable(
      std::string(SERIVANE_TEST_DATA_DIR) + "/monte_carlo/short_high_xi_chain.txt");
  ASSERT_EQ(quotes.size(), table.size());
  const RunResult run = runConsole(folder, "1\n0\n");
  EXPECT_EQ(run.exitCode, 0);
  const std::string report = folder.read("ModelIVs.txt");
  double rmse = 1.0;
  const std::vector<double> p =
      checkReport(report, quotes, "Calibrated GARCH diffusion model parameters", &rmse);
  ASSERT_EQ(p.size(), 5u) << run.output;
  for (int i = 0; i < 5; ++i) {
    EXPECT_NEAR(p[i], kGenerating[i], kTolerance[i]) << "parameter " << i << "\n" << report;
  }
  const std::vector<std::string> l = lines(report);
  for (std::size_t i = 0; i < table.size(); ++i) {
    double T, K, model, market;
    ASSERT_EQ(std::sscanf(l[11 + i].c_str(), "%lf\t%lf\t %lf\t%lf", &T, &K, &model, &market), 4);
    ASSERT_EQ(K, table[i].K);
    EXPECT_NEAR(model, table[i].iv, monte_carlo::allowedError(table[i])) << l[11 + i];
  }
}

TEST(ConsoleProgram, OutOfRangeStopRestartsAndWritesTheClampedReport) {
  // A chain of an upward skew (rho = 0.6, beyond the model function's range): the box of the
  // first stage holds rho at 0, the free second stage walks it past 0.3 and stops.
  TempFolder folder;
  const double positive[5] = {0.04, 0.06, 2.5, 3.0, 0.6};
  const std::vector<OptionQuote> quotes =
      writeSyntheticChain((folder.path() / "OptionsData.txt").string(), positive);
  const RunResult run = runConsole(folder, "2\n1\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.output.find("*** CAUTION *** : One of the parameter box constraints has been hit. "
                            "The model may be stressed.\n\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("\nrho is out of range. Stopping optimization.\n\nModel parameters "
                            "before stoppping\nv0 = \t"),
            std::string::npos)
      << run.output;
  // The restart skips the banner and the questions: they appear once.
  const std::string question = "Enter 0 for speed or 1 for accuracy: ";
  EXPECT_EQ(run.output.find(question), run.output.rfind(question));
  double rmse = 1.0;
  const std::vector<double> p = checkReport(
      folder.read("ModelIVs.txt"), quotes, "Calibrated power-law (p=0.8) model parameters", &rmse);
  ASSERT_EQ(p.size(), 5u);
  // levmar hands back its last accepted iterate, inside the range; the report holds it clamped.
  EXPECT_GT(p[4], 0.2);
  EXPECT_LE(p[4], 0.3);
}

TEST(ConsoleProgram, FailedInputEndsWithItsMessageThePauseAndCodeZero) {
  struct Case {
    const char* label;
    const char* fixture;   // copied as OptionsData.txt, "" for none
    const char* expected;  // what the output starts with
  };
  const Case kCases[] = {
      {"missing file", "", "The 'OptionsData.txt' file was not found.\nPress any key"},
      {"too few quotes",
       "check03_too_few.txt",
       "The minimum number of options to be inlcuded in the calibration is 20. \nPress any key"},
      {"spot line without a number",
       "malformed_spot_no_number.txt",
       "\ninvalid stod argument\n\nModel parameters before stoppping\nv0 = \t0.05\nvBar = "
       "\t0.05\nkappa =\t5\nxi = \t5\nrho = \t-0.7\nPress any key"},
      {"empty file", "malformed_empty.txt", "\ninvalid stod argument\n\n"},
      {"spot with a decimal comma",
       "malformed_spot_decimal_comma.txt",
       "\ninvalid stod argument\n\n"},
      {"text in a record",
       "malformed_text_in_record.txt",
       "Reading of 'OptionsData.txt' stopped after 11 quotes: the next one holds text that is not "
       "a number or is incomplete.\nThe minimum number of options to be inlcuded in the "
       "calibration is 20. \n"},
      {"market volatility of 1e300",
       "check16_huge_iv.txt",
       "The (market) implied volatilities should be more than 0% and at most 500%.\nPress any key"},
      {"spot and strikes scaled by 1e-300",
       "check17_tiny_spot.txt",
       "The asset spot should be between 0.000001 and 1,000,000,000.\nPress any key"},
  };
  for (const Case& c : kCases) {
    TempFolder folder;
    if (std::string(c.fixture).size() > 0) {
      std::filesystem::copy_file(std::string(SERIVANE_TEST_DATA_DIR) + "/chains/" + c.fixture,
                                 folder.path() / "OptionsData.txt");
    }
    {
      std::ofstream stale(folder.path() / "ModelIVs.txt");
      stale << "stale";
    }
    const RunResult run = runConsole(folder, "1\n0\n");
    EXPECT_EQ(run.exitCode, 0) << c.label;
    EXPECT_EQ(run.output.compare(0, std::string(c.expected).size(), c.expected), 0)
        << c.label << ":\n"
        << run.output;
    EXPECT_EQ(folder.read("ModelIVs.txt"), "") << c.label;
  }
}

}  // namespace

}  // namespace serivane
