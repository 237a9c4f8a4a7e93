// Variance grids: the invariants of every build, nesting under doubled counts, the clustering
// rules, and the fallback of the hybrid grid with its "ErrorLog.txt" line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <valarray>

#include "core/qel_heston_vanilla.h"
#include "qel_heston_vanilla_test_util.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

PricerData model(double m, double v0 = 0.04) {
  PricerData a;
  a.model = m;
  a.v0 = v0;
  return a;
}

void expectValidGrid(const QelHestonVanilla& o,
                     const std::valarray<double>& g,
                     double vp,
                     double Vmax,
                     double topTol,
                     const std::string& label) {
  ASSERT_EQ(static_cast<int>(g.size()), o.NV + 1) << label;
  EXPECT_EQ(g[0], 0.0) << label;
  for (std::size_t i = 1; i < g.size(); ++i) ASSERT_GT(g[i], g[i - 1]) << label << " node " << i;
  ASSERT_GE(o.iToV0, 1) << label;
  EXPECT_NEAR(g[o.iToV0], vp, 1e-12 * vp) << label;
  EXPECT_NEAR(g[o.NV], Vmax, topTol * Vmax) << label;
}

struct GridCase {
  std::string label;
  double model;
  double v0, Vmax;
  int n;
  double c;
};

// clang-format off
const GridCase kGridCases[] = {
    {"diffusion, default",            1.0, 0.04,  0.6,  30, 4.0},
    {"diffusion, small v0",           1.0, 0.005, 0.8,  40, 4.0},
    {"diffusion, few nodes",          1.0, 0.04,  0.3,  12, 4.0},
    {"square-root, default",          0.0, 0.04,  0.3,  30, 4.5},
    {"square-root, high v0",          0.0, 0.2,   0.9,  25, 4.5},
    {"square-root, many nodes",       0.0, 0.03,  0.5, 100, 4.5},
};
// clang-format on

}  // namespace

TEST(VarianceGrids, SinhGridInvariantsAndRefinement) {
  for (const GridCase& c : kGridCases) {
    auto o = makePricer(model(c.model, c.v0));
    std::valarray<double> g;
    o->buildVGridSinh(c.v0, c.n, c.Vmax, c.c, g);
    expectValidGrid(*o, g, c.v0, c.Vmax, 1e-6, c.label);
    EXPECT_GE(o->NV, c.n) << c.label;
    // A repeated build gives the same grid.
    std::valarray<double> again;
    o->buildVGridSinh(c.v0, c.n, c.Vmax, c.c, again);
    ASSERT_EQ(again.size(), g.size()) << c.label;
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(again[i], g[i]) << c.label;
    // Doubled counts and index with the placement kept: the exact refinement.
    const int coarseNV = o->NV;
    o->iToV0 *= 2;
    std::valarray<double> fine;
    o->buildVGridSinh(c.v0, 2 * c.n, c.Vmax, c.c, fine);
    expectValidGrid(*o, fine, c.v0, c.Vmax, 1e-6, c.label + " refined");
    ASSERT_EQ(o->NV, 2 * coarseNV) << c.label;
    for (int i = 0; i <= coarseNV; ++i) EXPECT_EQ(fine[2 * i], g[i]) << c.label << " node " << i;
  }
}

