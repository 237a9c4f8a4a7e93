// QelOptionPricer: one vanilla option by the 2-D PDE pricer with solver method 1 (sparse direct),
// its whole solution along the asset grid, and theta and vega at every node by bump-and-resolve.
// No retries and no log of its own: a failure comes back as the message string. (The variance-grid
// generator's fallback appends its line to "ErrorLog.txt" in the current folder, as in every
// solve.)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <valarray>

#include "calibration/exports/export_args.h"
#include "calibration/exports/serivane.h"
#include "calibration/exports/string_result.h"
#include "core/black_scholes.h"
#include "core/failure_messages.h"
#include "core/qel_heston_vanilla.h"

namespace serivane {

namespace {

// The largest node count served: the host's arrays are not expected to hold more than 50001
// entries.
constexpr int kMaxNodeCount = kMaxAssetIntervals;
// Relative bump of the maturity for theta, and absolute bump of sqrt(v0) and sqrt(vL) for vega.
constexpr double kMaturityBump = 1e-5;
constexpr double kVolBump = 1e-5;
constexpr int kMethodId = 1;
// The range in which the pricer seeks an implied volatility.
constexpr double kIvLow = 1e-6;
constexpr double kIvHigh = 2.0;

// A solve must leave n + 1 entries in the vectors read; a shorter one is reported as a failure
// instead of being read past its end.
void requireEntries(const std::valarray<double>& v, int n) {
  if (n >= 0 && v.size() < static_cast<std::size_t>(n) + 1) {
    throw std::runtime_error("The pricer returned fewer values than asset nodes");
  }
}

// A value of a solve that is not a finite number is a failed solve, not a result.
void requireFinite(const std::valarray<double>& v, int n) {
  for (int i = 0; i <= n && static_cast<std::size_t>(i) < v.size(); ++i) {
    if (!std::isfinite(v[i])) {
      throw std::runtime_error("The pricer returned a value that is not a finite number");
    }
  }
}

// The no-arbitrage range of an option value at the asset level x with T years to go: a European
// call in [max(x e^-dT - K e^-rT, 0), x e^-dT], a put in [max(K e^-rT - x e^-dT, 0), K e^-rT]. An
// American option is worth at least the European one and its exercise value, and a call at most x,
// a put at most K (or the European bound, when a negative rate or dividend yield puts that
// higher); a Bermudan option lies between the European lower and the American upper bound.
struct ValueBounds {
  double lower;
  double upper;
};

ValueBounds noArbitrageBounds(
    double x, double K, double T, double r, double d, int CallPut, int EuroAmer) {
  const PriceRange european = europeanPriceRange(x, K, T, r, d, CallPut);
  const bool put = CallPut == 1;
  ValueBounds b{european.lower, european.upper};
  if (EuroAmer == 1) b.lower = std::max(b.lower, put ? K - x : x - K);
  if (EuroAmer != 0) b.upper = std::max(b.upper, put ? K : x);
  return b;
}

// How far beyond its no-arbitrage range a value may lie and still count as the rounding and
// discretisation error of a sound solve, relative to the value's scale x + K: it covers a coarse
// grid deep in the money (a few 1e-6 of the scale on 24 asset intervals). The price and the nodes
// within a factor kNearSpotRatio of the spot, which the price is read from, are held to it.
constexpr double kBoundSlack = 1e-5;
constexpr double kNearSpotRatio = 2.0;
// Nodes farther from the spot carry the far-field approximations of the truncated grid (the
// boundary rows at S = 0 and at the top of the asset range, the undamped wiggles of a coarse grid
// far out of the money): excursions up to this share of the scale are that noise and are clipped
// onto the bound; a larger one means the solve itself is lost.
constexpr double kFarFieldSlack = 1e-2;

// Brings value into its range when it lies within slack (relative to scale) of it; returns false
// when it lies beyond.
bool clampIntoBounds(double& value, const ValueBounds& b, double scale, double slack) {
  const double allowed = slack * scale;
  if (!(value >= b.lower - allowed && value <= b.upper + allowed)) return false;
  value = std::min(std::max(value, b.lower), b.upper);
  return true;
}

std::string formatNumber(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", x);
  return buf;
}

// The values of a solve along its asset nodes, each brought into its no-arbitrage range (so no
// value handed out is negative, and no American value lies below its exercise value). A value
// beyond its range by more than the slack of its node fails the call: near the spot that is no
// rounding but a solve whose price cannot be trusted either.
void requireSoundValues(const std::valarray<double>& nodes,
                        std::valarray<double>& values,
                        int n,
                        double S,
                        double K,
                        double T,
                        double r,
                        double d,
                        int CallPut,
                        int EuroAmer) {
  for (int i = 0; i <= n; ++i) {
    const double x = nodes[i];
    const ValueBounds b = noArbitrageBounds(x, K, T, r, d, CallPut, EuroAmer);
    const bool near = x * kNearSpotRatio >= S && x <= S * kNearSpotRatio;
    if (!clampIntoBounds(values[i], b, std::fabs(x) + K, near ? kBoundSlack : kFarFieldSlack)) {
      throw std::runtime_error("The pricer returned the value " + formatNumber(values[i]) +
                               " at the asset level " + formatNumber(x) +
                               ", outside its no-arbitrage bounds [" + formatNumber(b.lower) +
                               ", " + formatNumber(b.upper) + "]");
    }
  }
}

// The time steps a solve of NT steps makes: exercise dates make them a multiple of their count,
// at least 5 per date (the solves are all made in run mode 3, the convergence runs' included).
double solvedTimeSteps(double NT, int nExercise) {
  if (nExercise <= 1) return NT;
  const double perDate = std::floor(NT / nExercise + 0.5);
  return nExercise * std::max(5.0, perDate);
}

// The work limit: a call's work is estimated at entry by the pricer's work model
// (estimateGridSolveWork in core/qel_heston_vanilla.h) from the grid solves the call will make:
// one on NS x NV for run mode 3 (and every code but 4 and 5); for 5 that one and one on 2 NS x
// 2 NV; for 4 both pairs, with NT / 2.2 and the remaining steps; each again for a requested theta
// and again for a requested vega. A call beyond kMaxPricerWork is refused before anything is
// solved (at the limit a call takes about 7 seconds on one core of this system's reference
// machine). The pricer is handed kSolveBudgetShare times that as its budget: it charges every
// solve at the sizes its grid builders chose, which may add a few cells to a grid (the share
// leaves room for them, so that a call admitted at entry is not stopped late for them) or, on
// hostile inputs, hundreds of variance cells; the call stops before the solve that would exceed
// the budget.
constexpr double kMaxPricerWork = 3.0e7;
constexpr double kSolveBudgetShare = 1.4;

double gridSolveWork(double NS, double NV, double NT, int nExercise, bool bermudan) {
  return QelHestonVanilla::estimateGridSolveWork(
      NS, NV, solvedTimeSteps(NT, nExercise), bermudan && nExercise > 1 ? nExercise : 0);
}

double pricerWork(int NS,
                  int NV,
                  int NT,
                  int precision,
                  int EuroAmer,
                  int nExercise,
                  bool wantTheta,
                  bool wantVega) {
  const bool bermudan = EuroAmer == 2;
  const auto pair = [&](double steps) {
    return gridSolveWork(NS, NV, steps, nExercise, bermudan) +
           gridSolveWork(2.0 * NS, 2.0 * NV, steps, nExercise, bermudan);
  };
  double once;
  if (precision == 5) {
    once = pair(NT);
  } else if (precision == 4) {
    const int NT1 = static_cast<int>(NT / 2.2);
    once = pair(NT1) + pair(NT - NT1);
  } else {
    once = gridSolveWork(NS, NV, NT, nExercise, bermudan);
  }
  return once * (1.0 + (wantTheta ? 1.0 : 0.0) + (wantVega ? 1.0 : 0.0));
}

std::valarray<double> copyOrZeros(const double* values, std::size_t n) {
  return values != nullptr ? std::valarray<double>(values, n) : std::valarray<double>(0.0, n);
}

// The option of a call as solved, for the bounds its values are held to.
struct OptionTerms {
  double S;
  double K;
  double T;
  double r;
  double d;
  int CallPut;
  int EuroAmer;
};

// The grid a call asks for (NS as requested, before the grid builders raise it) and the solves it
// makes.
struct GridRequest {
  int NS;
  int NV;
  int NT;
  int precision;
  int nExercise;
  bool wantTheta;
  bool wantVega;
};

void requireSoundValues(const std::valarray<double>& nodes,
                        std::valarray<double>& values,
                        int n,
                        const OptionTerms& o) {
  requireSoundValues(nodes, values, n, o.S, o.K, o.T, o.r, o.d, o.CallPut, o.EuroAmer);
}

// The arguments outside their limits, as a message (empty when all are within them), and the
// volatility of variance they give. The host passes the volatility of variance as an exponent of
// (1 + sqrt(T)) and the maturity as its square root; the model selector params[5] is the
// pricer's to refuse, after the transform.
std::string argumentProblem(double S,
                            double K,
                            int NT,
                            double rootT,
                            const double* params,
                            double r,
                            double d,
                            int NS,
                            int NV,
                            int CallPut,
                            int EuroAmer,
                            double sRangeParam,
                            double varRange,
                            int nExercise,
                            double& volvol) {
  std::string bad = checkExportArgs({{"S", ArgKind::kSpot, S},
                                     {"K", ArgKind::kStrike, K},
                                     {"NT", ArgKind::kTimeSteps, NT},
                                     {"rootT", ArgKind::kRootMaturity, rootT},
                                     {"params[0]", ArgKind::kFinite, params[0]},
                                     {"params[1] (v0)", ArgKind::kVariance, params[1]},
                                     {"params[2] (vL)", ArgKind::kVariance, params[2]},
                                     {"params[3] (theta)", ArgKind::kPdeSpeed, params[3]},
                                     {"params[4] (rho)", ArgKind::kCorrelation, params[4]},
                                     {"r", ArgKind::kRate, r},
                                     {"d", ArgKind::kRate, d},
                                     {"NS", ArgKind::kPositiveCount, NS},
                                     {"NV", ArgKind::kVarianceIntervals, NV},
                                     {"CallPut", ArgKind::kCallPut, CallPut},
                                     {"EuroAmer", ArgKind::kExerciseStyle, EuroAmer},
                                     {"sRangeParam", ArgKind::kRangeParam, sRangeParam},
                                     {"varRange", ArgKind::kVarRange, varRange},
                                     {"nExercise", ArgKind::kExerciseDates, nExercise}});
  // A model selector that is not a finite number is the pricer's to refuse (after the
  // transform); a finite one must round to a model.
  if (bad.empty() && std::isfinite(params[5])) {
    bad = checkExportArgs({{"params[5] (model)", ArgKind::kModelSelector, params[5]}});
  }
  volvol = std::exp(std::log(rootT + 1.0) * (params[0] - 5.0 * r));
  if (bad.empty()) bad = checkExportArgs({{"volvol (from params[0])", ArgKind::kVolvol, volvol}});
  return bad;
}

// The grid too large, or the call's work beyond kMaxPricerWork, as a message (empty when the
// call may go ahead). Above kMaxNodeCount nodes the call is refused once the pricer has counted
// its nodes (see the export), so nothing is checked here.
std::string workProblem(const GridRequest& g, int EuroAmer) {
  if (g.NS > kMaxNodeCount) return std::string();
  // The grid as solved: the time steps become a multiple of the exercise dates, with at least
  // 5 between dates.
  std::string bad =
      checkGridSize(g.NS, g.NV, g.nExercise > 1 ? std::max(g.NT, 5 * g.nExercise) : g.NT);
  if (!bad.empty()) return bad;
  const double work =
      pricerWork(g.NS, g.NV, g.NT, g.precision, EuroAmer, g.nExercise, g.wantTheta, g.wantVega);
  if (work > kMaxPricerWork) {
    return "The work asked of QelOptionPricer, " + formatNumber(work) +
           " node steps, exceeds its limit of " + formatNumber(kMaxPricerWork) +
           ": fewer time steps or exercise dates, a smaller grid, run mode 3 or fewer "
           "sensitivities";
  }
  return std::string();
}

// The exercise dates of a Bermudan option (EuroAmer 2) are given by their count n = nExercise
// alone: they fall every T / n up to expiry (T / n, 2 T / n, ..., T), so they are always finite,
// in (0, T] and in order, and the count is held to [0, kMaxExerciseDates] with the other
// arguments. One date is the expiry alone, whose option is the European one. No date leaves the
// option without a price, and a European price under the Bermudan name is no answer: refused.
constexpr char kNoExerciseDatesProblem[] =
    "A Bermudan option (EuroAmer 2) has no price without its exercise dates, and this call gives "
    "none: nExercise 2 or more (the dates fall every T / nExercise up to expiry)";

std::string exerciseDatesProblem(int EuroAmer, int nExercise) {
  return EuroAmer == 2 && nExercise == 0 ? std::string(kNoExerciseDatesProblem) : std::string();
}

// The refusal of a grid with more asset nodes than the host's arrays hold.
std::string nodeCountProblem(int nodes) {
  return "The asset grid of QelOptionPricer, " + std::to_string(nodes) +
         " nodes, exceeds its limit of " + std::to_string(kMaxNodeCount) +
         " nodes: fewer asset intervals";
}

// The pricer of a call, with its work budget and the projection of the whole call's work from
// its first solve.
std::unique_ptr<QelHestonVanilla> makePricer(const OptionTerms& o,
                                             const double* params,
                                             const GridRequest& g,
                                             int ctorFlag,
                                             const double* vecA,
                                             const double* vecB,
                                             bool clusterAtStrike,
                                             double tolExponent,
                                             double sRangeParam,
                                             double varRange,
                                             bool flag385) {
  const std::valarray<double> modelParams(params, 6);
  auto pricer = std::make_unique<QelHestonVanilla>(o.S,
                                                   o.K,
                                                   o.T,
                                                   modelParams,
                                                   o.r,
                                                   o.d,
                                                   g.NS,
                                                   g.NV,
                                                   g.NT,
                                                   o.CallPut,
                                                   g.precision,
                                                   ctorFlag,
                                                   o.EuroAmer,
                                                   copyOrZeros(vecA, 5),
                                                   copyOrZeros(vecB, 5),
                                                   clusterAtStrike,
                                                   tolExponent,
                                                   sRangeParam,
                                                   varRange,
                                                   g.nExercise,
                                                   flag385,
                                                   0,
                                                   0.0,
                                                   kMethodId,
                                                   false);
  pricer->workBudget = kSolveBudgetShare * kMaxPricerWork;
  // The first solve's share of the call's work, for the pricer's projection of the whole call
  // from the grid its builders make first.
  const int firstNT = g.precision == 4 ? static_cast<int>(g.NT / 2.2) : g.NT;
  const double first = gridSolveWork(g.NS, g.NV, firstNT, g.nExercise, o.EuroAmer == 2);
  const double total =
      pricerWork(g.NS, g.NV, g.NT, g.precision, o.EuroAmer, g.nExercise, g.wantTheta, g.wantVega);
  if (first > 0.0) pricer->callWorkRatio = total / first;
  return pricer;
}

using Solution = std::valarray<double>[5];

// The first solve, into R: its node count into *NS, the model summary with the price into params.
// The price (summary[2], and summary[4] unless it holds the implied volatility) must lie in its
// no-arbitrage range: a price beyond it is a failed solve, never a result. A negative *cpuTime
// asks this solve for the implied volatility, which must then be one of the inversion's range
// (the inversion answers 0 where no volatility of that range gives the price): the request is
// read before the solve overwrites *cpuTime with its CPU seconds. Returns the node count.
int solveFirst(QelHestonVanilla& pricer,
               Solution& R,
               double* cpuTime,
               int32_t* NS,
               double* params,
               const OptionTerms& o) {
  const bool ivAsked = *cpuTime < 0.0;
  pricer.solve(R[0], R[1], R[2], R[3], R[4], *cpuTime);
  *NS = pricer.getNodeCount();
  requireFinite(pricer.getSummary(), 5);
  std::valarray<double> summary = pricer.getSummary();
  const ValueBounds priceBounds = noArbitrageBounds(o.S, o.K, o.T, o.r, o.d, o.CallPut, o.EuroAmer);
  for (int j : {2, 4}) {
    if (j == 4 && ivAsked) continue;
    if (!clampIntoBounds(summary[j], priceBounds, o.S + o.K, kBoundSlack)) {
      throw std::runtime_error("The pricer's price " + formatNumber(summary[j]) +
                               " lies outside the no-arbitrage bounds [" +
                               formatNumber(priceBounds.lower) + ", " +
                               formatNumber(priceBounds.upper) + "]");
    }
  }
  if (ivAsked && !(summary[4] >= kIvLow && summary[4] <= kIvHigh)) {
    throw std::runtime_error(std::string(kNoImpliedVolMessage) + " " + formatNumber(summary[2]));
  }
  for (int j = 0; j < 6; ++j) params[j] = summary[j];
  const int n = pricer.getNodeCount();
  *NS = n;
  return n;
}

// The first solve's n + 1 nodes, values, deltas, gammas and thetas into the host's arrays, once
// they are checked (a Bermudan option with several exercise dates has no theta from the solve:
// zeros).
void writeFirstSolve(Solution& R,
                     int n,
                     const OptionTerms& o,
                     int nExercise,
                     double* outS,
                     double* outValue,
                     double* outDelta,
                     double* outGamma,
                     double* outTheta) {
  // The host's arrays hold kMaxNodeCount + 1 entries at most.
  if (n > kMaxNodeCount) throw std::runtime_error("The pricer changed the node count beyond 50000");
  for (const std::valarray<double>& v : R) requireEntries(v, n);
  for (const std::valarray<double>& v : R) requireFinite(v, n);
  requireSoundValues(R[0], R[1], n, o);
  const bool bermudanZeroTheta = nExercise > 1 && o.EuroAmer == 2;
  for (int i = 0; i <= n; ++i) {
    outS[i] = R[0][i];
    outValue[i] = R[1][i];
    outDelta[i] = R[2][i];
    outGamma[i] = R[3][i];
    outTheta[i] = bermudanZeroTheta ? 0.0 : R[4][i];
  }
}

// A re-solve for a sensitivity, of the option o, into R; its CPU time is added to cpuTotal.
// Returns false when the re-solve's grid has another node count than the first solve's n (its
// values are then no neighbours of the first solve's), true once its values are checked.
bool resolve(QelHestonVanilla& pricer,
             Solution& R,
             int n,
             const OptionTerms& o,
             double* cpuTime,
             double& cpuTotal) {
  pricer.solve(R[0], R[1], R[2], R[3], R[4], *cpuTime);
  cpuTotal += *cpuTime;
  if (pricer.getNodeCount() != n) return false;
  requireEntries(R[0], n);
  requireEntries(R[1], n);
  requireFinite(R[1], n);
  requireSoundValues(R[0], R[1], n, o);
  return true;
}

// An extrapolating solve (run mode 4 in time, 5 in space) leaves the pricer on its fine asset
// grid and, in time, on its second step count: each re-solve starts again from the sizes the
// first one started from, so that the differences compare like with like. (Starting from the
// node count the grid builder raised the request to would read as a refinement and double the
// grid.)
void restartSizes(QelHestonVanilla& pricer, const GridRequest& g) {
  if (g.precision == 4 || g.precision == 5) {
    pricer.setNT(g.NT);
    pricer.setNS(g.NS);
  }
}

// Theta at every node: the change in value as one calendar day passes (the value at the maturity
// less the value at the maturity bumped by kMaturityBump, per day of the bump; negative where time
// decay lowers the value), from a re-solve at the bumped maturity. At T = 0 the bump is no step in
// time: no theta, zeros; so too when the re-solve has another node count.
void solveTheta(QelHestonVanilla& pricer,
                Solution& R,
                int n,
                const OptionTerms& o,
                const GridRequest& g,
                double* cpuTime,
                double& cpuTotal,
                const double* outValue,
                double* outTheta) {
  OptionTerms bumped = o;
  bumped.T = o.T * (1.0 + kMaturityBump);
  pricer.setMaturity(bumped.T);
  restartSizes(pricer, g);
  if (resolve(pricer, R, n, bumped, cpuTime, cpuTotal) && o.T > 0.0) {
    for (int i = 0; i <= n; ++i) {
      outTheta[i] = (outValue[i] - R[1][i]) / (o.T * kMaturityBump) / 365.0;
    }
  } else {
    for (int i = 0; i <= n; ++i) outTheta[i] = 0.0;
  }
}

// Vega at every node: the change per volatility point, from a re-solve with sqrt(v0) and
// sqrt(vL) bumped by kVolBump; zeros when the re-solve has another node count.
void solveVega(QelHestonVanilla& pricer,
               Solution& R,
               int n,
               const OptionTerms& o,
               const GridRequest& g,
               double* cpuTime,
               double& cpuTotal,
               const double* outValue,
               double* outVega) {
  pricer.setMaturity(o.T);
  pricer.bumpVol(kVolBump);
  restartSizes(pricer, g);
  if (resolve(pricer, R, n, o, cpuTime, cpuTotal)) {
    for (int i = 0; i <= n; ++i) outVega[i] = (R[1][i] - outValue[i]) / kVolBump / 100.0;
  } else {
    for (int i = 0; i <= n; ++i) outVega[i] = 0.0;
  }
}

}  // namespace

}  // namespace serivane

