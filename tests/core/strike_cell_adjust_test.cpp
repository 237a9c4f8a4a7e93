#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <valarray>

#include "core/qel_heston_vanilla.h"
#include "qel_heston_vanilla_test_util.h"

namespace serivane {

namespace {

// Non-uniform nodes 0, 1, 3, 4.5, 7, 8, 10.
const std::valarray<double> kNodes = {0.0, 1.0, 3.0, 4.5, 7.0, 8.0, 10.0};

double in(double s) { return 1.0 + 0.5 * s - 0.2 * s * s; }
double out(double s) { return 2.0 - 0.3 * s; }

}  // namespace

TEST(StrikeCellAdjust, CellAverageOfTheTwoProfiles) {
  auto o = makePricer(PricerData{});
  o->grid = kNodes;
  o->nSNodes = 7;
  std::valarray<double> inRow(7), outRow(7);
  for (int i = 0; i < 7; ++i) {
    inRow[i] = in(kNodes[i]);
    outRow[i] = out(kNodes[i]);
  }
  struct Case {
    std::string label;
    double x;
    int node;  // the node that changes, -1 for none
  };
  const Case cases[] = {
      {"x below its node", 2.5, 2},
      {"x above its node", 3.3, 2},
      {"x on a node", 4.5, 3},
      {"x at a mid-point", 5.75, 3},
      {"nearest node is the first", 0.3, -1},
      {"x at the first node", 0.0, -1},
      {"x below the grid", -1.0, -1},
      {"nearest node is the last", 9.5, -1},
      {"last interior cell", 7.9, 5},
      {"line would leave the grid", 8.5, -1},
  };
  for (const Case& c : cases) {
    std::valarray<double> result = outRow;
    strikeCellAdjust(*o, result, inRow, c.x, false, true);
    for (int i = 0; i < 7; ++i) {
      if (i != c.node) {
        EXPECT_EQ(result[i], outRow[i]) << c.label << " node " << i;
        continue;
      }
      // Exact average over the cell: the quadratic below x, the straight line above it.
      const double lo = 0.5 * (kNodes[i - 1] + kNodes[i]);
      const double hi = 0.5 * (kNodes[i] + kNodes[i + 1]);
      const auto P = [](double s) { return s + 0.25 * s * s - 0.2 / 3 * s * s * s; };
      const auto L = [](double s) { return 2.0 * s - 0.15 * s * s; };
      const double expected = (P(c.x) - P(lo) + L(hi) - L(c.x)) / (hi - lo);
      EXPECT_NEAR(result[i], expected, 1e-13) << c.label;
    }
  }
}

TEST(StrikeCellAdjust, RefusesOtherModesAndShortRows) {
  auto o = makePricer(PricerData{});
  o->grid = kNodes;
  o->nSNodes = 7;
  std::valarray<double> row(1.0, 7), shortRow(1.0, 5);
  const std::string refused =
      "strikeCellAdjust supports only the side flag false with the quadratic flag true";
  expectThrowsMessage([&] { strikeCellAdjust(*o, row, row, 3.3, true, true); }, refused);
  expectThrowsMessage([&] { strikeCellAdjust(*o, row, row, 3.3, false, false); }, refused);
  expectThrowsMessage([&] { strikeCellAdjust(*o, row, row, 3.3, true, false); }, refused);
  expectThrowsMessage([&] { strikeCellAdjust(*o, shortRow, row, 3.3, false, true); },
                      "strikeCellAdjust needs grid and rows of nSNodes entries");
}

}  // namespace serivane
