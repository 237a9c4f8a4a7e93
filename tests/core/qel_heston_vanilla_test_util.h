#ifndef SERIVANE_TESTS_CORE_QEL_HESTON_VANILLA_TEST_UTIL_H_
#define SERIVANE_TESTS_CORE_QEL_HESTON_VANILLA_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <string>
#include <valarray>

#include "core/qel_heston_vanilla.h"

namespace serivane {

// Option and model data of a test pricer, with the defaults of a one-year at-the-money put under
// variance diffusion.
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
};

inline std::unique_ptr<QelHestonVanilla> makePricer(const PricerData& a) {
  const std::valarray<double> params = {a.volvol, a.v0, a.vL, a.theta, a.rho, a.model};
  return std::make_unique<QelHestonVanilla>(a.S0,
                                            a.K,
                                            a.T,
                                            params,
                                            a.r,
                                            a.d,
                                            a.NS,
                                            a.NV,
                                            a.NT,
                                            a.CallPut,
                                            3,
                                            1,
                                            a.EuroAmer,
                                            std::valarray<double>(5),
                                            std::valarray<double>(5),
                                            a.clusterAtStrike,
                                            -3.0,
                                            a.sRangeParam,
                                            a.varRange,
                                            a.nExercise,
                                            true,
                                            a.exerciseMode,
                                            0.0,
                                            2,
                                            a.volvolWidening);
}

// Runs f and checks that it throws a std::exception with exactly this message.
template <class F>
void expectThrowsMessage(F&& f, const std::string& message, const std::string& label = "") {
  try {
    f();
    ADD_FAILURE() << label << ": no exception, expected \"" << message << "\"";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), message) << label;
  }
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_CORE_QEL_HESTON_VANILLA_TEST_UTIL_H_
