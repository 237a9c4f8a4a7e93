#ifndef SERIVANE_HESTON_ANALYTIC_ANALYTIC_HESTON_ENGINE_H_
#define SERIVANE_HESTON_ANALYTIC_ANALYTIC_HESTON_ENGINE_H_

#include <boost/function.hpp>
#include <cstdint>
#include <memory>

#include "heston_analytic/gauss_lobatto.h"

namespace serivane {

// Fixed-order quadrature rule: sum of w_i f(x_i) over the rule's own domain, with any weight
// function already folded into the weights. The engine never builds one; Integration can hold
// one for its algorithms 4 to 7.
class GaussianQuadrature {
 public:
  virtual ~GaussianQuadrature() = default;
  virtual std::uint64_t order() const = 0;
  virtual double operator()(const boost::function<double(double)>& f) const = 0;
};

// The probability integrals over phi in (0, infinity) mapped onto [0, 1] by phi = -log(x) / c_inf:
// x -> f(-log(x) / c_inf) / (x * c_inf), and 0.0 where c_inf * x is at or below machine epsilon
// (x = 0 is the point at infinity).
class integrand2 {
 public:
  integrand2(double c_inf, const boost::function<double(double)>& f);
  double operator()(double x) const;

 private:
  double c_inf_;
  boost::function<double(double)> f_;
};

// How an integral over (0, infinity) is computed.
//   algorithm 0 to 3: the held Integrator over integrand2 on [0, 1];
//   algorithm 4:      the held GaussianQuadrature applied to the integrand itself;
//   algorithm 5 to 7: the held GaussianQuadrature applied to integrand2 carried onto [-1, 1]
//                     (x = (y + 1) / 2).
// Only algorithm 0 is ever created by this system (Integration::gaussLobatto); 4 to 7 are there
// for a fixed-order rule a caller may supply.
class Integration {
 public:
  Integration(std::int32_t algorithm,
              std::shared_ptr<Integrator> integrator,
              std::shared_ptr<GaussianQuadrature> gaussianQuadrature);

  // Adaptive Gauss-Lobatto integration (algorithm 0) with the given tolerances and evaluation
  // budget, without the convergence estimate.
  static Integration gaussLobatto(double relTolerance,
                                  double absTolerance,
                                  std::uint64_t maxEvaluations);

  // Integral of f over (0, infinity); c_inf is the decay rate used by the map onto [0, 1].
  // Throws "... Unknwon integration algorithm" for an algorithm outside 0 to 7, and "... Neither
  // Integrator nor GaussianQuadrature given" when the rule the algorithm needs is not held.
  double calculate(double c_inf, const boost::function<double(double)>& f) const;

  std::int32_t algorithm() const { return algorithm_; }
  const std::shared_ptr<Integrator>& integrator() const { return integrator_; }
  const std::shared_ptr<GaussianQuadrature>& gaussianQuadrature() const {
    return gaussianQuadrature_;
  }

 private:
  std::int32_t algorithm_;
  std::shared_ptr<Integrator> integrator_;
  std::shared_ptr<GaussianQuadrature> gaussianQuadrature_;
};

// Integrand of the Heston probabilities P1 (j = 1, share measure) and P2 (j = 2, risk-neutral
// measure): phi -> Im(f_j(phi)) / phi, where f_j is the characteristic function of log S_T under
// that measure times exp(-i phi log K). The characteristic function is taken in the form of
// H. Albrecher, P. Mayer, W. Schoutens, J. Tistaert, "The little Heston trap", Wilmott Magazine
// (January 2007), pp. 83-92, which stays on the principal branch of the complex logarithm; the
// probabilities are those of S. L. Heston, "A closed-form solution for options with stochastic
// volatility with applications to bond and currency options", Rev. Financial Studies 6 (1993).
// At phi = 0 the exact limit (the mean of log(S_T / K) under the measure) is returned; for
// sigma <= 1e-5 the terms in (t - d) / sigma^2 are taken from their expansion in sigma^2.
class Fj_Helper {
 public:
  // ratio = riskFreeDiscount / dividendDiscount.
  Fj_Helper(std::uint64_t j,
            double kappa,
            double theta,
            double sigma,
            double v0,
            double rho,
            double term,
            double s0,
            double strike,
            double ratio);

