#ifndef SERIVANE_CORE_SPECIAL_FUNCTIONS_H_
#define SERIVANE_CORE_SPECIAL_FUNCTIONS_H_

#include <limits>

namespace serivane {

// Special functions behind the variance-range bounds and the variance quantiles: log-gamma, the
// regularised incomplete gamma function P(a, x) and its inverse in x, the gamma distribution and
// the distribution function of the non-central chi-square law.
//
// Failures are std::runtime_error carrying a fixed message, except the construction of Gammadist,
// which throws the bare `const char*` "bad alph,bet in Gammadist" (callers catch it as such).
//
// Arguments that are not numbers (and infinite ones where no limit is returned) fail with one of
// these messages instead of looping or returning garbage:
//   "NaN argument in gammln"                            gammln(NaN)
//   "non-finite argument in incomplete gamma function"  gammp, gammaSeries, gammaContFrac,
//                                                       gammpQuadrature, invgammap
//   "incomplete gamma evaluation diverged"              gammaSeries or gammaContFrac called
//                                                       directly far outside their range
//   "non-finite argument in non-central chi-square distribution"  nonCentralChiSquareCdf

// Machine epsilon of double: the relative stopping tolerance of the incomplete gamma series and
// continued fraction (2.220446049250313e-16).
inline constexpr double EPS = std::numeric_limits<double>::epsilon();
// Smallest normal double / EPS (1.0020841800044864e-292): the floor that keeps the modified Lentz
// recurrences away from division by zero.
inline constexpr double FPMIN = std::numeric_limits<double>::min() / EPS;
// Shapes a >= ASWITCH evaluate P(a, x) by quadrature: the series and the continued fraction need
// O(sqrt(a)) terms there, and the gamma density is close enough to a Gaussian for 18 nodes.
inline constexpr int ASWITCH = 100;

// The half rule of gammpQuadrature: the 18 positive nodes x_j (descending) of the 36-point
// Gauss-Legendre rule on [-1, 1] as abscissae y_j = 1 - x_j in (0, 1), with their weights w_j
// (summing to 1). The nodes are the zeros of the Legendre polynomial P_36 and
// w_j = 2 / ((1 - x_j^2) P_36'(x_j)^2) (Abramowitz-Stegun 25.4.29). By the symmetry of the full
// rule, sum_j w_j f(y_j) = integral of f over [0, 1] exactly when f(y) = q((1 - y)^2) with q a
// polynomial of degree <= 35; odd powers of 1 - y are not integrated exactly. So it suits a smooth
// integrand that vanishes to double precision, with its derivatives, towards y = 1, as the gamma
// density does at the far end of gammpQuadrature.
inline constexpr int kGaussLegendreHalf = 18;
inline constexpr double kGaussLegendreY[kGaussLegendreHalf] = {0.0021695375159141994,
                                                               0.011413521097787815,
                                                               0.027972308950302005,
                                                               0.051727015600492421,
                                                               0.082502225484340941,
                                                               0.12007019910960282,
                                                               0.1641528330075247,
                                                               0.21442376986779343,
                                                               0.27051082840644347,
                                                               0.33199876341447898,
                                                               0.39843234186401943,
                                                               0.46931971407375483,
                                                               0.54413605556657973,
                                                               0.62232745288031077,
                                                               0.70331500465597174,
                                                               0.78649910768313447,
                                                               0.87126389619061517,
                                                               0.95698180152629142};
inline constexpr double kGaussLegendreW[kGaussLegendreHalf] = {0.0055657196642450455,
                                                               0.012915947284065574,
                                                               0.020181515297735472,
                                                               0.027298621498568779,
                                                               0.034213810770307232,
                                                               0.040875750923644892,
                                                               0.047235083490265978,
                                                               0.053244713977759921,
                                                               0.058860144245324819,
                                                               0.064039797355015485,
                                                               0.068745323835736449,
                                                               0.072941885005653059,
                                                               0.076598410645870668,
                                                               0.079687828912071601,
                                                               0.082187266704339706,
                                                               0.084078218979661931,
                                                               0.085346685739338624,
                                                               0.085983275670394751};

// ln Gamma(x) for x > 0 by the Lanczos approximation with g = 671/128 and 14 coefficients
// (relative error about 1e-15). C. Lanczos, "A precision approximation of the gamma function",
// SIAM J. Numer. Anal. B 1 (1964); coefficient set of W. H. Press et al., "Numerical Recipes",
// 3rd ed. (2007), sec. 6.1. gammln(+inf) is +inf.
// Throws "bad arg in gammln" for x <= 0 and "NaN argument in gammln" for NaN.
double gammln(double x);

// Base record of the incomplete gamma routines. Every routine that takes the record writes
// lastLogGamma = ln Gamma(a) for the shape a of its evaluation; invgammap reads it back.
struct IncompleteGamma {
  // ln Gamma(a) of the last evaluation; NaN until the first one.
  double lastLogGamma = std::numeric_limits<double>::quiet_NaN();
};

// Regularised lower incomplete gamma function P(a, x) = gamma(a, x) / Gamma(a).
// Chooses the method: x = 0 gives 0; a >= ASWITCH the quadrature; x < a + 1 the series; otherwise
// 1 - the continued fraction. Throws "bad args in gammp" for x < 0 or a <= 0, and "non-finite
// argument in incomplete gamma function" for a NaN or infinite a or x.
double gammp(IncompleteGamma& record, double a, double x);

// P(a, x) by its power series (M. Abramowitz, I. A. Stegun, "Handbook of Mathematical Functions"
// (1964), 6.5.29), summed until the term is below EPS relative to the sum. Meant for x < a + 1,
// where it needs O(sqrt(a)) terms.
double gammaSeries(IncompleteGamma& record, double a, double x);

// Q(a, x) = 1 - P(a, x) by its continued fraction (Abramowitz-Stegun 6.5.31) in the modified
// Lentz evaluation (I. J. Thompson, A. R. Barnett, "Coulomb and Bessel functions of complex
// arguments and order", J. Comput. Phys. 64 (1986)). Meant for x >= a + 1.
double gammaContFrac(IncompleteGamma& record, double a, double x);

// P(a, x) for large a (a >= ASWITCH) by 18-point Gauss-Legendre quadrature of the gamma density
// from x to a point far in the tail beyond x or near 0 below it (Press et al., 3rd ed., sec. 6.2).
// Requires a > 1.
double gammpQuadrature(IncompleteGamma& record, double a, double x);

// The x >= 0 with P(a, x) = p, by at most 12 Halley steps from the start value of Press et al.,
// 3rd ed., sec. 6.2.1 (Abramowitz-Stegun 26.2.22 with the Wilson-Hilferty transform for a > 1).
// p >= 1 gives max(100, a + 100 sqrt(a)), p <= 0 gives 0. Throws "bad arg in gammln" for a <= 0
// (before anything else) and "non-finite argument in incomplete gamma function" for a NaN p or an
// infinite a.
double invgammap(IncompleteGamma& record, double p, double a);

// Gamma distribution with shape alph and rate bet: density proportional to x^(alph-1) exp(-bet x).
struct Gammadist : IncompleteGamma {
  double alph;
  double bet;

