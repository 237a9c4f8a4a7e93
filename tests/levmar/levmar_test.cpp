#include "levmar/levmar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "levmar/levmar_internal.h"

namespace {

using levmar_internal::LinearSolver;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A model handed to the routines through adata: counts its calls, remembers the points and
// notes any point outside the box it is given.
struct Model {
  int m = 0;
  int n = 0;
  std::function<void(const double* p, double* hx)> f;
  std::vector<double> lb;  // empty: no box check
  std::vector<double> ub;
  long calls = 0;
  bool leftBox = false;
  std::vector<std::vector<double>> points;
};

void callModel(double* p, double* hx, int m, int n, void* adata) {
  Model* model = static_cast<Model*>(adata);
  EXPECT_EQ(m, model->m);
  EXPECT_EQ(n, model->n);
  ++model->calls;
  for (int j = 0; j < m && !model->lb.empty(); ++j)
    if (!(p[j] >= model->lb[j] && p[j] <= model->ub[j])) model->leftBox = true;
  model->points.emplace_back(p, p + m);
  model->f(p, hx);
}

enum class Routine { kDif, kBcDif };

struct Config {
  Routine routine;
  LinearSolver solver;
  std::string name;
};

// Every routine with every linear solver built in; dlevmar_bc_dif without bounds here.
std::vector<Config> allConfigs() {
  std::vector<Config> configs;
  const std::vector<std::pair<LinearSolver, std::string>> solvers = {
#ifndef LM_NO_LAPACK
      {LinearSolver::kLapack, "LAPACK"},
#endif
      {LinearSolver::kLu, "LU"}};
  for (const auto& s : solvers) {
    configs.push_back({Routine::kDif, s.first, "dif/" + s.second});
    configs.push_back({Routine::kBcDif, s.first, "bc_dif/" + s.second});
  }
  return configs;
}

int runLevmar(const Config& config,
              Model& model,
              std::vector<double>& p,
              std::vector<double>* x,
              int itmax,
              const double* opts,
              double* info,
              double* covar = nullptr,
              const double* lb = nullptr,
              const double* ub = nullptr,
              const double* dscl = nullptr) {
  double* xData = x ? x->data() : nullptr;
  if (config.routine == Routine::kDif)
    return levmar_internal::levmarDif(callModel,
                                      p.data(),
                                      xData,
                                      model.m,
                                      model.n,
                                      itmax,
                                      opts,
                                      info,
                                      covar,
                                      &model,
                                      config.solver);
  return levmar_internal::levmarBcDif(callModel,
                                      p.data(),
                                      xData,
                                      model.m,
                                      model.n,
                                      lb,
                                      ub,
                                      dscl,
                                      itmax,
                                      opts,
                                      info,
                                      covar,
                                      &model,
                                      config.solver);
}

double squaredError(Model& model, const std::vector<double>& p, const std::vector<double>* x) {
  std::vector<double> hx(model.n);
  model.f(p.data(), hx.data());
  double sum = 0.0;
  for (int i = 0; i < model.n; ++i) {
    const double e = (x ? (*x)[i] : 0.0) - hx[i];
    sum += e * e;
  }
  return sum;
}

// Rosenbrock's function as the residuals (10 (p1 - p0^2), 1 - p0) against zero measurements;
// minimum 0 at (1, 1).
Model rosenbrock() {
  Model model;
  model.m = 2;
  model.n = 2;
  model.f = [](const double* p, double* hx) {
    hx[0] = 10.0 * (p[1] - p[0] * p[0]);
    hx[1] = 1.0 - p[0];
  };
  return model;
}

// y = a exp(-k t) + c at t = 0, 0.25, ..., 4.75.
Model exponentialDecay() {
  Model model;
  model.m = 3;
  model.n = 20;
  model.f = [](const double* p, double* hx) {
    for (int i = 0; i < 20; ++i) hx[i] = p[0] * std::exp(-p[1] * 0.25 * i) + p[2];
  };
  return model;
}

// NIST StRD Misra1a (lower difficulty): y = b1 (1 - exp(-b2 x)), 14 observations, with its
// certified values below.
const std::vector<double> kMisraX = {77.6,
                                     114.9,
                                     141.1,
                                     190.8,
                                     239.9,
                                     289.0,
                                     332.8,
                                     378.4,
                                     434.8,
                                     477.3,
                                     536.8,
                                     593.1,
                                     689.1,
                                     760.0};
const std::vector<double> kMisraY = {10.07,
                                     14.73,
                                     17.94,
                                     23.93,
                                     29.61,
                                     35.18,
                                     40.02,
                                     44.82,
                                     50.76,
                                     55.05,
                                     61.01,
                                     66.40,
                                     75.47,
                                     81.78};
constexpr double kMisraB1 = 2.3894212918E+02;
constexpr double kMisraB2 = 5.5015643181E-04;
constexpr double kMisraResidualSumOfSquares = 1.2455138894E-01;
constexpr double kMisraSdB2 = 7.2668688436E-06;

Model misra1a() {
  Model model;
  model.m = 2;
  model.n = 14;
  model.f = [](const double* p, double* hx) {
    for (int i = 0; i < 14; ++i) hx[i] = p[0] * (1.0 - std::exp(-p[1] * kMisraX[i]));
  };
  return model;
}

TEST(Levmar, RosenbrockResidualsReachTheMinimum) {
  for (const Config& config : allConfigs()) {
    Model model = rosenbrock();
    std::vector<double> p = {-1.2, 1.0};
    double info[LM_INFO_SZ];
    const int iterations = runLevmar(config, model, p, nullptr, 1000, nullptr, info);
    ASSERT_GT(iterations, 0) << config.name;
    EXPECT_NEAR(p[0], 1.0, 1e-7) << config.name;
    EXPECT_NEAR(p[1], 1.0, 1e-7) << config.name;
    EXPECT_LE(info[1], 1e-14) << config.name;
    // (-4.4, 2.2) at the start.
    EXPECT_DOUBLE_EQ(info[0], 24.2) << config.name;
  }
}

TEST(Levmar, ExponentialDecayWithExactDataRecoversTheParameters) {
  const std::vector<double> truth = {5.0, 1.3, 0.5};
  for (const Config& config : allConfigs()) {
    Model model = exponentialDecay();
    std::vector<double> x(20);
    model.f(truth.data(), x.data());
    std::vector<double> p = {1.0, 0.5, 0.0};
    double info[LM_INFO_SZ];
    runLevmar(config, model, p, &x, 1000, nullptr, info);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(p[j], truth[j], 1e-8) << config.name << ", p" << j;
    EXPECT_EQ(info[6], LM_STOP_SMALL_ERROR) << config.name;
  }
}

TEST(Levmar, Misra1aMatchesTheCertifiedValues) {
  struct Case {
    const char* label;
    bool boxOnly;  // only through dlevmar_bc_dif (uses dscl)
    bool difOnly;  // only through dlevmar_dif
    double b1;
    double b2;
    double delta;
    std::vector<double> dscl;  // empty: none
    double tolerance;          // relative, on b1 and b2
  };
  // b1 ~ 240 and b2 ~ 5e-4 make this badly scaled: the difference step of b2 is the absolute
  // delta = 1e-6, 0.2% of b2 and more at start 1. Central differences keep the bias of J at
  // second order; forward ones need dscl to bring both parameters to the same scale, or the
  // Broyden updates of dlevmar_dif, which correct J along the steps.
  const std::vector<Case> cases = {
      {"start 1, central", false, false, 500.0, 1e-4, -1e-6, {}, 1e-8},
      {"start 2, central", false, false, 250.0, 5e-4, -1e-6, {}, 1e-8},
      {"start 1, forward, scaled", true, false, 500.0, 1e-4, 1e-6, {100.0, 1e-4}, 1e-6},
      {"start 2, forward, scaled", true, false, 250.0, 5e-4, 1e-6, {100.0, 1e-4}, 1e-6},
      {"start 2, forward", false, true, 250.0, 5e-4, 1e-6, {}, 1e-6},
  };
  for (const Config& config : allConfigs())
    for (const Case& c : cases) {
      if ((c.boxOnly && config.routine != Routine::kBcDif) ||
          (c.difOnly && config.routine != Routine::kDif))
        continue;
      const std::string label = config.name + ", " + c.label;
      Model model = misra1a();
      std::vector<double> x = kMisraY;
      std::vector<double> p = {c.b1, c.b2};
      const double opts[LM_OPTS_SZ] = {1e-3, 1e-15, 1e-15, 1e-20, c.delta};
      double info[LM_INFO_SZ];
      runLevmar(config,
                model,
                p,
                &x,
                1000,
                opts,
                info,
                nullptr,
                nullptr,
                nullptr,
                c.dscl.empty() ? nullptr : c.dscl.data());
      EXPECT_NEAR(p[0] / kMisraB1, 1.0, c.tolerance) << label;
      EXPECT_NEAR(p[1] / kMisraB2, 1.0, c.tolerance) << label;
      EXPECT_NEAR(info[1] / kMisraResidualSumOfSquares, 1.0, 1e-9) << label;
    }
}

// covar = s^2 (J^T J)^-1 with s^2 = RSS / (n - 2), J the analytic Jacobian at the certified
// solution. The central difference of b2 (step 1e-6 on 5.5e-4) is good to about 1e-6.
TEST(Levmar, CovarianceOfMisra1aMatchesTheAnalyticJacobian) {
  double jtj[3] = {0.0, 0.0, 0.0};  // (0,0), (0,1), (1,1)
  for (double xi : kMisraX) {
    const double d0 = 1.0 - std::exp(-kMisraB2 * xi);
    const double d1 = kMisraB1 * xi * std::exp(-kMisraB2 * xi);
    jtj[0] += d0 * d0;
    jtj[1] += d0 * d1;
    jtj[2] += d1 * d1;
  }
  const double s2 = kMisraResidualSumOfSquares / 12.0;
  const double det = jtj[0] * jtj[2] - jtj[1] * jtj[1];
  const double expected[4] = {
      s2 * jtj[2] / det, -s2 * jtj[1] / det, -s2 * jtj[1] / det, s2 * jtj[0] / det};
  EXPECT_NEAR(std::sqrt(expected[3]) / kMisraSdB2, 1.0, 1e-9);  // the reference itself

  for (const Config& config : allConfigs()) {
    Model model = misra1a();
    std::vector<double> x = kMisraY;
    std::vector<double> p = {250.0, 5e-4};
    const double opts[LM_OPTS_SZ] = {1e-3, 1e-15, 1e-15, 1e-20, -1e-6};
    double covar[4];
    double info[LM_INFO_SZ];
    runLevmar(config, model, p, &x, 1000, opts, info, covar);
    for (int k = 0; k < 4; ++k)
      EXPECT_NEAR(covar[k] / expected[k], 1.0, 1e-5) << config.name << ", entry " << k;
  }
}

// Rosenbrock with p0 <= 0.5: for fixed p0 the best p1 is p0^2, leaving (1 - p0)^2, so the
// minimum is (0.5, 0.25) on the bound, with squared error 0.25.
TEST(LevmarBox, EndsOnTheBoundAndNeverEvaluatesOutside) {
  struct Case {
    const char* label;
    std::vector<double> start;
    std::vector<double> dscl;  // empty: none
  };
  const std::vector<Case> cases = {
      {"inside", {-1.2, 1.0}, {}},
      {"start above the box", {3.0, 1.0}, {}},
      {"start below the box", {-5.0, -9.0}, {}},
      {"on the bound", {0.5, 0.0}, {}},
      {"scaled", {-1.2, 1.0}, {10.0, 0.1}},
  };
  const std::vector<double> lb = {-2.0, -2.0};
  const std::vector<double> ub = {0.5, 2.0};
  for (const Config& config : allConfigs()) {
    if (config.routine != Routine::kBcDif) continue;
    for (const Case& c : cases) {
      const std::string label = config.name + ", " + c.label;
      Model model = rosenbrock();
      model.lb = lb;
      model.ub = ub;
      std::vector<double> p = c.start;
      double info[LM_INFO_SZ];
      const int iterations = runLevmar(config,
                                       model,
                                       p,
                                       nullptr,
                                       1000,
                                       nullptr,
                                       info,
                                       nullptr,
                                       lb.data(),
                                       ub.data(),
                                       c.dscl.empty() ? nullptr : c.dscl.data());
      EXPECT_FALSE(model.leftBox) << label;
      EXPECT_GT(iterations, 0) << label;
      EXPECT_EQ(p[0], 0.5) << label;
      EXPECT_NEAR(p[1], 0.25, 1e-8) << label;
      EXPECT_NEAR(info[1], 0.25, 1e-12) << label;
      // The optimality measure ignores the gradient pushing against the active bound.
      EXPECT_LE(info[2], 1e-8) << label;
      EXPECT_TRUE(info[6] == LM_STOP_SMALL_GRADIENT || info[6] == LM_STOP_SMALL_STEP)
          << label << ": reason " << info[6];
    }
  }
}

TEST(LevmarBox, FixedParameterAndCentralDifferencesStayInside) {
  // lb = ub pins p1; central differences fall back to one side at a bound.
  const std::vector<double> lb = {-2.0, 0.3};
  const std::vector<double> ub = {0.5, 0.3};
  for (const Config& config : allConfigs()) {
    if (config.routine != Routine::kBcDif) continue;
    Model model = rosenbrock();
    model.lb = lb;
    model.ub = ub;
    std::vector<double> p = {0.0, 1.0};
    const double opts[LM_OPTS_SZ] = {1e-3, 1e-12, 1e-14, 1e-20, -1e-6};
    double info[LM_INFO_SZ];
    runLevmar(config, model, p, nullptr, 1000, opts, info, nullptr, lb.data(), ub.data());
    EXPECT_FALSE(model.leftBox) << config.name;
    EXPECT_EQ(p[1], 0.3) << config.name;
    // Minimise 100 (0.3 - p0^2)^2 + (1 - p0)^2 over p0 <= 0.5: the bound again, as the
    // derivative -400 p0 (0.3 - p0^2) - 2 (1 - p0) is negative on [0, 0.5].
    EXPECT_EQ(p[0], 0.5) << config.name;
  }
}

// (p0 + p1) t_i against 3 t_i: only the sum is determined, so J^T J is singular; any split
// with p0 + p1 = 3 is a minimum. A parameter the model ignores gives a zero column.
TEST(Levmar, RankDeficientProblemsFinishSoundly) {
  for (const Config& config : allConfigs()) {
    Model model;
    model.m = 2;
    model.n = 5;
    model.f = [](const double* p, double* hx) {
      for (int i = 0; i < 5; ++i) hx[i] = (p[0] + p[1]) * (i + 1);
    };
    std::vector<double> x = {3, 6, 9, 12, 15};
    std::vector<double> p = {0.0, 0.0};
    double info[LM_INFO_SZ];
    runLevmar(config, model, p, &x, 1000, nullptr, info);
    EXPECT_NEAR(p[0] + p[1], 3.0, 1e-8) << config.name;
    EXPECT_TRUE(info[6] == LM_STOP_SMALL_GRADIENT || info[6] == LM_STOP_SMALL_STEP ||
                info[6] == LM_STOP_SINGULAR || info[6] == LM_STOP_SMALL_ERROR)
        << config.name << ": reason " << info[6];
  }

  // p1 ignored, inconsistent data: p0 = sum t x / sum t^2, p1 stays, and the covariance is
  // s^2 / sum t^2 for p0 and zero elsewhere, with s^2 = RSS / (n - rank) and rank 1.
  const std::vector<double> t = {1, 2, 3, 4, 5};
  std::vector<double> xs = {2.1, 3.9, 6.2, 7.8, 10.1};
  double stx = 0.0;
  double stt = 0.0;
  for (int i = 0; i < 5; ++i) {
    stx += t[i] * xs[i];
    stt += t[i] * t[i];
  }
  const double slope = stx / stt;
  double rss = 0.0;
  for (int i = 0; i < 5; ++i) rss += (xs[i] - slope * t[i]) * (xs[i] - slope * t[i]);
  for (const Config& config : allConfigs()) {
    Model model;
    model.m = 2;
    model.n = 5;
    model.f = [&t](const double* p, double* hx) {
      for (int i = 0; i < 5; ++i) hx[i] = p[0] * t[i];
    };
    std::vector<double> x = xs;
    std::vector<double> p = {0.0, 7.0};
    double covar[4];
    double info[LM_INFO_SZ];
    runLevmar(config, model, p, &x, 1000, nullptr, info, covar);
    EXPECT_NEAR(p[0], slope, 1e-10) << config.name;
    EXPECT_EQ(p[1], 7.0) << config.name;
    EXPECT_NEAR(info[1], rss, 1e-12) << config.name;
    EXPECT_NEAR(covar[0], rss / 4.0 / stt, 1e-12) << config.name;
    EXPECT_EQ(covar[1], 0.0) << config.name;
    EXPECT_EQ(covar[2], 0.0) << config.name;
    EXPECT_EQ(covar[3], 0.0) << config.name;
  }
}

// Each reason for stopping, from a case that really ends that way.
TEST(Levmar, StoppingReasons) {
  struct Case {
    const char* label;
    int expectedReason;
    int m;
    int n;
    std::function<void(const double* p, double* hx)> f;
    std::vector<double> start;
    std::vector<double> x;  // empty: null
    int itmax;
    std::vector<double> opts;  // empty: null
  };
  const std::vector<double> t = {1, 2, 3, 4, 5};
  const std::vector<Case> cases = {
      // A linear fit with a non-zero residual: the gradient vanishes, the error does not.
      {"small gradient",
       LM_STOP_SMALL_GRADIENT,
       2,
       5,
       [](const double* p, double* hx) {
         for (int i = 0; i < 5; ++i) hx[i] = p[0] + p[1] * (i + 1);
       },
       {0.0, 0.0},
       {2.1, 3.9, 6.2, 7.8, 10.1},
       1000,
       {1e-3, 1e-6, 0.0, 0.0, 1e-6}},
      {"small step",
       LM_STOP_SMALL_STEP,
       2,
       14,
       [](const double* p, double* hx) {
         for (int i = 0; i < 14; ++i) hx[i] = p[0] * (1.0 - std::exp(-p[1] * kMisraX[i]));
       },
       {250.0, 5e-4},
       kMisraY,
       1000,
       {1e-3, 0.0, 1e-3, 0.0, 1e-6}},
      {"itmax",
       LM_STOP_ITMAX,
       2,
       2,
       [](const double* p, double* hx) {
         hx[0] = 10.0 * (p[1] - p[0] * p[0]);
         hx[1] = 1.0 - p[0];
       },
       {-1.2, 1.0},
       {},
       3,
       {}},
      // A sensitivity of 1e200 overflows J^T J: no damping makes that system solvable.
      {"singular matrix",
       LM_STOP_SINGULAR,
       1,
       1,
       [](const double* p, double* hx) { hx[0] = 1e200 * p[0]; },
       {1e-200},
       {},
       1000,
       {}},
      // A kink at the minimum: every step raises the error and the damping grows without
      // bound (p = 0 keeps the relative step test from stopping first).
      {"no further reduction",
       LM_STOP_NO_REDUCTION,
       1,
       1,
       [](const double* p, double* hx) { hx[0] = 1.0 + std::fabs(p[0]); },
       {0.0},
       {},
       1000,
       {}},
      {"small error",
       LM_STOP_SMALL_ERROR,
       2,
       2,
       [](const double* p, double* hx) {
         hx[0] = 10.0 * (p[1] - p[0] * p[0]);
         hx[1] = 1.0 - p[0];
       },
       {-1.2, 1.0},
       {},
       1000,
       {1e-3, 0.0, 0.0, 1e-20, 1e-6}},
      // log p from p = 1 towards log 1e-3: the first full step lands at p < 0.
      {"NaN from func",
       LM_STOP_INVALID_FUNC,
       1,
       1,
       [](const double* p, double* hx) { hx[0] = std::log(p[0]); },
       {1.0},
       {std::log(1e-3)},
       1000,
       {}},
  };
  for (const Config& config : allConfigs()) {
    for (const Case& c : cases) {
      const std::string label = config.name + ", " + c.label;
      Model model;
      model.m = c.m;
      model.n = c.n;
      model.f = c.f;
      std::vector<double> p = c.start;
      std::vector<double> x = c.x;
      double info[LM_INFO_SZ];
      const int iterations = runLevmar(config,
                                       model,
                                       p,
                                       c.x.empty() ? nullptr : &x,
                                       c.itmax,
                                       c.opts.empty() ? nullptr : c.opts.data(),
                                       info);
      EXPECT_EQ(info[6], c.expectedReason) << label;
      EXPECT_EQ(info[5], iterations) << label;
      EXPECT_LE(iterations, c.itmax) << label;
      switch (c.expectedReason) {
        case LM_STOP_SMALL_GRADIENT:
          EXPECT_LE(info[2], 1e-6) << label;
          break;
        case LM_STOP_SMALL_STEP:
          EXPECT_LE(info[3], 1e-3 * std::hypot(p[0], p[1])) << label;
          break;
        case LM_STOP_ITMAX:
          EXPECT_EQ(iterations, 3) << label;
          break;
        case LM_STOP_SMALL_ERROR:
          EXPECT_LE(info[1], 1e-20) << label;
          break;
        case LM_STOP_INVALID_FUNC:
          // p stays at the last point with finite values.
          EXPECT_EQ(p[0], 1.0) << label;
          EXPECT_EQ(info[1], info[0]) << label;
          break;
        default:
          break;
      }
    }
  }
}

TEST(Levmar, NanAtTheStartStopsWithoutIterating) {
  for (const Config& config : allConfigs()) {
    Model model;
    model.m = 1;
    model.n = 2;
    model.f = [](const double*, double* hx) {
      hx[0] = 1.0;
      hx[1] = kNan;
    };
    std::vector<double> p = {1.0};
    double info[LM_INFO_SZ];
    EXPECT_EQ(runLevmar(config, model, p, nullptr, 100, nullptr, info), 0) << config.name;
    EXPECT_EQ(info[6], LM_STOP_INVALID_FUNC) << config.name;
    EXPECT_EQ(info[7], 1.0) << config.name;
    EXPECT_EQ(model.calls, 1) << config.name;
    EXPECT_EQ(p[0], 1.0) << config.name;
  }
}

TEST(Levmar, InfoIsFilledAsSpecified) {
  for (const Config& config : allConfigs()) {
    // No iteration: the initial point, its full Jacobian, damping tau, no linear system.
    {
      Model model = exponentialDecay();
      std::vector<double> x(20, 1.0);
      std::vector<double> p = {1.0, 0.5, 0.0};
      const double opts[LM_OPTS_SZ] = {0.25, 1e-17, 1e-17, 1e-17, 1e-6};
      double info[LM_INFO_SZ];
      EXPECT_EQ(runLevmar(config, model, p, &x, 0, opts, info), 0) << config.name;
      const double cost = squaredError(model, p, &x);
      EXPECT_DOUBLE_EQ(info[0], cost) << config.name;
      EXPECT_DOUBLE_EQ(info[1], cost) << config.name;
      EXPECT_EQ(info[3], 0.0) << config.name;
      EXPECT_NEAR(info[4], 0.25, 1e-15) << config.name;
      EXPECT_EQ(info[5], 0.0) << config.name;
      EXPECT_EQ(info[6], LM_STOP_ITMAX) << config.name;
      EXPECT_EQ(info[7], 4.0) << config.name;  // the point and one forward difference each
      EXPECT_EQ(info[8], 1.0) << config.name;
      EXPECT_EQ(info[9], 0.0) << config.name;
      // ||J^T e||_inf against the analytic Jacobian at the start.
      double gradient[3] = {0.0, 0.0, 0.0};
      for (int i = 0; i < 20; ++i) {
        const double ti = 0.25 * i;
        const double ex = std::exp(-p[1] * ti);
        const double e = x[i] - (p[0] * ex + p[2]);
        gradient[0] += ex * e;
        gradient[1] += -p[0] * ti * ex * e;
        gradient[2] += e;
      }
      const double norm = std::max(std::fabs(gradient[0]),
                                   std::max(std::fabs(gradient[1]), std::fabs(gradient[2])));
      EXPECT_NEAR(info[2] / norm, 1.0, 1e-3) << config.name;

      // Central differences: two evaluations per parameter.
      Model central = exponentialDecay();
      const double centralOpts[LM_OPTS_SZ] = {0.25, 1e-17, 1e-17, 1e-17, -1e-6};
      runLevmar(config, central, p, &x, 0, centralOpts, info);
      EXPECT_EQ(info[7], 7.0) << config.name;
      EXPECT_NEAR(info[2] / norm, 1.0, 1e-8) << config.name;
    }
    // A full run: the counters agree with the calls seen and with each other.
    {
      Model model = rosenbrock();
      std::vector<double> p = {-1.2, 1.0};
      std::vector<double> start = p;
      double info[LM_INFO_SZ];
      const int iterations = runLevmar(config, model, p, nullptr, 1000, nullptr, info);
      EXPECT_EQ(info[0], squaredError(model, start, nullptr)) << config.name;
      EXPECT_DOUBLE_EQ(info[1], squaredError(model, p, nullptr)) << config.name;
      EXPECT_EQ(info[5], iterations) << config.name;
      EXPECT_EQ(info[7], static_cast<double>(model.calls)) << config.name;
      EXPECT_EQ(info[9], iterations) << config.name;  // one system per iteration
      EXPECT_GE(info[7], 1.0 + 2.0 * info[8]) << config.name;
      EXPECT_GT(info[4], 0.0) << config.name;
      if (config.routine == Routine::kDif) {
        // Broyden updates stand in for some of the full Jacobians.
        EXPECT_LT(info[8], iterations) << config.name;
      }
    }
  }
}

// An exception from func passes through unchanged; p then holds the last accepted iterate.
TEST(Levmar, ExceptionFromFuncPassesThrough) {
  const std::string message = "kappa is out of range. Stopping optimization.";
  const std::vector<double> lb = {-2.0, -2.0};
  const std::vector<double> ub = {0.5, 2.0};
  for (const Config& config : allConfigs()) {
    for (long throwAt : {1L, 2L, 9L, 25L}) {
      const std::string label = config.name + ", call " + std::to_string(throwAt);
      Model model = rosenbrock();
      model.lb = lb;
      model.ub = ub;
      Model* self = &model;
      model.f = [self, throwAt](const double* p, double* hx) {
        if (self->calls == throwAt)
          throw std::runtime_error("kappa is out of range. Stopping optimization.");
        hx[0] = 10.0 * (p[1] - p[0] * p[0]);
        hx[1] = 1.0 - p[0];
      };
      std::vector<double> p = {-1.2, 1.0};
      double info[LM_INFO_SZ] = {};
      bool caught = false;
      try {
        runLevmar(config, model, p, nullptr, 1000, nullptr, info, nullptr, lb.data(), ub.data());
      } catch (const std::exception& e) {
        caught = true;
        EXPECT_EQ(std::string(e.what()), message) << label;
      }
      EXPECT_TRUE(caught) << label;
      if (config.routine == Routine::kBcDif) {
        EXPECT_FALSE(model.leftBox) << label;
      }
      // p is one of the points evaluated before the throw, with no more error than the start.
      bool seen = false;
      for (long k = 0; k + 1 < model.calls; ++k) seen = seen || model.points[k] == p;
      EXPECT_TRUE(seen || throwAt == 1) << label;
      Model plain = rosenbrock();
      EXPECT_LE(squaredError(plain, p, nullptr), 24.2) << label;
    }
  }
}

TEST(Levmar, InvalidArgumentsReturnAnError) {
  struct Case {
    const char* label;
    bool bc;  // through dlevmar_bc_dif
    int m;
    int n;
    int itmax;
    std::vector<double> start;
    std::vector<double> lb;  // empty: null
    std::vector<double> ub;
    std::vector<double> dscl;
    std::vector<double> opts;
    bool nullFunc;
  };
  const std::vector<Case> cases = {
      {"n < m", false, 3, 2, 10, {1, 1, 1}, {}, {}, {}, {}, false},
      {"n < m, box", true, 3, 2, 10, {1, 1, 1}, {}, {}, {}, {}, false},
      {"m = 0", false, 0, 2, 10, {1}, {}, {}, {}, {}, false},
      {"lb > ub", true, 2, 2, 10, {0, 0}, {-1, 1}, {1, 0.5}, {}, {}, false},
      {"NaN bound", true, 2, 2, 10, {0, 0}, {-1, kNan}, {1, 1}, {}, {}, false},
      {"itmax < 0", false, 2, 2, -1, {0, 0}, {}, {}, {}, {}, false},
      {"null func", false, 2, 2, 10, {0, 0}, {}, {}, {}, {}, true},
      {"NaN start", false, 2, 2, 10, {0, kNan}, {}, {}, {}, {}, false},
      {"infinite start, box", true, 2, 2, 10, {kInf, 0}, {}, {}, {}, {}, false},
      {"zero scale", true, 2, 2, 10, {0, 0}, {}, {}, {1, 0}, {}, false},
      {"negative scale", true, 2, 2, 10, {0, 0}, {}, {}, {-1, 1}, {}, false},
      {"negative tau", false, 2, 2, 10, {0, 0}, {}, {}, {}, {-1, 1e-17, 1e-17, 1e-17, 1e-6}, false},
      {"zero delta", true, 2, 2, 10, {0, 0}, {}, {}, {}, {1e-3, 1e-17, 1e-17, 1e-17, 0}, false},
  };
  for (const Case& c : cases) {
    Model model = rosenbrock();
    model.m = c.m;
    model.n = c.n;
    std::vector<double> p = c.start;
    const std::vector<double> start = p;
    std::vector<double> lb = c.lb;
    std::vector<double> ub = c.ub;
    std::vector<double> dscl = c.dscl;
    std::vector<double> opts = c.opts;
    double info[LM_INFO_SZ];
    for (double& entry : info) entry = -123.0;
    auto func = c.nullFunc ? nullptr : callModel;
    const int result = c.bc ? dlevmar_bc_dif(func,
                                             p.data(),
                                             nullptr,
                                             c.m,
                                             c.n,
                                             lb.empty() ? nullptr : lb.data(),
                                             ub.empty() ? nullptr : ub.data(),
                                             dscl.empty() ? nullptr : dscl.data(),
                                             c.itmax,
                                             opts.empty() ? nullptr : opts.data(),
                                             info,
                                             nullptr,
                                             nullptr,
                                             &model)
                            : dlevmar_dif(func,
                                          p.data(),
                                          nullptr,
                                          c.m,
                                          c.n,
                                          c.itmax,
                                          opts.empty() ? nullptr : opts.data(),
                                          info,
                                          nullptr,
                                          nullptr,
                                          &model);
    EXPECT_EQ(result, LM_ERROR) << c.label;
    EXPECT_EQ(model.calls, 0) << c.label;
    for (double entry : info) EXPECT_EQ(entry, -123.0) << c.label;
    for (std::size_t j = 0; j < p.size(); ++j)
      EXPECT_TRUE(p[j] == start[j] || (std::isnan(p[j]) && std::isnan(start[j]))) << c.label;
  }
}

// The C entry points with the default solver, a work area and a null x: Rosenbrock again.
TEST(Levmar, PublicEntryPoints) {
  Model model = rosenbrock();
  std::vector<double> work(LM_DIF_WORKSZ(2, 2));
  double p[2] = {-1.2, 1.0};
  double info[LM_INFO_SZ];
  const int iterations =
      dlevmar_dif(callModel, p, nullptr, 2, 2, 1000, nullptr, info, work.data(), nullptr, &model);
  EXPECT_GT(iterations, 0);
  EXPECT_EQ(info[5], iterations);
  EXPECT_NEAR(p[0], 1.0, 1e-7);
  EXPECT_NEAR(p[1], 1.0, 1e-7);

  Model boxed = rosenbrock();
  double lb[2] = {-2.0, -2.0};
  double ub[2] = {0.5, 2.0};
  boxed.lb.assign(lb, lb + 2);
  boxed.ub.assign(ub, ub + 2);
  double q[2] = {-1.2, 1.0};
  double opts[LM_OPTS_SZ] = {1e-3, 1e-15, 5e-8, 1e-9, 1e-6};
  EXPECT_GT(
      dlevmar_bc_dif(
          callModel, q, nullptr, 2, 2, lb, ub, nullptr, 1000, opts, info, nullptr, nullptr, &boxed),
      0);
  EXPECT_FALSE(boxed.leftBox);
  EXPECT_EQ(q[0], 0.5);
  EXPECT_NEAR(q[1], 0.25, 1e-6);

  // An exception crosses the extern "C" entry point unchanged.
  Model throwing = rosenbrock();
  throwing.f = [](const double*, double*) { throw std::runtime_error("rho is out of range"); };
  double r[2] = {0.0, 0.0};
  try {
    dlevmar_bc_dif(callModel,
                   r,
                   nullptr,
                   2,
                   2,
                   lb,
                   ub,
                   nullptr,
                   10,
                   nullptr,
                   info,
                   nullptr,
                   nullptr,
                   &throwing);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "rho is out of range");
  }
}

