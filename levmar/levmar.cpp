// Levenberg-Marquardt least squares with finite-difference Jacobians, with and without a box.
//
// The iteration solves the damped normal equations (J^T J + mu I) dp = J^T e for e = x - hx and
// steers mu by Nielsen's gain-ratio rule: K. Madsen, H. B. Nielsen, O. Tingleff, "Methods for
// Non-Linear Least Squares Problems", 2nd ed., IMM DTU (2004), algorithm 3.16 and eq. (3.15).
// Without a box the finite-difference Jacobian is carried between full recomputations by
// Broyden's rank-one update (same reference, section 3.4, eq. (3.29)). With a box every point
// handed to func lies inside it: the step is projected onto the box, and a projected-gradient
// search with an Armijo test takes over when the projected step does not reduce the error
// enough, after C. Kanzow, N. Yamashita, M. Fukushima, "Levenberg-Marquardt methods with strong
// local convergence properties for solving nonlinear equations with convex constraints",
// J. Comput. Appl. Math. 172 (2004) 375-397, algorithm 2.12.

#include "levmar/levmar.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "levmar/levmar_internal.h"

namespace levmar_internal {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Relative part of the finite-difference step, max(kRelativeStep |p_j|, delta).
constexpr double kRelativeStep = 1e-4;
// A projected step is accepted with a gain ratio of at least this (the usual Armijo constant);
// below it the projected-gradient search runs.
constexpr double kSufficientGain = 1e-4;
// Armijo constant and step factor of the projected-gradient search.
constexpr double kArmijo = 1e-4;
constexpr double kBacktrack = 0.5;
// Halvings of the projected-gradient step before giving up: 2^-20 ~ 1e-6 of the Cauchy step.
constexpr int kMaxBacktracks = 20;

struct Options {
  double tau;
  double eps1;
  double eps2;
  double eps3;
  double delta;
};

// False on options that would break the iteration: negative or non-finite tau (an indefinite
// or meaningless damping), a zero or non-finite difference step.
bool readOptions(const double* opts, Options* out) {
  static const double kDefaults[LM_OPTS_SZ] = {
      LM_INIT_MU, LM_STOP_THRESH, LM_STOP_THRESH, LM_STOP_THRESH, LM_DIFF_DELTA};
  const double* o = opts ? opts : kDefaults;
  *out = Options{o[0], o[1], o[2], o[3], o[4]};
  if (!(std::isfinite(out->tau) && out->tau >= 0.0)) return false;
  if (!(std::isfinite(out->delta) && out->delta != 0.0)) return false;
  return true;
}

double squaredNorm(const std::vector<double>& v) {
  double sum = 0.0;
  for (double value : v) sum += value * value;
  return sum;
}

// ||v||_2 scaled by the largest entry, so that tiny steps do not underflow to zero (as dnrm2).
double euclideanNorm(const std::vector<double>& v) {
  double largest = 0.0;
  for (double value : v) largest = std::max(largest, std::fabs(value));
  if (largest == 0.0 || !std::isfinite(largest)) return largest;
  double sum = 0.0;
  for (double value : v) sum += (value / largest) * (value / largest);
  return largest * std::sqrt(sum);
}

bool allFinite(const std::vector<double>& v) {
  for (double value : v)
    if (!std::isfinite(value)) return false;
  return true;
}

// One run of the iteration on the scaled variables q = p / scale, where [lower, upper] is the box
// in those variables (infinite without one).
class LevenbergMarquardt {
 public:
  LevenbergMarquardt(ModelFunction func,
                     BatchModelFunction batch,
                     const levmar_ahead_model* ahead,
                     void* adata,
                     double* p,
                     const double* x,
                     int m,
                     int n,
                     std::vector<double> lower,
                     std::vector<double> upper,
                     std::vector<double> scale,
                     bool boxed,
                     const Options& options,
                     LinearSolver solver)
      : func_(func),
        batch_(batch),
        ahead_(ahead && ahead->ahead && ahead->settle ? ahead : nullptr),
        adata_(adata),
        userP_(p),
        m_(static_cast<std::size_t>(m)),
        n_(static_cast<std::size_t>(n)),
        x_(n_, 0.0),
        lower_(std::move(lower)),
        upper_(std::move(upper)),
        scale_(std::move(scale)),
        boxed_(boxed),
        options_(options),
        solver_(solver),
        q_(m_),
        hx_(n_),
        e_(n_),
        jac_(n_ * m_, 0.0),
        normal_(m_ * m_, 0.0),
        gradient_(m_, 0.0),
        fixed_(m_, false),
        point_(m_) {
    if (x) std::copy(x, x + n_, x_.begin());
    for (std::size_t j = 0; j < m_; ++j) q_[j] = p[j] / scale_[j];
  }

  ~LevenbergMarquardt() { dropAhead(); }