// The exports are global C functions; their bodies use the system's own names.
using namespace serivane;

extern "C" {

QEL_API QelString QEL_CALL QelOptionPricer(double* outS,
                                           double* outValue,
                                           double* outDelta,
                                           double* outGamma,
                                           double* outTheta,
                                           double* outVega,
                                           double* cpuTime,
                                           double S,
                                           double K,
                                           int32_t NT,
                                           double rootT,
                                           double* params,
                                           double r,
                                           double d,
                                           double /*unusedArg*/,
                                           int32_t* NS,
                                           int32_t* NV,
                                           int32_t CallPut,
                                           int32_t EuroAmer,
                                           int32_t precision,
                                           int32_t ctorFlag,
                                           double* vecA,
                                           double* vecB,
                                           double tolExponent,
                                           double sRangeParam,
                                           double varRange,
                                           uint8_t wantTheta,
                                           uint8_t wantVega,
                                           uint8_t clusterAtStrike,
                                           uint8_t flag385,
                                           int32_t nExercise) {
  return guardStringExport([&]() {
    // A null pointer where the call must read or write is refused before anything is touched.
    // The two five-element vectors are not used by the pricer: null stands for zeros.
    if (params == nullptr || NS == nullptr || NV == nullptr || cpuTime == nullptr ||
        outS == nullptr || outValue == nullptr || outDelta == nullptr || outGamma == nullptr ||
        outTheta == nullptr || (wantVega != 0 && outVega == nullptr)) {
      throw std::invalid_argument("A pointer argument of QelOptionPricer is null");
    }
    // Arguments outside their limits, a Bermudan option without exercise dates and calls beyond
    // the work limit are refused before anything is written.
    double volvol = 0.0;
    std::string bad = argumentProblem(S,
                                      K,
                                      NT,
                                      rootT,
                                      params,
                                      r,
                                      d,
                                      *NS,
                                      *NV,
                                      CallPut,
                                      EuroAmer,
                                      sRangeParam,
                                      varRange,
                                      nExercise,
                                      volvol);
    if (bad.empty()) bad = exerciseDatesProblem(EuroAmer, nExercise);
    const GridRequest g{*NS, *NV, NT, precision, nExercise, wantTheta != 0, wantVega != 0};
    if (bad.empty()) bad = workProblem(g, EuroAmer);
    if (!bad.empty()) throw std::invalid_argument(bad);
    params[0] = volvol;
    const OptionTerms o{S, K, rootT * rootT, r, d, CallPut, EuroAmer};

    const auto pricer = makePricer(o,
                                   params,
                                   g,
                                   ctorFlag,
                                   vecA,
                                   vecB,
                                   clusterAtStrike != 0,
                                   tolExponent,
                                   sRangeParam,
                                   varRange,
                                   flag385 != 0);
    *NS = pricer->getNodeCount();
    // Too many nodes for the host's arrays: refused, nothing is solved and no array is written.
    if (*NS > kMaxNodeCount) throw std::invalid_argument(nodeCountProblem(*NS));

    Solution R;
    const int n = solveFirst(*pricer, R, cpuTime, NS, params, o);
    double cpuTotal = *cpuTime;
    writeFirstSolve(R, n, o, nExercise, outS, outValue, outDelta, outGamma, outTheta);
    if (g.wantTheta) solveTheta(*pricer, R, n, o, g, cpuTime, cpuTotal, outValue, outTheta);
    if (g.wantVega) solveVega(*pricer, R, n, o, g, cpuTime, cpuTotal, outValue, outVega);
    // The CPU time of every solve made, whichever sensitivities were asked for.
    *cpuTime = cpuTotal;
  });
}

}  // extern "C"
