// The asset axis of the 2-D pricing grid: a uniform grid in S, and grids in S and in ln S that
// cluster their nodes around the strike by a sinh map,
//   S(xi) = K (1 + sinh(c (xi - xi0)) / sinh(c xi0)),  xi = i / NS,
// which puts the strike at xi0 and is nearly uniform there with cells growing away from it.
// K. J. in 't Hout, S. Foulon, "ADI finite difference schemes for option pricing in the Heston
// model with correlation", Int. J. Numer. Anal. Model. 7 (2010), sec. 2.
//
// Every builder places the strike on a node, takes the upper end from the option and model data,
// and keeps its placement (strikeNodeIndex, sGridA, sGridB) so that a rebuild with doubled NS
// gives a grid whose even nodes are the old ones.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "core/grid_limits.h"
#include "core/qel_heston_vanilla.h"

namespace serivane {

namespace {

// A widened grid stops growing at the served node count (a refinement may need up to twice the
// nodes of its coarse grid); reaching that means the range asked for (a huge S-range parameter,
// say) or the kept placement make the map stall, and the build is refused rather than left to
// run on.
std::size_t maxSinhNodes(std::size_t minNodes) {
  return std::max(minNodes, static_cast<std::size_t>(kMaxAssetIntervals) + 1);
}

// The top of the asset range, refused beyond kMaxAssetRangeRatio times the larger of spot and
// strike (also when it is not a number).
void checkAssetTop(const QelHestonVanilla& o, double top, const char* failure) {
  if (!(top <= kMaxAssetRangeRatio * std::max(o.S0, o.K))) throw std::runtime_error(failure);
}

enum class AssetGrid { kPlain, kAtStrike, kLogS };

// The horizon rule that every range also meets: kUpperDeviations deviations of ln S above
// max(S0, K) and, on the log grid, kLowerDeviations below the forward, within kHorizonRangeCap
// times max(S0, K) (min(S0, K)) on either side.
constexpr double kUpperDeviations = 3.0;
constexpr double kLowerDeviations = 5.0;
constexpr double kHorizonRangeCap = 20.0;
// Weights of the variance's own spread in the deviation (see horizonReach): variance diffusion
// and the square-root model.
constexpr double kSpreadWeight = 0.06;
constexpr double kSquareRootSpreadWeight = 0.35;
constexpr double kMaxSpreadExponent = 2.0;

// Mean of the variance over [0, Tp] from v0: vL + (v0 - vL) (1 - e^{-kappa Tp}) / (kappa Tp).
double meanVariance(const QelHestonVanilla& o, double Tp) {
  const double kT = o.theta * Tp;
  const double decay = std::abs(kT) > 1e-8 ? -std::expm1(-kT) / kT : 1.0 - kT / 2.0;
  return std::max(o.vL + (o.v0 - o.vL) * decay, 0.0);
}

// One deviation of ln S over the horizon Tp: sqrt(m Tp) for the mean variance m from v0, widened
// by the variance's own spread. lambda is the relative spread of the variance over the horizon
// (volvol v^(p-1), at v = m for the square-root and power laws, over at most the mean-reversion
// time 1 / (2 kappa)). What it adds to the upper tail of ln S shrinks as the correlation goes to
// -1 (high variance then comes with a falling asset): with x = lambda^2 (1 + rho)^2 the deviation
// is widened by exp(kSpreadWeight x^1.5) under variance diffusion, whose variance has a heavy
// (power) upper tail, and by (1 + kSquareRootSpreadWeight x)^(1/4) under the square-root model,
// whose tail is exponential; the exponent is capped.
double horizonReach(const QelHestonVanilla& o, double Tp) {
  if (!(Tp > 0.0)) return 0.0;
  const double m = meanVariance(o, Tp);
  const double tau = o.theta > 0.0 ? std::min(Tp, 1.0 / (2.0 * o.theta)) : Tp;
  double lambda = o.volvol * std::sqrt(tau);
  const double power = o.model == 1 ? o.p : 0.5;
  if (power < 1.0) lambda /= std::pow(std::max(m, 1e-12), 1.0 - power);
  const double up = std::max(1.0 + o.rho, 0.0);
  const double x = lambda * lambda * up * up;
  const double spread = std::min(o.model == 1 ? kSpreadWeight * x * std::sqrt(x)
                                              : 0.25 * std::log1p(kSquareRootSpreadWeight * x),
                                 kMaxSpreadExponent);
  return std::sqrt(m * Tp) * std::exp(spread);
}

struct AssetRange {
  double sigma;  // volatility level of the range rule
  double s;      // sigma sqrt(T')
  double sMax;   // upper end of the grid
  double w;      // width factor of the sinh grids (1 for the plain grid)
};

// The range rule shared by the three builders: a volatility level between sqrt(v0) and sqrt(vL)
// (moving to sqrt(vL) for longer maturities), a number of deviations shrinking with maturity, and
// a floor of three deviations above the spot; raised to the horizon rule where that reaches
// further (v0 far above vL with slow mean reversion, a large volatility of variance).
AssetRange assetRange(QelHestonVanilla& o, AssetGrid kind, bool wide) {
  const double Tp = o.T + o.tShift;
  double sigma = (std::sqrt(o.v0) + std::sqrt(o.vL)) / 2.0;
  if (Tp > 0.5) sigma += (std::sqrt(o.vL) - sigma) * std::min(Tp - 0.5, 1.0);

  double nsd = 5.0;
  if (kind == AssetGrid::kAtStrike) {
    if (Tp > 1.0 && o.S0 > 2.0 * o.K) nsd = 5.0 - 2.0 * std::min((o.S0 / o.K - 2.0) / 2.0, 1.0);
  } else if (Tp > 1.0) {
    nsd = 5.0 - 2.0 * std::min(Tp - 1.0, 1.0);
  }
  const double s = sigma * std::sqrt(Tp);
  const double base = kind == AssetGrid::kPlain ? o.K : std::max(o.S0, o.K);
  double sMax = std::max(1.5 * o.K, std::min(base * std::exp(nsd * s), 20.0 * o.K));
  if (kind == AssetGrid::kPlain && wide) sMax *= 1.5;
  sMax = std::max(sMax, o.S0 * std::exp(3.0 * s));
  const double reach = horizonReach(o, Tp);
  sMax = std::max(sMax,
                  std::min(std::max(o.S0, o.K) * std::exp(kUpperDeviations * reach),
                           kHorizonRangeCap * std::max(o.S0, o.K)));

  double w = 1.0;
  if (kind != AssetGrid::kPlain) {
    // Large volatility of variance fattens the right tail: widen up to twice the range.
    if (o.volvolWidening) w = std::min(2.0, std::max(o.volvol - 5.0, 0.0) / 10.0 + 1.0);
    if (o.sRangeParam == 0.0) o.sRangeParam = 1.0;
    w *= o.sRangeParam;
    if (wide) sMax *= 2.0;
  }
  return {sigma, s, sMax, w};
}

// Minimum node count of a sinh grid: after a refinement (NS > NS0) at least the refinement
// 2 n - 1 of the previous grid of n nodes, else NS + 1. Then nSNodes := NS + 1.
std::size_t minSinhNodes(QelHestonVanilla& o) {
  const std::size_t m = o.NS > o.NS0 ? static_cast<std::size_t>(2 * o.nSNodes - 1)
                                     : static_cast<std::size_t>(o.NS) + 1;
  o.nSNodes = o.NS + 1;
  return m;
}

// Nodes y_i = D (1 + sinh(B (i/NS - A)) / sinh(B A)) from i = 0 while y_i < top or fewer than
// `minNodes` exist (the last node is the first at or beyond top). When the grid keeps its
// requested size (w <= 1) it is also completed to NS + 1 nodes: a kept placement with a much
// larger NS could otherwise stop short of the nodes the caller reads.
std::vector<double> sinhNodes(const QelHestonVanilla& o,
                              double D,
                              double top,
                              std::size_t minNodes,
                              double w,
                              const char* failure) {
  if (w <= 1.0) minNodes = std::max(minNodes, static_cast<std::size_t>(o.NS) + 1);
  const double A = o.sGridA, B = o.sGridB;
  const double scale = std::sinh(B * A);
  const std::size_t maxNodes = maxSinhNodes(minNodes);
  std::vector<double> nodes;
  for (int i = 0;; ++i) {
    const double y = D * (1.0 + std::sinh(B * (i / static_cast<double>(o.NS) - A)) / scale);
    if (!std::isfinite(y) || nodes.size() >= maxNodes) throw std::runtime_error(failure);
    nodes.push_back(y);
    if (!(y < top) && nodes.size() >= minNodes) break;
  }
  return nodes;
}

}  // namespace

void QelHestonVanilla::buildSGridPlain(std::valarray<double>& out, bool wide) {
  if (gridValid) {
    out = grid;
    return;
  }
  double sMax = assetRange(*this, AssetGrid::kPlain, wide).sMax;
  if (sRangeParam > 0.0) sMax = std::max(sRangeParam, 1.5 * K);
  checkAssetTop(*this, sMax, "the asset range of the plain grid is too wide");
  nSNodes = NS + 1;
  if (strikeNodeIndex == 0) {
    const double index = K / sMax * NS;
    // The strike needs at least one cell below it; the retrying pricers escalate NS on failure.
    if (!(index >= 1.0)) {
      throw std::runtime_error("too few asset intervals to place the strike on the plain grid");
    }
    strikeNodeIndex = static_cast<std::int32_t>(index);
  }
  const double dS = K / strikeNodeIndex;
  std::valarray<double> nodes(static_cast<std::size_t>(nSNodes));
  for (int i = 0; i < nSNodes; ++i) nodes[i] = i * dS;
  out = nodes;
  grid = nodes;
  gridValid = true;
}

void QelHestonVanilla::buildSGridAtStrike(std::valarray<double>& out, double c, bool wide) {
  if (gridValid) {
    out = grid;
    return;
  }
  const AssetRange range = assetRange(*this, AssetGrid::kAtStrike, wide);
  const std::size_t minNodes = minSinhNodes(*this);

  // xi0 solves S(xi0) = K with S(0) = 0 and S(1) = Smax.
  const double a = range.sMax / K - 1.0;
  const double e = std::exp(c);
  const double q = (e + a) / (1.0 / e + a);
  // NaN data fail here too: the map would be undefined.
  if (!(q > 0.0)) throw std::runtime_error(kGridProblemMessage);
  const double xi0 = std::log(q) / (2.0 * c);
  if (!(xi0 > 0.0 && xi0 < 1.0)) throw std::runtime_error(kGridProblemMessage);

  const double sEnd = range.w >= 0.5 ? range.w * range.sMax : range.sMax;
  checkAssetTop(*this, sEnd, kGridProblemMessage);
  const std::int32_t idx = static_cast<std::int32_t>(NS * xi0);
  // A strike index of 0 would leave the map without a scale (sinh(0) in the denominator).
  if (sGridA == 0.0 && idx == 0) throw std::runtime_error(kGridProblemMessage);
  if (sGridA == 0.0) sGridA = static_cast<double>(idx) / NS;
  if (sGridB == 0.0) sGridB = c;
  strikeNodeIndex = idx;

  const std::vector<double> nodes =
      sinhNodes(*this, K, sEnd, minNodes, range.w, kGridProblemMessage);
  if (range.w > 1.0) {
    nSNodes = static_cast<std::int32_t>(nodes.size());
    NS = nSNodes - 1;
  }
  out = std::valarray<double>(nodes.data(), static_cast<std::size_t>(nSNodes));
  grid = out;
  gridValid = true;
}

void QelHestonVanilla::buildLogSGrid(std::valarray<double>& out, double c, bool wide) {
  if (gridValid) {
    out = grid;
    return;
  }
  const AssetRange range = assetRange(*this, AssetGrid::kLogS, wide);
  const double Tp = T + tShift;
  const double xmax = std::log(range.sMax);
  double xmin =
      std::log(std::min(K, S0)) + ((r - d) - range.sigma * range.sigma / 2.0) * Tp - 6.0 * range.s;
  if (model == 1 && rho > -0.5) {
    // Weakly negative or positive correlation under variance diffusion puts mass far below the
    // strike: reach lower and cluster harder.
    const double f = std::min(1.0, std::max(rho + 0.6, 0.0) / 0.4);
    c += (8.5 - c) * f;
    xmin = std::min(xmin, std::log(K * (0.6 - 0.5 * f)));
  }
  // The horizon rule reaches at least kLowerDeviations below the forward.
  xmin =
      std::min(xmin,
               std::max(std::log(std::min(K, S0)) + ((r - d) - meanVariance(*this, Tp) / 2.0) * Tp -
                            kLowerDeviations * horizonReach(*this, Tp),
                        std::log(std::min(K, S0) / kHorizonRangeCap)));
  xmin = std::min(xmin, std::log(0.6 * K));
  xmin = std::min(xmin, std::log(K * logSParam));
  const std::size_t minNodes = minSinhNodes(*this);

  double L = xmax - xmin;
  const double D = std::max(std::log(K) - xmin, 0.01 * xmin);
  const double a = L / D - 1.0;
  const double e = std::exp(c);
  const double q = (e + a) / (1.0 / e + a);
  if (!(q > 0.0)) throw std::runtime_error(kLogGridProblemMessage);
  const double xi0 = std::log(q) / (2.0 * c);
  if (!(xi0 > 0.0 && xi0 < 1.0)) throw std::runtime_error(kLogGridProblemMessage);
  if (range.w > 1.0) L += std::log(range.w);
  checkAssetTop(*this, std::exp(xmin + L), kLogGridProblemMessage);

  // Strike node: the last index whose node of the unrounded map lies at or below D.
  std::int32_t idx = 0;
  for (int i = 0; i <= NS; ++i) {
    const double y =
        D * (1.0 + std::sinh(c * (i / static_cast<double>(NS) - xi0)) / std::sinh(c * xi0));
    if (y > D) {
      idx = i - 1;
      break;
    }
    if (y >= L) break;
  }
  if (sGridA == 0.0 && idx == 0) throw std::runtime_error(kLogGridProblemMessage);
  if (sGridA == 0.0) sGridA = static_cast<double>(idx) / NS;
  if (sGridB == 0.0) sGridB = c;
  strikeNodeIndex = idx;

  const std::vector<double> nodes =
      sinhNodes(*this, D, L, minNodes, range.w, kLogGridProblemMessage);
  if (range.w > 1.0) {
    nSNodes = static_cast<std::int32_t>(nodes.size());
    NS = nSNodes - 1;
  }
  out.resize(static_cast<std::size_t>(nSNodes));
  for (int i = 0; i < nSNodes; ++i) out[i] = xmin + nodes[i];
  grid = out;
  gridValid = true;
}

}  // namespace serivane