  int run(int itmax, double* info, double* covar);

 private:
  // The two points of a finite-difference column: q_ with entry j at plus (and at minus for a
  // central difference); span is the exact distance between the two points used, 0 for a
  // parameter fixed by its box.
  struct ColumnPoints {
    bool central = false;
    double plus = 0.0;
    double minus = 0.0;
    double span = 0.0;
  };
  using DifferencePlan = std::vector<ColumnPoints>;

  // A full Jacobian's points at a point, taken ahead of need together with that point.
  struct AheadJacobian {
    bool pending = false;  // the model holds them until settle
    std::vector<double> at;
    DifferencePlan plan;
    std::vector<std::vector<double>> values;
  };

  bool evaluate(const std::vector<double>& q, std::vector<double>& hx);
  bool evaluateWithJacobianAhead(const std::vector<double>& q, std::vector<double>& hx);
  void dropAhead();
  DifferencePlan planDifferences(const std::vector<double>& q) const;
  std::vector<std::vector<double>> differencePoints(const std::vector<double>& q,
                                                    const DifferencePlan& plan) const;
  void batchCall(std::vector<std::vector<double>>& points,
                 std::vector<std::vector<double>>& values,
                 int firm);
  bool columnsFromValues(const DifferencePlan& plan,
                         const std::vector<std::vector<double>>& values);
  bool differencesOneByOne(const DifferencePlan& plan);
  bool differencesInOneCall(const DifferencePlan& plan);
  bool computeJacobian();
  bool refreshJacobian();
  void broydenUpdate(const std::vector<double>& step, const std::vector<double>& hxNew);
  void formNormalEquations();
  void markActiveBounds();
  double gradientNorm() const;
  double maxDiagonal() const;
  bool growDamping();
  void project(std::vector<double>& q) const;
  void accept(std::vector<double>& q, std::vector<double>& hx, std::vector<double>& e, double cost);
  enum class SearchResult { kMoved, kFailed, kInvalid };
  SearchResult projectedGradientSearch();
  void fillCovariance(double* covar);
  enum class Check { kGoOn, kRecheck, kStop };
  Check checkStop(int iterations, int itmax, int& reason);
  bool solveDampedSystem();
  double predictedReduction(const std::vector<double>& step) const;
  bool afterRejectedStep(double costTrial, int& reason);
  void writeInfo(double* info, double initialCost, int iterations, int reason);

  ModelFunction func_;
  BatchModelFunction batch_;         // null: the Jacobian's points go to func_ one by one
  const levmar_ahead_model* ahead_;  // null: no points are taken ahead of need
  AheadJacobian aheadJacobian_;
  void* adata_;
  double* userP_;  // the caller's p, kept equal to the current iterate
  std::size_t m_;
  std::size_t n_;
  std::vector<double> x_;
  std::vector<double> lower_;
  std::vector<double> upper_;
  std::vector<double> scale_;
  bool boxed_;
  Options options_;
  LinearSolver solver_;

  std::vector<double> q_;         // current iterate (scaled)
  std::vector<double> hx_;        // hx_ = func(q_)
  std::vector<double> e_;         // e_ = x - hx_
  double cost_ = 0.0;             // cost_ = ||e_||^2
  std::vector<double> jac_;       // n x m row-major, d hx / d q
  bool fresh_ = false;            // jac_ is a full finite-difference Jacobian at q_
  int broydenSteps_ = 0;          // Broyden updates since the last full Jacobian
  std::vector<double> normal_;    // normal_ = J^T J, m x m row-major
  std::vector<double> gradient_;  // gradient_ = J^T e (the descent direction of cost_)
  std::vector<bool> fixed_;       // on a bound with the gradient pushing outwards
  double mu_ = 0.0;
  double nu_ = 2.0;
  double lastStep_ = 0.0;      // ||dp||_2 of the last step tried, unscaled
  std::vector<double> point_;  // the unscaled copy of a point handed to func
  // Work of one iteration: the trial point, its step (scaled and not), its model values and
  // errors, and the damped normal equations with their solution.
  std::vector<double> trial_, step_, unscaled_, hxTrial_, eTrial_, damped_, solution_;

