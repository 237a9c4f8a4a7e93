#ifndef SERIVANE_CORE_QEL_HESTON_VANILLA_H_
#define SERIVANE_CORE_QEL_HESTON_VANILLA_H_

#include <array>
#include <cstdint>
#include <valarray>
#include <vector>

#include "core/dense_matrix.h"
#include "core/failure_messages.h"
#include "core/qel_equity_option.h"

namespace serivane {

// The five per-node result vectors of a solve: 0 the asset-axis nodes (ln S for method ids 12
// and 13), 1 the values at v0, 2 delta, 3 gamma (with respect to ln S for 12 and 13), 4 zeros
// left to the caller.
struct PDESolveResults {
  std::array<std::valarray<double>, 5> vectors;
  std::valarray<double>& operator[](int k) { return vectors[k]; }
  const std::valarray<double>& operator[](int k) const { return vectors[k]; }
};

// Pricer of one vanilla option, or of one expiry with a strike list, under the stochastic-variance
// model dS = (r - d) S dt + sqrt(v) S dW1, dv = theta (vL - v) dt + volvol v^p dW2 (model 1) or
// volvol sqrt(v) dW2 (model 0), d<W1, W2> = rho dt, by the backward pricing equation on an
// asset (or log-asset) by variance grid.
//
// Besides the model it keeps the grid-placement state (strikeNodeIndex, sGridA, sGridB on the
// asset axis; vGridA, vGridB, iToV0, nVStretch on the variance axis): the first grid build after a
// reset chooses it and every later build reuses it, so that a repeated solve gets the same grid
// and a solve with doubled NS, NV and indices gets twice the intervals around the same placement.
//
// Core holds the object's data, grids, variance bounds and payoffs, which the 2-D solvers read.
// The object is made and priced by the solver library (serivane_pde2d, pde2d/solve_driver.cpp):
// its constructors, its destructor (the key function, so the vtable with solve lives there) and
// solve, dispatchSolver and convergenceRun. Whoever makes one links serivane_pde2d.
// The concentration of the asset grid at the spot or strike that a pricer gets by default, and
// that the ADI frame takes when its caller leaves it to the solver.
inline constexpr double kDefaultSConcentration = 4.5;

class QelHestonVanilla : public QelEquityOption {
 public:
  // One-strike constructor. params = {volvol, v0, vL, theta, rho, model}; model is params[5]
  // rounded half away from zero. ctorFlag, vecA, vecB, tolExponent and flag385 are accepted and
  // not used (the names are those of the option-pricer export, which hands them through). This
  // constructor takes no exponent: its objects get p = 1, the GARCH diffusion, which is what its
  // callers (the single-option pricers) price with model 1. The object is that of the strike-list
  // constructor with an empty list, stripFlag false and p = 1, at the strike K.
  // Throws std::invalid_argument when params does not hold six values or model is not finite.
  QelHestonVanilla(double S0,
                   double K,
                   double T,
                   std::valarray<double> params,
                   double r,
                   double d,
                   int NS,
                   int NV,
                   int NT,
                   int CallPut,
                   int precision,
                   int ctorFlag,
                   int EuroAmer,
                   std::valarray<double> vecA,
                   std::valarray<double> vecB,
                   bool clusterAtStrike,
                   double tolExponent,
                   double sRangeParam,
                   double varRange,
                   int nExercise,
                   bool flag385,
                   int exerciseMode,
                   double tShift,
                   int methodID,
                   bool volvolWidening);
  // Strike-list constructor: the same arguments with the strike list in place of K, then
  // stripFlag and the exponent p. Two or more strikes are sorted ascending, K is the smallest
  // and multiStrike is set; one strike is K; an empty list prices at K = S0.
  QelHestonVanilla(double S0,
                   std::vector<double> strikeList,
                   double T,
                   std::valarray<double> params,
                   double r,
                   double d,
                   int NS,
                   int NV,
                   int NT,
                   int CallPut,
                   int precision,
                   int ctorFlag,
                   int EuroAmer,
                   std::valarray<double> vecA,
                   std::valarray<double> vecB,
                   bool clusterAtStrike,
                   double tolExponent,
                   double sRangeParam,
                   double varRange,
                   int nExercise,
                   bool flag385,
                   int exerciseMode,
                   double tShift,
                   int methodID,
                   bool volvolWidening,
                   bool stripFlag,
                   double p);

