#include "heston_analytic/gauss_lobatto.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace serivane {

namespace {

const char* const kMaxIterationsMessage =
    "An error occured while calculating the Heston analytic price: Max number of iterations "
    "reached in Gauss-Lobatto routine";
const char* const kNoMachineNumberMessage =
    "An error occured while calculating the Heston analytic price: Interval contains no more "
    "machine number in Gauss-Lobatto routine";
const char* const kNoAbsoluteAccuracyMessage =
    "An error occured while calculating the Heston analytic price: Can not calculate absolute "
    "accuracy from relative accuracy in Gauss-Lobatto routine";

// The largest float: the "no value given" marker of the accuracies.
constexpr double kNoValue = 3.4028234663852886e38;
// Machine epsilon of double: the finest relative accuracy the termination test can resolve.
constexpr double kEps = 2.220446049250313e-16;

// Further nodes of the 13-point Kronrod rule, relative to the half-width (Gander and Gautschi,
// section 3).
constexpr double kX1 = 0.9428824156954797;
constexpr double kX2 = 0.6418533423457813;
constexpr double kX3 = 0.23638319966214988;

// 13-point Kronrod weights at +-1, +-x1, +-alpha, +-x2, +-beta, +-x3 and 0.
constexpr double kW13End = 0.015827191973480183;
constexpr double kW13X1 = 0.09427384021885005;
constexpr double kW13Alpha = 0.1550719873365854;
constexpr double kW13X2 = 0.18882157396018245;
constexpr double kW13Beta = 0.19977340522685852;
constexpr double kW13X3 = 0.22492646533333951;
constexpr double kW13Centre = 0.24261107190140774;

}  // namespace

const double GaussLobattoIntegral::alpha_ = std::sqrt(0.6666666666666666);
const double GaussLobattoIntegral::beta_ = 1.0 / std::sqrt(5.0);

Integrator::Integrator(double absoluteAccuracy, std::uint64_t maxEvaluations)
    : absoluteAccuracy_(absoluteAccuracy), maxEvaluations_(maxEvaluations) {}

Integrator::~Integrator() = default;

double Integrator::operator()(const Integrand& f, double a, double b) const {
  evaluations_ = 0;
  if (a == b) return 0.0;
  if (b > a) return integrate(f, a, b);
  return -integrate(f, b, a);
}

bool Integrator::succeeded() const {
  return evaluations_ <= maxEvaluations_ && absoluteAccuracy_ >= absoluteError_;
}

GaussLobattoIntegral::GaussLobattoIntegral(std::uint64_t maxEvaluations,
                                           double absoluteAccuracy,
                                           double relativeAccuracy,
                                           bool useConvergenceEstimate)
    : Integrator(absoluteAccuracy, maxEvaluations),
      relAccuracy_(relativeAccuracy),
      useConvergenceEstimate_(useConvergenceEstimate) {}

double GaussLobattoIntegral::integrate(const Integrand& f, double a, double b) const {
  setNumberOfEvaluations(0);
  const double tolerance = absoluteTolerance(f, a, b);
  increaseNumberOfEvaluations(2);
  const double fb = f(b);
  const double fa = f(a);
  return adaptiveStep(f, a, b, fa, fb, tolerance);
}

