// The console calibration: reads and checks the option chain "OptionsData.txt" of the program
// folder, asks for the model and for speed or accuracy, calibrates v0, vBar, kappa, xi and rho
// with Levenberg-Marquardt (J. J. More, "The Levenberg-Marquardt algorithm: implementation and
// theory", Lecture Notes in Mathematics 630 (1978)) over calcModelIVs, prints a report and
// writes "ModelIVs.txt" in the current folder. It takes no arguments and returns 0 on every path.

#include <chrono>
#include <cmath>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "calibration/objectives/model_ivs.h"
#include "calibration/quotes/option_chain.h"
#include "calibration/quotes/program_folder.h"
#include "levmar/levmar.h"
#include "platform/console.h"
#include "platform/heap_reuse.h"
#include "platform/processor.h"

namespace serivane {

namespace {

// An RMSE in whole basis points. A failed evaluation leaves NaN, whose rounding to an integer is
// undefined: it is shown as "nan".
std::string basisPoints(double rmse) {
  const double bp = rmse * 10000.0;
  if (!std::isfinite(bp)) return "nan";
  return std::to_string(std::lround(bp));
}

constexpr int kParameterCount = 5;
// The hard ranges of calcModelIVs, which the parameters are clamped to before the final
// evaluation.
constexpr double kClampLower[kParameterCount] = {0.001, 0.001, 0.1, 0.1, -1.0};
constexpr double kClampUpper[kParameterCount] = {0.5, 1.0, 50.0, 30.0, 0.3};
// The first stage's box, inside those ranges.
constexpr double kBoxLower[kParameterCount] = {0.002, 0.005, 1.0, 1.0, -1.0};
constexpr double kBoxUpper[kParameterCount] = {0.5, 0.5, 20.0, 20.0, 0.0};
// A parameter this close to a side of the box is taken as stopped by it.
constexpr double kBoxTolerance = 1e-4;
// The second answer that selects the hidden dense mode.
constexpr int kDenseModeAnswer = 86;
// Richardson extrapolation in the time step over the two stages (NT 30 then 36, errors of order
// dt^2): p = (1.44 p36 - p30) / 0.44.
constexpr double kExtrapolateNew = 3.272727272727273;
constexpr double kExtrapolateOld = 2.272727272727273;

// Everything that survives a restart after a stop.
struct RunState {
  double p[kParameterCount] = {0.05, 0.05, 5.0, 5.0, -0.7};
  int NS = 60, NV = 30, NT = 30;
  int modelAnswer = 1;
  int speedAnswer = 0;
  bool accuracy = false;
  double seconds = 0.0;  // calibration time of the completed stages
  int stagesCompleted = 0;
  // Start of the stage that is running. A stop in the first stage leaves no completed stage: the
  // report then shows the time that stage ran until the stop (rather than 0). A stop in a later
  // stage reports the completed stages' time only.
  bool stageRunning = false;
  std::chrono::steady_clock::time_point stageStart;
};

void printFramed(const std::string& text) {
  std::string line = "** " + text;
  if (line.size() < 97) line.append(97 - line.size(), ' ');
  std::cout << line << "**\n";
}

void printBanner() {
  const std::string stars(99, '*');
  std::cout << stars << "\n";
  printFramed(
      "This demo calibrates the GARCH diffusion stochastic volatility model to an option chain "
      "given");
  printFramed(
      "in OptionsData.txt. It prices with the backward PDE option pricer developed by Dravenko "
      "(see");
  printFramed(
      "the paper of Dravenko and Morwick) and fits with the Levenberg-Marquardt implementation of");
  printFramed("Tessarin.");
  std::cout << stars << "\n";
  // The framed line left to this program: how a calibration is steered.
  printFramed(
      "Speed mode fits on a coarse grid; accuracy mode adds a second, finer stage and "
      "extrapolates.");
  std::cout << stars << "\n\n";
}

void printParameters(const double* p) {
  std::cout << "v0 = \t" << p[0] << "\n";
  std::cout << "vBar = \t" << p[1] << "\n";
  std::cout << "kappa =\t" << p[2] << "\n";
  std::cout << "xi = \t" << p[3] << "\n";
  std::cout << "rho = \t" << p[4] << "\n";
}

void startStage(RunState& state) {
  state.stageRunning = true;
  state.stageStart = std::chrono::steady_clock::now();
}

void endStage(RunState& state) {
  if (!state.stageRunning) return;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - state.stageStart);
  state.seconds += elapsed.count() / 1000.0;
  state.stageRunning = false;
  ++state.stagesCompleted;
}

// The time of a stage that a stop cut short counts only when no stage was completed.
void stopStage(RunState& state) {
  if (state.stagesCompleted == 0) {
    endStage(state);
  } else {
    state.stageRunning = false;
  }
}

// Reads, prepares and checks the chain; false (after the message and the pause) when a check
// fails.
bool loadChain(OptionChain& chain) {
  chain = readOptionChain(programFilePath("OptionsData.txt"));
  if (chain.opened && chain.end == ChainReadEnd::kUnreadable) {
    // A quote that cannot be read ends the chain there; say so rather than drop the rest quietly.
    std::cout << "Reading of 'OptionsData.txt' stopped after " << chain.quotes.size()
              << " quotes: the next one holds text that is not a number or is incomplete.\n";
  }
  const int failed = prepareOptionChain(chain);
  if (failed >= 0) {
    std::cout << kCheckMessages[failed];
    consolePause();
    return false;
  }
  return true;
}

// Writes "ModelIVs.txt"; false, with nothing written, when a parameter, a model volatility or
// the RMSE is not a finite number (a failed final evaluation): such a report would only mislead.
bool writeModelIVsReport(const RunState& state,
                         const std::vector<OptionQuote>& quotes,
                         const std::vector<double>& modelIVs) {
  const int n = static_cast<int>(quotes.size());
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double e = modelIVs[i] - quotes[i].marketIV;
    sum += e * e;
  }
  const double rmse = std::sqrt(sum / n);
  bool finite = std::isfinite(rmse);
  for (int i = 0; i < kParameterCount; ++i) finite = finite && std::isfinite(state.p[i]);
  for (int i = 0; i < n; ++i) finite = finite && std::isfinite(modelIVs[i]);
  if (!finite) return false;

