#include "heston_analytic/analytic_heston_engine.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <complex>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "core/black_scholes.h"

namespace serivane {

namespace {

const char* const kUnknownOptionTypeMessage =
    "An error occured while calculating the Heston analytic price: Unknown option type";
const char* const kUnknownAlgorithmMessage =
    "An error occured while calculating the Heston analytic price: Unknwon integration algorithm";
const char* const kNoRuleMessage =
    "An error occured while calculating the Heston analytic price: Neither Integrator nor "
    "GaussianQuadrature given";
const char* const kBoundsMessage =
    "An error occured while calculating the Heston analytic price: the integration gives no price "
    "within the no-arbitrage bounds: ";

const char* const kNoDecayMessage =
    "An error occured while calculating the Heston analytic price: the integrals give no price: "
    "v0 + kappa theta T = ";

// Machine epsilon of double: below it c_inf * x is the point at infinity of the map.
constexpr double kEps = 2.220446049250313e-16;
// The largest float: "no absolute accuracy given".
constexpr double kNoValue = 3.4028234663852886e38;
constexpr double kPi = 3.141592653589793;
// Below this the small-sigma expansion replaces the terms in (t - d) / sigma^2, whose direct
// evaluation loses all digits to cancellation as sigma goes to 0.
constexpr double kSmallSigma = 1e-5;
// Below this |kappa - rho sigma| the share-measure phi = 0 limit is taken at zero mean reversion.
constexpr double kSmallMeanReversion = 1e-7;

// phi1(z) = (e^z - 1) / z, phi1(0) = 1.
double phi1(double z) { return z == 0.0 ? 1.0 : std::expm1(z) / z; }

// phi2(z) = (e^z - 1 - z) / z^2, phi2(0) = 1/2. Below |z| = 0.01 by its Taylor series (the first
// term left out is below 3e-17 there); above, expm1 keeps the cancellation to eps / |z|.
double phi2(double z) {
  if (std::fabs(z) < 0.01) {
    return 0.5 + z * (1.0 / 6 + z * (1.0 / 24 + z * (1.0 / 120 + z * (1.0 / 720 + z / 5040))));
  }
  return (std::expm1(z) - z) / (z * z);
}

// integrand2 carried from [0, 1] onto [-1, 1] for the fixed-order rules of algorithms 5 to 7.
class SymmetricIntegrand {
 public:
  SymmetricIntegrand(double c_inf, const boost::function<double(double)>& f) : inner_(c_inf, f) {}
  double operator()(double y) const { return 0.5 * inner_(0.5 * (y + 1.0)); }

