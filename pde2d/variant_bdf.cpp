// Sparse-direct BDF solvers (method ids 1 and 15): every time step solves one linear system with
// the whole implicit operator w I - dt L, by sparse LU (T. A. Davis, "Algorithm 832: UMFPACK V4.3,
// an unsymmetric-pattern multifrontal method", ACM TOMS 30 (2004)). The time scheme is a ladder
// that reaches third order: backward-Euler quarter and half steps combined by Richardson
// extrapolation, one BDF2 step, then BDF3 (E. Hairer, G. Wanner, "Solving Ordinary Differential
// Equations II" (1996), ch. V.1; the damped start follows D. M. Pooley, K. R. Vetzal, P. A.
// Forsyth, "Convergence remedies for non-smooth payoffs in option pricing", J. Comput. Finance 6
// (2003)).
#include <Eigen/SparseCore>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/dense_matrix.h"
#include "core/qel_heston_vanilla.h"
#include "pde2d/adi_frame.h"
#include "pde2d/operator_assembly.h"
#include "pde2d/pde_solve.h"
#include "pde2d/scheme_weights.h"
#include "pde2d/sparse_lu.h"
#include "platform/cpu_clock.h"

namespace serivane {

namespace {

using SparseOperator = SparseLu::Matrix;

enum class Phase { kQuarter, kHalf, kBdf };

// One BDF solve on the frame's grids. The four operators of a ladder share one sparsity pattern, so
// the symbolic analysis is done once and each operator costs one numeric factorisation.
class BdfSolve {
 public:
  BdfSolve(AdiFrame& f, bool logAsset) : f_(f), logAsset_(logAsset) {}

  void run();

 private:
  void useOperator(int opKind, double dt);
  void step(Phase phase, int s, int R, double dt, double tNew, double tR);
  void chooseStep(Phase phase, int s, int R, double dt0, double& dt, int& opKind) const;
  void extrapolateStart();
  void exerciseAtDate();
  void stopIfLost() const;

