#include "core/qel_heston_vanilla.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "core/grid_limits.h"

namespace serivane {

void QelHestonVanilla::setModel(const std::valarray<double>& params) {
  if (params.size() != 6) {
    throw std::invalid_argument("params must hold six values: volvol, v0, vL, theta, rho, model");
  }
  if (!std::isfinite(params[5])) throw std::invalid_argument("the model selector is not finite");
  volvol = params[0];
  v0 = params[1];
  vL = params[2];
  theta = params[3];
  rho = params[4];
  // std::round rounds half away from zero: 0.5 gives model 1, 0.49 model 0.
  model = static_cast<std::int32_t>(std::round(params[5]));
}

int QelHestonVanilla::getNodeCount() const { return NS; }

void QelHestonVanilla::buildSGrid(std::valarray<double>& out) {
  if (clusterAtStrike) {
    buildSGridAtStrike(out, kDefaultSConcentration, false);
  } else {
    buildSGridPlain(out, false);
  }
}

void QelHestonVanilla::bumpVol(double h) {
  const double s0 = std::sqrt(v0) + h;
  const double sL = std::sqrt(vL) + h;
  v0 = s0 * s0;
  vL = sL * sL;
}

void QelHestonVanilla::resetState() {
  american = (EuroAmer == 1);
  bermudan = (EuroAmer == 2);
  if (CallPut == 0 && nExercise > 1 && EuroAmer == 2) exerciseMode = 2;
  vGridMode = 0;
  damping = false;
  useSinhVGrid = false;
  strikeNodeIndex = 0;
  sGridA = 0.0;
  vGridA = 0.0;
  sGridB = 0.0;
  vGridB = 0.0;
  iToV0 = 0;
  sConcentration = kDefaultSConcentration;
  logSParam = 0.025;
}

namespace {

void checkGridBuilt(const QelHestonVanilla& o) {
  if (o.nSNodes < 0 || o.grid.size() < static_cast<std::size_t>(o.nSNodes)) {
    throw std::logic_error("the asset grid must be built before the payoff");
  }
}

void checkPayoffSet(const QelHestonVanilla& o) {
  checkGridBuilt(o);
  if (o.payoff.size() != static_cast<std::size_t>(o.nSNodes)) {
    throw std::logic_error("the payoff must be set on the current asset grid before smoothing");
  }
}

// Index of the node whose cell [mid(j-1, j), mid(j, j+1)] holds the strike position k (a strike
// exactly at a mid-point belongs to the lower node), or -1 when that cell is not interior.
int strikeCellNode(const std::valarray<double>& x, int n, double k) {
  int i = 0;
  while (i < n && !(x[i] > k)) ++i;
  if (i == n || i == 0) return -1;
  const double mid = 0.5 * (x[i - 1] + x[i]);
  const int j = k > mid ? i : i - 1;
  if (j < 1 || j > n - 2) return -1;
  return j;
}

}  // namespace

void QelHestonVanilla::setPayoffS() {
  checkGridBuilt(*this);
  payoff.resize(nSNodes);
  for (int i = 0; i < nSNodes; ++i) {
    payoff[i] = CallPut == 1 ? std::max(K - grid[i], 0.0) : std::max(grid[i] - K, 0.0);
  }
}

void QelHestonVanilla::setPayoffLogS() {
  checkGridBuilt(*this);
  payoff.resize(nSNodes);
  for (int i = 0; i < nSNodes; ++i) {
    const double S = std::exp(grid[i]);
    payoff[i] = CallPut == 1 ? std::max(K - S, 0.0) : std::max(S - K, 0.0);
  }
}

void QelHestonVanilla::smoothPayoffS() {
  checkPayoffSet(*this);
  values = payoff;
  const int j = strikeCellNode(grid, nSNodes, K);
  if (j < 0) return;
  const double l = 0.5 * (grid[j - 1] + grid[j]);
  const double u = 0.5 * (grid[j] + grid[j + 1]);
  // The exact cell average of the linear payoff: its in-the-money part is a triangle.
  if (CallPut == 0) {
    values[j] = (u - K) * std::max((u + K) / 2.0 - K, 0.0) / (u - l);
  } else if (CallPut == 1) {
    values[j] = (K - l) * std::max(K - (l + K) / 2.0, 0.0) / (u - l);
  }
}

void QelHestonVanilla::smoothPayoffLogS() {
  checkPayoffSet(*this);
  values = payoff;
  const double k = std::log(K);
  const int j = strikeCellNode(grid, nSNodes, k);
  if (j < 0) return;
  const double l = 0.5 * (grid[j - 1] + grid[j]);
  const double u = 0.5 * (grid[j] + grid[j + 1]);
  // Mid-point rule over the in-the-money part of the cell, measured in log-asset length.
  if (CallPut == 0) {
    const double m = (u + k) / 2.0;
    values[j] = m > k ? (u - k) * (std::exp(m) - K) / (u - l) : 0.0;
  } else if (CallPut == 1) {
    const double m = (l + k) / 2.0;
    values[j] = k > m ? (k - l) * (K - std::exp(m)) / (u - l) : 0.0;
  }
}

double QelHestonVanilla::setLowerBoundary(DenseMatrix& m, double t) {
  const double value = american ? K : K * std::exp(-r * t);
  if (m.nCols() > 0) {
    const double stored = CallPut == 1 ? value : 0.0;
    for (int row = 0; row < m.nRows(); ++row) m[row][0] = stored;
  }
  return value;
}

void QelHestonVanilla::restartGrids() {
  sGridA = 0.0;
  sGridB = 0.0;
  vGridA = 0.0;
  vGridB = 0.0;
  iToV0 = 0;
  nVStretch = 0;
  strikeNodeIndex = 0;
  NS0 = NS;
  gridValid = false;
}

void QelHestonVanilla::checkGridSizes() const {
  const auto beyond = [](std::int64_t n, std::int64_t limit) { return n > 2 * limit; };
  if (beyond(NS, kMaxAssetIntervals) || beyond(NS0, kMaxAssetIntervals) ||
      beyond(NV, kMaxVarianceIntervals) || NT > kMaxTimeSteps ||
      (static_cast<std::int64_t>(NS) + 1) * (static_cast<std::int64_t>(NV) + 1) >
          4 * kMaxGridNodes) {
    throw std::invalid_argument("the grid sizes lie beyond what the pricer solves on");
  }
}

void QelHestonVanilla::floorAtExercise(double& price) const {
  if (!american || multiStrike || !(price > 0.0)) return;
  const double exercise = CallPut == 1 ? K - S0 : S0 - K;
  if (price < exercise) price = exercise;
}

double QelHestonVanilla::estimateGridSolveWork(double NS, double NV, double m, double D) {
  const double n = (NS + 1.0) * (NV + 1.0);
  const double stepWork =
      (kStepOverheadNodes + n) * std::min(kMaxStepFill, 1.0 + n / kStepFillNodes);
  const double factorWork = (kFactorOverheadNodes + kFactorNodeWork * n) *
                            std::min(kMaxFactorFill, 1.0 + n / kFactorFillNodes);
  return (m + 6.0 + 5.0 * D) * stepWork + (5.0 + 4.0 * D) * factorWork;
}

void QelHestonVanilla::chargeSolveWork(int NS, int NV, int m, int D) {
  if (!(workBudget > 0.0)) return;
  const double work = estimateGridSolveWork(NS, NV, m, D);
  const double projected = workCharged > 0.0 ? work : work * std::max(1.0, callWorkRatio);
  if (workCharged + projected > workBudget) {
    throw std::runtime_error(
        "The grids built need more work than the call's budget: fewer variance cells, time "
        "steps or sensitivities");
  }
  workCharged += work;
}

}  // namespace serivane