TEST(VarianceGrids, HybridGridInvariantsAndRefinement) {
  for (const GridCase& c : kGridCases) {
    auto o = makePricer(model(c.model, c.v0));
    std::valarray<double> g;
    o->buildVGridHybrid(c.v0, c.n, c.Vmax, c.c, g);
    ASSERT_FALSE(o->useSinhVGrid) << c.label;
    expectValidGrid(*o, g, c.v0, c.Vmax, 1e-13, c.label);
    const int i0 = o->iToV0;
    const double h = c.v0 / i0;
    // Uniform below 2 v0; the first stretched cell as long as a uniform one.
    for (int i = 0; i < 2 * i0; ++i) EXPECT_EQ(g[i], i * h) << c.label << " node " << i;
    EXPECT_NEAR(g[2 * i0] - g[2 * i0 - 1], h, 1e-7 * h) << c.label;
    EXPECT_EQ(o->nVStretch, o->NV - 2 * i0) << c.label << ": stretched cells minus one";

    // A repeated build gives the same grid.
    std::valarray<double> again;
    o->buildVGridHybrid(c.v0, c.n, c.Vmax, c.c, again);
    ASSERT_EQ(again.size(), g.size()) << c.label;
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(again[i], g[i]) << c.label;

    // The convergence run doubles NV, iToV0 and nVStretch: 2 NV intervals, step h / 2.
    const int coarseNV = o->NV;
    o->NV *= 2;
    o->iToV0 *= 2;
    o->nVStretch *= 2;
    std::valarray<double> fine;
    o->buildVGridHybrid(c.v0, o->NV, c.Vmax, c.c, fine);
    ASSERT_FALSE(o->useSinhVGrid) << c.label;
    expectValidGrid(*o, fine, c.v0, c.Vmax, 1e-13, c.label + " refined");
    EXPECT_EQ(o->NV, 2 * coarseNV) << c.label;
    EXPECT_EQ(o->iToV0, 2 * i0) << c.label;
    for (int i = 0; i < 2 * i0; ++i) EXPECT_EQ(fine[2 * i], g[i]) << c.label << " node " << i;
    EXPECT_NEAR(fine[1], h / 2, 1e-16) << c.label;
  }
}

TEST(VarianceGrids, MinimumIndexOfTheStartVariance) {
  // v0 far below Vmax: the map alone would put v0 on node 0, the minimum index takes over.
  const struct { int n, minIdx; } cases[] = {{12, 4}, {15, 5}, {18, 6}, {30, 6}, {60, 12}};
  for (const auto& c : cases) {
    auto o = makePricer(model(0.0, 1e-4));
    std::valarray<double> g;
    o->buildVGridSinh(1e-4, c.n, 1.0, 2.0, g);
    EXPECT_EQ(o->iToV0, c.minIdx) << "n = " << c.n;
    EXPECT_NEAR(g[c.minIdx], 1e-4, 1e-16) << "n = " << c.n;
  }
  // vp = 0 is placed as 1e-4.
  auto o = makePricer(model(0.0, 0.0));
  std::valarray<double> g;
  o->buildVGridSinh(0.0, 30, 0.5, 4.5, g);
  EXPECT_NEAR(g[o->iToV0], 1e-4, 1e-16);
}

TEST(VarianceGrids, DiffusionModelChoosesItsOwnConcentration) {
  struct Case {
    std::string label;
    int vGridMode;
    double c;
    double equivalentC;  // concentration of the same grid under the square-root model
  };
  const Case cases[] = {{"mode 0, c 1", 0, 1.0, 8.5},
                        {"mode 0, c 6", 0, 6.0, 8.5},
                        {"mode 1", 1, 1.0, 9.5},
                        {"mode 2", 2, 1.0, 9.5}};
  for (const Case& c : cases) {
    auto diffusion = makePricer(model(1.0));
    auto squareRoot = makePricer(model(0.0));
    diffusion->vGridMode = c.vGridMode;
    std::valarray<double> g, expected;
    diffusion->buildVGridSinh(0.04, 30, 0.6, c.c, g);
    squareRoot->buildVGridSinh(0.04, 30, 0.6, c.equivalentC, expected);
    ASSERT_EQ(g.size(), expected.size()) << c.label;
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(g[i], expected[i]) << c.label;
  }
}

TEST(VarianceGrids, HybridGetsAtLeastFiveStretchedCells) {
  auto sinh = makePricer(model(1.0));
  std::valarray<double> g;
  sinh->buildVGridSinh(0.04, 30, 0.1, 4.0, g);
  ASSERT_EQ(sinh->NV - 2 * sinh->iToV0 + 1, 3) << "the sinh start has three stretched cells";
  auto o = makePricer(model(1.0));
  o->buildVGridHybrid(0.04, 30, 0.1, 4.0, g);
  ASSERT_FALSE(o->useSinhVGrid);
  EXPECT_GE(o->nVStretch + 1, 5);
  expectValidGrid(*o, g, 0.04, 0.1, 1e-13, "three stretched cells");
}

