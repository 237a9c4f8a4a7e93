// Delta and gamma of a solve along the asset grid against differences of the analytic Heston
// price, whether or not the pricer was asked to cluster its grid at the strike: the grid builders
// cluster it whenever their concentration is positive, and the Greeks must follow the grid built.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "core/qel_heston_vanilla.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "pde2d/pde_solve.h"
#include "support/heston_pricer.h"

namespace serivane {

TEST(GreeksAlongTheGrid, FollowTheGridBuiltForEitherClusterFlag) {
  PricerData a;
  a.T = 1.0;
  a.r = 0.02;
  a.d = 0.01;
  a.v0 = 0.04;
  a.vL = 0.05;
  a.theta = 2.0;
  a.volvol = 0.6;
  a.rho = -0.7;
  a.model = 0.0;
  a.NS = 120;
  a.NV = 60;
  a.NT = 60;
  a.sRangeParam = 1.0;
  a.varRange = 0.9999;
  AnalyticHestonEngine engine(1e-12, 1000000);
  for (int methodID : {1, 15}) {
    for (bool cluster : {false, true}) {
      for (int CallPut : {0, 1}) {
        a.methodID = methodID;
        a.clusterAtStrike = cluster;
        a.CallPut = CallPut;
        auto q = makePricer(a);
        PDESolveResults res;
        double cpu = 0.0;
        q->dispatchSolver(res, cpu);
        const auto price = [&](double S) {
          return engine.price(
              S, a.K, a.T, a.r, a.d, a.v0, a.vL, a.theta, a.volvol, a.rho, CallPut == 0 ? 1 : -1);
        };
        int checked = 0;
        for (std::size_t i = 0; i < res[0].size(); ++i) {
          const double S = res[0][i];
          if (S < 70.0 || S > 140.0) continue;
          ++checked;
          const double h = 0.5;
          const double up = price(S + h), mid = price(S), down = price(S - h);
          const std::string label = "method " + std::to_string(methodID) + ", cluster " +
                                    std::to_string(cluster) + ", put " + std::to_string(CallPut) +
                                    ", S " + std::to_string(S);
          EXPECT_NEAR(res[2][i], (up - down) / (2 * h), 3e-3) << label;
          EXPECT_NEAR(res[3][i], (up - 2 * mid + down) / (h * h), 1e-3) << label;
        }
        EXPECT_GT(checked, 10);
      }
    }
  }
}

}  // namespace serivane