  AdiFrame& f_;
  const bool logAsset_;
  std::vector<Eigen::Triplet<double>> triplets_;
  SparseOperator A_;
  SparseLu lu_;
  int opKind_ = -1;
  double opDt_ = 0.0;
  Eigen::VectorXd b_, x_;
  BoundaryWeights bw_;
  // Levels besides the frame's U and Y: the two before U, the result of the quarter steps, the
  // restart level and the terminal values.
  DenseMatrix Um1_, Um2_, Q_, P_, U0_;
  bool mode0_ = false, mode3_ = false;
  // No option value of the grid exceeds its top asset level plus the strike, each grown at the
  // larger of 1 and its carry over T; a level beyond kLostFactor times that is no value at all.
  double valueCeiling_ = 0.0;
};

// A solve whose level leaves every bound an option value can have (or stops being a number) has
// lost its answer: it would only grow on through the remaining steps. It stops at once.
constexpr double kLostFactor = 100.0;

void BdfSolve::stopIfLost() const {
  const AdiFrame& f = f_;
  for (int j = 0; j < f.NV; ++j) {
    const double* y = f.Y[j];
    for (int i = 0; i <= f.N; ++i) {
      if (!(std::fabs(y[i]) <= valueCeiling_)) {
        throw std::runtime_error("The solve diverged: a value beyond any option value arose");
      }
    }
  }
}

void BdfSolve::useOperator(int opKind, double dt) {
  if (opKind == opKind_ && dt == opDt_) return;
  AdiFrame& f = f_;
  triplets_.clear();
  assembleFrameOperator(f, false, dt, opKind, triplets_);
  A_.setFromTriplets(triplets_.begin(), triplets_.end());
  A_.makeCompressed();
  lu_.factorize(A_);
  opKind_ = opKind;
  opDt_ = dt;
}

// One pass of the ladder from the history levels to Y at time to expiry tNew.
void BdfSolve::step(Phase phase, int s, int R, double dt, double tNew, double tR) {
  AdiFrame& f = f_;
  QelHestonVanilla& o = f.obj;
  const int N = f.N, NV = f.NV;

  // Boundary data at tNew.
  const double g = f.slopeAtSmax(tNew);
  double zeroValue = f.valueAtZero(tNew);
  if (!logAsset_ && o.bermudan && o.CallPut == 1 && !o.american && o.values[0] != 0.0) {
    // A Bermudan put at S = 0 is exercised at the next date: K discounted over the time since it;
    // under a negative rate it is held to expiry instead, when that is worth more.
    zeroValue = std::max(o.K * std::exp(-o.r * (tNew - tR)), o.K * std::exp(-o.r * tNew));
  }

  // History part of the right-hand side.
  enum class Rhs { kEuler, kBdf2, kBdf3 } rhs = Rhs::kEuler;
  if (phase == Phase::kBdf && !mode0_) {
    if (s >= R + 2) {
      rhs = Rhs::kBdf3;
    } else if (s == R + 1) {
      rhs = Rhs::kBdf2;
    }
  }
  using scheme_weights::kBdf2History;
  using scheme_weights::kBdf3History;
  double* bp = b_.data();
  for (int j = 0; j < NV; ++j) {
    const double* u = f.U[j];
    double* out = bp + static_cast<std::ptrdiff_t>(j) * N;  // node (i, j) is out[i - 1]
    switch (rhs) {
      case Rhs::kEuler:
        for (int i = 1; i <= N; ++i) out[i - 1] = u[i];
        break;
      case Rhs::kBdf2: {
        const double* p = P_[j];
        for (int i = 1; i <= N; ++i) out[i - 1] = kBdf2History[0] * u[i] + kBdf2History[1] * p[i];
        break;
      }
      case Rhs::kBdf3: {
        const double* u1 = Um1_[j];
        // At step R + 2 the level two back is the restart level, not a half step.
        const double* u2 = (s == R + 2) ? P_[j] : Um2_[j];
        for (int i = 1; i <= N; ++i) {
          out[i - 1] = kBdf3History[0] * u[i] + kBdf3History[1] * u1[i] + kBdf3History[2] * u2[i];
        }
        break;
      }
    }
    // The columns that the operator leaves out: the S = 0 value and the slope beyond Smax.
    out[0] += dt * zeroValue * bw_.zeroColumn[j];
    out[N - 1] += dt * g * bw_.farField[j];
  }

  lu_.solve(b_, x_);

  const double* xp = x_.data();
  for (int j = 0; j < NV; ++j) {
    double* y = f.Y[j];
    std::copy(xp + static_cast<std::ptrdiff_t>(j) * N,
              xp + static_cast<std::ptrdiff_t>(j + 1) * N,
              y + 1);
  }
  std::copy(f.Y[NV - 1] + 1, f.Y[NV - 1] + f.stride, f.Y[NV] + 1);  // dU/dv = 0 at Vmax
  f.setZeroColumn(f.Y, zeroValue);
}

// Levels of one solve share their shape, so the copy reuses the target's block.
void copyLevel(const DenseMatrix& from, DenseMatrix& to) { to = from; }

// The step of a pass: a quarter or a half backward-Euler step of the Richardson start, or a full
// step whose scheme follows the ladder (outside run mode 3 a ladder starts with a backward-Euler
// and a BDF2 step of its own).
void BdfSolve::chooseStep(Phase phase, int s, int R, double dt0, double& dt, int& opKind) const {
  switch (phase) {
    case Phase::kQuarter:
      dt = dt0 * scheme_weights::kQuarterStep;
      opKind = scheme_weights::kOpBackwardEuler;
      return;
    case Phase::kHalf:
      dt = dt0 * scheme_weights::kHalfStep;
      opKind = scheme_weights::kOpBackwardEuler;
      return;
    default:
      dt = dt0;
      if (mode0_ || s == R) {
        opKind = scheme_weights::kOpBackwardEuler;
      } else if (s == R + 1) {
        opKind = scheme_weights::kOpBdf2;
      } else {
        opKind = scheme_weights::kOpBdf3;
      }
      return;
  }
}

// Richardson extrapolation of the quarter and half backward-Euler results into Y.
void BdfSolve::extrapolateStart() {
  const std::size_t size = static_cast<std::size_t>(f_.NV + 1) * f_.stride;
  double* y = f_.Y.data();
  const double* q = Q_.data();
  for (std::size_t m = 0; m < size; ++m) y[m] = scheme_weights::kRichardsonFine * q[m] - y[m];
}

// An exercise date: Y projected onto the payoff becomes the restart level.
void BdfSolve::exerciseAtDate() {
  const std::size_t size = static_cast<std::size_t>(f_.NV + 1) * f_.stride;
  double* y = f_.Y.data();
  const double* u0 = U0_.data();
  for (std::size_t m = 0; m < size; ++m) y[m] = std::max(y[m], u0[m]);
  copyLevel(f_.Y, P_);
}

void BdfSolve::run() {
  AdiFrame& f = f_;
  QelHestonVanilla& o = f.obj;
  const int N = f.N, NV = f.NV, NT = f.NT;
  if (o.NS != N || o.NV != NV) {
    throw std::logic_error("the pricer's grid sizes do not match the solver's grids");
  }
  const std::size_t n = static_cast<std::size_t>(N) * NV;
  b_.setZero(static_cast<Eigen::Index>(n));
  x_.setZero(static_cast<Eigen::Index>(n));
  triplets_.reserve(7 * n);
  A_.resize(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
  bw_ = frameBoundaryWeights(f, false);
  U0_ = f.U;
  P_ = f.U;  // the terminal values stand in for the restart level until the first date
  Q_ = DenseMatrix(NV + 1, f.stride, 0.0);
  Um1_ = Q_;
  Um2_ = Q_;

  const auto carry = [&](double rate) { return std::max(1.0, std::exp(-rate * f.T)); };
  valueCeiling_ = kLostFactor * (f.S.back() * carry(o.d) + o.K * carry(o.r));

  mode3_ = (o.precision == 3);
  mode0_ = (o.precision == 0);
  const double dt0 = f.T / NT;
  // Steps per exercise period; the log-asset solver has no dates.
  const bool dates = !logAsset_ && o.bermudan && o.nExercise > 1;
  // The solve is charged at the sizes the grid builders chose, before any work is done.
  o.chargeSolveWork(N, NV, NT, dates && mode3_ ? o.nExercise : 0);
  const int perDate = dates ? NT / o.nExercise : NT;

  Phase phase = mode3_ ? Phase::kQuarter : Phase::kBdf;
  int s = 0, R = 0, limit = NT;
  double t = 0.0, tR = 0.0;
  // The ladder always runs to its end (Richardson start included), so a solve covers T even when
  // NT is below the six passes of a ladder.
  while (s < limit || phase != Phase::kBdf) {
    if (phase == Phase::kQuarter && s == R + 4) {
      // The half steps redo the ladder's first full step from the restart level.
      phase = Phase::kHalf;
      s = R;
      copyLevel(P_, f.U);
      t = tR;
    }
    double dt;
    int opKind;
    chooseStep(phase, s, R, dt0, dt, opKind);
    useOperator(opKind, dt);
    const double tNew = t + dt;
    step(phase, s, R, dt, tNew, tR);

    if (phase == Phase::kHalf && s == R + 1) {
      extrapolateStart();
      phase = Phase::kBdf;
      s = R;
      limit = NT;
    }
    // An American option: every node raised to its intrinsic value after every step, the
    // extrapolated start included (the history levels the BDF steps read are the projected ones).
    f.applyEarlyExercise(f.Y);
    stopIfLost();
    t = tNew;

    bool restart = false;
    if (dates && phase == Phase::kBdf && (s + 1) % perDate == 0 && s < NT - 1) {
      // Exercise date: project onto the payoff and restart the ladder from there.
      R = s + 1;
      tR = t;
      restart = mode3_;
      exerciseAtDate();
    }

    // History shift: U-2 := U-1, U-1 := U, U := Y (Y is overwritten whole by the next step).
    std::swap(Um2_, Um1_);
    std::swap(Um1_, f.U);
    std::swap(f.U, f.Y);
    if (phase == Phase::kQuarter && s == R + 3) copyLevel(f.U, Q_);

    if (restart) {
      phase = Phase::kQuarter;
      // A ladder takes six passes for one step: let one that starts near the end finish.
      if (s + 7 > NT - 1) limit += 10;
    }
    ++s;
  }
}

FrameLayout bdfLayout(bool logAsset) {
  FrameLayout l;
  l.logAsset = logAsset;
  l.roundExerciseDates = !logAsset;
  l.sConcentrationFromObject = true;
  l.convPrecision = logAsset ? 10 : 16;
  l.convSuffix = logAsset ? " by calcGARCHNUDirectNonNeg4FctLogS" : "";
  return l;
}

bool solveBdf(const PDESolveArgs& args, bool logAsset) {
  AdiFrame f(args, bdfLayout(logAsset));
  const double start = threadCpuSeconds();
  f.setUp();
  if (!f.atExpiry()) {
    BdfSolve solve(f, logAsset);
    solve.run();
  }
  f.extractResults(f.U, start);
  return true;
}

}  // namespace

bool calcGARCHNUDirectNonNeg4Fct(const PDESolveArgs& args) { return solveBdf(args, false); }

bool calcGARCHNUDirectNonNeg4FctLogS(const PDESolveArgs& args) { return solveBdf(args, true); }

}  // namespace serivane
