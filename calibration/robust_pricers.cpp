// The robust PDE pricers: one option, or one expiry with a strike list, priced with the 2-D PDE
// pricer QelHestonVanilla and repaired when a solve fails. A negative value is re-solved on
// escalated grids with method id 15 (the most robust solver), a zero value (taken as a memory
// failure) on a more non-uniform variance grid with fewer variance intervals, and the exceptions
// "Possible instability issue" and "bad allocation" are retried a bounded number of times. The
// cases go to the pricing log "GARCH_PDESolverLog.txt" in the program folder.
#include "calibration/robust_pricers.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <valarray>
#include <vector>

#include "calibration/pricing_log.h"
#include "core/failure_messages.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/pde_solve.h"
#include "pde2d/solver_methods.h"

bool debugFlag = false;
RobustSolveHook robustSolveHook = nullptr;

namespace {

// Instability restarts and memory / allocation retries allowed per call.
constexpr int kMaxInstabilityRestarts = 3;
constexpr int kMaxMemoryRetries = 2;
// Below this many variance intervals a zero value is an instability, not a memory failure.
constexpr int kMinNVForMemoryRoad = 240;

void solveOnce(QelHestonVanilla& pricer, PDESolveResults& results, double& cpuTime) {
  if (robustSolveHook != nullptr) {
    robustSolveHook(pricer, cpuTime);
    return;
  }
  pricer.solve(results[0], results[1], results[2], results[3], results[4], cpuTime);
}

// Clears what a solve keeps from the grids it built, so that the next solve places fresh grids
// for the pricer's current sizes: the asset and variance placement, the strike node, and the
// size a run mode 4 or 5 solve restores NS to (NS0 := NS). The pricer keeps no regeneration or
// retry counters of its own, so there is nothing else to clear.
void resetSolveState(QelHestonVanilla& pricer) {
  pricer.sGridA = 0.0;
  pricer.sGridB = 0.0;
  pricer.vGridA = 0.0;
  pricer.vGridB = 0.0;
  pricer.iToV0 = 0;
  pricer.nVStretch = 0;
  pricer.strikeNodeIndex = 0;
  pricer.NS0 = pricer.NS;
  pricer.gridValid = false;
}

// Per-strike prices and implied volatilities of the last solve. A strike list of one strike makes
// a one-strike pricer, whose solve leaves the per-strike arrays empty and reports the strike
// through its summary: the interpolated price, and element 4 (the implied volatility when asked
// for, the price otherwise, as a strike list's per-strike values are).
void perStrikeValues(const QelHestonVanilla& pricer,
                     std::size_t n,
                     std::valarray<double>& prices,
                     std::valarray<double>& ivs) {
  prices = pricer.getStrikePrices();
  ivs = pricer.getStrikeIVs();
  if (!pricer.multiStrike && n == 1 && prices.size() != 1) {
    const std::valarray<double> summary = pricer.getSummary();
    prices = std::valarray<double>(summary[1], 1);
    ivs = std::valarray<double>(summary[4], 1);
  }
}

// n num / den truncated toward zero, as the int expression it stands for, but computed in 64 bits
// and clamped to the int range: the ladders scale sizes that a caller may pass up to INT_MAX.
int scaledSize(int n, int num, int den) {
  const std::int64_t v = static_cast<std::int64_t>(n) * num / den;
  return static_cast<int>(std::clamp<std::int64_t>(
      v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// The time steps of the first BDF re-solve: a BDF method keeps its entry NT (at least 20), any
// other comes down to a third of NT, within 20 to 50.
int timeStepsForMethod15(int methodID, int NT, int keptNT) {
  return isBdfMethod(methodID) ? std::max(20, keptNT) : std::min(50, std::max(20, NT / 3));
}

// First re-size after a negative value, shared by both pricers: the asset intervals grow from
// the entry size nsEntry towards 2 NV or 2.5 NV, capped at 400 by 160, or the variance intervals
// follow the asset intervals when these are already plentiful. The pricer's NV follows NV.
void firstResize(QelHestonVanilla& pricer, int nsEntry, int& NS, int& NV) {
  if (nsEntry < scaledSize(NV, 2, 1)) {
    NS = std::max(scaledSize(nsEntry, 4, 3), scaledSize(NV, 2, 1));
    if (NS > 400) {
      NS = 400;
      NV = 160;
    }
    pricer.setNS(NS);
  } else if (nsEntry < scaledSize(NV, 5, 2)) {
    NS = std::max(scaledSize(nsEntry, 4, 3), scaledSize(NV, 5, 2));
    NV = scaledSize(NS, 2, 5);
    if (NS > 400) {
      NS = 400;
      NV = 160;
    }
    pricer.setNS(NS);
  } else {
    NV = scaledSize(NS, 10, 23);
  }
  pricer.NV = NV;
}

}  // namespace

double calcVanillaPDEWithRetries(double S,
                                 double K,
                                 double T,
                                 double r,
                                 double d,
                                 double v0,
                                 double vL,
                                 double theta,
                                 double volvol,
                                 double rho,
                                 int* NS,
                                 int* NV,
                                 int NT,
                                 int CallPut,
                                 int EuroAmer,
                                 int* precision,
                                 int methodID,
                                 int ivWanted,
                                 double sRangeParam,
                                 double varRange,
                                 int volvolWidening,
                                 bool fallback,
                                 int model) {
  int& ns = *NS;
  int& nv = *NV;
  int& prec = *precision;

  const long calcID = calcIdNow();
  const bool debug = debugFlag;
  const std::valarray<double> params{volvol, v0, vL, theta, rho, static_cast<double>(model)};
  const std::valarray<double> zeros(0.0, 5);
  int instabilityCount = 0;

  // The case as the log shows it, with the current sizes.
  const auto logCase = [&]() {
    return SolverLogRecord::ofCase(
        calcID, S, K, T, r, d, v0, vL, theta, volvol, rho, ns, nv, NT, CallPut, EuroAmer);
  };

  for (;;) {  // one turn per start; an instability restarts here
    if (prec == 1 && static_cast<double>(ns) / nv > 1.5) prec = 3;
    const int nsEntry = ns;
    if (prec == 4 || prec == 5) {
      ns /= 2;
      nv /= 2;
    }
    auto pricer = std::make_unique<QelHestonVanilla>(S,
                                                     K,
                                                     T,
                                                     params,
                                                     r,
                                                     d,
                                                     ns,
                                                     nv,
                                                     NT,
                                                     CallPut,
                                                     prec,
                                                     1,
                                                     EuroAmer,
                                                     zeros,
                                                     zeros,
                                                     true,
                                                     -static_cast<double>(prec),
                                                     sRangeParam,
                                                     varRange,
                                                     0,
                                                     true,
                                                     0,
                                                     0.0,
                                                     methodID,
                                                     volvolWidening != 0);

    int retries = 0;
    int zeroCount = 0;
    bool zeroFlag = false;
    bool allocRetried = false;
    // Opened by the first record of this start that needs it (the negative road opens it in any
    // case), so that no always-written record is lost for want of an open stream.
    std::ofstream log;
    const int keptNT = isBdfMethod(methodID) ? NT : 0;
    double cpuTime = ivWanted ? -1.0 : 0.0;
    double best = 0.0;
    double result = 0.0;
    double value = -1.0;
    PDESolveResults results;

    bool restart = false;
    bool finished = false;
    while (!finished) {
      try {
        do {
          solveOnce(*pricer, results, cpuTime);
          const std::valarray<double> summary = pricer->getSummary();
          value = summary[2];
          const double interp = summary[1];
          if (interp > 0.0) {
            result = summary[4];
            best = interp;
          }

          if (value > 0.0) {
            if (retries > 0 && (debug || allocRetried)) {
              openPricingLog(log);
              logCase().writeSuccess(log, zeroCount + retries, value);
            }
            result = summary[4];
          } else if (value == 0.0) {
            // A memory failure, or an instability on a coarse variance grid.
            if (!zeroFlag) {
              if (nv < kMinNVForMemoryRoad) throw std::runtime_error(kInstabilityMessage);
              pricer->vGridMode = 1;
              zeroFlag = true;
              ns = 400;
              nv = scaledSize(nv, 3, 4);
              pricer->NV = nv;
              pricer->setNS(400);
              // Also restart the placement and NS0, so that run modes 4 and 5 refine this grid
              // rather than the one that failed.
              resetSolveState(*pricer);
              ++retries;
              value = -1.0;
              if (debug) {
                openPricingLog(log);
                logCase().writeMemoryRetry(log);
              }
            } else if (zeroCount < kMaxMemoryRetries) {
              ++zeroCount;
              value = -1.0;
            } else {
              openPricingLog(log);
              logCase().writeMemoryFinal(log, best);
            }
          } else if (value < 0.0) {
            openPricingLog(log);
            const int nsTurn = ns;
            if (retries == 0) {
              if (debug) logCase().writeNegativeValue(log, value, value);
              resetSolveState(*pricer);
              pricer->setNS(nsTurn);
              pricer->logSParam = 0.5;
              NT = timeStepsForMethod15(methodID, NT, keptNT);
              pricer->setNT(NT);
              methodID = kMostRobustMethodID;
              pricer->methodID = kMostRobustMethodID;
              firstResize(*pricer, nsEntry, ns, nv);
              retries = 1;
              if (debug) logCase().writeRetry(log, retries, RetryForm::kPlain);
            } else {
              pricer->sConcentration = 7.5;
              if ((ns < 400 || static_cast<double>(nv) < 200.0) && !zeroFlag) {
                if (retries == 1) {
                  ns = std::min(scaledSize(ns, 2, 1), 400);
                  nv = std::min(scaledSize(nv, 2, 1), 200);
                } else {
                  ns = std::min(scaledSize(ns, 3, 2), 400);
                  nv = std::min(scaledSize(nv, 3, 2), 200);
                }
                resetSolveState(*pricer);
                pricer->NV = nv;
                pricer->setNS(ns);
                ++retries;
                if (debug) logCase().writeRetry(log, retries, RetryForm::kPlain);
              } else if (ns == 400 && static_cast<double>(nv) == 200.0 && !zeroFlag) {
                resetSolveState(*pricer);
                pricer->vGridMode = 1;
                pricer->NV = nv;
                zeroFlag = true;
                ++retries;
                if (debug) logCase().writeRetry(log, retries, RetryForm::kDenserGrid);
              } else if (ns == 400 && static_cast<double>(nv) <= 225.0 && zeroFlag) {
                resetSolveState(*pricer);
                ns = 700;
                pricer->setNS(700);
                nv = 180;
                // The pricer solves on the sizes the log reports and the caller reads back.
                pricer->NV = nv;
                NT = isAdiMethod(methodID) ? 300 : 50;
                pricer->setNT(NT);
                ++retries;
                if (debug) logCase().writeRetry(log, retries, RetryForm::kDenserGridNTFirst);
              } else if (ns == 700 && zeroFlag) {
                resetSolveState(*pricer);
                ns = 900;
                pricer->setNS(900);
                nv = 400;
                pricer->NV = nv;
                ++retries;
                if (debug) logCase().writeRetry(log, retries, RetryForm::kDenserGridNTFirst);
              } else if (best <= 0.0) {
                value = 0.0;
                logCase().writeGiveUpWithZero(log, zeroCount + retries, interp);
              } else {
                value = 0.0;
                if (debug) logCase().writeGiveUpWithValue(log, retries, best);
              }
            }
            log.flush();
            resetSolveState(*pricer);
            if (fallback) {
              pricer->precision = 3;
              prec = 3;
            }
          } else {
            // A NaN value: no ladder can repair it; give up with what was had.
            value = 0.0;
          }
          if (ivWanted) cpuTime = -1.0;
        } while (value < 0.0);
        finished = true;
      } catch (const std::exception& e) {
        const std::string message = e.what();
        std::ofstream catchLog;
        openPricingLog(catchLog);
        const SolverLogRecord rec = logCase();
        rec.writeCatch(catchLog, message, prec);
        if (message == kInstabilityMessage && instabilityCount < kMaxInstabilityRestarts) {
          ++instabilityCount;
          rec.writeInstabilityRetry(catchLog, zeroCount);
          restart = true;
          finished = true;
        } else if (message == kAllocationMessage && zeroCount < kMaxMemoryRetries) {
          ++zeroCount;
          allocRetried = true;
          rec.writeAllocationRetry(catchLog, zeroCount);
          if (ivWanted) cpuTime = -1.0;
        } else {
          return 0.0;
        }
      }
    }
    if (restart) continue;
    // An overflowing case (rates or variances far out, say) can come through the solves as an
    // infinite or NaN price: no caller can use it, so it ends as the failure value, logged.
    if (!std::isfinite(result)) {
      std::ofstream catchLog;
      openPricingLog(catchLog);
      logCase().writeCatch(catchLog, kNonFiniteMessage, prec);
      return 0.0;
    }
    return result;
  }
}

double calcVanillaPDEStrikesWithRetries(double S,
                                        std::vector<double> strikes,
                                        std::vector<double>& strikeIVs,
                                        double T,
                                        double r,
                                        double d,
                                        double v0,
                                        double vL,
                                        double theta,
                                        double volvol,
                                        double rho,
                                        int* NS,
                                        int* NV,
                                        int NT,
                                        int CallPut,
                                        int EuroAmer,
                                        int* precision,
                                        int methodID,
                                        int ivWanted,
                                        double sRangeParam,
                                        double varRange,
                                        int volvolWidening,
                                        int stripMode,
                                        bool fallback,
                                        int model,
                                        double p) {
  int& ns = *NS;
  int& nv = *NV;
  int& prec = *precision;

  const long calcID = calcIdNow();
  const bool debug = debugFlag;
  const std::valarray<double> params{volvol, v0, vL, theta, rho, static_cast<double>(model)};
  const std::valarray<double> zeros(0.0, 5);
  const std::size_t n = strikes.size();
  // The last solve's per-strike prices, the IVs of the last solve whose prices were all
  // positive, and the lowest per-strike price of any pass.
  std::valarray<double> strikePrices(0.0, n);
  std::valarray<double> savedIVs(0.0, n);
  bool havePositivePass = false;
  double minValue = 0.0;
  int instabilityCount = 0;
  const int keptNT = isBdfMethod(methodID) ? NT : 0;

  // The case as the log shows it, with the current sizes (no strike: the list has many).
  const auto logCase = [&]() {
    return SolverLogRecord::ofCase(
        calcID, S, 0.0, T, r, d, v0, vL, theta, volvol, rho, ns, nv, NT, CallPut, EuroAmer, false);
  };

  for (;;) {  // one turn per start; an instability restarts here
    if (prec == 1 && static_cast<double>(ns) / nv > 1.5) prec = 3;
    const int nsEntry = ns;
    if (prec == 4 || prec == 5) {
      ns /= 2;
      nv /= 2;
    }
    int retries = 0;
    int memRetries = 0;
    bool memFailureMode = false;
    bool allocRetried = false;
    // Opened by the first record of this start that needs it.
    std::ofstream log;

    auto pricer = std::make_unique<QelHestonVanilla>(S,
                                                     strikes,
                                                     T,
                                                     params,
                                                     r,
                                                     d,
                                                     ns,
                                                     nv,
                                                     NT,
                                                     CallPut,
                                                     prec,
                                                     1,
                                                     EuroAmer,
                                                     zeros,
                                                     zeros,
                                                     true,
                                                     -static_cast<double>(prec),
                                                     sRangeParam,
                                                     varRange,
                                                     0,
                                                     true,
                                                     0,
                                                     0.0,
                                                     methodID,
                                                     volvolWidening != 0,
                                                     stripMode != 0,
                                                     p);

    double cpuTime = ivWanted ? -1.0 : 0.0;
    double value = -1.0;
    PDESolveResults results;
    bool restart = false;
    bool finished = false;
    while (!finished) {
      try {
        do {
          solveOnce(*pricer, results, cpuTime);
          value = pricer->getSummary()[2];
          std::valarray<double> lastIVs;
          perStrikeValues(*pricer, n, strikePrices, lastIVs);

          bool allPositive = true;
          for (double price : strikePrices) {
            if (!(price > 0.0)) allPositive = false;
            if (price < minValue) minValue = price;
          }
          if (allPositive) {
            savedIVs = lastIVs;
            havePositivePass = true;
          }

          if (value > 0.0) {
            if (retries > 0 && (debug || allocRetried)) {
              openPricingLog(log);
              logCase().writeSuccess(log, memRetries + retries, value);
            }
            break;
          }

          if (value < 0.0) {
            openPricingLog(log);
            bool retried = true;
            if (retries == 0) {
              if (debug) logCase().writeNegativeValue(log, value, minValue);
              resetSolveState(*pricer);
              pricer->setNS(stripMode == 2 ? nsEntry : ns);
              pricer->logSParam = 0.5;
              NT = timeStepsForMethod15(methodID, NT, keptNT);
              pricer->setNT(NT);
              methodID = kMostRobustMethodID;
              pricer->methodID = kMostRobustMethodID;
              firstResize(*pricer, nsEntry, ns, nv);
              retries = 1;
              if (debug) logCase().writeRetry(log, retries, RetryForm::kPlain);
            } else {
              pricer->sConcentration = 7.5;
              if ((ns < 400 || static_cast<double>(nv) < 200.0) && !memFailureMode) {
                if (retries == 1) {
                  ns = std::min(scaledSize(ns, 2, 1), 400);
                  nv = std::min(scaledSize(nv, 2, 1), 200);
                } else {
                  ns = std::min(scaledSize(ns, 3, 2), 400);
                  nv = std::min(scaledSize(nv, 3, 2), 200);
                }
                resetSolveState(*pricer);
                pricer->NV = nv;
                pricer->setNS(ns);
                ++retries;
                if (debug) logCase().writeRetry(log, retries, RetryForm::kPlain);
              } else if (ns == 400 && static_cast<double>(nv) == 200.0 && !memFailureMode) {
                pricer->vGridMode = 1;
                pricer->NV = nv;
                memFailureMode = true;
                ++retries;
                if (debug) logCase().writeRetry(log, retries, RetryForm::kDenserGrid);
              } else if (ns == 400 && static_cast<double>(nv) <= 225.0 && memFailureMode) {
                ns = 700;
                nv = 180;
                // The pricer solves on the sizes the log reports and the caller reads back.
                pricer->NV = nv;
                NT = isAdiMethod(methodID) ? 300 : 50;
                pricer->setNS(ns);
                pricer->setNT(NT);
                ++retries;
                if (debug) logCase().writeRetry(log, retries, RetryForm::kDenserGridNTFirst);
              } else if (ns == 700 && memFailureMode) {
                ns = 900;
                nv = 400;
                pricer->NV = nv;
                pricer->setNS(ns);
                ++retries;
                if (debug) logCase().writeRetry(log, retries, RetryForm::kDenserGridNTFirst);
              } else {
                value = 0.0;
                retried = false;
                if (!havePositivePass) {
                  logCase().writeGiveUpWithZero(log, memRetries + retries, minValue);
                } else if (debug) {
                  logCase().writeGiveUpWithValues(log, retries);
                }
                log.flush();
              }
            }
            if (retried) {
              resetSolveState(*pricer);
              if (fallback) {
                pricer->precision = 3;
                prec = 3;
              }
            }
          }

          // The zero road runs after the negative road, so a give-up above also passes here.
          if (value == 0.0) {
            if (!memFailureMode) {
              if (nv < kMinNVForMemoryRoad) throw std::runtime_error(kInstabilityMessage);
              pricer->vGridMode = 1;
              memFailureMode = true;
              ns = 400;
              nv = scaledSize(nv, 3, 4);
              pricer->NV = nv;
              pricer->setNS(400);
              // Also restart the placement and NS0 for the new sizes.
              resetSolveState(*pricer);
              ++retries;
              value = -1.0;
              if (debug) {
                openPricingLog(log);
                logCase().writeMemoryRetry(log);
              }
            } else if (memRetries < kMaxMemoryRetries) {
              ++memRetries;
              value = -1.0;
            } else {
              openPricingLog(log);
              logCase().writeMemoryFinalNoValue(log);
            }
          } else if (!(value < 0.0)) {
            // A NaN value: no ladder can repair it; give up with what was had.
            value = 0.0;
          }
          if (ivWanted) cpuTime = -1.0;
        } while (value < 0.0);
        finished = true;
      } catch (const std::exception& e) {
        const std::string message = e.what();
        std::ofstream catchLog;
        openPricingLog(catchLog);
        const SolverLogRecord rec = logCase();
        rec.writeCatch(catchLog, message, prec);
        if (message == kInstabilityMessage && instabilityCount < kMaxInstabilityRestarts) {
          ++instabilityCount;
          rec.writeInstabilityRetry(catchLog, memRetries);
          restart = true;
          finished = true;
        } else if (message == kAllocationMessage && memRetries < kMaxMemoryRetries) {
          ++memRetries;
          allocRetried = true;
          rec.writeAllocationRetry(catchLog, memRetries);
          if (ivWanted) cpuTime = -1.0;
        } else {
          return 0.0;
        }
      }
    }
    if (restart) continue;

    std::valarray<double> ivs = savedIVs;
    if (value != 0.0) {
      std::valarray<double> prices;
      perStrikeValues(*pricer, n, prices, ivs);
    }
    strikeIVs.assign(std::begin(ivs), std::end(ivs));
    return value;
  }
}