 private:
  integrand2 inner_;
};

}  // namespace

integrand2::integrand2(double c_inf, const boost::function<double(double)>& f)
    : c_inf_(c_inf), f_(f) {}

double integrand2::operator()(double x) const {
  if (c_inf_ * x > kEps) return f_(-std::log(x) / c_inf_) / (x * c_inf_);
  return 0.0;
}

Integration::Integration(std::int32_t algorithm,
                         std::shared_ptr<Integrator> integrator,
                         std::shared_ptr<GaussianQuadrature> gaussianQuadrature)
    : algorithm_(algorithm),
      integrator_(std::move(integrator)),
      gaussianQuadrature_(std::move(gaussianQuadrature)) {}

Integration Integration::gaussLobatto(double relTolerance,
                                      double absTolerance,
                                      std::uint64_t maxEvaluations) {
  return Integration(
      0,
      std::make_shared<GaussLobattoIntegral>(maxEvaluations, absTolerance, relTolerance, false),
      nullptr);
}

double Integration::calculate(double c_inf, const boost::function<double(double)>& f) const {
  if (algorithm_ < 0 || algorithm_ > 7) throw std::runtime_error(kUnknownAlgorithmMessage);
  if (algorithm_ <= 3) {
    if (!integrator_) throw std::runtime_error(kNoRuleMessage);
    return (*integrator_)(integrand2(c_inf, f), 0.0, 1.0);
  }
  if (!gaussianQuadrature_) throw std::runtime_error(kNoRuleMessage);
  if (algorithm_ == 4) return (*gaussianQuadrature_)(f);
  return (*gaussianQuadrature_)(SymmetricIntegrand(c_inf, f));
}

Fj_Helper::Fj_Helper(std::uint64_t j,
                     double kappa,
                     double theta,
                     double sigma,
                     double v0,
                     double rho,
                     double term,
                     double s0,
                     double strike,
                     double ratio)
    : j_(j),
      kappa_(kappa),
      theta_(theta),
      sigma_(sigma),
      v0_(v0),
      term_(term),
      x_(std::log(s0)),
      sx_(std::log(strike)),
      dd_(x_ - std::log(ratio)),
      sigma2_(sigma_ * sigma_),
      rsigma_(rho * sigma_),
      t0_(kappa - ((j == 1) ? rsigma_ : 0.0)) {
  assert((j == 1 || j == 2) && "Fj_Helper: j is 1 (share measure) or 2 (risk-neutral measure)");
}

double Fj_Helper::operator()(double phi) const {
  using Complex = std::complex<double>;
  const double s = (j_ == 1) ? 1.0 : -1.0;

  if (phi == 0.0) {
    // Limit of Im(f_j(phi)) / phi: the mean of log(S_T / K) under measure j. The integrated
    // variance of a square-root process with speed k = kappa - rho sigma (j = 1) or kappa (j = 2)
    // has mean v0 T phi1(-kT) + kappa theta T^2 phi2(-kT) for j = 1 and
    // theta T + (v0 - theta) T phi1(-kT) for j = 2, written with phi1, phi2 so that no difference
    // of nearly equal terms is divided by k or k^2.
    if (j_ == 1) {
      const double kmr = rsigma_ - kappa_;
      if (std::fabs(kmr) <= kSmallMeanReversion) {
        return 0.25 * kappa_ * theta_ * term_ * term_ + (dd_ - sx_) + 0.5 * v0_ * term_;
      }
      const double z = kmr * term_;
      return 0.5 * kappa_ * theta_ * term_ * term_ * phi2(z) + (dd_ - sx_) +
             0.5 * v0_ * term_ * phi1(z);
    }
    const double z = -kappa_ * term_;
    return (dd_ - sx_) - 0.5 * (theta_ * term_ + (v0_ - theta_) * term_ * phi1(z));
  }

  const Complex i(0.0, 1.0);
  const Complex t(t0_, -rsigma_ * phi);
  const Complex d = std::sqrt(t * t - sigma2_ * Complex(-phi * phi, s * phi));
  const Complex ex = std::exp(-d * term_);

  Complex exponent;
  if (sigma_ > kSmallSigma) {
    // (t - d) (t + d) = sigma^2 w: the smaller of the two factors is taken from the larger one,
    // since their direct difference or sum cancels (t - d for small sigma or large kappa, t + d
    // where Re t < 0). Subtracted directly, t - d and then the logarithm of a number close to 1
    // carry noise of relative size eps / sigma^2 into the integrand, which an adaptive rule
    // working to full double accuracy cannot resolve for sigma below about 1e-3.
    const Complex w(-phi * phi, s * phi);
    Complex tMinusD = t - d;
    Complex tPlusD = t + d;
    if (std::abs(tPlusD) >= std::abs(tMinusD)) {
      tMinusD = sigma2_ * w / tPlusD;
    } else {
      tPlusD = sigma2_ * w / tMinusD;
    }
    const Complex p = tMinusD / tPlusD;
    // g = log((1 - p ex) / (1 - p)) = log(1 + z), z = p (1 - ex) / (1 - p); for small z through
    // log1p, so that the digits of z are not lost in forming 1 + z.
    const Complex z = p * (1.0 - ex) / (1.0 - p);
    Complex g;
    if (std::abs(z) < 0.5) {
      g = Complex(0.5 * std::log1p(2.0 * z.real() + std::norm(z)),
                  std::atan2(z.imag(), 1.0 + z.real()));
    } else {
      g = std::log((1.0 - p * ex) / (1.0 - p));
    }
    exponent = v0_ * tMinusD * (1.0 - ex) / (sigma2_ * (1.0 - ex * p)) +
               (kappa_ * theta_ / sigma2_) * (tMinusD * term_ - 2.0 * g) + i * phi * (dd_ - sx_);
  } else {
    // (t - d) / sigma^2 -> td and log((1 - p ex) / (1 - p)) -> p (1 - ex) to first order in
    // sigma^2.
    const Complex td = phi / (2.0 * t) * Complex(-phi, s);
    const Complex p = td * sigma2_ / (t + d);
    const Complex g = p * (1.0 - ex);
    // 2 g / sigma^2 = 2 td (1 - ex) / (t + d); the identity is used at sigma = 0 exactly, where
    // the quotient is 0 / 0.
    const Complex twoGOverSigma2 =
        (sigma2_ != 0.0) ? 2.0 * g / sigma2_ : 2.0 * td * (1.0 - ex) / (t + d);
    exponent = v0_ * td * (1.0 - ex) / (1.0 - p * ex) +
               kappa_ * theta_ * (td * term_ - twoGOverSigma2) + i * phi * (dd_ - sx_);
  }
  return std::imag(std::exp(exponent)) / phi;
}

AnalyticHestonEngine::AnalyticHestonEngine(double relativeAccuracy, std::uint64_t maxEvaluations)
    : evaluations_(0),
      integration_(std::make_shared<Integration>(
          Integration::gaussLobatto(relativeAccuracy, kNoValue, maxEvaluations))) {}

double AnalyticHestonEngine::price(double S,
                                   double K,
                                   double T,
                                   double r,
                                   double d,
                                   double v0,
                                   double theta,
                                   double kappa,
                                   double sigma,
                                   double rho,
                                   const std::int32_t& optionType) {
  const double dividendDiscount = std::exp(-(T * d));
  const double riskFreeDiscount = std::exp(-(T * r));
  double value = 0.0;
  priceFromDiscounts(riskFreeDiscount,
                     dividendDiscount,
                     S,
                     K,
                     T,
                     kappa,
                     theta,
                     sigma,
                     v0,
                     rho,
                     optionType,
                     *integration_,
                     value,
                     this);
  return value;
}

namespace {

// Evaluations of the integral just computed by `integration`.
std::uint64_t evaluationsOf(const Integration& integration) {
  if (integration.integrator()) return integration.integrator()->numberOfEvaluations();
  if (integration.gaussianQuadrature()) return integration.gaussianQuadrature()->order();
  throw std::runtime_error(kNoRuleMessage);
}

// f plus 2 lambda c_inf exp(-2 c_inf phi), whose integral over (0, infinity) is lambda: on [0, 1]
// the map adds the straight line 2 lambda x to the mapped integrand, which both local rules of
// the adaptive integration integrate exactly.
class ShiftedIntegrand {
 public:
  ShiftedIntegrand(const Fj_Helper& f, double c_inf, double lambda)
      : f_(f), c_inf_(c_inf), lambda_(lambda) {}
  double operator()(double phi) const {
    return f_(phi) + 2.0 * lambda_ * c_inf_ * std::exp(-2.0 * c_inf_ * phi);
  }