double GaussLobattoIntegral::absoluteTolerance(const Integrand& f, double a, double b) const {
  const double relTol = std::max(relAccuracy_, kEps);
  const double m = (a + b) * 0.5;
  const double h = (b - a) * 0.5;

  const double y1 = f(a);
  const double y3 = f(m - alpha_ * h);
  const double y5 = f(m - beta_ * h);
  const double y7 = f(m);
  const double y9 = f(m + beta_ * h);
  const double y11 = f(m + alpha_ * h);
  const double y13 = f(b);
  const double f1 = f(m - kX1 * h);
  const double f2 = f(m + kX1 * h);
  const double f3 = f(m - kX2 * h);
  const double f4 = f(m + kX2 * h);
  const double f5 = f(m - kX3 * h);
  const double f6 = f(m + kX3 * h);

  const double acc =
      h * (kW13X1 * (f2 + f1) + kW13End * (y13 + y1) + kW13Alpha * (y11 + y3) + kW13X2 * (f4 + f3) +
           kW13Beta * (y9 + y5) + kW13X3 * (f6 + f5) + kW13Centre * y7);
  increaseNumberOfEvaluations(13);

  // A zero estimate cannot scale a relative accuracy; it is accepted only when the integrand
  // really vanishes at the Kronrod nodes (a NaN counts as non-zero).
  if (acc == 0.0 && (f1 != 0.0 || f2 != 0.0 || f3 != 0.0 || f4 != 0.0 || f5 != 0.0 || f6 != 0.0)) {
    throw std::runtime_error(kNoAbsoluteAccuracyMessage);
  }

  double r = 1.0;
  if (useConvergenceEstimate_) {
    // Ratio of the errors of the 7-point and the 4-point rule against the 13-point value: with
    // a converging pair (r < 1) the termination test can be loosened accordingly.
    const double integral2 = (h / 6) * (y1 + y13 + 5 * (y5 + y9));
    if (std::fabs(integral2 - acc) != 0.0) {
      const double integral1 =
          (h / 1470) * (432 * (y3 + y11) + 77 * (y1 + y13) + 625 * (y5 + y9) + 672 * y7);
      r = std::fabs(integral1 - acc) / std::fabs(integral2 - acc);
    }
    if (r == 0.0 || r > 1.0) r = 1.0;
  }

  if (relAccuracy_ == kNoValue) return absoluteAccuracy() / (r * kEps);
  return std::min(absoluteAccuracy(), acc * relTol) / (r * kEps);
}

double GaussLobattoIntegral::adaptiveStep(
    const Integrand& f, double a, double b, double fa, double fb, double tolerance) const {
  if (numberOfEvaluations() >= maxEvaluations()) {
    throw std::runtime_error(kMaxIterationsMessage);
  }

  const double h = (b - a) * 0.5;
  const double m = (a + b) * 0.5;
  const double mll = m - alpha_ * h;
  const double ml = m - beta_ * h;
  const double mr = m + beta_ * h;
  const double mrr = m + alpha_ * h;

  const double fmll = f(mll);
  const double fml = f(ml);
  const double fm = f(m);
  const double fmr = f(mr);
  const double fmrr = f(mrr);
  increaseNumberOfEvaluations(5);

  // 7-point Kronrod and 4-point Gauss-Lobatto values on [a, b].
  const double integral1 =
      (h / 1470) * (432 * (fmll + fmrr) + 77 * (fa + fb) + 625 * (fml + fmr) + 672 * fm);
  const double integral2 = (h / 6) * (fa + fb + 5 * (fml + fmr));

  // Gander-Gautschi test: the step is done when the difference of the two rules no longer
  // changes the reference value in double precision. volatile forces the rounding to double
  // before the comparison, also where the compiler would keep an x87 extended intermediate.
  const volatile double dist = tolerance + (integral1 - integral2);
  if (dist == tolerance || mll <= a || b <= mrr) {
    if (!(m > a && b > m)) throw std::runtime_error(kNoMachineNumberMessage);
    return integral1;
  }
  double sum = adaptiveStep(f, a, mll, fa, fmll, tolerance);
  sum += adaptiveStep(f, mll, ml, fmll, fml, tolerance);
  sum += adaptiveStep(f, ml, m, fml, fm, tolerance);
  sum += adaptiveStep(f, m, mr, fm, fmr, tolerance);
  sum += adaptiveStep(f, mr, mrr, fmr, fmrr, tolerance);
  sum += adaptiveStep(f, mrr, b, fmrr, fb, tolerance);
  return sum;
}

}  // namespace serivane