  std::ofstream out("ModelIVs.txt", std::ios::out | std::ios::trunc);
  out.precision(8);
  out << (state.modelAnswer == 1 ? "Calibrated GARCH diffusion model parameters\n"
                                 : "Calibrated power-law (p=0.8) model parameters\n");
  out << "v0 = \t" << state.p[0] << "\n";
  out << "vBar = \t" << state.p[1] << "\n";
  out << "kappa =\t" << state.p[2] << "\n";
  out << "xi = \t" << state.p[3] << "\n";
  out << "rho = \t" << state.p[4] << "\n";
  out << "\n"
      << "IV RMSE: " << rmse << " (" << basisPoints(rmse) << " basis points)"
      << "\n";
  out << "Calibration time: " << state.seconds << " secs "
      << "on " << processorBrandString() << " (number of cores: " << processorCount() << ")"
      << "\n\n";
  out << "expiration"
      << "\t"
      << "strike"
      << "\t"
      << "  model IV"
      << "\t"
      << "market IV"
      << "\n";
  for (int i = 0; i < n; ++i) {
    out << quotes[i].expirationDays / 365.0 << "\t" << quotes[i].strike << "\t " << modelIVs[i]
        << "\t" << quotes[i].marketIV << "\n";
  }
  return true;
}

const levmar_ahead_model kAheadModel = {calcModelIVsBatch, calcModelIVsAhead, settleModelIVsAhead};

// The calibration stages and the console report.
void calibrate(RunState& state, std::vector<double>& x, CalibrationSettings& settings) {
  const int n = static_cast<int>(x.size());
  double info[LM_INFO_SZ] = {0.0};
  double lower[kParameterCount], upper[kParameterCount];
  for (int i = 0; i < kParameterCount; ++i) {
    lower[i] = kBoxLower[i];
    upper[i] = kBoxUpper[i];
  }

  std::cout << "\nCalibrating...\n";
  double opts[LM_OPTS_SZ] = {0.001, 1e-15, state.accuracy ? 5e-5 : 5e-4, 1e-9, 1e-6};
  startStage(state);
  // The Jacobian's perturbed points go to the model together, and with the trial point before
  // them, so that their pricings share the threads; the iterates are those of the point-by-point
  // routine.
  dlevmar_bc_dif_ahead(calcModelIVs,
                       &kAheadModel,
                       state.p,
                       x.data(),
                       kParameterCount,
                       n,
                       lower,
                       upper,
                       nullptr,
                       1000,
                       opts,
                       info,
                       nullptr,
                       nullptr,
                       &settings);
  std::cout << "\n";
  endStage(state);
  const double initialRmse = std::sqrt(info[0] / n);

  bool boxHit = false;
  for (int i = 0; i < kParameterCount; ++i) {
    if (std::fabs(state.p[i] - lower[i]) < kBoxTolerance ||
        std::fabs(state.p[i] - upper[i]) < kBoxTolerance) {
      boxHit = true;
    }
  }
  if (boxHit) {
    std::cout << "*** CAUTION *** : One of the parameter box constraints has been hit. The model "
                 "may be stressed.\n";
    if (state.accuracy) {
      std::cout << "\n";
    } else {
      std::cout << "Try calibrating with the accurate option (1) to allow a wider parameter "
                   "range\n\n";
    }
  }

  if (settings.NT != 60 && state.accuracy) {
    settings.NT = static_cast<int>(settings.NT * 1.2);
    double pOld[kParameterCount];
    for (int i = 0; i < kParameterCount; ++i) pOld[i] = state.p[i];
    double opts2[LM_OPTS_SZ] = {0.001, 1e-15, 5e-8, 1e-9, 1e-6};
    startStage(state);
    dlevmar_dif_ahead(calcModelIVs,
                      &kAheadModel,
                      state.p,
                      x.data(),
                      kParameterCount,
                      n,
                      1000,
                      opts2,
                      info,
                      nullptr,
                      nullptr,
                      &settings);
    std::cout << "\n";
    endStage(state);
    bool small = !boxHit;
    for (int i = 0; i < kParameterCount && small; ++i) {
      if (!(std::fabs((state.p[i] - pOld[i]) / state.p[i]) <= 0.01)) small = false;
    }
    if (small) {
      for (int i = 0; i < kParameterCount; ++i) {
        state.p[i] = kExtrapolateNew * state.p[i] - kExtrapolateOld * pOld[i];
      }
    }
  }

  const double finalRmse = std::sqrt(info[1] / n);
  std::cout << "Calibrated model parameters\n";
  printParameters(state.p);
  std::cout << "\n"
            << "Initial IV RMSE: " << initialRmse << ",  final IV RMSE: " << finalRmse << " ("
            << basisPoints(finalRmse) << " basis points)"
            << "\n";
  std::cout << "Calibration time: " << state.seconds << " secs.";
}