  double operator()(double phi) const;

 private:
  std::uint64_t j_;
  double kappa_;
  double theta_;
  double sigma_;
  double v0_;
  double term_;
  double x_;       // log S
  double sx_;      // log K
  double dd_;      // x - log(ratio): log of the forward
  double sigma2_;  // sigma^2
  double rsigma_;  // rho * sigma
  double t0_;      // kappa - rho * sigma for j = 1, kappa for j = 2
};

// European call and put prices under the Heston model in semi-closed form,
// value = dividendDiscount * S * P1 - riskFreeDiscount * K * P2 (with P1 - 1, P2 - 1 for the put),
// the two probability integrals computed by adaptive Gauss-Lobatto quadrature.
//
// kappa is the mean-reversion speed, theta the long-run variance, sigma the volatility of
// variance, v0 the start variance, rho the correlation. The option type is -1 for a put, 1 for a
// call. Errors are std::runtime_error with messages beginning "An error occured while
// calculating the Heston analytic price: " ("Unknown option type", and those of Integration and
// GaussLobattoIntegral, and "the integration gives no price within the no-arbitrage bounds: ..."
// when the integrals do not give a price between the bounds of a European option, and "the
// integrals give no price: v0 + kappa theta T = ... is not positive ..." when the map of the
// integrals has no positive decay rate, so that they vanish whatever the model).
// At T = 0 the value is the payoff; with v0 = 0 and kappa theta = 0 (a variance that stays at 0)
// the discounted forward intrinsic value; with kappa = 0 and sigma at most 1e-5 the
// Black-Scholes-Merton price at the constant variance v0. No integrand is evaluated for these.
//
// The adaptive integration works to an accuracy relative to its own 13-point estimate of the
// mapped integral. Where that estimate is (next to) 0 although the integral is not (a flat map,
// rho at or next to -1 or 1, at the strike where the mean of log(S_T / K) under the measure is 0)
// the first integration fails; where the mapped integrand is negligible at the end of the map, the
// integral is then computed once more on the integrand plus a function of integral +-1, which is
// taken off again, and its evaluations are counted with those of the first. A second failure
// raises the first one's error.
//
// An engine counts the integrand evaluations of its last price, so it serves one thread at a time.
// It cannot be copied: a copy would share the integrator and its counter.
class AnalyticHestonEngine {
 public:
  AnalyticHestonEngine(double relativeAccuracy, std::uint64_t maxEvaluations);
  AnalyticHestonEngine(const AnalyticHestonEngine&) = delete;
  AnalyticHestonEngine& operator=(const AnalyticHestonEngine&) = delete;

  // Note the order: theta (long-run variance) before kappa.
  double price(double S,
               double K,
               double T,
               double r,
               double d,
               double v0,
               double theta,
               double kappa,
               double sigma,
               double rho,
               const std::int32_t& optionType);

  // The value into `value`, integrating with `integration`. When engine is not null, its
  // evaluation count is reset and then given the evaluations of both integrals.
  static void priceFromDiscounts(double riskFreeDiscount,
                                 double dividendDiscount,
                                 double S,
                                 double K,
                                 double T,
                                 double kappa,
                                 double theta,
                                 double sigma,
                                 double v0,
                                 double rho,
                                 const std::int32_t& optionType,
                                 const Integration& integration,
                                 double& value,
                                 AnalyticHestonEngine* engine);

  // Integrand evaluations used by the last price (both integrals).
  std::uint64_t numberOfEvaluations() const { return evaluations_; }
  const Integration& integration() const { return *integration_; }

 private:
  std::uint64_t evaluations_;
  std::shared_ptr<Integration> integration_;
};

}  // namespace serivane

#endif  // SERIVANE_HESTON_ANALYTIC_ANALYTIC_HESTON_ENGINE_H_
