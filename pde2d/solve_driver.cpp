// Where a QelHestonVanilla is made and priced: its constructors, the price entry with its run
// modes, the dispatch to the 2-D solver variants, the implied volatilities, and the convergence run
// (Richardson extrapolation in space).
#include <algorithm>
#include <cmath>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/black_scholes.h"
#include "core/brent.h"
#include "core/failure_messages.h"
#include "core/held_logs.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_methods.h"
#include "platform/cpu_clock.h"

namespace serivane {

namespace {

// The expiry day: a horizon of 0, or one so short that its time step is 0 (the solvers then take
// no step and give the exercise values).
bool atExpiry(const QelHestonVanilla& o) { return o.T / static_cast<double>(o.NT) == 0.0; }

// Every implied volatility of the system is sought over this bracket with this tolerance.
constexpr double kIvLow = 1e-6;
constexpr double kIvHigh = 2.0;
constexpr double kIvTol = 1e-16;

// The implied volatility of one price, or 0 when no volatility of the bracket gives it (a price
// below the value at 1e-6 or above the value at 2): a volatility asked for is never a price, and
// a strike gets the same answer alone as in a strike list. On the expiry day every volatility
// gives the exercise value and none is implied by it: 0.
double impliedVol(const QelHestonVanilla& o, double strike, double price, int isPut) {
  if (atExpiry(o)) return 0.0;
  const ImpliedVolFunctor f{o.S0, strike, o.T, o.r, o.d, price, isPut};
  try {
    return brentSolve(f, kIvLow, kIvHigh, kIvTol);
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()) == kBracketMessage) return 0.0;
    throw;
  }
}

// Single strike: the implied volatility of summary[4] (0 for a negative price). Strike list: of
// every positive strike price, a put at or below the spot and a call above it (0 otherwise). 0
// also where the inversion finds no volatility.
void invertSingle(QelHestonVanilla& o) {
  o.summary[4] = o.summary[4] >= 0.0 ? impliedVol(o, o.K, o.summary[4], o.CallPut) : 0.0;
}

void invertList(QelHestonVanilla& o) {
  for (std::size_t i = 0; i < o.strikes.size() && i < o.strikeIVs.size(); ++i) {
    const double Ki = o.strikes[i];
    const double price = o.strikePrices[i];
    o.strikeIVs[i] = price > 0.0 ? impliedVol(o, Ki, price, Ki <= o.S0 ? 1 : 0) : 0.0;
  }
}

}  // namespace

// The constructors and the destructor are defined here, beside solve: the destructor is the
// class's key function, so its vtable (which holds solve) is emitted in this library, and
// core, which declares the object and defines its grids, bounds and payoffs, refers to nothing
// of the solvers.
// A one-strike object is the strike-list object with an empty list (no multi-strike pricing), the
// exponent p = 1 (the GARCH diffusion model, as no exponent is passed) and no strip check, priced
// at the strike K.
QelHestonVanilla::QelHestonVanilla(double S0,
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
                                   bool volvolWidening)
    : QelHestonVanilla(S0,
                       std::vector<double>{},
                       T,
                       std::move(params),
                       r,
                       d,
                       NS,
                       NV,
                       NT,
                       CallPut,
                       precision,
                       ctorFlag,
                       EuroAmer,
                       std::move(vecA),
                       std::move(vecB),
                       clusterAtStrike,
                       tolExponent,
                       sRangeParam,
                       varRange,
                       nExercise,
                       flag385,
                       exerciseMode,
                       tShift,
                       methodID,
                       volvolWidening,
                       /*stripFlag=*/false,
                       /*p=*/1.0) {
  this->K = K;
}

QelHestonVanilla::QelHestonVanilla(double S0,
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
                                   std::valarray<double> /*vecA*/,
                                   std::valarray<double> /*vecB*/,
                                   bool clusterAtStrike,
                                   double /*tolExponent*/,
                                   double sRangeParam,
                                   double varRange,
                                   int nExercise,
                                   bool /*flag385*/,
                                   int exerciseMode,
                                   double tShift,
                                   int methodID,
                                   bool volvolWidening,
                                   bool stripFlag,
                                   double p)
    : QelEquityOption(S0,
                      T,
                      0.0,
                      r,
                      d,
                      NS,
                      NT,
                      CallPut,
                      precision,
                      ctorFlag,
                      EuroAmer,
                      sRangeParam,
                      clusterAtStrike,
                      nExercise,
                      exerciseMode,
                      tShift),
      S0(S0),
      p(p),
      NV(NV),
      varRange(varRange),
      volvolWidening(volvolWidening),
      methodID(methodID),
      strikes(std::move(strikeList)),
      stripFlag(stripFlag) {
  setModel(params);
  if (strikes.size() >= 2) {
    std::sort(strikes.begin(), strikes.end());
    this->K = strikes.front();
    multiStrike = true;
  } else {
    this->K = strikes.empty() ? S0 : strikes.front();
    multiStrike = false;
  }
  resetState();
}

QelHestonVanilla::~QelHestonVanilla() = default;