TEST(VarianceGrids, HybridFallsBackToTheSinhGrid) {
  struct Case {
    std::string label;
    double v0, Vmax, c;
  };
  const Case cases[] = {
      // The first stretched cell would need a concentration beyond 20.
      {"stretching out of range", 1e-10, 1.0, 4.5},
      // v0 / Vmax above the share of nodes below it: no room for uniform cells below v0.
      {"uniform part too coarse", 0.04, 0.08, 4.0},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    auto o = makePricer(model(0.0, c.v0));
    auto ref = makePricer(model(0.0, c.v0));
    std::valarray<double> g, expected;
    ref->buildVGridSinh(c.v0, 30, c.Vmax, c.c, expected);
    o->buildVGridHybrid(c.v0, 30, c.Vmax, c.c, g);
    EXPECT_TRUE(o->useSinhVGrid) << c.label;
    ASSERT_EQ(g.size(), expected.size()) << c.label;
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(g[i], expected[i]) << c.label;
    EXPECT_EQ(o->NV, ref->NV) << c.label;
    EXPECT_EQ(o->iToV0, ref->iToV0) << c.label;
    EXPECT_EQ(folder.read("ErrorLog.txt"),
              "The hybrid V-grid generator failed for option with K =  100, T = 1\n")
        << c.label;
    // The next solve calls the sinh generator directly and gets the same grid.
    std::valarray<double> next;
    o->buildVGridSinh(c.v0, 30, c.Vmax, c.c, next);
    ASSERT_EQ(next.size(), expected.size()) << c.label;
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(next[i], expected[i]) << c.label;
  }
}

TEST(VarianceGrids, RebuildOnAKeptPlacementThatNoLongerFits) {
  // Hybrid: a later build whose stretched part cannot reach the new Vmax (too little room above
  // the uniform part, or a first cell needing too strong a stretching) builds a sinh grid.
  for (double Vmax : {0.1, 1e9}) {
    TempFolder folder;
    auto o = makePricer(model(0.0));
    std::valarray<double> g;
    o->buildVGridHybrid(0.04, 30, 0.4, 4.5, g);
    ASSERT_FALSE(o->useSinhVGrid);
    o->buildVGridHybrid(0.04, 30, Vmax, 4.5, g);
    EXPECT_TRUE(o->useSinhVGrid) << Vmax;
    expectValidGrid(*o, g, 0.04, Vmax, 1e-6, "hybrid rebuild");
    EXPECT_EQ(folder.read("ErrorLog.txt"),
              "The hybrid V-grid generator failed for option with K =  100, T = 1\n");
  }

  // Sinh: the placement of a build with another Vmax and v0 (a bumped solve) lands no node on the
  // new Vmax; the grid is refitted with v0 kept on node iToV0.
  auto s = makePricer(model(1.0));
  std::valarray<double> g;
  s->buildVGridSinh(0.04, 30, 0.6, 4.0, g);
  const int i0 = s->iToV0;
  s->bumpVol(0.01);
  s->buildVGridSinh(s->v0, 30, 0.63, 4.0, g);
  EXPECT_EQ(s->iToV0, i0);
  expectValidGrid(*s, g, s->v0, 0.63, 1e-6, "sinh rebuild");
}

TEST(VarianceGrids, SinhFailures) {
  auto o = makePricer(model(0.0));
  std::valarray<double> g;
  expectThrowsMessage([&] { o->buildVGridSinh(0.04, 30, 0.02, 4.5, g); },
                      "There was a problem while generating the PDE grid for this vanilla option.",
                      "Vmax below v0");
  // The concentration that would put a node on Vmax is 0: the secant leaves the usable range.
  expectThrowsMessage([&] { o->buildVGridSinh(0.04, 30, 0.12, 1.0, g); },
                      "The first V-grid generator failed for option with K =  100.000000, T = "
                      "1.000000, v0= 0.040000, vL = 0.050000, theta = 2.000000, xi = 1.000000, "
                      "rho = -0.500000",
                      "fit failure");
  expectThrowsMessage([&] { o->buildVGridHybrid(0.04, 0, 0.12, 4.5, g); },
                      "the variance grid needs at least one interval",
                      "no interval");
}

}  // namespace serivane
