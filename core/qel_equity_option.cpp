#include "core/qel_equity_option.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>

namespace serivane {

namespace {

// The end formulas read up to five nodes (the shifted first cell reads V_4).
constexpr int kMinGreeksIntervals = 4;
// A first cell longer than the uniform step by more than this counts as widened (the plain grid
// can make the first cell longer when the strike index was kept from another grid).
constexpr double kWideFirstCellTol = 1e-6;

void checkGreeksInput(const QelEquityOption& o,
                      std::valarray<double>& delta,
                      std::valarray<double>& gamma) {
  const std::size_t n = static_cast<std::size_t>(o.NS) + 1;
  if (o.NS < kMinGreeksIntervals) {
    throw std::invalid_argument("the Greeks need an asset grid of at least five nodes");
  }
  if (o.grid.size() < n || o.values.size() < n) {
    throw std::invalid_argument("the Greeks need grid and values of NS + 1 entries");
  }
  if (delta.size() < n) delta.resize(n);
  if (gamma.size() < n) gamma.resize(n);
}

// Three-point derivative formulas on a non-uniform grid (exact for quadratics), with the end
// gammas extrapolated from the three interior gammas next to the end.
// B. Fornberg, "Generation of finite difference formulas on arbitrarily spaced grids",
// Math. Comp. 51 (1988).
void nonUniformGreeks(int N,
                      const double* S,
                      const double* V,
                      std::valarray<double>& delta,
                      std::valarray<double>& gamma) {
  for (int i = 1; i < N; ++i) {
    const double a = S[i] - S[i - 1];
    const double b = S[i + 1] - S[i];
    delta[i] =
        -b / (a * (a + b)) * V[i - 1] + (b - a) / (a * b) * V[i] + a / (b * (a + b)) * V[i + 1];
    gamma[i] =
        2.0 / (a * (a + b)) * V[i - 1] - 2.0 / (a * b) * V[i] + 2.0 / (b * (a + b)) * V[i + 1];
  }
  {
    const double a = S[1] - S[0];
    const double b = S[2] - S[1];
    delta[0] =
        -(2.0 * a + b) / (a * (a + b)) * V[0] + (a + b) / (a * b) * V[1] - a / (b * (a + b)) * V[2];
    gamma[0] = 3.0 * gamma[1] - 3.0 * gamma[2] + gamma[3];
  }
  {
    const double a = S[N - 1] - S[N - 2];
    const double b = S[N] - S[N - 1];
    delta[N] = b / (a * (a + b)) * V[N - 2] - (a + b) / (a * b) * V[N - 1] +
               (2.0 * b + a) / (b * (a + b)) * V[N];
    gamma[N] = 3.0 * gamma[N - 1] - 3.0 * gamma[N - 2] + gamma[N - 3];
  }
}

}  // namespace

QelEquityOption::QelEquityOption(double K,
                                 double T,
                                 double sigma,
                                 double r,
                                 double d,
                                 int NS,
                                 int NT,
                                 int CallPut,
                                 int precision,
                                 int /*ctorFlag*/,
                                 int EuroAmer,
                                 double sRangeParam,
                                 bool clusterAtStrike,
                                 int nExercise,
                                 int exerciseMode,
                                 double tShift)
    : summary(0.0, 6),
      K(K),
      T(T),
      sigma(sigma),
      r(r),
      d(d),
      sRangeParam(sRangeParam),
      tShift(tShift),
      NS(NS),
      NS0(NS),
      NT(NT),
      CallPut(CallPut),
      precision(precision),
      nExercise(nExercise),
      exerciseMode(exerciseMode),
      EuroAmer(EuroAmer),
      clusterAtStrike(clusterAtStrike) {}

QelEquityOption::~QelEquityOption() = default;

std::valarray<double> QelEquityOption::getSummary() const { return summary; }

std::valarray<double> QelEquityOption::getStrikePrices() const { return strikePrices; }

std::valarray<double> QelEquityOption::getStrikeIVs() const { return strikeIVs; }

void QelEquityOption::setMaturity(double x) { T = x; }

void QelEquityOption::bumpVol(double h) { sigma += h; }

void QelEquityOption::setNS(int n) {
  NS = n;
  gridValid = false;
}

void QelEquityOption::setNT(int n) { NT = n; }

void QelEquityOption::beforeSolve() {}

void QelEquityOption::calcGreeksS(std::valarray<double>& delta,
                                  std::valarray<double>& gamma) const {
  checkGreeksInput(*this, delta, gamma);
  const int N = NS;
  const double* S = &grid[0];
  const double* V = &values[0];
  // The formulas follow the grid that was built, not the flag the caller asked for: the grid
  // builders cluster at the strike whenever their concentration is positive. The three-point
  // formulas below are exact on any grid; the uniform-step ones are kept for a grid whose steps
  // from node 1 on are all equal (its first cell may be wider, see below).
  const double h = S[2] - S[1];
  bool uniform = !clusterAtStrike;
  for (int i = 2; uniform && i < N; ++i) {
    uniform = std::fabs((S[i + 1] - S[i]) - h) <= 1e-9 * std::fabs(h);
  }
  if (!uniform) {
    nonUniformGreeks(N, S, V, delta, gamma);
    return;
  }

  // Uniform step, central differences inside and second-order one-sided ones at the ends.
  const double h2 = h * h;
  for (int i = 1; i < N; ++i) {
    delta[i] = (V[i + 1] - V[i - 1]) / (2.0 * h);
    gamma[i] = (V[i + 1] - 2.0 * V[i] + V[i - 1]) / h2;
  }
  delta[0] = (4.0 * V[1] - 3.0 * V[0] - V[2]) / (2.0 * h);
  delta[N] = (3.0 * V[N] - 4.0 * V[N - 1] + V[N - 2]) / (2.0 * h);
  gamma[0] = (2.0 * V[0] - 5.0 * V[1] + 4.0 * V[2] - V[3]) / h2;
  gamma[N] = (2.0 * V[N] - 5.0 * V[N - 1] + 4.0 * V[N - 2] - V[N - 3]) / h2;

  if (S[1] - S[0] - h > kWideFirstCellTol) {
    // First cell wider than the step: node 1 by one-sided formulas on the uniform part, node 0
    // from the point y = S_1 - h, whose value comes from the quadratic through the first three
    // nodes, by a first-order Taylor step back to S_0.
    delta[1] = (4.0 * V[2] - 3.0 * V[1] - V[3]) / (2.0 * h);
    gamma[1] = (2.0 * V[1] - 5.0 * V[2] + 4.0 * V[3] - V[4]) / h2;
    const double y = S[1] - h;
    const double vy = V[0] * (y - S[1]) * (y - S[2]) / ((S[0] - S[1]) * (S[0] - S[2])) +
                      V[1] * (y - S[0]) * (y - S[2]) / ((S[1] - S[0]) * (S[1] - S[2])) +
                      V[2] * (y - S[0]) * (y - S[1]) / ((S[2] - S[0]) * (S[2] - S[1]));
    const double deltaY = (4.0 * V[1] - 3.0 * vy - V[2]) / (2.0 * h);
    const double gammaY = (2.0 * vy - 5.0 * V[1] + 4.0 * V[2] - V[3]) / h2;
    delta[0] = deltaY - (y - S[0]) * gammaY;
    gamma[0] = gammaY - (y - S[0]) * (gamma[2] - gamma[1]) / h;
  }
}

void QelEquityOption::calcGreeksLogS(std::valarray<double>& delta,
                                     std::valarray<double>& gamma) const {
  checkGreeksInput(*this, delta, gamma);
  const int N = NS;
  std::valarray<double> S(static_cast<std::size_t>(N) + 1);
  for (int i = 0; i <= N; ++i) S[i] = std::exp(grid[i]);
  nonUniformGreeks(N, &S[0], &values[0], delta, gamma);
}

}  // namespace serivane
