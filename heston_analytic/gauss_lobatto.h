#ifndef SERIVANE_HESTON_ANALYTIC_GAUSS_LOBATTO_H_
#define SERIVANE_HESTON_ANALYTIC_GAUSS_LOBATTO_H_

#include <boost/function.hpp>
#include <cstdint>

namespace serivane {

// One-dimensional integrator: keeps the accuracy targets and counts the integrand calls of the
// current integration. The count is written by the const call operator, so one integrator serves
// one thread at a time.
class Integrator {
 public:
  using Integrand = boost::function<double(double)>;

  // No check of the arguments. 3.4028234663852886e38 (the largest float) marks "no absolute
  // accuracy given".
  Integrator(double absoluteAccuracy, std::uint64_t maxEvaluations);
  virtual ~Integrator();

  // Integral of f from a to b: 0.0 without calling f when a == b, minus the integral from b to a
  // when b < a. Restarts the evaluation count.
  double operator()(const Integrand& f, double a, double b) const;

  // True when the last integration stayed within the evaluation budget and the absolute error
  // within the absolute accuracy.
  virtual bool succeeded() const;

  double absoluteAccuracy() const { return absoluteAccuracy_; }
  std::uint64_t maxEvaluations() const { return maxEvaluations_; }
  std::uint64_t numberOfEvaluations() const { return evaluations_; }

 protected:
  // Integral over a < b.
  virtual double integrate(const Integrand& f, double a, double b) const = 0;

  void setNumberOfEvaluations(std::uint64_t n) const { evaluations_ = n; }
  void increaseNumberOfEvaluations(std::uint64_t n) const { evaluations_ += n; }

 private:
  double absoluteAccuracy_;
  // Nothing estimates the error yet; 0.0 so that succeeded() reports on the evaluation budget.
  double absoluteError_ = 0.0;
  std::uint64_t maxEvaluations_;
  // 0 before the first integration.
  mutable std::uint64_t evaluations_ = 0;
};

// Adaptive Gauss-Lobatto quadrature: on each interval the 4-point Gauss-Lobatto rule is compared
// with its 7-point Kronrod extension, and the interval is split into six where the two differ by
// more than the tolerance can absorb; a 13-point Kronrod rule over the whole range gives the
// reference value of that test.
// W. Gander, W. Gautschi, "Adaptive Quadrature - Revisited", BIT 40 (2000), pp. 84-101
// (the rules of section 3 and the termination criterion of section 4).
//
// Errors (std::runtime_error, messages beginning "An error occured while calculating the Heston
// analytic price: "): "Max number of iterations reached in Gauss-Lobatto routine" when a step
// starts with the evaluation budget used up (so a budget of 15 or less always fails: the reference
// value and the two end points take 15 calls); "Interval contains no more machine number in
// Gauss-Lobatto routine"; "Can not calculate absolute accuracy from relative accuracy in
// Gauss-Lobatto routine" when the 13-point value is exactly 0 but the integrand is not zero at the
// Kronrod nodes. Errors of the integrand pass through.
class GaussLobattoIntegral : public Integrator {
 public:
  // relativeAccuracy 3.4028234663852886e38 means "none given". useConvergenceEstimate scales the
  // tolerance by the observed convergence of the two local rules on the whole range.
  GaussLobattoIntegral(std::uint64_t maxEvaluations,
                       double absoluteAccuracy,
                       double relativeAccuracy,
                       bool useConvergenceEstimate);

  double relativeAccuracy() const { return relAccuracy_; }
  bool useConvergenceEstimate() const { return useConvergenceEstimate_; }

 protected:
  double integrate(const Integrand& f, double a, double b) const override;

  // Reference value of the termination test, from the 13-point Kronrod rule on [a, b]; it carries
  // the sign of that estimate. Uses 13 evaluations.
  double absoluteTolerance(const Integrand& f, double a, double b) const;
  // One adaptive step on [a, b] with the end values fa = f(a), fb = f(b) handed down; five
  // evaluations per step, recursion on the stack only.
  double adaptiveStep(
      const Integrand& f, double a, double b, double fa, double fb, double tolerance) const;

 private:
  double relAccuracy_;
  bool useConvergenceEstimate_;

  // Gauss-Lobatto nodes sqrt(2/3) and 1/sqrt(5) relative to the half-width, set once at start-up.
  static const double alpha_;
  static const double beta_;
};

}  // namespace serivane

#endif  // SERIVANE_HESTON_ANALYTIC_GAUSS_LOBATTO_H_
