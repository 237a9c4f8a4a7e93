#ifndef SERIVANE_TESTS_PDE2D_SOLVER_FIXTURES_H_
#define SERIVANE_TESTS_PDE2D_SOLVER_FIXTURES_H_

#include <memory>
#include <valarray>

#include "core/qel_heston_vanilla.h"
#include "heston_analytic/analytic_heston_engine.h"

// The model, option and pricer set-up that the solver-variant tests share.
namespace solver_fixtures {

struct Model {
  double v0, vL, kappa, xi, rho;
};

struct Option {
  double K = 100.0, T = 1.0;
  int CallPut = 1;
  int EuroAmer = 0;
  double r = 0.03, d = 0.01;
};

constexpr double kS0 = 100.0;
// Coverage of the variance range: the calibration's usual level.
constexpr double kVarRange = 0.9999;

// A one-strike pricer of run mode 3 clustered at the strike, with exponent p.
inline std::unique_ptr<QelHestonVanilla> makePricer(const Model& m,
                                                    const Option& o,
                                                    int NS,
                                                    int NV,
                                                    int NT,
                                                    int methodID,
                                                    int model,
                                                    double p = 1.0) {
  std::valarray<double> params{m.xi, m.v0, m.vL, m.kappa, m.rho, double(model)};
  std::valarray<double> zeros(0.0, 5);
  auto q = std::make_unique<QelHestonVanilla>(kS0,
                                              o.K,
                                              o.T,
                                              params,
                                              o.r,
                                              o.d,
                                              NS,
                                              NV,
                                              NT,
                                              o.CallPut,
                                              3,
                                              1,
                                              o.EuroAmer,
                                              zeros,
                                              zeros,
                                              true,
                                              -3.0,
                                              1.0,
                                              kVarRange,
                                              0,
                                              true,
                                              0,
                                              0.0,
                                              methodID,
                                              false);
  q->p = p;
  return q;
}

struct Solved {
  double price;  // summary[2], the reported price
  std::valarray<double> summary;
  std::valarray<double> out[5];
};

inline Solved solveOnce(QelHestonVanilla& q) {
  Solved s;
  double cpu = 0.0;
  q.solve(s.out[0], s.out[1], s.out[2], s.out[3], s.out[4], cpu);
  s.summary = q.getSummary();
  s.price = s.summary[2];
  return s;
}

// The price on the grid (n, n/2, n/2).
inline double pdePrice(const Model& m, const Option& o, int n, int methodID, int model = 0) {
  return solveOnce(*makePricer(m, o, n, n / 2, n / 2, methodID, model)).price;
}

inline double hestonPrice(const Model& m, const Option& o) {
  AnalyticHestonEngine engine(1e-12, 1000000);
  return engine.price(
      kS0, o.K, o.T, o.r, o.d, m.v0, m.vL, m.kappa, m.xi, m.rho, o.CallPut == 1 ? -1 : 1);
}

}  // namespace solver_fixtures

#endif  // SERIVANE_TESTS_PDE2D_SOLVER_FIXTURES_H_
