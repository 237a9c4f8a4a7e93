#ifndef SERIVANE_TESTS_SUPPORT_HESTON_PRICER_H_
#define SERIVANE_TESTS_SUPPORT_HESTON_PRICER_H_

#include <memory>
#include <valarray>
#include <vector>

#include "core/qel_heston_vanilla.h"

namespace serivane {

// Every argument of a test pricer that the tests vary, with the defaults of a one-year
// at-the-money put under variance diffusion, one solve (run mode 3) by method 2. The constant
// arguments are those the robust pricers pass.
struct PricerData {
  double S0 = 100.0;
  double K = 100.0;
  double T = 1.0;
  double volvol = 1.0;
  double v0 = 0.04;
  double vL = 0.05;
  double theta = 2.0;
  double rho = -0.5;
  double model = 1.0;
  double r = 0.03;
  double d = 0.01;
  int NS = 100;
  int NV = 30;
  int NT = 50;
  int CallPut = 1;
  int EuroAmer = 0;
  bool clusterAtStrike = true;
  double sRangeParam = 0.0;
  double varRange = 0.99;
  int nExercise = 0;
  int exerciseMode = 0;
  bool volvolWidening = false;
  int runMode = 3;  // also the precision argument; the tolerance exponent is -runMode
  int methodID = 2;
  double p = 1.0;  // the exponent of model 1 (the one-strike constructor sets 1)
};

inline std::valarray<double> pricerParams(const PricerData& a) {
  return {a.volvol, a.v0, a.vL, a.theta, a.rho, a.model};
}

// The pricer of a at strike (K, or the strike list followed by the strip flag and the exponent).
template <class Strike, class... StrikeListTail>
std::unique_ptr<QelHestonVanilla> makePricerAt(const PricerData& a,
                                               Strike strike,
                                               StrikeListTail... tail) {
  return std::make_unique<QelHestonVanilla>(a.S0,
                                            strike,
                                            a.T,
                                            pricerParams(a),
                                            a.r,
                                            a.d,
                                            a.NS,
                                            a.NV,
                                            a.NT,
                                            a.CallPut,
                                            a.runMode,
                                            1,
                                            a.EuroAmer,
                                            std::valarray<double>(5),
                                            std::valarray<double>(5),
                                            a.clusterAtStrike,
                                            -double(a.runMode),
                                            a.sRangeParam,
                                            a.varRange,
                                            a.nExercise,
                                            true,
                                            a.exerciseMode,
                                            0.0,
                                            a.methodID,
                                            a.volvolWidening,
                                            tail...);
}

// A one-strike pricer of a; its exponent is set to a.p after construction.
inline std::unique_ptr<QelHestonVanilla> makePricer(const PricerData& a) {
  auto q = makePricerAt(a, a.K);
  q->p = a.p;
  return q;
}

// A strike-list pricer of a (a.K is not read) with exponent a.p.
inline std::unique_ptr<QelHestonVanilla> makeListPricer(const PricerData& a,
                                                        const std::vector<double>& strikes,
                                                        bool stripFlag = false) {
  return makePricerAt(a, strikes, stripFlag, a.p);
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_HESTON_PRICER_H_