// One run of the main road; false when a failed check ended it.
bool runOnce(RunState& state) {
  // Emptied at the start, so that a stale report never survives a failed run.
  { std::ofstream empty("ModelIVs.txt", std::ios::out | std::ios::trunc); }
  programFolder();

  OptionChain chain;
  if (!loadChain(chain)) return false;
  const std::vector<OptionQuote>& quotes = chain.quotes;
  const int n = static_cast<int>(quotes.size());

  if (!stopFlag) {
    printBanner();
    std::cout
        << "Enter 1 for the GARCH diffusion model, or 2 for the power-law model with p = 0.8: ";
    std::cin >> state.modelAnswer;
    std::cout << "Enter 0 for speed or 1 for accuracy: ";
    std::cin >> state.speedAnswer;
    state.accuracy = state.speedAnswer != 0;
    if (state.speedAnswer == kDenseModeAnswer) {
      state.NS = 400;
      state.NV = 180;
      state.NT = 60;
    }
  }

  std::vector<double> x(n);
  for (int i = 0; i < n; ++i) x[i] = quotes[i].marketIV;

  CalibrationSettings settings{state.NS, state.NV, state.NT, 2, 2, 1, 1, 1, state.modelAnswer};

  if (!stopFlag) calibrate(state, x, settings);

  if (state.speedAnswer == kDenseModeAnswer) {
    settings.NS = 400;
    settings.NV = 180;
    settings.NT = 30;
    settings.methodID = 1;
    settings.factorSwitch = 2;
    settings.quantileSwitch = 2;
  }

  for (int i = 0; i < kParameterCount; ++i) {
    if (state.p[i] <= kClampLower[i]) state.p[i] = kClampLower[i];
    if (state.p[i] >= kClampUpper[i]) state.p[i] = kClampUpper[i];
  }

  calcModelIVs(state.p, x.data(), kParameterCount, n, &settings);
  // Model values whose estimated error stayed beyond the tolerance when the work limit ran out
  // are the best ones had: the report says so in one line.
  const std::string caution = accuracyCautionLine(modelIVsShortfall());
  if (!caution.empty()) std::cout << "\n" << caution;
  if (!writeModelIVsReport(state, quotes, x)) {
    std::cout << "\n\n"
              << "The model implied volatilities of the calibrated parameters could not be "
                 "computed: ModelIVs.txt was not written.\n";
    consolePause();
    return false;
  }

  std::cout << "\n\n"
            << "The calibrated model parameters and implied volatilities have been saved in "
               "ModelIVs.txt\n";
  consolePause();
  return true;
}

// Runs the console calibration until it ends or the user stops it; a stop restarts once.
int runConsole() {
  RunState state;
  bool restarted = false;
  for (;;) {
    try {
      runOnce(state);
      return 0;
    } catch (const std::exception& e) {
      stopStage(state);
      std::cout << "\n"
                << e.what() << "\n\n"
                << "Model parameters before stoppping\n";
      printParameters(state.p);
      // A stop restarts once from the parameters reached; a second stop (parameters that even
      // clamping cannot bring into range, such as a NaN) ends the run instead of looping.
      if (stopFlag && !restarted) {
        restarted = true;
        continue;
      }
      consolePause();
      return 0;
    } catch (...) {
      std::cout << "Unknown error..."
                << "\n";
      consolePause();
      return 0;
    }
  }
}

}  // namespace

}  // namespace serivane

int main() {
  // The calibration's solves free and allocate the same arrays over and over: keep them.
  serivane::keepHeapForReuse();
  return serivane::runConsole();
}