// The batch model: the points of one call in order through callModel, and the call's size noted.
std::vector<int> batchSizes;  // one entry per batch call of the running test

void callModelBatch(double* const* ps, double* const* hxs, int count, int m, int n, void* adata) {
  batchSizes.push_back(count);
  for (int k = 0; k < count; ++k) callModel(ps[k], hxs[k], m, n, adata);
}

// The ahead model: the firm points through callModel; the points ahead of need are evaluated but
// counted, and noted in the model's points, only when levmar keeps them. Every other call that
// carries points ahead leaves them, so that both answers are exercised.
struct AheadLedger {
  std::vector<std::vector<double>> heldPoints;
  bool pending = false;  // points held, settle not yet called
  int offers = 0;
  int kept = 0;
  int dropped = 0;
  int badCalls = 0;  // a model call or a second settle while points were held, or a stray settle
};
AheadLedger ledger;

void callModelCheckingLedger(double* p, double* hx, int m, int n, void* adata) {
  if (ledger.pending) ++ledger.badCalls;
  callModel(p, hx, m, n, adata);
}

int callModelAhead(
    double* const* ps, double* const* hxs, int count, int firm, int m, int n, void* adata) {
  if (ledger.pending) ++ledger.badCalls;
  for (int k = 0; k < firm; ++k) callModel(ps[k], hxs[k], m, n, adata);
  if (firm == count) return 1;
  if (ledger.offers++ % 2 == 1) return 0;
  Model* model = static_cast<Model*>(adata);
  for (int k = firm; k < count; ++k) {
    model->f(ps[k], hxs[k]);
    ledger.heldPoints.emplace_back(ps[k], ps[k] + m);
  }
  ledger.pending = true;
  return 1;
}