  long evaluations_ = 0;
  long jacobians_ = 0;
  long solves_ = 0;
};

bool LevenbergMarquardt::evaluate(const std::vector<double>& q, std::vector<double>& hx) {
  dropAhead();
  for (std::size_t j = 0; j < m_; ++j) point_[j] = q[j] * scale_[j];
  ++evaluations_;
  func_(point_.data(), hx.data(), static_cast<int>(m_), static_cast<int>(n_), adata_);
  return allFinite(hx);
}

// Forward differences with step max(1e-4 |q_j|, delta), or central ones for delta < 0. In a box
// a difference that would leave it is taken on the other side, or towards the farther bound when
// the box is narrower than the step; a parameter with lb = ub gets a zero column.
LevenbergMarquardt::DifferencePlan LevenbergMarquardt::planDifferences(
    const std::vector<double>& q) const {
  const bool central = options_.delta < 0.0;
  DifferencePlan plan(m_);
  for (std::size_t j = 0; j < m_; ++j) {
    ColumnPoints& c = plan[j];
    const double qj = q[j];
    const double h = std::max(kRelativeStep * std::fabs(qj), std::fabs(options_.delta));
    const bool upFits = qj + h <= upper_[j];
    const bool downFits = qj - h >= lower_[j];
    if (central && upFits && downFits) {
      c.central = true;
      c.plus = qj + h;
      c.minus = qj - h;
      c.span = c.plus - c.minus;
    } else {
      if (upFits) {
        c.plus = qj + h;
      } else if (downFits) {
        c.plus = qj - h;
      } else {
        c.plus = (upper_[j] - qj >= qj - lower_[j]) ? upper_[j] : lower_[j];
      }
      c.span = c.plus - qj;
    }
  }
  return plan;
}

bool LevenbergMarquardt::computeJacobian() {
  ++jacobians_;
  fresh_ = false;
  broydenSteps_ = 0;
  AheadJacobian& taken = aheadJacobian_;
  if (taken.pending && taken.at == q_) {
    // Taken ahead at this very point: the model now counts those points as evaluated.
    taken.pending = false;
    ahead_->settle(1, adata_);
    evaluations_ += static_cast<long>(taken.values.size());
    fresh_ = columnsFromValues(taken.plan, taken.values);
    return fresh_;
  }
  dropAhead();
  const DifferencePlan plan = planDifferences(q_);
  const bool finite = batch_ || ahead_ ? differencesInOneCall(plan) : differencesOneByOne(plan);
  fresh_ = finite;
  return finite;
}

// The points of the plan handed to func one after another, in column order (plus before minus).
bool LevenbergMarquardt::differencesOneByOne(const DifferencePlan& plan) {
  std::vector<double> shifted(q_);
  std::vector<double> hxPlus(n_);
  std::vector<double> hxMinus(n_);
  bool finite = true;
  for (std::size_t j = 0; j < m_; ++j) {
    const ColumnPoints& c = plan[j];
    if (c.central) {
      shifted[j] = c.plus;
      finite = evaluate(shifted, hxPlus) && finite;
      shifted[j] = c.minus;
      finite = evaluate(shifted, hxMinus) && finite;
    } else if (c.span != 0.0) {
      shifted[j] = c.plus;
      finite = evaluate(shifted, hxPlus) && finite;
      hxMinus = hx_;
    }
    shifted[j] = q_[j];
    for (std::size_t i = 0; i < n_; ++i)
      jac_[i * m_ + j] = c.span != 0.0 ? (hxPlus[i] - hxMinus[i]) / c.span : 0.0;
  }
  return finite;
}

// The Jacobian's points at q for the plan, unscaled, in column order (plus before minus).
std::vector<std::vector<double>> LevenbergMarquardt::differencePoints(
    const std::vector<double>& q, const DifferencePlan& plan) const {
  std::vector<std::vector<double>> points;
  for (std::size_t j = 0; j < m_; ++j) {
    const ColumnPoints& c = plan[j];
    if (!c.central && c.span == 0.0) continue;
    for (int side = 0; side < (c.central ? 2 : 1); ++side) {
      std::vector<double> point(m_);
      for (std::size_t k = 0; k < m_; ++k) point[k] = q[k] * scale_[k];
      point[j] = (side == 0 ? c.plus : c.minus) * scale_[j];
      points.push_back(std::move(point));
    }
  }
  return points;
}

// One call of the batch model on `points` (values sized to match); with firm < points.size() the
// points from firm on go to the ahead model as points ahead of need, pending when it took them.
void LevenbergMarquardt::batchCall(std::vector<std::vector<double>>& points,
                                   std::vector<std::vector<double>>& values,
                                   int firm) {
  std::vector<double*> pointPointers(points.size());
  std::vector<double*> valuePointers(points.size());
  for (std::size_t k = 0; k < points.size(); ++k) {
    pointPointers[k] = points[k].data();
    valuePointers[k] = values[k].data();
  }
  const int count = static_cast<int>(points.size());
  const int m = static_cast<int>(m_);
  const int n = static_cast<int>(n_);
  if (firm == count && batch_) {
    batch_(pointPointers.data(), valuePointers.data(), count, m, n, adata_);
    return;
  }
  const int took =
      ahead_->ahead(pointPointers.data(), valuePointers.data(), count, firm, m, n, adata_);
  aheadJacobian_.pending = firm < count && took != 0;
}

// jac_ from the model values of the plan's points, in plan order, with hx_ for the base
// point of forward differences; false when a value is NaN or Inf.
bool LevenbergMarquardt::columnsFromValues(const DifferencePlan& plan,
                                           const std::vector<std::vector<double>>& values) {
  bool finite = true;
  for (const std::vector<double>& hx : values) finite = allFinite(hx) && finite;
  std::size_t next = 0;
  for (std::size_t j = 0; j < m_; ++j) {
    const ColumnPoints& c = plan[j];
    if (!c.central && c.span == 0.0) {
      for (std::size_t i = 0; i < n_; ++i) jac_[i * m_ + j] = 0.0;
      continue;
    }
    const std::vector<double>& hxPlus = values[next++];
    const std::vector<double>& hxMinus = c.central ? values[next++] : hx_;
    for (std::size_t i = 0; i < n_; ++i) jac_[i * m_ + j] = (hxPlus[i] - hxMinus[i]) / c.span;
  }
  return finite;
}

// The same points, in the same order, handed to the batch model in one call; the columns are
// formed from its values by the same arithmetic, so the Jacobian is the one of
// differencesOneByOne bit for bit.
bool LevenbergMarquardt::differencesInOneCall(const DifferencePlan& plan) {
  std::vector<std::vector<double>> points = differencePoints(q_, plan);
  std::vector<std::vector<double>> values(points.size(), std::vector<double>(n_));
  evaluations_ += static_cast<long>(points.size());
  if (!points.empty()) batchCall(points, values, static_cast<int>(points.size()));
  return columnsFromValues(plan, values);
}

// evaluate(q, hx), with the points of a full Jacobian at q handed to the model in the same call,
// ahead of need; the Jacobian at q takes them if it comes next (computeJacobian).
bool LevenbergMarquardt::evaluateWithJacobianAhead(const std::vector<double>& q,
                                                   std::vector<double>& hx) {
  if (!ahead_) return evaluate(q, hx);
  dropAhead();
  AheadJacobian& taken = aheadJacobian_;
  taken.at = q;
  taken.plan = planDifferences(q);
  std::vector<std::vector<double>> points = differencePoints(q, taken.plan);
  if (points.empty()) return evaluate(q, hx);
  points.insert(points.begin(), std::vector<double>(m_));
  for (std::size_t j = 0; j < m_; ++j) points[0][j] = q[j] * scale_[j];
  std::vector<std::vector<double>> values(points.size(), std::vector<double>(n_));
  ++evaluations_;
  batchCall(points, values, 1);
  hx.swap(values[0]);
  values.erase(values.begin());
  taken.values = std::move(values);
  return allFinite(hx);
}

// Tells the model that the points it holds ahead of need are not used.
void LevenbergMarquardt::dropAhead() {
  if (!aheadJacobian_.pending) return;
  aheadJacobian_.pending = false;
  ahead_->settle(0, adata_);
}

// A full Jacobian at q_ and the normal equations from it; false when func gave NaN or Inf.
bool LevenbergMarquardt::refreshJacobian() {
  const bool finite = computeJacobian();
  formNormalEquations();
  return finite;
}

// J := J + (hx(q + s) - hx(q) - J s) s^T / (s^T s).
void LevenbergMarquardt::broydenUpdate(const std::vector<double>& step,
                                       const std::vector<double>& hxNew) {
  const double ss = squaredNorm(step);
  for (std::size_t i = 0; i < n_; ++i) {
    double residual = hxNew[i] - hx_[i];
    for (std::size_t j = 0; j < m_; ++j) residual -= jac_[i * m_ + j] * step[j];
    const double factor = residual / ss;
    for (std::size_t j = 0; j < m_; ++j) jac_[i * m_ + j] += factor * step[j];
  }
  fresh_ = false;
  ++broydenSteps_;
}

void LevenbergMarquardt::formNormalEquations() {
  std::fill(normal_.begin(), normal_.end(), 0.0);
  std::fill(gradient_.begin(), gradient_.end(), 0.0);
  for (std::size_t i = 0; i < n_; ++i) {
    const double* row = &jac_[i * m_];
    for (std::size_t j = 0; j < m_; ++j) {
      gradient_[j] += row[j] * e_[i];
      for (std::size_t k = j; k < m_; ++k) normal_[j * m_ + k] += row[j] * row[k];
    }
  }
  for (std::size_t j = 0; j < m_; ++j)
    for (std::size_t k = 0; k < j; ++k) normal_[j * m_ + k] = normal_[k * m_ + j];
}

// cost_ decreases along +gradient_, so a component on its lower bound with a negative gradient
// (or on its upper bound with a positive one) can only leave the box: it is held fixed in the
// damped system, and left out of the optimality measure.
void LevenbergMarquardt::markActiveBounds() {
  for (std::size_t j = 0; j < m_; ++j)
    fixed_[j] = boxed_ && ((q_[j] <= lower_[j] && gradient_[j] < 0.0) ||
                           (q_[j] >= upper_[j] && gradient_[j] > 0.0));
}

double LevenbergMarquardt::gradientNorm() const {
  double norm = 0.0;
  for (std::size_t j = 0; j < m_; ++j) {
    if (fixed_[j]) continue;
    const double g = std::fabs(gradient_[j]);
    if (!(g <= norm)) norm = g;  // lets a NaN through
  }
  return norm;
}

double LevenbergMarquardt::maxDiagonal() const {
  double largest = 0.0;
  for (std::size_t j = 0; j < m_; ++j) largest = std::max(largest, normal_[j * m_ + j]);
  return largest;
}

// mu := mu nu, nu := 2 nu. Zero damping (tau = 0, or an underflow after many good steps) cannot
// grow by a factor: it restarts at the default scale LM_INIT_MU max (J^T J)_ii. False when the
// damping is no longer a positive finite number.
bool LevenbergMarquardt::growDamping() {
  const double grown = mu_ > 0.0 ? mu_ * nu_ : LM_INIT_MU * maxDiagonal();
  nu_ *= 2.0;
  if (!(std::isfinite(grown) && grown > 0.0 && std::isfinite(nu_))) return false;
  mu_ = grown;
  return true;
}

void LevenbergMarquardt::project(std::vector<double>& q) const {
  if (!boxed_) return;
  for (std::size_t j = 0; j < m_; ++j) q[j] = std::min(upper_[j], std::max(lower_[j], q[j]));
}

void LevenbergMarquardt::accept(std::vector<double>& q,
                                std::vector<double>& hx,
                                std::vector<double>& e,
                                double cost) {
  q_.swap(q);
  hx_.swap(hx);
  e_.swap(e);
  cost_ = cost;
  fresh_ = false;
  for (std::size_t j = 0; j < m_; ++j) userP_[j] = q_[j] * scale_[j];
}

// Along q(t) = P(q + t g), g the gradient without the fixed components, from the Cauchy step
// t = g^T g / g^T J^T J g of the linear model; Armijo's test
// cost(q(t)) <= cost - 2 sigma g^T (q(t) - q) (the gradient of cost is -2 g).
LevenbergMarquardt::SearchResult LevenbergMarquardt::projectedGradientSearch() {
  std::vector<double> g(gradient_);
  for (std::size_t j = 0; j < m_; ++j)
    if (fixed_[j]) g[j] = 0.0;
  double gAg = 0.0;
  for (std::size_t j = 0; j < m_; ++j)
    for (std::size_t k = 0; k < m_; ++k) gAg += g[j] * normal_[j * m_ + k] * g[k];
  const double gg = squaredNorm(g);
  double t = gAg > 0.0 && std::isfinite(gAg) ? gg / gAg : 1.0;
  const double qNorm = euclideanNorm(q_);
  std::vector<double> candidate(m_);
  std::vector<double> s(m_);
  std::vector<double> hx(n_);
  std::vector<double> e(n_);
  for (int l = 0; l < kMaxBacktracks; ++l, t *= kBacktrack) {
    for (std::size_t j = 0; j < m_; ++j) candidate[j] = q_[j] + t * g[j];
    project(candidate);
    double descent = 0.0;
    for (std::size_t j = 0; j < m_; ++j) {
      s[j] = candidate[j] - q_[j];
      descent += g[j] * s[j];
    }
    const double length = euclideanNorm(s);
    if (length <= options_.eps2 * qNorm || length == 0.0) return SearchResult::kFailed;
    if (!evaluate(candidate, hx)) return SearchResult::kInvalid;
    for (std::size_t i = 0; i < n_; ++i) e[i] = x_[i] - hx[i];
    const double cost = squaredNorm(e);
    if (!std::isfinite(cost)) return SearchResult::kInvalid;
    if (cost <= cost_ - 2.0 * kArmijo * descent) {
      accept(candidate, hx, e, cost);
      return SearchResult::kMoved;
    }
  }
  return SearchResult::kFailed;
}

// covar = ||e||^2 / (n - r) (J^T J)^+ at the final point, with a full Jacobian there, mapped back
// from the scaled variables.
void LevenbergMarquardt::fillCovariance(double* covar) {
  const std::size_t mm = m_ * m_;
  if (!fresh_ && std::isfinite(cost_)) refreshJacobian();
  if (!fresh_ || !std::isfinite(cost_)) {
    std::fill(covar, covar + mm, std::numeric_limits<double>::quiet_NaN());
    return;
  }
  int rank = 0;
  const std::vector<double> inverse = pseudoInverseSymmetric(static_cast<int>(m_), normal_, &rank);
  // No degrees of freedom left: the error variance, and so the covariance, is undefined.
  const double variance = static_cast<std::size_t>(rank) < n_
                              ? cost_ / static_cast<double>(n_ - static_cast<std::size_t>(rank))
                              : std::numeric_limits<double>::quiet_NaN();
  for (std::size_t j = 0; j < m_; ++j)
    for (std::size_t k = 0; k < m_; ++k)
      covar[j * m_ + k] = variance * inverse[j * m_ + k] * scale_[j] * scale_[k];
}

// The stopping tests at the top of an iteration. A test that a Broyden estimate passes is
// checked again on a full Jacobian first (kRecheck); kStop sets reason, or leaves it at
// LM_STOP_INVALID_FUNC when that Jacobian met a NaN or Inf.
LevenbergMarquardt::Check LevenbergMarquardt::checkStop(int iterations, int itmax, int& reason) {
  markActiveBounds();
  if (gradientNorm() <= options_.eps1) {
    if (!fresh_) return refreshJacobian() ? Check::kRecheck : Check::kStop;
    reason = LM_STOP_SMALL_GRADIENT;
    return Check::kStop;
  }
  if (cost_ <= options_.eps3) {
    reason = LM_STOP_SMALL_ERROR;
    return Check::kStop;
  }
  if (iterations >= itmax) {
    reason = LM_STOP_ITMAX;
    return Check::kStop;
  }
  return Check::kGoOn;
}

// (J^T J + mu I) dp = J^T e over the free components into solution_; fixed ones get dp_j = 0.
bool LevenbergMarquardt::solveDampedSystem() {
  damped_ = normal_;
  for (std::size_t j = 0; j < m_; ++j) {
    damped_[j * m_ + j] += mu_;
    solution_[j] = gradient_[j];
    if (fixed_[j]) {
      for (std::size_t k = 0; k < m_; ++k) damped_[j * m_ + k] = damped_[k * m_ + j] = 0.0;
      damped_[j * m_ + j] = 1.0;
      solution_[j] = 0.0;
    }
  }
  ++solves_;
  return solveSymmetric(solver_, static_cast<int>(m_), damped_, solution_);
}

// Predicted reduction of the linear model, ||e||^2 - ||e - J s||^2 = 2 s^T g - s^T J^T J s,
// which is s^T (mu s + J^T e) for the unprojected step.
double LevenbergMarquardt::predictedReduction(const std::vector<double>& step) const {
  double predicted = 0.0;
  for (std::size_t j = 0; j < m_; ++j) {
    double as = 0.0;
    for (std::size_t k = 0; k < m_; ++k) as += normal_[j * m_ + k] * step[k];
    predicted += step[j] * (2.0 * gradient_[j] - as);
  }
  return predicted;
}

// After a step that did not reduce the error enough: more damping, and in the box a projected
// gradient search from the current point (its failure may still take the trial point when it
// lowered the error); then a full Jacobian. False ends the run (reason set where it is not a NaN
// or Inf).
bool LevenbergMarquardt::afterRejectedStep(double costTrial, int& reason) {
  if (!growDamping()) {
    reason = LM_STOP_NO_REDUCTION;
    return false;
  }
  if (boxed_) {
    const SearchResult searched = projectedGradientSearch();
    if (searched == SearchResult::kInvalid) return false;
    if (searched == SearchResult::kFailed && costTrial < cost_)
      accept(trial_, hxTrial_, eTrial_, costTrial);
  }
  // After a step that did not reduce the error the Jacobian is recomputed in full.
  return fresh_ || refreshJacobian();
}

void LevenbergMarquardt::writeInfo(double* info, double initialCost, int iterations, int reason) {
  markActiveBounds();
  const double diagonal = maxDiagonal();
  info[0] = initialCost;
  info[1] = cost_;
  info[2] = gradientNorm();
  info[3] = lastStep_;
  info[4] = diagonal > 0.0 ? mu_ / diagonal : 0.0;
  info[5] = iterations;
  info[6] = reason;
  info[7] = static_cast<double>(evaluations_);
  info[8] = static_cast<double>(jacobians_);
  info[9] = static_cast<double>(solves_);
}

int LevenbergMarquardt::run(int itmax, double* info, double* covar) {
  const bool broyden = !boxed_;
  project(q_);
  for (std::size_t j = 0; j < m_; ++j) userP_[j] = q_[j] * scale_[j];

  int iterations = 0;
  // Every plain break below is a NaN or Inf from func; the other reasons are set where they arise.
  int reason = LM_STOP_INVALID_FUNC;
  // The first Jacobian comes right after the start point unless the start point fails.
  bool finite = evaluateWithJacobianAhead(q_, hx_);
  for (std::size_t i = 0; i < n_; ++i) e_[i] = x_[i] - hx_[i];
  cost_ = squaredNorm(e_);
  const double initialCost = cost_;
  finite = finite && std::isfinite(cost_) && refreshJacobian();
  if (finite) {
    mu_ = options_.tau * maxDiagonal();
    nu_ = 2.0;
  }

  trial_.assign(m_, 0.0);
  step_.assign(m_, 0.0);
  unscaled_.assign(m_, 0.0);
  hxTrial_.assign(n_, 0.0);
  eTrial_.assign(n_, 0.0);
  damped_.assign(m_ * m_, 0.0);
  solution_.assign(m_, 0.0);
  while (finite) {
    const Check check = checkStop(iterations, itmax, reason);
    if (check == Check::kRecheck) continue;
    if (check == Check::kStop) break;
    ++iterations;
    if (!allFinite(normal_) || !allFinite(gradient_)) {
      reason = LM_STOP_SINGULAR;
      break;
    }

    if (!solveDampedSystem()) {
      if (!growDamping()) {
        reason = LM_STOP_SINGULAR;
        break;
      }
      if (broyden && !fresh_) {
        if (!refreshJacobian()) break;
      }
      continue;
    }

    for (std::size_t j = 0; j < m_; ++j) trial_[j] = q_[j] + solution_[j];
    project(trial_);
    for (std::size_t j = 0; j < m_; ++j) {
      step_[j] = trial_[j] - q_[j];
      unscaled_[j] = step_[j] * scale_[j];
    }
    lastStep_ = euclideanNorm(unscaled_);
    // Also ends a step that vanished in rounding (trial == q), whatever eps2 is.
    if (euclideanNorm(step_) <= options_.eps2 * euclideanNorm(q_)) {
      if (!fresh_) {
        if (!refreshJacobian()) break;
        continue;
      }
      reason = LM_STOP_SMALL_STEP;
      break;
    }

    // An accepted step is followed by a full Jacobian at the trial point unless a Broyden update
    // takes its place: its points can then go to the model with the trial point.
    const bool update = broyden && broydenSteps_ + 1 < static_cast<int>(m_);
    if (!(update ? evaluate(trial_, hxTrial_) : evaluateWithJacobianAhead(trial_, hxTrial_))) break;
    for (std::size_t i = 0; i < n_; ++i) eTrial_[i] = x_[i] - hxTrial_[i];
    const double costTrial = squaredNorm(eTrial_);
    if (!std::isfinite(costTrial)) break;

    const double predicted = predictedReduction(step_);
    const double rho = predicted > 0.0 ? (cost_ - costTrial) / predicted : -1.0;
    const bool good = boxed_ ? rho >= kSufficientGain : rho > 0.0;
    if (!good) {
      if (!afterRejectedStep(costTrial, reason)) break;
      continue;
    }
    if (update) broydenUpdate(step_, hxTrial_);
    accept(trial_, hxTrial_, eTrial_, costTrial);
    if (update) {
      formNormalEquations();
    } else if (!refreshJacobian()) {
      break;
    }
    const double r = 2.0 * rho - 1.0;
    mu_ *= std::max(1.0 / 3.0, 1.0 - r * r * r);
    nu_ = 2.0;
  }

  // The covariance may need a full Jacobian at the final point: before info, which counts it.
  if (covar) fillCovariance(covar);
  if (info) writeInfo(info, initialCost, iterations, reason);
  return iterations;
}

bool validCommon(ModelFunction func, const double* p, int m, int n, int itmax) {
  if (!func || !p || m < 1 || n < m || itmax < 0) return false;
  for (int j = 0; j < m; ++j)
    if (!std::isfinite(p[j])) return false;
  return true;
}

}  // namespace

