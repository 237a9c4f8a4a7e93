#ifndef SERIVANE_CORE_QEL_EQUITY_OPTION_H_
#define SERIVANE_CORE_QEL_EQUITY_OPTION_H_

#include <cstdint>
#include <valarray>

namespace serivane {

// Abstract base of the option pricer objects: the contract (strike, maturity, call or put,
// exercise style), the market data every pricer needs (rate, dividend yield), the asset-grid
// sizes and run mode, and the arrays a solve leaves behind. The fields are public: the solvers
// and the retrying pricers read and write them directly between and during solves.
//
// The object owns its arrays; it is used by one thread at a time and is never copied.
class QelEquityOption {
 public:
  // `ctorFlag` is accepted and not used. summary := six zeros, the other arrays empty,
  // gridValid := false, NS0 := NS. american, bermudan and strikeNodeIndex are set by the derived
  // class's resetState, nSNodes by the grid builders.
  QelEquityOption(double K,
                  double T,
                  double sigma,
                  double r,
                  double d,
                  int NS,
                  int NT,
                  int CallPut,
                  int precision,
                  int ctorFlag,
                  int EuroAmer,
                  double sRangeParam,
                  bool clusterAtStrike,
                  int nExercise,
                  int exerciseMode,
                  double tShift);
  QelEquityOption(const QelEquityOption&) = delete;
  QelEquityOption& operator=(const QelEquityOption&) = delete;

  // The virtual operations, in this order (the order is part of the interface).
  virtual ~QelEquityOption();
  // Prices the option: the five result vectors along the asset grid; cpuTime in: negative asks
  // for implied volatilities, out: CPU seconds of the run.
  virtual void solve(std::valarray<double>& out0,
                     std::valarray<double>& out1,
                     std::valarray<double>& out2,
                     std::valarray<double>& out3,
                     std::valarray<double>& out4,
                     double& cpuTime) = 0;
  // Number of asset intervals.
  virtual int getNodeCount() const = 0;
  // Builds the asset grid of the pricer's choice into out.
  virtual void buildSGrid(std::valarray<double>& out) = 0;
  virtual std::valarray<double> getSummary() const;
  virtual std::valarray<double> getStrikePrices() const;
  virtual std::valarray<double> getStrikeIVs() const;
  virtual void setMaturity(double x);
  // Shifts the constant volatility: sigma := sigma + h.
  virtual void bumpVol(double h);
  // NS := n and the stored grid is invalidated (NS0 stays).
  virtual void setNS(int n);
  virtual void setNT(int n);
  // Does nothing; kept as a hook of the interface.
  virtual void beforeSolve();

  // Delta and gamma at every asset node 0..NS from `values` on `grid`: three-point formulas on a
  // non-uniform grid when clusterAtStrike is set, central differences of the uniform step
  // grid[2] - grid[1] otherwise (with a correction when the first cell is wider than the step).
  // All formulas are exact for quadratics. delta and gamma are resized to NS + 1 entries when they
  // are smaller. Throws std::invalid_argument when NS < 4 (the end formulas read five nodes) or
  // when grid or values hold fewer than NS + 1 entries.
  void calcGreeksS(std::valarray<double>& delta, std::valarray<double>& gamma) const;
  // The same on a log-asset grid (grid holds ln S): derivatives with respect to S, by the
  // non-uniform formulas on the nodes exp(grid[i]) whatever clusterAtStrike says.
  void calcGreeksLogS(std::valarray<double>& delta, std::valarray<double>& gamma) const;

  // Fields, in declaration order.
  std::valarray<double> grid;          // last built asset grid (S, or ln S on a log grid)
  std::valarray<double> values;        // smoothed terminal values, then the solution at v0
  std::valarray<double> payoff;        // raw terminal payoff on grid
  std::valarray<double> summary;       // PricingSummary: six doubles
  std::valarray<double> strikePrices;  // one price per strike of a strike list
  std::valarray<double> strikeIVs;     // one implied volatility per strike (0: price <= 0)
  double K;
  double T;
  double sigma;
  double r;
  double d;
  double sRangeParam;
  double tShift;
  std::int32_t NS;
  std::int32_t NS0;
  std::int32_t strikeNodeIndex = 0;
  std::int32_t nSNodes = 0;
  std::int32_t NT;
  std::int32_t CallPut;
  std::int32_t precision;
  std::int32_t nExercise;
  std::int32_t exerciseMode;
  std::int32_t EuroAmer;
  bool american = false;
  bool bermudan = false;
  bool clusterAtStrike;
  bool gridValid = false;
};

}  // namespace serivane

#endif  // SERIVANE_CORE_QEL_EQUITY_OPTION_H_
