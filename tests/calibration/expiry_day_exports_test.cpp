// The single-option PDE pricer on the expiry day (T = 0): every method id and precision code
// returns the exercise value, for calls and puts, European and American; an implied volatility,
// which no price of that day implies, is the failure value.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "calibration/exports/serivane.h"
#include "pricing_log_test_util.h"

namespace serivane {

namespace {

class ExpiryDayExport : public PricingLogTest {};

double priceAtExpiry(double K, int CallPut, int EuroAmer, int precision, int methodID, int iv) {
  return GARCH_VanillaPDESolver(100.0,
                                K,
                                0.0,
                                0.03,
                                0.01,
                                0.04,
                                0.04,
                                1.5,
                                0.3,
                                -0.7,
                                100,
                                50,
                                50,
                                CallPut,
                                EuroAmer,
                                precision,
                                methodID,
                                iv,
                                1.0,
                                0.9999,
                                0,
                                1);
}

TEST_F(ExpiryDayExport, EveryMethodReturnsTheExerciseValue) {
  for (int methodID = 1; methodID <= 15; ++methodID) {
    for (int precision : {1, 2, 3}) {
      for (int EuroAmer : {0, 1}) {
        for (int CallPut : {0, 1}) {
          for (double K : {90.0, 110.0}) {
            const std::string what = "method " + std::to_string(methodID) + ", precision " +
                                     std::to_string(precision) + (EuroAmer ? ", american" : "") +
                                     (CallPut ? " put" : " call") + " K " + std::to_string(K);
            const double exercise =
                CallPut == 1 ? std::max(K - 100.0, 0.0) : std::max(100.0 - K, 0.0);
            // Out of the money the exercise value 0 is also the failure value.
            EXPECT_EQ(priceAtExpiry(K, CallPut, EuroAmer, precision, methodID, 0), exercise)
                << what;
          }
        }
      }
    }
    EXPECT_EQ(priceAtExpiry(90.0, 0, 0, 1, methodID, 1), 0.0) << "method " << methodID;
  }
}

// A price of 0 out of the money is that day's value, not a failed solve: nothing is retried or
// logged for it.
TEST_F(ExpiryDayExport, AnOutOfTheMoneyPriceIsNoFailure) {
  for (int precision : {1, 2, 3}) {
    EXPECT_EQ(priceAtExpiry(110.0, 0, 0, precision, 2, 0), 0.0);
    EXPECT_EQ(priceAtExpiry(90.0, 1, 1, precision, 15, 0), 0.0);
  }
  EXPECT_FALSE(logExists()) << log();
}

}  // namespace

}  // namespace serivane
