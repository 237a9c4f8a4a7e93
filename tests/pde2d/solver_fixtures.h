#ifndef SERIVANE_TESTS_PDE2D_SOLVER_FIXTURES_H_
#define SERIVANE_TESTS_PDE2D_SOLVER_FIXTURES_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "core/qel_heston_vanilla.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "support/heston_pricer.h"
#include "support/temp_folder.h"

namespace serivane {

// The model, option and pricer set-up that the solver-variant tests share.
namespace solver_fixtures {

// The variance-grid fallback appends to "ErrorLog.txt" in the current folder: the solver tests run
// in a temporary folder of their own.
inline ::testing::Environment* const kTempFolder =
    ::testing::AddGlobalTestEnvironment(new TempFolderEnvironment);

struct Model {
  double v0, vL, kappa, xi, rho;
};

struct Option {
  double K = 100.0, T = 1.0;
  int CallPut = 1;
  int EuroAmer = 0;
  double r = 0.03, d = 0.01;
  int nExercise = 0;
};

// Grid sizes, run mode and method id of a solve.
struct Grid {
  int NS = 60, NV = 30, NT = 30;
  int runMode = 3;
  int methodID = 2;
};

constexpr double kS0 = 100.0;
// Coverage of the variance range: the calibration's usual level.
constexpr double kVarRange = 0.9999;

// The pricer data of model m (parameter model) and option o on grid g, with the constant
// arguments the robust pricers pass: clustered at the strike, sRangeParam 1.
inline PricerData pricerData(
    const Model& m, const Option& o, const Grid& g, int model, double varRange, double p) {
  PricerData a;
  a.S0 = kS0;
  a.K = o.K;
  a.T = o.T;
  a.volvol = m.xi;
  a.v0 = m.v0;
  a.vL = m.vL;
  a.theta = m.kappa;
  a.rho = m.rho;
  a.model = double(model);
  a.r = o.r;
  a.d = o.d;
  a.NS = g.NS;
  a.NV = g.NV;
  a.NT = g.NT;
  a.CallPut = o.CallPut;
  a.EuroAmer = o.EuroAmer;
  a.sRangeParam = 1.0;
  a.varRange = varRange;
  a.nExercise = o.nExercise;
  a.runMode = g.runMode;
  a.methodID = g.methodID;
  a.p = p;
  return a;
}

// A one-strike pricer clustered at the strike, built with the constant arguments the robust
// pricers pass, with exponent p.
inline std::unique_ptr<QelHestonVanilla> makePricer(const Model& m,
                                                    const Option& o,
                                                    const Grid& g,
                                                    int model,
                                                    double varRange = kVarRange,
                                                    double p = 1.0) {
  return serivane::makePricer(pricerData(m, o, g, model, varRange, p));
}

// The same of run mode 3 on the grid (NS, NV, NT).
inline std::unique_ptr<QelHestonVanilla> makePricer(const Model& m,
                                                    const Option& o,
                                                    int NS,
                                                    int NV,
                                                    int NT,
                                                    int methodID,
                                                    int model,
                                                    double p = 1.0) {
  return makePricer(m, o, Grid{NS, NV, NT, 3, methodID}, model, kVarRange, p);
}

// A put on the strike list (priced at the smallest strike) on the grid (n, n/2, n/2), r = 0.03,
// d = 0.01, exponent p.
inline std::unique_ptr<QelHestonVanilla> makeListPricer(const Model& m,
                                                        const std::vector<double>& strikes,
                                                        double T,
                                                        int n,
                                                        int methodID,
                                                        int model,
                                                        bool stripFlag = false,
                                                        int runMode = 3,
                                                        double p = 1.0) {
  Option o;
  o.T = T;
  return serivane::makeListPricer(
      pricerData(m, o, Grid{n, n / 2, n / 2, runMode, methodID}, model, kVarRange, p),
      strikes,
      stripFlag);
}

struct Solved {
  double price;  // summary[2], the reported price
  std::valarray<double> summary;
  std::valarray<double> out[5];
  double cpu;  // the solve's cpuTime on return
};

// One solve; cpuIn is the cpuTime passed in (negative asks for implied volatilities).
inline Solved solveOnce(QelHestonVanilla& q, double cpuIn = 0.0) {
  Solved s;
  s.cpu = cpuIn;
  q.solve(s.out[0], s.out[1], s.out[2], s.out[3], s.out[4], s.cpu);
  s.summary = q.getSummary();
  s.price = s.summary[2];
  return s;
}

// The price on the grid (n, n/2, n/2).
inline double pdePrice(const Model& m, const Option& o, int n, int methodID, int model = 0) {
  return solveOnce(*makePricer(m, o, n, n / 2, n / 2, methodID, model)).price;
}

inline double pdePrice(
    const Model& m, const Option& o, const Grid& g, int model, double varRange = kVarRange) {
  return solveOnce(*makePricer(m, o, g, model, varRange)).price;
}

// The largest second difference of v over all nodes.
inline double maxSecondDifference(const std::valarray<double>& v) {
  double worst = 0.0;
  for (std::size_t i = 1; i + 1 < v.size(); ++i) {
    worst = std::max(worst, std::abs(v[i + 1] - 2 * v[i] + v[i - 1]));
  }
  return worst;
}

// Second differences of gamma at the nodes within 20% of the strike (S = exp(x) when the pricer's
// grid holds ln S): the oscillations that the kinked payoff leaves without a damped start.
inline double gammaRoughness(const std::valarray<double>& gamma,
                             const QelHestonVanilla& q,
                             bool logGrid) {
  double worst = 0.0;
  for (std::size_t i = 1; i + 1 < gamma.size(); ++i) {
    const double S = logGrid ? std::exp(q.grid[i]) : q.grid[i];
    if (std::abs(S / q.K - 1.0) > 0.2) continue;
    worst = std::max(worst, std::abs(gamma[i + 1] - 2 * gamma[i] + gamma[i - 1]));
  }
  return worst;
}

inline double hestonPrice(const Model& m, const Option& o) {
  AnalyticHestonEngine engine(1e-12, 1000000);
  return engine.price(
      kS0, o.K, o.T, o.r, o.d, m.v0, m.vL, m.kappa, m.xi, m.rho, o.CallPut == 1 ? -1 : 1);
}

// The square-root variance models of the variants' convergence surveys.
inline constexpr Model kSurveyModels[] = {
    {0.04, 0.04, 1.5, 0.3, -0.9},
    {0.09, 0.05, 3.0, 1.0, -0.5},
};

// Prices of one-year puts and calls at K = 90 and 110 under kSurveyModels by methodID on the grids
// (n, n/2, n/2), n = 30, 60, 120: the root-mean-square errors against the analytic Heston price,
// and the worst gap to method compareID on n = 60.
struct ConvergenceSurvey {
  static constexpr int kSizes[3] = {30, 60, 120};
  double rms[3];
  double worstGap;
};

inline ConvergenceSurvey surveyConvergence(int methodID, int compareID) {
  double sumSq[3] = {0, 0, 0};
  double worstGap = 0.0;
  int count = 0;
  for (const Model& m : kSurveyModels) {
    for (double K : {90.0, 110.0}) {
      for (int cp : {0, 1}) {
        Option o;
        o.K = K;
        o.CallPut = cp;
        const double ref = hestonPrice(m, o);
        for (int s = 0; s < 3; ++s) {
          const double e = pdePrice(m, o, ConvergenceSurvey::kSizes[s], methodID) - ref;
          sumSq[s] += e * e;
        }
        worstGap = std::max(worstGap,
                            std::abs(pdePrice(m, o, 60, methodID) - pdePrice(m, o, 60, compareID)));
        ++count;
      }
    }
  }
  ConvergenceSurvey survey;
  for (int s = 0; s < 3; ++s) survey.rms[s] = std::sqrt(sumSq[s] / count);
  survey.worstGap = worstGap;
  std::printf("method %d: rms price error %.3e, %.3e, %.3e; worst |p - p(method %d)| at 60: %.3e\n",
              methodID,
              survey.rms[0],
              survey.rms[1],
              survey.rms[2],
              compareID,
              worstGap);
  return survey;
}

// The survey of methodID against compareID: an observed order above 1.6 between successive grids,
// an rms error below 2e-3 on the finest and a gap below 0.02.
inline void expectSecondOrderSurvey(int methodID, int compareID) {
  const ConvergenceSurvey survey = surveyConvergence(methodID, compareID);
  const int* sizes = ConvergenceSurvey::kSizes;
  for (int s = 0; s + 1 < 3; ++s) {
    EXPECT_GT(std::log2(survey.rms[s] / survey.rms[s + 1]), 1.6)
        << "method " << methodID << ", observed order between grids " << sizes[s] << " and "
        << sizes[s + 1];
  }
  EXPECT_LT(survey.rms[2], 2e-3) << "method " << methodID;
  EXPECT_LT(survey.worstGap, 0.02) << "method " << methodID;
}

}  // namespace solver_fixtures

}  // namespace serivane

#endif  // SERIVANE_TESTS_PDE2D_SOLVER_FIXTURES_H_