  // The virtual operations continue those of QelEquityOption, in this order.
  ~QelHestonVanilla() override;
  // The price entry (pde2d/solve_driver.cpp): run mode 3 one solve, 4 Richardson extrapolation in
  // time over two convergence runs, 5 one convergence run. cpuTime in: negative asks for implied
  // volatilities (in summary[4], or strikeIVs for a strike list); out: CPU seconds of the run.
  // On the expiry day (T = 0, or a T whose time step T / NT is 0) one solve of every run mode
  // gives the exercise values exactly (the payoff along the grid, with its delta and gamma) and
  // no implied volatility (0).
  void solve(std::valarray<double>& out0,
             std::valarray<double>& out1,
             std::valarray<double>& out2,
             std::valarray<double>& out3,
             std::valarray<double>& out4,
             double& cpuTime) override;
  int getNodeCount() const override;
  // clusterAtStrike false: buildSGridPlain(out, false); true: buildSGridAtStrike(out,
  // kDefaultSConcentration, false).
  void buildSGrid(std::valarray<double>& out) override;
  // Shifts both volatility levels by h: v0 := (sqrt(v0) + h)^2, vL := (sqrt(vL) + h)^2.
  void bumpVol(double h) override;
  // Per-object defaults: american/bermudan from EuroAmer, exerciseMode 2 for a Bermudan call with
  // several exercise dates, vGridMode, damping and useSinhVGrid cleared, the grid-placement state
  // (except nVStretch) zeroed, sConcentration kDefaultSConcentration, logSParam 0.025.
  virtual void resetState();

  // Asset grids (asset_grids.cpp). Each hands back the stored grid while gridValid is set;
  // otherwise it builds, stores and hands back a new one with the strike on a node.
  // Uniform grid in S; throws std::runtime_error when NS is too small to put a node below the
  // strike.
  virtual void buildSGridPlain(std::valarray<double>& out, bool wide);
  // Grid in S clustered at the strike by a sinh map with concentration c; throws
  // kGridProblemMessage when the map cannot be fitted.
  virtual void buildSGridAtStrike(std::valarray<double>& out, double c, bool wide);
  // Grid in ln S clustered at ln K; throws kLogGridProblemMessage when the map cannot be fitted.
  virtual void buildLogSGrid(std::valarray<double>& out, double c, bool wide);

  // Terminal payoff on the nSNodes nodes of the asset (log-asset) grid: a put when CallPut is 1,
  // a call otherwise. Throws std::logic_error when grid holds fewer than nSNodes nodes.
  virtual void setPayoffS();
  virtual void setPayoffLogS();
  // values := payoff, with the node whose cell holds the strike replaced by the average of the
  // payoff over its cell (the exact average on the asset grid, the mid-point rule over the
  // in-the-money part in log-asset length on the log grid). A strike outside the interior cells
  // (below the mid-point of the first two nodes or beyond that of the last two) leaves values equal
  // to the payoff. Throws std::logic_error when payoff does not match the grid.
  virtual void smoothPayoffS();
  virtual void smoothPayoffLogS();
  // S = 0 boundary value at time to go t: K when american, else K exp(-r t). A put stores it in
  // column 0 of every row of m (the rows are the variance rows), a call stores 0 there; the value
  // is returned in both cases.
  virtual double setLowerBoundary(DenseMatrix& m, double t);

  // Clears what the solves keep from the grids they built, so that the next solve places fresh
  // grids for the current sizes: the asset and variance placement, the strike node, and the size
  // a run mode 4 or 5 solve restores NS to (NS0 := NS). The retry ladders call it before each new
  // attempt.
  void restartGrids();

