#ifndef SERIVANE_PDE2D_SCHEME_WEIGHTS_H_
#define SERIVANE_PDE2D_SCHEME_WEIGHTS_H_

#include <cmath>

namespace serivane {

// The weights of the time schemes of the 2-D solvers, each written once.
namespace scheme_weights {

// Hundsdorfer-Verwer: theta = 1 - sqrt(2)/2 keeps the scheme second order and stable with the mixed
// term (K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option pricing in the
// Heston model with correlation", Int. J. Numer. Anal. Model. 7 (2010)).
inline const double kHvTheta = 1.0 - std::sqrt(2.0) * 0.5;

// Modified Craig-Sneyd: theta = 1/3 is second order in time with the mixed term (K. J. in 't Hout,
// B. D. Welfert, Appl. Numer. Math. 59 (2009)).
constexpr double kMcsTheta = 1.0 / 3.0;

// The damped start-up: Douglas sub-steps with theta = 1, backward Euler in each direction, which
// damp the high frequencies of a kinked payoff (R. Rannacher, Numer. Math. 43 (1984)).
constexpr double kDampedTheta = 1.0;

// Backward differentiation (E. Hairer, G. Wanner, "Solving Ordinary Differential Equations II"
// (1996), ch. V.1): w U_new - dt L U_new = sum_m a_m U_(n-m), w the diagonal weight of the whole
// operator and a_m the weights of the levels before it.
constexpr double kBdf2Diagonal = 1.5;
constexpr double kBdf2History[2] = {2.0, -0.5};
constexpr double kBdf3Diagonal = 11.0 / 6.0;
constexpr double kBdf3History[3] = {3.0, -1.5, 1.0 / 3.0};

// The start of a BDF ladder: backward-Euler steps of a quarter and of half the step, combined by
// Richardson extrapolation 2 U_quarter - U_half (the error of backward Euler is first order).
constexpr double kQuarterStep = 0.25;
constexpr double kHalfStep = 0.5;
constexpr double kRichardsonFine = 2.0;

// The scheme kinds of the sparse operator assembly (its opKind) and their diagonal weights: any
// kind other than backward Euler and BDF2 is BDF3.
constexpr int kOpBackwardEuler = 0;
constexpr int kOpBdf2 = 6;
constexpr int kOpBdf3 = 3;
constexpr double diagonalWeight(int opKind) {
  return opKind == kOpBackwardEuler ? 1.0 : (opKind == kOpBdf2 ? kBdf2Diagonal : kBdf3Diagonal);
}

}  // namespace scheme_weights

}  // namespace serivane

#endif  // SERIVANE_PDE2D_SCHEME_WEIGHTS_H_
