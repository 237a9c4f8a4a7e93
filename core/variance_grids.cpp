// The variance axis of the 2-D pricing grid, from 0 to Vmax with the start variance on a node:
// - a sinh map clustered at vp, v(xi) = vp (1 + sinh(c (xi - xi0)) / sinh(c xi0)), xi = i / NV,
//   whose concentration is fitted so that a node lands on Vmax;
// - a hybrid grid: uniform cells up to about 2 vp, then cells stretched by
//   sinh(j c / nS) / sinh(c) up to Vmax, the first stretched cell as long as a uniform one.
// K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option pricing in the Heston
// model with correlation", Int. J. Numer. Anal. Model. 7 (2010), sec. 2 (sinh grids);
// D. Tavella, C. Randall, "Pricing Financial Instruments: The Finite Difference Method" (2000)
// (coordinate transformations of the grid).
//
// Both keep their placement (iToV0, vGridA, vGridB, nVStretch) so that a rebuild with doubled NV,
// iToV0 and nVStretch refines the earlier grid.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "core/held_logs.h"
#include "core/qel_heston_vanilla.h"

namespace serivane {

namespace {

// Secant steps below this end a concentration fit.
constexpr double kFitTol = 1e-8;
constexpr int kMaxFitSteps = 1000;
// Concentrations outside this range give unusable grids (cells spanning orders of magnitude).
constexpr double kMinConcentration = -10.0;
constexpr double kMaxConcentration = 20.0;
// The last sinh node counts as Vmax within this relative distance.
constexpr double kVmaxTol = 1e-6;
// No variance grid of the system comes near this many nodes.
constexpr std::size_t kMaxGridNodes = 1000000;
// A kept position counts as putting vp on node iToV0 within this distance in index units.
constexpr double kIndexTol = 1e-9;
// A hybrid grid whose top stretched cell takes more than 40% of the stretched width gets more
// stretched cells.
constexpr double kMinTopShare = 0.6;
constexpr int kMinStretchedCells = 5;

// Shared minimum index m0: n / 3 clamped to 4..6.
int sharedMinIndex(int n) {
  const int m3 = n / 3;
  if (m3 <= 4) return 4;
  return m3 <= 6 ? m3 : 6;
}

bool inRange(double c) { return c >= kMinConcentration && c <= kMaxConcentration; }

// Secant iteration on f from c1 and c0. With rangeStop it also stops as soon as c1 leaves the
// usable range. A NaN step (overflowing sinh) ends the fit with NaN, which callers treat as a
// failure.
template <class F>
double secantFit(const F& f, double c1, double c0, bool rangeStop) {
  double f0 = f(c0);
  for (int it = 0; it < kMaxFitSteps; ++it) {
    const double f1 = f(c1);
    if (f1 == 0.0) return c1;
    const double step = (c1 - c0) / (f1 - f0) * f1;
    if (std::fabs(step) < kFitTol) return c1;
    if (rangeStop && !inRange(c1)) return c1;
    if (std::isnan(step)) return std::numeric_limits<double>::quiet_NaN();
    c0 = c1;
    f0 = f1;
    c1 -= step;
  }
  return c1;
}

// Stretching c of nS cells over a width W whose first cell is h: sinh(c / nS) / sinh(c) = h / W.
double fitStretch(int nS, double hOverW, bool rangeStop) {
  const auto g = [nS, hOverW](double c) { return std::sinh(c / nS) / std::sinh(c) - hOverW; };
  return secantFit(g, 1.5, 6.0, rangeStop);
}

std::vector<double> sinhMapNodes(double vp, double A, double B, int NV, std::size_t count) {
  std::vector<double> nodes(count);
  const double scale = std::sinh(B * A);
  for (std::size_t i = 0; i < count; ++i) {
    nodes[i] = vp * (1.0 + std::sinh(B * (static_cast<double>(i) / NV - A)) / scale);
  }
  return nodes;
}

bool strictlyIncreasingFinite(const std::valarray<double>& v) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!std::isfinite(v[i])) return false;
    if (i > 0 && !(v[i] > v[i - 1])) return false;
  }
  return true;
}

// The cells of a first hybrid build, from the sinh grid's NV and index of vp: uniform cells of
// h = vp / iToV0 up to 2 vp - h, then nS sinh-stretched cells of stretch cs over the width W that
// is left. False when the uniform cells leave nothing to stretch.
struct HybridPlacement {
  std::int32_t iToV0;
  std::int32_t NV;
  int nS;
  double h;
  double W;
  double cs;
};