  // An American single-strike price is worth at least its immediate exercise at S0: a positive
  // price below max(K - S0, 0) for a put (max(S0 - K, 0) for a call) is raised to it. The grid
  // values are floored node by node (by the solvers that project early exercise), but the price
  // is read between nodes by polynomial interpolation, which can undershoot the kink of the
  // exercise boundary, and Richardson extrapolation can undershoot too; every price handed out
  // passes here. Zero and negative values are left alone: they report failed solves.
  void floorAtExercise(double& price) const;
  // Throws std::invalid_argument when NS, NV or NT lie beyond what the pricer solves on (twice
  // the served limits of core/grid_limits.h, so that a convergence run's doubling fits): sizes
  // the retry ladders or a caller could otherwise carry into an int overflow or an endless run.
  void checkGridSizes() const;

  // The work model of a solve, in units of one time step on one node of a small grid (about
  // 0.22 microseconds on one core): a solve on n = (NS + 1)(NV + 1) nodes with m time steps and D
  // exercise dates that restart its time scheme makes (m + 6 + 5 D) steps of
  // kStepOverheadNodes + n nodes each and 5 + 4 D factorisations of its implicit operator of
  // kFactorOverheadNodes + kFactorNodeWork n each. A large grid costs more per node (its factors
  // fill in and leave the caches): the step work grows by 1 + n / kStepFillNodes, at most
  // kMaxStepFill times, the factorisation work by 1 + n / kFactorFillNodes, at most
  // kMaxFactorFill times.
  static constexpr double kStepOverheadNodes = 100.0;
  static constexpr double kStepFillNodes = 25000.0;
  static constexpr double kMaxStepFill = 5.0;
  static constexpr double kFactorOverheadNodes = 1400.0;
  static constexpr double kFactorNodeWork = 9.0;
  static constexpr double kFactorFillNodes = 50000.0;
  static constexpr double kMaxFactorFill = 3.0;
  static double estimateGridSolveWork(double NS, double NV, double m, double D);
  // Charges a solve on the grid its builders chose against workBudget (when positive): throws
  // std::runtime_error, before the solve, when the work charged would exceed it. The first solve
  // of an object is charged callWorkRatio times over: a caller that will make further solves of a
  // like grid (the fine grid of a convergence run, re-solves for sensitivities) sets it to the
  // ratio of their work to the first one's, so that a call whose grids came out larger than asked
  // stops before its first solve rather than late.
  void chargeSolveWork(int NS, int NV, int m, int D);

  // Runs the solver that methodID selects (pde2d/solver_methods.h) with the full set of result
  // vectors, measures its CPU time into cpuTime and, when ivWanted is set, turns the prices into
  // implied volatilities. A price outside the Black-Scholes range ends the inversion quietly;
  // every other failure is thrown on as a std::runtime_error with the same message ("bad
  // allocation" for an allocation failure).
  void dispatchSolver(PDESolveResults& results, double& cpuTime);
  // Richardson extrapolation in space (pde2d/solve_driver.cpp): a coarse solve and, when its price
  // is positive, one with twice the asset and variance intervals around the same placement,
  // combined as (4 fine - coarse) / 3.
  void convergenceRun(PDESolveResults& results, double& cpuTime);

  // Upper end of the variance axis (variance_bounds.cpp) for the horizon t (t = 0 means T).
  // varRange < 0: the explicit bound -varRange, at least 3 max(v0, vL); varRange >= 1 or model 0:
  // the non-central chi-square bound; otherwise the inverse-gamma bound. The construction of the
  // gamma law throws the const char* "bad alph,bet in Gammadist" when vL <= 0; nothing else leaves.
  double calcVMax(double t) const;
  // The varRange quantile of the stationary inverse-gamma law of model 1, scaled down for short
  // horizons (calcVMaxStationary), raised where it falls short to the range that the variance
  // path from v0 up to the horizon needs at level varRange (variance_bounds.cpp).
  double calcVMaxGamma(double t) const;
  // The stationary quantile scaled for the horizon; falls back to calcVMaxNcx2 on any
  // std::exception.
  double calcVMaxStationary(double t) const;
  // The 0.9999 quantile of the square-root variance at the horizon (a scaled non-central
  // chi-square law), falling back to a moment bound, then safety factors and a floor of
  // 3 max(v0, vL).
  double calcVMaxNcx2(double t) const;