  // Throws the `const char*` "bad alph,bet in Gammadist" (not a std::exception) unless
  // alph > 0 and bet > 0; a NaN parameter fails the same way.
  Gammadist(double alph, double bet);

  // The x with P(alph, bet x) = p, that is invgammap(p, alph) / bet; quantile(0) is 0.
  // Throws "bad p in Gammadist" for p < 0 or p >= 1.
  double quantile(double p);
};

// ln Gamma(x) for x > 0 by the Lanczos approximation with g = 5 and the six coefficients given
// (relative error about 2e-10 with the standard set). Press et al., "Numerical Recipes in C",
// 2nd ed. (1992), sec. 6.1. Throws "Non-positive argumet provided to gamma function evaluation"
// for x <= 0.
double logGammaSeries(const double (&cof)[6], double x);

struct NonCentralChiSquareFunctor;

// P(X <= x) - functor.p for X non-central chi-square with functor.k degrees of freedom and
// non-centrality functor.lambda, by the Poisson-weighted sum of central terms with the truncation
// bound t x / (k - x + 2n). C. G. Ding, "Algorithm AS 275: Computing the non-central chi-squared
// distribution function", Appl. Statist. 41 (1992). Exactly 0.0 for x <= 0 (not -p).
//
// The sum runs over at most 10000 terms. When that limit is reached while x > k + 2n (x beyond
// about k + 20000) the partial sum - p is returned without failure, although the sum then misses
// most of the mass. The first central term and the first Poisson weight are plain doubles: for
// lambda/2 beyond about 708, or x/2 - (k/2) ln(x/2) beyond about 708, they underflow and the sum
// comes out far too small.
// Throws "Non-central chi-square distribuion didn't converge." when the bound is still above
// 1e-12 after the term limit, and "non-finite argument in non-central chi-square distribution"
// for a NaN or infinite k, lambda, p or x > 0.
double nonCentralChiSquareCdf(const NonCentralChiSquareFunctor& functor, double x);

// The non-central chi-square distribution function minus a target probability, as a functor for
// brentSolve (core/brent.h); with p = 0 its value is the distribution function itself.
struct NonCentralChiSquareFunctor {
  double k;       // degrees of freedom
  double lambda;  // non-centrality
  double p;       // target probability

  double operator()(double x) const { return nonCentralChiSquareCdf(*this, x); }
};

}  // namespace serivane

#endif  // SERIVANE_CORE_SPECIAL_FUNCTIONS_H_