bool placeHybridCells(
    double vp, double Vmax, int minUniform, double topRatio, HybridPlacement& place) {
  std::int32_t& iToV0 = place.iToV0;
  std::int32_t& NV = place.NV;
  int& nS = place.nS;
  double& h = place.h;
  double& W = place.W;
  double& cs = place.cs;
  h = vp / iToV0;
  nS = NV - 2 * iToV0 + 1;
  const int sinhStretched = nS;
  if (nS < kMinStretchedCells) {
    NV += kMinStretchedCells - nS;
    nS = kMinStretchedCells;
  }
  W = Vmax - (2 * iToV0 - 1) * h;
  if (!(W > 0.0)) return false;
  cs = fitStretch(nS, h / W, false);
  double r = std::sinh((nS - 1) * cs / nS) / std::sinh(cs);
  if (r < kMinTopShare && sinhStretched <= 7) {
    // Few stretched cells with a dominant top cell: add stretched cells.
    for (int k = 0; r < kMinTopShare && k < kMaxFitSteps; ++k) {
      nS += 2;
      NV += 2;
      cs = fitStretch(nS, h / W, false);
      r = std::sinh((nS - 1) * cs / nS) / std::sinh(cs);
    }
  } else {
    // Trade uniform cells for stretched ones (NV fixed) until the top cell is no longer than
    // that of the sinh grid, keeping at least minUniform uniform cells below vp.
    int u = 2 * iToV0;
    double q = 0.0;
    do {
      nS += 2;
      u -= 2;
      iToV0 = u / 2;
      h = vp / iToV0;
      // The uniform part ends at (2 iToV0 - 1) h = 2 vp - h; the same expression as in a rebuild
      // keeps a rebuild on this placement identical to this grid.
      W = Vmax - (2 * iToV0 - 1) * h;
      cs = fitStretch(nS, h / W, true);
      q = (cs > 0.0 && cs < 10.0)
              ? (std::sinh((nS - 1) * cs / nS) * W / std::sinh(cs) + (2 * iToV0 - 1) * h) / Vmax
              : 1000.0;
    } while (q < topRatio && iToV0 >= minUniform);
  }
  return true;
}

}  // namespace

void QelHestonVanilla::buildVGridSinh(
    double vp, std::int32_t n, double Vmax, double c, std::valarray<double>& out) {
  if (n < 1) throw std::invalid_argument("the variance grid needs at least one interval");
  NV = n;
  const int minIdx = std::max(static_cast<int>(0.2 * n), sharedMinIndex(n));
  // Variance diffusion needs stronger clustering at v0; the retrying pricers ask for more.
  if (model == 1) c = (vGridMode == 1 || vGridMode == 2) ? 9.5 : 8.5;
  // A zero start variance cannot scale the map: place a small one.
  if (vp == 0.0) vp = 1e-4;

  const double A = Vmax / vp;
  const double e = std::exp(c);
  const double q = (e + (A - 1.0)) / (1.0 / e + (A - 1.0));
  if (!(q > 0.0)) throw std::runtime_error(kGridProblemMessage);
  const double xi0 = std::log(q) / (2.0 * c);
  // vp must lie inside (0, Vmax]: outside, the map has no position for it.
  if (!(xi0 > 0.0 && xi0 <= 1.0)) throw std::runtime_error(kGridProblemMessage);
  const int idx = std::max(static_cast<int>(xi0 * n), minIdx);
  if (iToV0 == 0) iToV0 = idx;
  const double x0 = static_cast<double>(iToV0) / NV;
  if (vGridA == 0.0) vGridA = x0;

  // Trial nodes up to the first at or above Vmax, to see how many nodes the map needs.
  std::vector<double> trial;
  for (int i = 0;; ++i) {
    const double v =
        vp * (1.0 + std::sinh(c * (static_cast<double>(i) / NV - x0)) / std::sinh(c * x0));
    if (!std::isfinite(v) || trial.size() >= kMaxGridNodes) {
      throw std::runtime_error(kGridProblemMessage);
    }
    trial.push_back(v);
    if (v >= Vmax) break;
  }
  const std::size_t N = trial.size();
  std::size_t target = static_cast<std::size_t>(NV) + 1;
  if (N >= 2 && trial[N - 1] - Vmax > Vmax - trial[N - 2]) {
    target = std::max(target, N - 1);
  } else {
    target = std::max(target, N);
  }

  // Secant fit of the concentration that puts node target - 1 on Vmax.
  const double x = static_cast<double>(target - 1) / NV - x0;
  const auto F = [x, x0, A](double cc) { return std::sinh(x * cc) / std::sinh(x0 * cc) + 1.0 - A; };
  const double c1 = secantFit(F, c, 0.8 * c, true);
  if (!inRange(c1)) {
    std::ostringstream msg;
    msg << std::fixed << std::setprecision(6)
        << "The first V-grid generator failed for option with K =  " << K << ", T = " << T
        << ", v0= " << v0 << ", vL = " << vL << ", theta = " << theta << ", xi = " << volvol
        << ", rho = " << rho;
    throw std::runtime_error(msg.str());
  }
  if (vGridB == 0.0) vGridB = c1;

  // Final nodes with the kept placement, up to the node on Vmax. The kept placement is used only
  // when it puts vp on node iToV0; when it also lands no node on Vmax (a placement kept from a
  // build with another Vmax or v0, say after bumpVol), this build's own fit is used instead,
  // which does both.
  std::vector<double> nodes;
  bool kept = std::fabs(vGridA * NV - iToV0) < kIndexTol;
  if (kept) {
    const double scale = std::sinh(vGridB * vGridA);
    for (int i = 0;; ++i) {
      const double v =
          vp * (1.0 + std::sinh(vGridB * (static_cast<double>(i) / NV - vGridA)) / scale);
      if (!std::isfinite(v) || nodes.size() >= kMaxGridNodes) {
        kept = false;
        break;
      }
      nodes.push_back(v);
      if (std::fabs(v - Vmax) / Vmax <= kVmaxTol) break;
      if (v > Vmax) {
        kept = false;
        break;
      }
    }
  }
  if (!kept) {
    nodes = sinhMapNodes(vp, x0, c1, NV, target);
    if (!(std::fabs(nodes.back() - Vmax) / Vmax <= kVmaxTol)) {
      throw std::runtime_error(kGridProblemMessage);
    }
  }
  NV = static_cast<std::int32_t>(nodes.size()) - 1;
  out = std::valarray<double>(nodes.data(), nodes.size());
}

