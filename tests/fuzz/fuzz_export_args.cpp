// libFuzzer target: the argument check at the exports' entry, with what lies behind it that a
// host's arguments reach without a solve. The bytes give GARCH_VanillaPDESolver's 22 arguments
// and a script of solve outcomes (reported, interpolated and returned values) that stands in for
// the 2-D solves through the robust pricer's test seam, so the whole retry ladder runs on
// arbitrary sizes and values; ImpliedVol and the argument check itself get the same doubles.
// The same bytes reach the argument checks of the other exports without a solve: the PDE
// objectives with no quote file beside the program (a refused argument gives 0.0, an accepted
// set 10000.0 for the missing file), QelOptionPricer with a node count above 50000 (refused with
// a message: nothing is solved, no array written) and VanillaHestonGrid by the outside library,
// which is not there. Every call must return a finite value at once, without crash or undefined
// behaviour.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "calibration/exports/export_args.h"
#include "calibration/exports/serivane.h"
#include "calibration/pricing/pricing_log.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/quotes/counted_option_file.h"
#include "calibration/quotes/program_folder.h"
#include "core/qel_heston_vanilla.h"

namespace serivane {

namespace {

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  template <class T>
  T take() {
    T value{};
    const std::size_t n = std::min(sizeof(T), size_ - at_);
    std::memcpy(&value, data_ + at_, n);
    at_ += n;
    return value;
  }
  bool empty() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Solve outcomes read from the remaining bytes, the last one repeated.
std::vector<double> script;
std::size_t turn = 0;

void scriptedSolve(QelHestonVanilla& p, double& cpuTime) {
  if (script.empty()) throw std::runtime_error("Possible instability issue");
  const std::size_t k = std::min(turn, script.size() / 3 - 1) * 3;
  ++turn;
  p.summary = std::valarray<double>(0.0, 6);
  p.summary[2] = script[k];
  p.summary[1] = script[k + 1];
  p.summary[4] = script[k + 2];
  cpuTime = 0.0;
}

}  // namespace

}  // namespace serivane

using namespace serivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes b(data, size);
  double x[12];
  for (double& v : x) v = b.take<double>();
  std::int32_t n[10];
  for (std::int32_t& v : n) v = b.take<std::int32_t>();
  script.clear();
  turn = 0;
  while (!b.empty() && script.size() < 30) script.push_back(b.take<double>());
  script.resize(script.size() / 3 * 3);

  robustSolveHook = &scriptedSolve;
  const double price = GARCH_VanillaPDESolver(x[0],
                                              x[1],
                                              x[2],
                                              x[3],
                                              x[4],
                                              x[5],
                                              x[6],
                                              x[7],
                                              x[8],
                                              x[9],
                                              n[0],
                                              n[1],
                                              n[2],
                                              n[3],
                                              n[4],
                                              n[5],
                                              n[6],
                                              n[7],
                                              x[10],
                                              x[11],
                                              n[8],
                                              n[9]);
  robustSolveHook = nullptr;
  if (!std::isfinite(price)) __builtin_trap();

  const double iv = ImpliedVol(x[0], x[1], x[2], x[3], x[4], x[5], n[0]);
  if (!std::isfinite(iv)) __builtin_trap();

  // Every accepted grid lies inside the limits the ladders rely on.
  if (checkExportArgs({{"NS", ArgKind::kAssetIntervals, n[0]},
                       {"NV", ArgKind::kVarianceIntervals, n[1]},
                       {"NT", ArgKind::kTimeSteps, n[2]}})
          .empty() &&
      checkGridSize(n[0], n[1], n[2]).empty()) {
    if (static_cast<std::int64_t>(n[0] + 1) * (n[1] + 1) > kMaxGridNodes) __builtin_trap();
  }

  // The PDE objectives: the argument check, then the missing quote file.
  static const int noQuotes = (std::remove(programFilePath(kOptionsDataName).c_str()), 0);
  (void)noQuotes;
  const double objectives[3] = {
      GARCH_VanillaPDECalibration(
          x[5], x[6], x[7], x[8], x[9], n[0], n[1], n[2], n[6], n[5], x[10], x[11], n[8], n[9]),
      GARCH_VanillaPDECalibrationM(x[5],
                                   x[6],
                                   x[7],
                                   x[8],
                                   x[9],
                                   n[0],
                                   n[1],
                                   n[2],
                                   n[6],
                                   n[5],
                                   x[10],
                                   x[11],
                                   n[8],
                                   n[4],
                                   n[9]),
      SVPDECalibration(x[5],
                       x[6],
                       x[7],
                       x[8],
                       x[9],
                       n[0],
                       n[1],
                       n[2],
                       n[6],
                       n[5],
                       x[10],
                       x[11],
                       n[8],
                       n[3],
                       n[9])};
  for (const double v : objectives) {
    if (v != 0.0 && v != 10000.0) __builtin_trap();
  }

  // QelOptionPricer above 50000 nodes: a refusal's message (never the empty string of success),
  // and one-entry arrays that must stay untouched.
  {
    double arrays[6] = {-1, -1, -1, -1, -1, -1};
    double cpu = x[11];
    double params[6] = {x[5], x[6], x[7], x[8], x[9], x[10]};
    double vec[5] = {0, 0, 0, 0, 0};
    std::int32_t ns = 50001 + (n[0] & 0xffffff), nv = n[1];
    const QelString text = QelOptionPricer(&arrays[0],
                                           &arrays[1],
                                           &arrays[2],
                                           &arrays[3],
                                           &arrays[4],
                                           &arrays[5],
                                           &cpu,
                                           x[0],
                                           x[1],
                                           n[2],
                                           x[2],
                                           params,
                                           x[3],
                                           x[4],
                                           0.0,
                                           &ns,
                                           &nv,
                                           n[3],
                                           n[4],
                                           n[5],
                                           n[6],
                                           vec,
                                           vec,
                                           x[11],
                                           x[10],
                                           x[11],
                                           1,
                                           1,
                                           1,
                                           1,
                                           n[7]);
    if (QelStringLength(text) == 0) __builtin_trap();
    QelFreeString(text);
    for (const double a : arrays) {
      if (a != -1.0) __builtin_trap();
    }
  }

  // VanillaHestonGrid by the missing outside library: at most the check and the failed load.
  // A node count the check accepts is folded into the three spots given.
  {
    const double spots[3] = {x[0], x[1], x[2]};
    double out[3] = {0, 0, 0};
    const std::int32_t N = n[1] >= 0 && n[1] <= kMaxAssetIntervals ? n[1] % 3 : n[1];
    QelFreeString(VanillaHestonGrid(
        spots, out, x[3], x[4], x[5], x[6], x[7], x[8], x[9], x[10], x[11], n[0], N, 0));
  }

  // The failure records go to the pricing log beside this program: keep it small.
  static int calls = 0;
  if (++calls % 1000 == 0) std::remove(pricingLogPath().c_str());
  return 0;
}