void settleAhead(int keep, void* adata) {
  if (!ledger.pending) ++ledger.badCalls;
  ledger.pending = false;
  Model* model = static_cast<Model*>(adata);
  if (keep) {
    ++ledger.kept;
    for (const std::vector<double>& point : ledger.heldPoints) {
      ++model->calls;
      model->points.push_back(point);
    }
  } else {
    ++ledger.dropped;
  }
  ledger.heldPoints.clear();
}

const levmar_ahead_model kAheadModel = {nullptr, callModelAhead, settleAhead};

bool sameBits(const double* a, const double* b, std::size_t count) {
  return std::memcmp(a, b, count * sizeof(double)) == 0;
}

// Handing a Jacobian's points to the model in one call changes nothing: the same points in the
// same order, the same iterates, solution, info and covariance, bit for bit, on problems with
// forward and central differences, a box with a pinned parameter, scaling and Broyden updates
// (unconstrained). Every batch holds the Jacobian's points: one per column, two for a central
// difference, one where a central difference meets a bound, none for a pinned parameter. The
// same holds when the Jacobian's points go to the model with the trial point before them, ahead
// of need: the points kept, in the order the model is told to keep them, are the plain routine's.
TEST(LevmarBatch, JacobianInOneCallEqualsColumnByColumnBitForBit) {
  struct Case {
    const char* label;
    Model (*make)();
    std::vector<double> start;
    std::vector<double> lb;  // empty: no box
    std::vector<double> ub;
    std::vector<double> dscl;
    std::vector<double> opts;  // empty: defaults
    int fewestPoints;          // points per Jacobian: at least
    int mostPoints;            // and at most
  };
  const std::vector<Case> cases = {
      {"Rosenbrock", rosenbrock, {-1.2, 1.0}, {}, {}, {}, {}, 2, 2},
      {"decay, central",
       exponentialDecay,
       {1.0, 0.5, 0.1},
       {},
       {},
       {},
       {1e-3, 1e-15, 1e-15, 1e-20, -1e-6},
       6,
       6},
      {"Misra1a", misra1a, {500.0, 1e-4}, {}, {}, {}, {}, 2, 2},
      {"Rosenbrock on the box, scaled",
       rosenbrock,
       {-1.2, 1.0},
       {-2.0, -2.0},
       {0.5, 2.0},
       {10.0, 0.1},
       {},
       2,
       2},
      {"pinned parameter, central",
       rosenbrock,
       {0.0, 1.0},
       {-2.0, 0.3},
       {0.5, 0.3},
       {},
       {1e-3, 1e-12, 1e-14, 1e-20, -1e-6},
       1,
       2},
  };
  for (const Config& config : allConfigs()) {
    for (const Case& c : cases) {
      if (!c.lb.empty() && config.routine != Routine::kBcDif) continue;
      const std::string label = config.name + ", " + c.label;
      const double* lb = c.lb.empty() ? nullptr : c.lb.data();
      const double* ub = c.ub.empty() ? nullptr : c.ub.data();
      const double* dscl = c.dscl.empty() ? nullptr : c.dscl.data();
      const double* opts = c.opts.empty() ? nullptr : c.opts.data();
      const std::size_t m = c.start.size();
      struct Run {
        Model model;
        std::vector<double> p;
        double info[LM_INFO_SZ];
        std::vector<double> covar;
        int iterations;
      } runs[3];
      std::vector<int> batchRunSizes;  // the batch calls of the batched run
      for (int batched = 0; batched < 3; ++batched) {
        Run& r = runs[batched];
        r.model = c.make();
        r.p = c.start;
        r.covar.assign(m * m, 0.0);
        if (batched == 2) batchRunSizes = batchSizes;  // those of the batch run
        batchSizes.clear();
        const levmar_internal::BatchModelFunction batch = batched == 1 ? callModelBatch : nullptr;
        const levmar_ahead_model* ahead = batched == 2 ? &kAheadModel : nullptr;
        ledger.offers = 0;
        r.iterations = config.routine == Routine::kDif
                           ? levmar_internal::levmarDif(callModelCheckingLedger,
                                                        r.p.data(),
                                                        nullptr,
                                                        r.model.m,
                                                        r.model.n,
                                                        1000,
                                                        opts,
                                                        r.info,
                                                        r.covar.data(),
                                                        &r.model,
                                                        config.solver,
                                                        batch,
                                                        ahead)
                           : levmar_internal::levmarBcDif(callModelCheckingLedger,
                                                          r.p.data(),
                                                          nullptr,
                                                          r.model.m,
                                                          r.model.n,
                                                          lb,
                                                          ub,
                                                          dscl,
                                                          1000,
                                                          opts,
                                                          r.info,
                                                          r.covar.data(),
                                                          &r.model,
                                                          config.solver,
                                                          batch,
                                                          ahead);
        EXPECT_FALSE(ledger.pending) << label;
      }
      ASSERT_GT(runs[0].info[8], 1.0) << label;  // more than one Jacobian was taken
      EXPECT_EQ(batchRunSizes.size(), static_cast<std::size_t>(runs[0].info[8])) << label;
      for (const int size : batchRunSizes) {
        EXPECT_GE(size, c.fewestPoints) << label;
        EXPECT_LE(size, c.mostPoints) << label;
      }
      for (int k = 1; k < 3; ++k) {
        const std::string run = label + (k == 1 ? ", batch" : ", ahead");
        EXPECT_EQ(runs[k].iterations, runs[0].iterations) << run;
        EXPECT_EQ(runs[k].model.calls, runs[0].model.calls) << run;
        EXPECT_EQ(runs[k].model.calls, static_cast<long>(runs[0].info[7])) << run;
        ASSERT_EQ(runs[k].model.points.size(), runs[0].model.points.size()) << run;
        for (std::size_t q = 0; q < runs[0].model.points.size(); ++q)
          EXPECT_TRUE(sameBits(runs[k].model.points[q].data(), runs[0].model.points[q].data(), m))
              << run << ", point " << q;
        EXPECT_TRUE(sameBits(runs[k].p.data(), runs[0].p.data(), m)) << run;
        EXPECT_TRUE(sameBits(runs[k].info, runs[0].info, LM_INFO_SZ)) << run;
        EXPECT_TRUE(sameBits(runs[k].covar.data(), runs[0].covar.data(), m * m)) << run;
      }
    }
  }
  // Points ahead of need were both kept and dropped, and settled exactly once each time.
  EXPECT_GT(ledger.kept, 0);
  EXPECT_GT(ledger.dropped, 0);
  EXPECT_EQ(ledger.badCalls, 0);
}