void QelHestonVanilla::buildVGridHybrid(
    double vp, std::int32_t n, double Vmax, double c, std::valarray<double>& out) {
  if (n < 1) throw std::invalid_argument("the variance grid needs at least one interval");
  const bool firstBuild = (iToV0 == 0);
  std::valarray<double> sinhGrid;
  std::int32_t sinhNV = 0;
  std::int32_t sinhIToV0 = 0;

  // The stretched part cannot be built: hand back a sinh grid, use it from now on, and leave the
  // only trace of the failure in "ErrorLog.txt".
  const auto fallBack = [&]() {
    if (firstBuild) {
      out = sinhGrid;
      NV = sinhNV;
      iToV0 = sinhIToV0;
    } else {
      // A rebuild on a kept placement has no sinh grid of its own yet: build one, placing vp
      // afresh (the kept sinh position is reused when it still fits).
      iToV0 = 0;
      buildVGridSinh(vp, n, Vmax, c, out);
    }
    useSinhVGrid = true;
    std::ofstream log;
    openLogForAppend(log, "ErrorLog.txt");
    if (log)
      log << "The hybrid V-grid generator failed for option with K =  " << K << ", T = " << T
          << "\n";
  };

  int nS = 0;
  double h = 0.0;
  double W = 0.0;
  double cs = 0.0;
  if (firstBuild) {
    const int minUniform = std::max(static_cast<int>(0.25 * n), sharedMinIndex(n));
    buildVGridSinh(vp, n, Vmax, c, out);
    const double topRatio = out[NV - 1] / out[NV];
    sinhGrid = out;
    sinhNV = NV;
    sinhIToV0 = iToV0;
    // Uniform cells below vp at least as long as the average cell leave nothing to stretch.
    if (!(vp / Vmax < static_cast<double>(iToV0) / NV)) {
      fallBack();
      return;
    }
    HybridPlacement place{iToV0, NV, 0, 0.0, 0.0, 0.0};
    if (!placeHybridCells(vp, Vmax, minUniform, topRatio, place)) {
      fallBack();
      return;
    }
    iToV0 = place.iToV0;
    NV = place.NV;
    nS = place.nS;
    h = place.h;
    W = place.W;
    cs = place.cs;
    nVStretch = nS;
    NV = 2 * iToV0 - 1 + nS;
  } else {
    ++nVStretch;
    nS = nVStretch;
    NV = 2 * iToV0 - 1 + nS;
    h = vp / iToV0;
    W = Vmax - (2 * iToV0 - 1) * h;
    if (nS < 1 || !(W > 0.0)) {
      fallBack();
      return;
    }
    cs = fitStretch(nS, h / W, false);
  }
  if (!inRange(cs) || cs == 0.0) {
    fallBack();
    return;
  }

  std::valarray<double> nodes(static_cast<std::size_t>(NV) + 1);
  const int firstStretched = 2 * iToV0 - 1;
  for (int i = 0; i <= firstStretched; ++i) nodes[i] = i * h;
  const double base = nodes[firstStretched];
  const double scale = std::sinh(cs);
  for (int j = 1; j <= nS; ++j)
    nodes[firstStretched + j] = base + W * std::sinh(j * cs / nS) / scale;
  if (!strictlyIncreasingFinite(nodes)) {
    fallBack();
    return;
  }
  out = nodes;
  nVStretch = nS - 1;
}

}  // namespace serivane
