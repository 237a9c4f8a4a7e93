// The console's report of the power-law model in its hidden dense mode: the final evaluation of
// that mode prices with method id 1 (the sparse-direct ladder on the asset grid), and its model
// implied volatilities are those of the power law it names, not those of the GARCH diffusion.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "calibration/objectives/model_ivs.h"
#include "calibration/quotes/option_chain.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

// Two expirations, five strikes each, sorted, expirations in years.
std::vector<OptionQuote> reportChain() {
  std::vector<OptionQuote> quotes;
  for (double days : {60.0, 240.0}) {
    for (int i = 0; i < 5; ++i) {
      const double K = 85.0 + 7.5 * i;
      quotes.push_back(
          {static_cast<int>(quotes.size()), 0.2, 100.0, K, days / 365.0, 0.03, 0.01, 100.0 > K});
    }
  }
  return quotes;
}

// The settings of the dense mode's final evaluation (method id 1, run mode 5, the wide S grid
// and the lower variance quantile) on a smaller grid, for the console's model answer.
CalibrationSettings denseReport(int methodID, int modelAnswer) {
  return CalibrationSettings{60, 30, 30, methodID, 2, 1, 2, 2, modelAnswer};
}

TEST(PowerLawReport, DenseModeFinalEvaluationPricesThePowerLaw) {
  TempFolder folder;  // the variance-grid generator may log to "ErrorLog.txt" here
  const std::vector<OptionQuote> quotes = reportChain();
  // A large volatility of variance, where the exponent moves the smile well beyond the grid's
  // error.
  const double p[5] = {0.04, 0.05, 2.0, 1.5, -0.6};
  const std::vector<double> garch = modelIVsOfQuotes(quotes, p, denseReport(1, 1));
  const std::vector<double> powerLaw = modelIVsOfQuotes(quotes, p, denseReport(1, 2));
  // The calibration's own method (id 2) prices the power law: the reference.
  const std::vector<double> reference = modelIVsOfQuotes(quotes, p, denseReport(2, 2));
  const std::vector<double> garchReference = modelIVsOfQuotes(quotes, p, denseReport(2, 1));
  ASSERT_EQ(garch.size(), quotes.size());
  ASSERT_EQ(powerLaw.size(), quotes.size());
  ASSERT_EQ(reference.size(), quotes.size());
  ASSERT_EQ(garchReference.size(), quotes.size());
  for (std::size_t i = 0; i < quotes.size(); ++i) {
    const std::string what = "quote " + std::to_string(i);
    // Both methods agree on each model to the grid's accuracy, and the two models differ by far
    // more than that.
    EXPECT_NEAR(garch[i], garchReference[i], 1e-3) << what;
    EXPECT_NEAR(powerLaw[i], reference[i], 1e-3) << what;
    EXPECT_GT(std::fabs(powerLaw[i] - garch[i]), 2.5e-3) << what;
    EXPECT_NEAR(powerLaw[i] - garch[i], reference[i] - garchReference[i], 1e-3) << what;
  }
}

}  // namespace

}  // namespace serivane
