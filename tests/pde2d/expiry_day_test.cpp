// The expiry day (T = 0) on every solver variant and run mode: the price is the exercise value,
// the values along the grid are the payoff, delta and gamma are the payoff's, and no implied
// volatility is had (every volatility gives the exercise value).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <valarray>
#include <vector>

#include "pde2d/solver_fixtures.h"
#include "pde2d/solver_methods.h"

namespace serivane {

namespace {

using namespace solver_fixtures;

const Model kModel{0.04, 0.04, 1.5, 0.3, -0.7};

double exerciseValue(double S, double K, int CallPut) {
  return CallPut == 1 ? std::max(K - S, 0.0) : std::max(S - K, 0.0);
}

// Method ids 12 and 13 return the log-asset nodes and derivatives with respect to ln S.
bool logResults(int methodID) { return methodID == 12 || methodID == 13; }
// Method ids 11 to 15 solve on the log-asset grid: their derivatives of the payoff, linear in S but
// not in ln S, are exact only to the grid's second order (a few per cent on its coarse low end).
bool logGrid(int methodID) { return methodID >= 11; }

TEST(ExpiryDay, EveryMethodAndRunModeGivesTheExerciseValue) {
  for (const SolverMethod& m : kSolverMethods) {
    for (int runMode : {3, 4, 5}) {
      for (int EuroAmer : {0, 1}) {
        for (int CallPut : {0, 1}) {
          for (double K : {90.0, 100.0, 110.0}) {
            const std::string what = "method " + std::to_string(m.id) + ", run mode " +
                                     std::to_string(runMode) + (EuroAmer ? ", american" : "") +
                                     (CallPut ? " put" : " call") + " K " + std::to_string(K);
            Option o;
            o.K = K;
            o.T = 0.0;
            o.CallPut = CallPut;
            o.EuroAmer = EuroAmer;
            const double exercise = exerciseValue(kS0, K, CallPut);
            auto q = makePricer(kModel, o, Grid{30, 15, 10, runMode, m.id}, 1);
            const Solved s = solveOnce(*q);
            EXPECT_EQ(s.summary[1], exercise) << what;
            EXPECT_EQ(s.summary[2], exercise) << what;
            EXPECT_EQ(s.summary[4], exercise) << what;
            const std::valarray<double>& nodes = s.out[0];
            ASSERT_EQ(s.out[1].size(), nodes.size()) << what;
            ASSERT_EQ(s.out[2].size(), nodes.size()) << what;
            ASSERT_EQ(s.out[3].size(), nodes.size()) << what;
            for (std::size_t i = 0; i < nodes.size(); ++i) {
              const double S = logResults(m.id) ? std::exp(nodes[i]) : nodes[i];
              EXPECT_NEAR(s.out[1][i], exerciseValue(S, K, CallPut), 1e-12 * (S + K))
                  << what << " node " << i;
              EXPECT_TRUE(std::isfinite(s.out[2][i]) && std::isfinite(s.out[3][i]))
                  << what << " node " << i;
              // Away from the strike the payoff is linear in S: delta is its slope (S times it
              // in ln S), gamma 0 on the asset grid.
              if (i == 0 || i + 1 == nodes.size() || std::fabs(S / K - 1.0) < 0.15) continue;
              const double slope = S > K ? (CallPut == 1 ? 0.0 : 1.0) : (CallPut == 1 ? -1.0 : 0.0);
              const double delta = logResults(m.id) ? s.out[2][i] / S : s.out[2][i];
              EXPECT_NEAR(delta, slope, logGrid(m.id) ? 0.05 : 1e-9) << what << " node " << i;
              if (!logGrid(m.id)) {
                EXPECT_NEAR(s.out[3][i], 0.0, 1e-9) << what << " node " << i;
              }
            }
            // No volatility is implied: each gives the exercise value.
            auto iv = makePricer(kModel, o, Grid{30, 15, 10, runMode, m.id}, 1);
            const Solved sv = solveOnce(*iv, -1.0);
            EXPECT_EQ(sv.summary[2], exercise) << what;
            EXPECT_EQ(sv.summary[4], 0.0) << what;
          }
        }
      }
    }
  }
}

// A strike list on the expiry day: every strike's value is its exercise value, out of the money by
// the list's convention (puts at or below the spot, calls above), and no volatility is implied.
TEST(ExpiryDay, StrikeListsGiveTheExerciseValues) {
  const std::vector<double> strikes{80.0, 95.0, 100.0, 105.0, 120.0};
  for (const SolverMethod& m : kSolverMethods) {
    for (int runMode : {3, 4, 5}) {
      const std::string what =
          "method " + std::to_string(m.id) + ", run mode " + std::to_string(runMode);
      auto q = makeListPricer(kModel, strikes, 0.0, 30, m.id, 1, false, runMode);
      const Solved s = solveOnce(*q, -1.0);
      EXPECT_EQ(s.summary[2], 0.0) << what;
      const std::valarray<double> prices = q->getStrikePrices();
      const std::valarray<double> ivs = q->getStrikeIVs();
      for (std::size_t k = 0; k < prices.size(); ++k) {
        EXPECT_EQ(prices[k], 0.0) << what << " strike " << strikes[k];
        EXPECT_EQ(ivs[k], 0.0) << what << " strike " << strikes[k];
      }
    }
  }
}

}  // namespace

}  // namespace serivane