void QelHestonVanilla::solve(std::valarray<double>& out0,
                             std::valarray<double>& out1,
                             std::valarray<double>& out2,
                             std::valarray<double>& out3,
                             std::valarray<double>& out4,
                             double& cpuTime) {
  checkGridSizes();
  PDESolveResults R;
  ivWanted = cpuTime < 0.0;
  if (atExpiry(*this)) {
    // The expiry day: one solve gives the exercise values exactly (the solvers take no time step),
    // and neither run mode would add to them what it extrapolates in time or space.
    dispatchSolver(R, cpuTime);
  } else if (precision == 5) {
    convergenceRun(R, cpuTime);
  } else if (precision == 4) {
    // Richardson extrapolation in time over two convergence runs with NT1 and NT2 steps.
    const int NT1 = static_cast<int>(NT / 2.2);
    const int NT2 = NT - NT1;
    const double b = static_cast<double>(NT2) / NT1;
    const int q = american ? 1 : richardsonTimeOrder(methodID);
    const double B = std::pow(b, q);
    const double w1 = 1.0 / (B - 1.0), w2 = B / (B - 1.0);

    const int keptNV = NV;
    PDESolveResults R1;
    NT = NT1;
    convergenceRun(R1, cpuTime);
    const double P1 = summary[2];
    const double t1 = cpuTime;

    NT = NT2;
    NV = keptNV;
    NS = NS0;
    sGridA = vGridA = sGridB = vGridB = 0.0;
    iToV0 = 0;
    nVStretch = 0;
    gridValid = false;
    convergenceRun(R, cpuTime);
    cpuTime = t1 + cpuTime;

    summary[2] = w2 * summary[2] - w1 * P1;
    floorAtExercise(summary[2]);
    summary[4] = summary[2];
    if (ivWanted) invertSingle(*this);
    for (int k = 1; k <= 4; ++k) {
      const std::size_t n = std::min(R[k].size(), R1[k].size());
      for (std::size_t i = 0; i < n; ++i) R[k][i] = w2 * R[k][i] - w1 * R1[k][i];
    }
  } else {
    dispatchSolver(R, cpuTime);
  }
  out0 = std::move(R[0]);
  out1 = std::move(R[1]);
  out2 = std::move(R[2]);
  out3 = std::move(R[3]);
  out4 = std::move(R[4]);
}

void QelHestonVanilla::dispatchSolver(PDESolveResults& results, double& cpuTime) {
  const double start = threadCpuSeconds();
  try {
    // The full set of result vectors along the asset grid.
    PDESolveArgs args{this, &results, &cpuTime};
    // An unknown method id runs no solver: the summary keeps what it holds and nothing is
    // priced.
    if (const SolverMethod* method = findSolverMethod(methodID)) {
      if (method->damped) damping = true;
      method->entry(args);
    }
    cpuTime = threadCpuSeconds() - start;
    if (ivWanted) {
      if (!multiStrike) {
        invertSingle(*this);
      } else {
        invertList(*this);
      }
    }
  } catch (const std::bad_alloc&) {
    // The retry ladders recognise an allocation failure by this text.
    throw std::runtime_error(kAllocationMessage);
  } catch (const std::exception& e) {
    // The inversion answers a price outside the Black-Scholes range itself (0); a bracket failure
    // of any other root search ends the solve quietly as before. Every other failure goes on with
    // its message.
    if (std::string(e.what()) == kBracketMessage) return;
    throw std::runtime_error(e.what());
  }
}

void QelHestonVanilla::convergenceRun(PDESolveResults& results, double& cpuTime) {
  const int keptRunMode = precision;
  precision = 3;
  const std::valarray<double> keptSummary = summary;
  const int keptNV = NV;
  convTwoGrids = false;
  convCoarsePrices.resize(0);
  convFinePrices.resize(0);

  dispatchSolver(results, cpuTime);
  const double t1 = cpuTime;
  const double P1 = summary[2];
  const std::valarray<double> C1 = strikePrices;
  convCoarsePrice = P1;
  convFinePrice = 0.0;

  if (P1 > 0.0) {
    const int keptStrikeNode = strikeNodeIndex, keptIToV0 = iToV0, keptStretch = nVStretch;
    NS = 2 * NS0;
    strikeNodeIndex = 2 * strikeNodeIndex;
    NV = 2 * keptNV;
    iToV0 = 2 * iToV0;
    nVStretch = 2 * nVStretch;
    gridValid = false;
    summary = keptSummary;
    const int n = nSNodes;

    PDESolveResults F;
    dispatchSolver(F, cpuTime);
    const double P2 = summary[2];
    const std::valarray<double> C2 = strikePrices;
    convTwoGrids = true;
    convFinePrice = P2;
    convCoarsePrices = C1;
    convFinePrices = C2;

    NS = NS / 2;
    strikeNodeIndex = keptStrikeNode;
    iToV0 = keptIToV0;
    nVStretch = keptStretch;
    cpuTime = t1 + cpuTime;

    // Coarse node i is fine node 2i.
    for (int k = 1; k <= 4; ++k) {
      for (int i = 0; i < n && static_cast<std::size_t>(i) < results[k].size() &&
                      static_cast<std::size_t>(2 * i) < F[k].size();
           ++i) {
        results[k][i] = 4.0 * F[k][2 * i] / 3.0 - results[k][i] / 3.0;
      }
    }
    double P = P2 > 0.0 ? 4.0 * P2 / 3.0 - P1 / 3.0 : P2;
    if (!multiStrike) floorAtExercise(P);
    if (multiStrike) {
      std::valarray<double> E(C2);
      for (std::size_t i = 0; i < E.size() && i < C1.size(); ++i) {
        if (C2[i] > 0.0) E[i] = 4.0 * C2[i] / 3.0 - C1[i] / 3.0;
      }
      strikePrices = E;
      strikeIVs = E;
    }
    summary[2] = P;
    summary[4] = P;
    if (ivWanted) {
      if (!multiStrike) {
        invertSingle(*this);
      } else {
        invertList(*this);
      }
    }
    if (convFileFlag) {
      std::ofstream conv;
      openLogForAppend(conv, "Conv.txt");
      conv.precision(16);
      conv << P << " " << K << " " << T << "NS used: " << NS << '\t' << "Nv used: " << NV << "\n";
    }
  }
  NV = keptNV;
  precision = keptRunMode;
}

}  // namespace serivane
