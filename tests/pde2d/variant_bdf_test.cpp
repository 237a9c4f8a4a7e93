// The sparse-direct BDF solvers (method ids 1 and 15) against the semi-analytic Heston engine, with
// their order of convergence, put-call parity and the Bermudan restarts of the asset-grid ladder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <valarray>

#include "core/qel_heston_vanilla.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_fixtures.h"

namespace serivane {

namespace {

constexpr double kS0 = 100.0;
constexpr double kR = 0.03, kD = 0.01;

using solver_fixtures::Model;

// A square-root variance pricer of run mode 3.
std::unique_ptr<QelHestonVanilla> makePricer(const Model& m,
                                             double K,
                                             double T,
                                             int CallPut,
                                             int NS,
                                             int NV,
                                             int NT,
                                             int methodID,
                                             int nExercise = 0,
                                             int EuroAmer = 0) {
  solver_fixtures::Option o;
  o.K = K;
  o.T = T;
  o.CallPut = CallPut;
  o.EuroAmer = EuroAmer;
  o.r = kR;
  o.d = kD;
  o.nExercise = nExercise;
  return solver_fixtures::makePricer(m, o, NS, NV, NT, methodID, 0);
}

double pdePrice(QelHestonVanilla& p) {
  std::valarray<double> out[5];
  double cpu = 0.0;
  p.solve(out[0], out[1], out[2], out[3], out[4], cpu);
  return p.getSummary()[2];
}

double pdePrice(const Model& m, double K, double T, int CallPut, int n, int methodID) {
  auto p = makePricer(m, K, T, CallPut, n, n / 2, n / 2, methodID);
  return pdePrice(*p);
}

double hestonPrice(const Model& m, double K, double T, int CallPut) {
  AnalyticHestonEngine engine(1e-12, 1000000);
  return engine.price(kS0, K, T, kR, kD, m.v0, m.vL, m.kappa, m.xi, m.rho, CallPut == 1 ? -1 : 1);
}

const Model kModels[] = {
    {0.04, 0.04, 1.5, 0.3, -0.9},
    {0.02, 0.06, 0.5, 0.6, 0.3},
};

}  // namespace

// Both solvers on grids (n, n/2, n/2), puts and calls over strikes and maturities: the error
// against the analytic Heston price falls at about second order and is small on the finest grid.
TEST(BdfSolver, ConvergesToTheAnalyticHestonPrice) {
  struct Method {
    const char* label;
    int id;
    double finestRms;
  };
  const int sizes[] = {20, 40, 80};
  for (const Method meth : {Method{"asset grid", 1, 3e-3}, Method{"log-asset grid", 15, 7e-3}}) {
    double sumSq[3] = {0, 0, 0};
    int count = 0;
    for (const Model& m : kModels) {
      for (double T : {0.25, 1.0}) {
        for (double K : {90.0, 110.0}) {
          for (int cp : {0, 1}) {
            const double ref = hestonPrice(m, K, T, cp);
            for (int s = 0; s < 3; ++s) {
              const double e = pdePrice(m, K, T, cp, sizes[s], meth.id) - ref;
              sumSq[s] += e * e;
            }
            ++count;
          }
        }
      }
    }
    double rms[3];
    for (int s = 0; s < 3; ++s) {
      rms[s] = std::sqrt(sumSq[s] / count);
      std::printf("%s, grid (%d,%d,%d): rms price error %.3e\n",
                  meth.label,
                  sizes[s],
                  sizes[s] / 2,
                  sizes[s] / 2,
                  rms[s]);
    }
    for (int s = 0; s + 1 < 3; ++s) {
      EXPECT_GT(std::log2(rms[s] / rms[s + 1]), 1.6)
          << meth.label << ", grids " << sizes[s] << " and " << sizes[s + 1];
    }
    EXPECT_LT(rms[2], meth.finestRms) << meth.label;
  }
}

// Put and call differ by the forward S0 e^(-dT) - K e^(-rT). On the asset grid the spatial operator
// and the smoothed payoffs carry the linear difference exactly, so only the time discretisation of
// the discount factors remains; on the log-asset grid S = e^x adds the spatial error.
TEST(BdfSolver, PutsAndCallsSatisfyParity) {
  const Model& m = kModels[0];
  struct Method {
    int id;
    double tol;
  };
  for (const Method meth : {Method{1, 1e-4}, Method{15, 2e-3}}) {
    const int id = meth.id;
    for (double K : {90.0, 100.0, 120.0}) {
      const double T = 1.0;
      const double call = pdePrice(m, K, T, 0, 40, id);
      const double put = pdePrice(m, K, T, 1, 40, id);
      const double forward = kS0 * std::exp(-kD * T) - K * std::exp(-kR * T);
      EXPECT_NEAR(call - put, forward, meth.tol) << "method " << id << ", K " << K;
    }
  }
}

// Bermudan puts of the asset-grid ladder (restarted after every date): worth more than the European
// put, more with more dates, and below the American put of the
// Hundsdorfer-Verwer solver with its exercise at every step.
TEST(BdfSolver, BermudanPutLiesBetweenEuropeanAndAmerican) {
  const Model& m = kModels[0];
  const double K = 120.0, T = 1.0;
  auto euro = makePricer(m, K, T, 1, 40, 20, 20, 1);
  auto berm4 = makePricer(m, K, T, 1, 40, 20, 20, 1, 4, 2);
  auto berm12 = makePricer(m, K, T, 1, 40, 20, 24, 1, 12, 2);
  auto amer = makePricer(m, K, T, 1, 40, 20, 40, 2, 0, 1);
  ASSERT_TRUE(berm4->bermudan);
  const double e = pdePrice(*euro), b4 = pdePrice(*berm4), b12 = pdePrice(*berm12),
               a = pdePrice(*amer);
  std::printf(
      "European %.5f, Bermudan 4 dates %.5f, 12 dates %.5f, American %.5f\n", e, b4, b12, a);
  EXPECT_GT(b4, e + 0.05);
  EXPECT_GT(b12, b4);
  EXPECT_LT(b12, a);
}

}  // namespace serivane