 private:
  Fj_Helper f_;
  double c_inf_;
  double lambda_;
};

// The integral of f over (0, infinity) by `integration`; evaluations receives the integrand calls
// it took.
//
// The adaptive integration stops where the difference of its two local rules no longer changes
// its 13-point estimate of the whole mapped integral, so it asks for an accuracy relative to that
// estimate. Where the map is flat (its decay rate at or near the lower clamp, |rho| at or next
// to 1) the mapped integrand lives in a thin layer at x = 1, and of the 13 nodes only x = 1 sees
// it, with the value f(0) / c_inf: f(0) is the mean of log(S_T / K) under the measure, and it is 0
// at one strike of every model (at K = S for v0 = theta and r - d = v0 / 2 in the risk-neutral
// measure). There the estimate is 0 (or rounding noise) and the test asks for a result exact to
// the last bit of 0, which no number of steps reaches; the evaluation budget runs out, or the
// estimate is exactly 0 and the integration refuses it. When the integration fails so, it is done
// again on f plus a function of integral lambda = +-1 (the sign of f(0)), which gives the estimate
// the size of lambda and so the test an accuracy of about 1e-16 on the probability, and lambda is
// taken off again. That second integration is only done where it gives the integral over the
// whole half-line: the map evaluates f up to phi = log(c_inf / eps) / c_inf only (integrand2 is 0
// beyond), and the part left out must be negligible on that scale (|f| times the cut below eps
// there; an integrand that still matters at the cut, as at a maturity of a microsecond, keeps its
// failure). An integration that succeeds at once is kept as it is; one that fails again raises
// the first failure.
double probabilityIntegral(const Integration& integration,
                           double c_inf,
                           const Fj_Helper& f,
                           std::uint64_t& evaluations) {
  std::exception_ptr failure;
  try {
    const double value = integration.calculate(c_inf, f);
    evaluations = evaluationsOf(integration);
    return value;
  } catch (const std::exception&) {
    // Only the adaptive integration has a relative test; a fixed-order rule, a wrong algorithm
    // or a missing rule fails the same way again.
    if (integration.algorithm() < 0 || integration.algorithm() > 3 || !integration.integrator()) {
      throw;
    }
    failure = std::current_exception();
  }
  if (!(c_inf > kEps)) std::rethrow_exception(failure);
  const double cut = std::log(c_inf / kEps) / c_inf;
  const double tail = std::max(std::fabs(f(cut)), std::fabs(f(0.9 * cut))) * cut;
  if (!(tail <= kEps)) std::rethrow_exception(failure);
  std::uint64_t used = integration.integrator()->numberOfEvaluations();
  const double lambda = f(0.0) < 0.0 ? -1.0 : 1.0;
  try {
    const double shifted = integration.calculate(c_inf, ShiftedIntegrand(f, c_inf, lambda));
    used += integration.integrator()->numberOfEvaluations();
    evaluations = used;
    return shifted - lambda;
  } catch (const std::exception&) {
    std::rethrow_exception(failure);
  }
}

// The closed forms where the integrals degenerate; true with value set (before the caller holds
// it to the bounds) when one applies. At expiry the value is the payoff. With no variance and no
// drift of the variance away from 0 (v0 = 0 and kappa theta = 0) the variance path stays at 0 and
// the asset grows deterministically: the discounted forward intrinsic value. With no mean
// reversion and (next to) no volatility of variance the variance stays at v0, and the price is the
// Black-Scholes-Merton one: the small-sigma expansion of the integrand divides by kappa - rho sigma
// there and cannot be used.
bool degenerateValue(double forwardSpot,
                     double forwardStrike,
                     double sign,
                     double T,
                     double kappa,
                     double theta,
                     double sigma,
                     double v0,
                     double& value) {
  if (T == 0.0 || (v0 == 0.0 && kappa * theta == 0.0)) {
    value = std::max(sign * (forwardSpot - forwardStrike), 0.0);
    return true;
  }
  if (kappa == 0.0 && sigma <= kSmallSigma && v0 > 0.0) {
    const double sd = std::sqrt(v0 * T);
    const double d1 = std::log(forwardSpot / forwardStrike) / sd + 0.5 * sd;
    const double d2 = d1 - sd;
    value = sign * (forwardSpot * cumNorm(sign * d1) - forwardStrike * cumNorm(sign * d2));
    return true;
  }
  return false;
}

// No price may leave the no-arbitrage bounds. Within the integration's own noise (a relative 1e-9
// of the discounted spot plus strike, scale, far above the accuracy of an ordinary price) the
// value is left to the caller to put on the bound it crossed; beyond that the integrals did not
// converge to the model's probabilities (both degenerate to 1/2 when the variance explodes under a
// negative mean-reversion speed, for instance), and the price is refused. With the map's decay
// numerator v0 + kappa theta T (decayNumerator) at or below 0 (kappa theta < 0: a negative mean
// reversion) the map has no positive decay rate, both integrands vanish on [0, 1] and the
// probabilities are 1/2 whatever the model: a value that lands inside the bounds (an option at the
// money forward) is no price either.
void checkIntegratedValue(double value,
                          double lowerBound,
                          double upperBound,
                          double scale,
                          double kappa,
                          double c_inf,
                          double decayNumerator) {
  const double tolerance = 1e-9 * scale;
  if (value < lowerBound - tolerance || value > upperBound + tolerance) {
    std::ostringstream message;
    message.precision(10);
    message << kBoundsMessage << value << " lies outside [" << lowerBound << ", " << upperBound
            << "]";
    if (kappa < 0.0) message << " (the variance is explosive under a negative mean reversion)";
    throw std::runtime_error(message.str());
  }
  if (!(c_inf > 0.0)) {
    std::ostringstream message;
    message.precision(10);
    message << kNoDecayMessage << decayNumerator
            << " is not positive (the variance is explosive under a negative mean reversion)";
    throw std::runtime_error(message.str());
  }
}

}  // namespace

void AnalyticHestonEngine::priceFromDiscounts(double riskFreeDiscount,
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
                                              AnalyticHestonEngine* engine) {
  if (optionType != -1 && optionType != 1) throw std::runtime_error(kUnknownOptionTypeMessage);
  const double forwardSpot = dividendDiscount * S;    // S e^{-dT}
  const double forwardStrike = riskFreeDiscount * K;  // K e^{-rT}
  const double sign = optionType == 1 ? 1.0 : -1.0;
  const double lowerBound = std::max(sign * (forwardSpot - forwardStrike), 0.0);
  const double upperBound = optionType == 1 ? forwardSpot : forwardStrike;

  if (degenerateValue(forwardSpot, forwardStrike, sign, T, kappa, theta, sigma, v0, value)) {
    if (engine != nullptr) engine->evaluations_ = 0;
    value = std::min(std::max(value, lowerBound), upperBound);
    return;
  }

  const double ratio = riskFreeDiscount / dividendDiscount;

  // Decay rate of the map phi = -log(x) / c_inf. The integrands fall off like
  // exp(-sqrt(1 - rho^2) (v0 + kappa theta T) phi / sigma); the clamps keep the map from being
  // steeper than that (so the integrand stays bounded at x = 0) and from being too flat.
  double decay = std::sqrt(1.0 - rho * rho) / sigma;
  decay = std::max(0.0001, decay);
  decay = std::min(0.1, decay);
  const double c_inf = decay * (v0 + kappa * theta * T);

  if (engine != nullptr) engine->evaluations_ = 0;

  std::uint64_t evaluations1 = 0;
  const double integral1 = probabilityIntegral(
      integration, c_inf, Fj_Helper(1, kappa, theta, sigma, v0, rho, T, S, K, ratio), evaluations1);
  if (engine != nullptr) engine->evaluations_ += evaluations1;

  std::uint64_t evaluations2 = 0;
  const double integral2 = probabilityIntegral(
      integration, c_inf, Fj_Helper(2, kappa, theta, sigma, v0, rho, T, S, K, ratio), evaluations2);
  if (engine != nullptr) engine->evaluations_ += evaluations2;

  double p1 = 0.0;
  double p2 = 0.0;
  if (optionType == -1) {
    p1 = integral1 / kPi - 0.5;
    p2 = integral2 / kPi - 0.5;
  } else if (optionType == 1) {
    p1 = integral1 / kPi + 0.5;
    p2 = integral2 / kPi + 0.5;
  }
  value = dividendDiscount * S * p1 - riskFreeDiscount * K * p2;

  if (std::isfinite(value)) {
    checkIntegratedValue(value,
                         lowerBound,
                         upperBound,
                         forwardSpot + forwardStrike,
                         kappa,
                         c_inf,
                         v0 + kappa * theta * T);
    value = std::min(std::max(value, lowerBound), upperBound);
  }
}

}  // namespace serivane