// A batch that throws: the exception passes through the public entry point, p holds the last
// accepted iterate, which for a throw at the first Jacobian is the start.
TEST(LevmarBatch, ExceptionFromTheBatchPassesThrough) {
  Model model = rosenbrock();
  double p[2] = {-1.2, 1.0};
  double info[LM_INFO_SZ];
  const levmar_batch_func throwing = [](double* const*, double* const*, int, int, int, void*) {
    throw std::runtime_error("xi is out of range. Stopping optimization.");
  };
  try {
    dlevmar_dif_batch(
        callModel, throwing, p, nullptr, 2, 2, 100, nullptr, info, nullptr, nullptr, &model);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "xi is out of range. Stopping optimization.");
  }
  EXPECT_EQ(model.calls, 1);  // the start point only
  EXPECT_EQ(p[0], -1.2);
  EXPECT_EQ(p[1], 1.0);

  // Through the boxed entry point with a null batch: the plain routine.
  Model plain = rosenbrock();
  double lb[2] = {-2.0, -2.0};
  double ub[2] = {0.5, 2.0};
  double q[2] = {-1.2, 1.0};
  EXPECT_GT(dlevmar_bc_dif_batch(callModel,
                                 nullptr,
                                 q,
                                 nullptr,
                                 2,
                                 2,
                                 lb,
                                 ub,
                                 nullptr,
                                 1000,
                                 nullptr,
                                 info,
                                 nullptr,
                                 nullptr,
                                 &plain),
            0);
  EXPECT_EQ(q[0], 0.5);
}

}  // namespace