  // Variance grids (variance_grids.cpp): NV + 1 increasing nodes from 0 to Vmax with vp on node
  // iToV0. Both write NV, iToV0 and their placement state; callers read NV back.
  // A single sinh map clustered at vp. Throws kGridProblemMessage when the map cannot place vp,
  // and a std::runtime_error naming the option and model data when the concentration fit fails.
  // Throws std::invalid_argument when n < 1.
  void buildVGridSinh(double vp, std::int32_t n, double Vmax, double c, std::valarray<double>& out);
  // Uniform cells up to about 2 vp, then sinh-stretched cells up to Vmax. When the stretched part
  // cannot be built, hands back a sinh grid, sets useSinhVGrid and appends a line to
  // "ErrorLog.txt" in the current folder. The failures of the sinh grid it starts from pass.
  void buildVGridHybrid(
      double vp, std::int32_t n, double Vmax, double c, std::valarray<double>& out);

  // Fields, in declaration order.
  std::valarray<double> vGrid;  // variance nodes of the last solve
  double S0;
  double v0;
  double vL;
  double theta;   // mean-reversion speed
  double volvol;  // volatility of variance
  double rho;
  double p;  // exponent of v in the volatility of variance of model 1
  std::int32_t model;
  std::int32_t NV;
  double varRange;  // >= 0: coverage probability; < 0: minus an explicit variance bound
  std::int32_t vGridMode = 0;
  bool ivWanted = false;
  bool damping = false;
  bool volvolWidening;
  double sGridA = 0.0;
  double vGridA = 0.0;
  double sGridB = 0.0;
  double vGridB = 0.0;
  std::int32_t iToV0 = 0;
  std::int32_t nVStretch = 0;
  bool useSinhVGrid = false;
  double sConcentration = kDefaultSConcentration;
  std::int32_t methodID;
  double logSParam = 0.025;
  std::vector<double> strikes;
  bool multiStrike = false;
  bool stripFlag = false;
  // Work budget of the solves of this object (0: none), and the work charged so far.
  double workBudget = 0.0;
  double workCharged = 0.0;
  double callWorkRatio = 1.0;
  // The two solves of the last convergence run (run mode 5, or the second run of mode 4), kept
  // for the retrying pricers, which estimate its discretisation error from their difference:
  // convTwoGrids is set when the run made both solves (its coarse value was positive);
  // convCoarsePrice and convFinePrice are their reported prices before the extrapolation (the fine
  // one 0 when no fine solve ran), convCoarsePrices and convFinePrices their per-strike prices (a
  // strike list). Cleared at the start of every run.
  bool convTwoGrids = false;
  double convCoarsePrice = 0.0;
  double convFinePrice = 0.0;
  std::valarray<double> convCoarsePrices;
  std::valarray<double> convFinePrices;

 private:
  void setModel(const std::valarray<double>& params);
};

// Cell-average correction at the early-exercise boundary x (strike_cell_adjust.cpp): the entry of
// out at the node m nearest to x becomes the average over m's cell of a profile that follows the
// quadratic through in[m-1], in[m], in[m+1] below x and the line through out[k], out[k+1] above x
// (k the first node beyond x). Nothing changes when x is at or below the first node, beyond the
// last, or when the cell or the line would need nodes outside the grid. Only sideFlag false with
// quadraticFlag true is supported; other combinations throw std::invalid_argument. Throws
// std::invalid_argument when grid, in or out hold fewer than nSNodes entries.
void strikeCellAdjust(const QelHestonVanilla& object,
                      std::valarray<double>& out,
                      const std::valarray<double>& in,
                      double x,
                      bool sideFlag,
                      bool quadraticFlag);

}  // namespace serivane

#endif  // SERIVANE_CORE_QEL_HESTON_VANILLA_H_
