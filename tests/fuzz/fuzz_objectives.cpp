// libFuzzer target: the six calibration objectives that read the counted quotes of
// "OptionsData.txt" beside the program. The bytes give the file (missing, valid, short, a bad
// count, a bad field or raw bytes), then a selector byte picking the objective, then its
// arguments, mostly inside the limits and on small grids. The result must be one of the
// documented failure values for the file written, or a finite root-mean-square error:
//   missing file: 10000.0 (or the argument failure, 0.0 for the PDE objectives, -999.0 for
//     HESTON_VanillaCalibration);
//   short file, bad count, bad field: -999.0 (or the PDE objectives' argument failure 0.0);
//   valid or raw file: a failure value or an RMSE in [0, 100] (model volatilities lie in
//     [0, 2] or thereabouts, market ones in [0, 10]); never 10000.0 once a file is there;
//   valid file holding a Bermudan quote: 0.0 from the PDE objectives (no exercise dates).
// Run a copy of the binary in a folder of its own (see fuzz_input.h).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "calibration/exports/serivane.h"
#include "calibration/pricing/pricing_log.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/quotes/counted_option_file.h"
#include "calibration/quotes/program_folder.h"
#include "core/grid_limits.h"
#include "fuzz_input.h"

using namespace serivane;
using namespace serivane::fuzz;

// The sanitizers and the coverage counters slow a solve some thirty times. Each robust pricing
// here gets a hundredth of the usual work limit of a call, so that an input stays well within the
// per-input time while the limit's own road (the failure value with its record, or the best value
// an objective keeps) is explored like any other.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  serivane::robustWorkLimit = serivane::kMaxCallWork / 100;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string quotePath = programFilePath(kOptionsDataName);
  FuzzInput in(data, size);
  bool bermudan = false;
  const QuoteFile file = writeQuoteFile(in, quotePath, &bermudan);
  const int which = in.byte() % 6;
  if (printCalls()) {
    std::ifstream written(quotePath);
    std::fprintf(
        stderr,
        "OptionsData.txt (kind %d):\n%s",
        static_cast<int>(file),
        written ? std::string(std::istreambuf_iterator<char>(written), {}).c_str() : "(none)\n");
  }

  const double v0 = in.value(-100.0, 100.0, 0.005, 0.5, true);
  const double vL = in.value(0.0, 100.0, 0.005, 0.5, true);
  const double theta = in.value(0.0, 1000.0, 0.2, 10.0, true);
  const double volvol = in.value(0.0, 100.0, 0.05, 3.0, true);
  const double rho = in.value(-1.0, 1.0, -0.95, 0.5);
  double result;
  double argumentFailure = 0.0;
  if (which == 5) {
    argumentFailure = -999.0;
    printCall("HESTON_VanillaCalibration", {v0, vL, theta, volvol, rho});
    result = HESTON_VanillaCalibration(v0, vL, theta, volvol, rho);
  } else {
    // Objectives raise the grid per quote and solve each quote: keep the base grid small.
    Grid g = drawGrid(in);
    if (g.NS > 0 && g.NV > 0 && g.NT > 0 && (g.NS + 1.0) * (g.NV + 1.0) * g.NT > 2e4) {
      g.NT = std::max(1, static_cast<int>(2e4 / ((g.NS + 1.0) * (g.NV + 1.0))));
    }
    const std::int32_t methodID = in.code(1, 15);
    const std::int32_t precision = in.code(1, 3);
    const double sRange = in.value(-1e3, 1e3, 0.5, 6.0);
    const double level = in.byte() % 2 == 0 ? in.value(-100.0, 10.0, 0.99, 0.99999)
                                            : in.value(-100.0, 10.0, 2.0, 6.0);
    const std::int32_t widening = in.code(0, 1);
    const std::int32_t extra = in.code(0, 3);  // strip mode or selector
    const std::int32_t model = in.code(0, 1);
    static const char* const kNames[5] = {"GARCH_VanillaPDECalibration",
                                          "HESTON_VanillaPDECalibration",
                                          "GARCH_VanillaPDECalibrationM",
                                          "HESTON_VanillaPDECalibrationM",
                                          "SVPDECalibration"};
    printCall(kNames[which],
              {v0,
               vL,
               theta,
               volvol,
               rho,
               double(g.NS),
               double(g.NV),
               double(g.NT),
               double(methodID),
               double(precision),
               sRange,
               level,
               double(widening),
               double(extra),
               double(model)});
    switch (which) {
      case 0:
        result = GARCH_VanillaPDECalibration(v0,
                                             vL,
                                             theta,
                                             volvol,
                                             rho,
                                             g.NS,
                                             g.NV,
                                             g.NT,
                                             methodID,
                                             precision,
                                             sRange,
                                             level,
                                             widening,
                                             model);
        break;
      case 1:
        result = HESTON_VanillaPDECalibration(v0,
                                              vL,
                                              theta,
                                              volvol,
                                              rho,
                                              g.NS,
                                              g.NV,
                                              g.NT,
                                              methodID,
                                              precision,
                                              sRange,
                                              level,
                                              widening);
        break;
      case 2:
        result = GARCH_VanillaPDECalibrationM(v0,
                                              vL,
                                              theta,
                                              volvol,
                                              rho,
                                              g.NS,
                                              g.NV,
                                              g.NT,
                                              methodID,
                                              precision,
                                              sRange,
                                              level,
                                              widening,
                                              extra,
                                              model);
        break;
      case 3:
        result = HESTON_VanillaPDECalibrationM(v0,
                                               vL,
                                               theta,
                                               volvol,
                                               rho,
                                               g.NS,
                                               g.NV,
                                               g.NT,
                                               methodID,
                                               precision,
                                               sRange,
                                               level,
                                               widening);
        break;
      default:
        result = SVPDECalibration(v0,
                                  vL,
                                  theta,
                                  volvol,
                                  rho,
                                  g.NS,
                                  g.NV,
                                  g.NT,
                                  methodID,
                                  precision,
                                  sRange,
                                  level,
                                  widening,
                                  extra,
                                  model);
        break;
    }
  }

  if (printCalls()) std::fprintf(stderr, "= %.17g\n", result);
  require(std::isfinite(result), "objective: not a finite number");
  const bool failure = result == argumentFailure || result == -999.0;
  switch (file) {
    case QuoteFile::kMissing:
      require(result == 10000.0 || result == argumentFailure,
              "objective: a missing file gives 10000.0 or the argument failure");
      break;
    case QuoteFile::kShort:
    case QuoteFile::kBadCount:
    case QuoteFile::kBadField:
      require(result == -999.0 || result == argumentFailure,
              "objective: a broken file gives -999.0 or the argument failure");
      break;
    default:
      require(result != 10000.0, "objective: 10000.0 although the file is there");
      require(failure || (result >= 0.0 && result <= 100.0), "objective: RMSE outside [0, 100]");
      // A Bermudan quote has no price without exercise dates, which the file cannot give.
      if (file == QuoteFile::kValid && bermudan && which != 5) {
        require(result == 0.0, "objective: a Bermudan quote gives other than the failure 0.0");
      }
      break;
  }

  // Keep the records beside the program and in the current folder small.
  static int calls = 0;
  if (++calls % 200 == 0) {
    std::remove(pricingLogPath().c_str());
    std::remove(kResultsName);
  }
  return 0;
}