int levmarDif(ModelFunction func,
              double* p,
              double* x,
              int m,
              int n,
              int itmax,
              const double* opts,
              double* info,
              double* covar,
              void* adata,
              LinearSolver solver,
              BatchModelFunction batch,
              const levmar_ahead_model* ahead) {
  Options options;
  if (!validCommon(func, p, m, n, itmax) || !readOptions(opts, &options)) return LM_ERROR;
  const std::size_t size = static_cast<std::size_t>(m);
  LevenbergMarquardt lm(func,
                        batch,
                        ahead,
                        adata,
                        p,
                        x,
                        m,
                        n,
                        std::vector<double>(size, -kInf),
                        std::vector<double>(size, kInf),
                        std::vector<double>(size, 1.0),
                        false,
                        options,
                        solver);
  return lm.run(itmax, info, covar);
}

int levmarBcDif(ModelFunction func,
                double* p,
                double* x,
                int m,
                int n,
                const double* lb,
                const double* ub,
                const double* dscl,
                int itmax,
                const double* opts,
                double* info,
                double* covar,
                void* adata,
                LinearSolver solver,
                BatchModelFunction batch,
                const levmar_ahead_model* ahead) {
  Options options;
  if (!validCommon(func, p, m, n, itmax) || !readOptions(opts, &options)) return LM_ERROR;
  const std::size_t size = static_cast<std::size_t>(m);
  std::vector<double> lower(size);
  std::vector<double> upper(size);
  std::vector<double> scale(size, 1.0);
  for (std::size_t j = 0; j < size; ++j) {
    if (dscl) {
      if (!(std::isfinite(dscl[j]) && dscl[j] > 0.0)) return LM_ERROR;
      scale[j] = dscl[j];
    }
    const double lo = lb ? lb[j] : -kInf;
    const double up = ub ? ub[j] : kInf;
    if (!(lo <= up)) return LM_ERROR;  // also rejects NaN bounds
    lower[j] = lo / scale[j];
    upper[j] = up / scale[j];
  }
  LevenbergMarquardt lm(func,
                        batch,
                        ahead,
                        adata,
                        p,
                        x,
                        m,
                        n,
                        std::move(lower),
                        std::move(upper),
                        std::move(scale),
                        true,
                        options,
                        solver);
  return lm.run(itmax, info, covar);
}

}  // namespace levmar_internal

