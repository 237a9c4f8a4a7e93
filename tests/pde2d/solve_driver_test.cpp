// Richardson extrapolation in space (run mode 5) and in time (run mode 4), checked against the
// plain solves they are made of, done by hand on twin pricer objects.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <valarray>
#include <vector>

#include "core/black_scholes.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_fixtures.h"

namespace serivane {

namespace {

// The model and option of these tests: model 1, K = 105, T = 0.8, method id 2.
const solver_fixtures::Model kModel{0.04, 0.05, 2.0, 0.6, -0.6};

std::unique_ptr<QelHestonVanilla> makeVanilla(int precision, int NT, int CallPut = 1) {
  solver_fixtures::Option o;
  o.K = 105.0;
  o.T = 0.8;
  o.CallPut = CallPut;
  return solver_fixtures::makePricer(kModel, o, solver_fixtures::Grid{40, 20, NT, precision, 2}, 1);
}

// The put on the strikes 110, 90 and 100 on the grid (40, 20, 20).
std::unique_ptr<QelHestonVanilla> makeList(int precision) {
  return solver_fixtures::makeListPricer(
      kModel, std::vector<double>{110.0, 90.0, 100.0}, 0.8, 40, 2, 1, false, precision);
}

struct SolvedRun {
  std::valarray<double> out[5];
  std::valarray<double> summary, strikePrices;
};

SolvedRun solveOf(QelHestonVanilla& o, double cpu = 0.0) {
  SolvedRun r;
  o.solve(r.out[0], r.out[1], r.out[2], r.out[3], r.out[4], cpu);
  r.summary = o.getSummary();
  r.strikePrices = o.getStrikePrices();
  return r;
}

// The coarse and the doubled solve of a convergence run, done by hand.
struct ByHand {
  PDESolveResults coarse, fine;
  double P1 = 0.0, P2 = 0.0;
  std::valarray<double> C1, C2, coarseGrid, fineGrid;
};

ByHand twoSolves(QelHestonVanilla& o) {
  ByHand b;
  double cpu = 0.0;
  const int NV = o.NV;
  o.dispatchSolver(b.coarse, cpu);
  b.P1 = o.summary[2];
  b.C1 = o.strikePrices;
  b.coarseGrid = o.grid;
  o.NS = 2 * o.NS0;
  o.strikeNodeIndex *= 2;
  o.NV = 2 * NV;
  o.iToV0 *= 2;
  o.nVStretch *= 2;
  o.gridValid = false;
  o.dispatchSolver(b.fine, cpu);
  b.P2 = o.summary[2];
  b.C2 = o.strikePrices;
  b.fineGrid = o.grid;
  return b;
}

}  // namespace

TEST(ConvergenceRun, CombinesTheCoarseAndTheDoubledSolve) {
  auto byHand = makeVanilla(3, 20);
  const ByHand b = twoSolves(*byHand);
  ASSERT_GT(b.P1, 0.0);
  ASSERT_GT(b.P2, 0.0);
  // The doubled grid holds every coarse node.
  ASSERT_EQ(b.fineGrid.size(), 2 * b.coarseGrid.size() - 1);
  for (std::size_t i = 0; i < b.coarseGrid.size(); ++i)
    EXPECT_NEAR(b.fineGrid[2 * i], b.coarseGrid[i], 1e-12 * (1 + b.coarseGrid[i])) << i;

  auto mode5 = makeVanilla(5, 20);
  const int NS = mode5->NS, NV = mode5->NV;
  const SolvedRun r = solveOf(*mode5);
  const double P = 4.0 * b.P2 / 3.0 - b.P1 / 3.0;
  EXPECT_NEAR(r.summary[2], P, 1e-12 * P);
  EXPECT_EQ(r.summary[4], r.summary[2]);
  ASSERT_EQ(r.out[0].size(), b.coarseGrid.size());
  for (std::size_t i = 0; i < r.out[0].size(); ++i) {
    EXPECT_EQ(r.out[0][i], b.coarse[0][i]) << "node " << i;
    for (int k = 1; k <= 4; ++k) {
      const double e = 4.0 * b.fine[k][2 * i] / 3.0 - b.coarse[k][i] / 3.0;
      EXPECT_NEAR(r.out[k][i], e, 1e-10 * (1 + std::fabs(e))) << "vector " << k << " node " << i;
    }
  }
  // The coarse settings are back; the placement indices are the coarse build's.
  EXPECT_EQ(mode5->NS, NS);
  EXPECT_EQ(mode5->NV, NV);
  EXPECT_EQ(mode5->precision, 5);
  auto coarseOnly = makeVanilla(3, 20);
  PDESolveResults tmp;
  double cpu = 0.0;
  coarseOnly->dispatchSolver(tmp, cpu);
  EXPECT_EQ(mode5->strikeNodeIndex, coarseOnly->strikeNodeIndex);
  EXPECT_EQ(mode5->iToV0, coarseOnly->iToV0);
}

// With a strike list each strike is extrapolated and inverted to an implied volatility: puts at
// and below the spot, calls above.
TEST(ConvergenceRun, StrikeListIsExtrapolatedStrikeByStrike) {
  auto byHand = makeList(3);
  const ByHand b = twoSolves(*byHand);
  auto mode5 = makeList(5);
  solveOf(*mode5, -1.0);
  const std::valarray<double> prices = mode5->getStrikePrices();
  const std::valarray<double> ivs = mode5->getStrikeIVs();
  ASSERT_EQ(prices.size(), 3u);
  for (std::size_t i = 0; i < prices.size(); ++i) {
    ASSERT_GT(b.C2[i], 0.0);
    const double e = 4.0 * b.C2[i] / 3.0 - b.C1[i] / 3.0;
    EXPECT_NEAR(prices[i], e, 1e-12 * e) << "strike " << mode5->strikes[i];
    const double Ki = mode5->strikes[i];
    EXPECT_NEAR(bsmPrice(100.0, Ki, 0.03, 0.01, ivs[i], 0.8, Ki <= 100.0 ? 1 : 0), e, 1e-9)
        << "strike " << Ki;
  }
}

// SolvedRun mode 4: every result vector but the nodes is the time extrapolation of the two
// convergence runs, with (int)(NT / 2.2) and the remaining steps; NT = 30 gives 13 and 17.
TEST(ConvergenceRun, TimeExtrapolationCombinesTheResultVectors) {
  const SolvedRun r1 = solveOf(*makeVanilla(5, 13)), r2 = solveOf(*makeVanilla(5, 17));
  const SolvedRun r = solveOf(*makeVanilla(4, 30));
  const double B = std::pow(17.0 / 13.0, 2), w1 = 1.0 / (B - 1.0), w2 = B / (B - 1.0);
  EXPECT_NEAR(r.summary[2], w2 * r2.summary[2] - w1 * r1.summary[2], 1e-12);
  ASSERT_EQ(r.out[0].size(), r2.out[0].size());
  for (std::size_t i = 0; i < r.out[0].size(); ++i) {
    EXPECT_EQ(r.out[0][i], r2.out[0][i]) << "node " << i;
    for (int k = 1; k <= 4; ++k) {
      const double e = w2 * r2.out[k][i] - w1 * r1.out[k][i];
      EXPECT_NEAR(r.out[k][i], e, 1e-10 * (1 + std::fabs(e))) << "vector " << k << " node " << i;
    }
  }
}

}  // namespace serivane