extern "C" {

int dlevmar_dif(void (*func)(double* p, double* hx, int m, int n, void* adata),
                double* p,
                double* x,
                int m,
                int n,
                int itmax,
                double* opts,
                double* info,
                double* work,
                double* covar,
                void* adata) {
  // Without a batch model the Jacobian's points are evaluated one call each.
  return dlevmar_dif_batch(func, nullptr, p, x, m, n, itmax, opts, info, work, covar, adata);
}

int dlevmar_bc_dif(void (*func)(double* p, double* hx, int m, int n, void* adata),
                   double* p,
                   double* x,
                   int m,
                   int n,
                   double* lb,
                   double* ub,
                   double* dscl,
                   int itmax,
                   double* opts,
                   double* info,
                   double* work,
                   double* covar,
                   void* adata) {
  return dlevmar_bc_dif_batch(
      func, nullptr, p, x, m, n, lb, ub, dscl, itmax, opts, info, work, covar, adata);
}

int dlevmar_dif_batch(void (*func)(double* p, double* hx, int m, int n, void* adata),
                      levmar_batch_func batch,
                      double* p,
                      double* x,
                      int m,
                      int n,
                      int itmax,
                      double* opts,
                      double* info,
                      double* /*work: buffers are internal*/,
                      double* covar,
                      void* adata) {
  return levmar_internal::levmarDif(func,
                                    p,
                                    x,
                                    m,
                                    n,
                                    itmax,
                                    opts,
                                    info,
                                    covar,
                                    adata,
                                    levmar_internal::defaultLinearSolver(),
                                    batch);
}

int dlevmar_bc_dif_batch(void (*func)(double* p, double* hx, int m, int n, void* adata),
                         levmar_batch_func batch,
                         double* p,
                         double* x,
                         int m,
                         int n,
                         double* lb,
                         double* ub,
                         double* dscl,
                         int itmax,
                         double* opts,
                         double* info,
                         double* /*work: buffers are internal*/,
                         double* covar,
                         void* adata) {
  return levmar_internal::levmarBcDif(func,
                                      p,
                                      x,
                                      m,
                                      n,
                                      lb,
                                      ub,
                                      dscl,
                                      itmax,
                                      opts,
                                      info,
                                      covar,
                                      adata,
                                      levmar_internal::defaultLinearSolver(),
                                      batch);
}

int dlevmar_dif_ahead(void (*func)(double* p, double* hx, int m, int n, void* adata),
                      const levmar_ahead_model* model,
                      double* p,
                      double* x,
                      int m,
                      int n,
                      int itmax,
                      double* opts,
                      double* info,
                      double* /*work: buffers are internal*/,
                      double* covar,
                      void* adata) {
  return levmar_internal::levmarDif(func,
                                    p,
                                    x,
                                    m,
                                    n,
                                    itmax,
                                    opts,
                                    info,
                                    covar,
                                    adata,
                                    levmar_internal::defaultLinearSolver(),
                                    model ? model->batch : nullptr,
                                    model);
}

int dlevmar_bc_dif_ahead(void (*func)(double* p, double* hx, int m, int n, void* adata),
                         const levmar_ahead_model* model,
                         double* p,
                         double* x,
                         int m,
                         int n,
                         double* lb,
                         double* ub,
                         double* dscl,
                         int itmax,
                         double* opts,
                         double* info,
                         double* /*work: buffers are internal*/,
                         double* covar,
                         void* adata) {
  return levmar_internal::levmarBcDif(func,
                                      p,
                                      x,
                                      m,
                                      n,
                                      lb,
                                      ub,
                                      dscl,
                                      itmax,
                                      opts,
                                      info,
                                      covar,
                                      adata,
                                      levmar_internal::defaultLinearSolver(),
                                      model ? model->batch : nullptr,
                                      model);
}

}  // extern "C"
