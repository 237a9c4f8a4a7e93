#include "core/pde_solver_1d.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/special_functions.h"
#include "core/table_function.h"
#include "core/tridiag.h"

namespace serivane {

namespace {

// The failure that calcQuantile answers with finer grids; recognised by its text.
constexpr const char* kInstability = "Instability detected";
constexpr const char* kDegenerateGrid = "Degenerate grid in PDESolver1D";
constexpr const char* kBadStepCount = "bad step count in PDESolver1D";
constexpr const char* kBadParameters = "invalid parameters in PDESolver1D";
constexpr const char* kBadDensity = "density integral not positive in PDESolver1D";

// Highest level the horizon solver accepts: the quantile of the level 1 is infinite.
constexpr double kMaxLevel = 0.99999999;
// Lowest log-variance of the grid (v = 3e-7): below it e^(-y) makes the reaction and drift
// coefficients of the equation huge without adding mass worth resolving.
constexpr double kGridFloor = -15.0;
// Central differences while the drift-to-diffusion ratio m/D is at least this; below it the
// drift dominates so strongly that only the upwind first difference keeps the rows positive.
constexpr double kUpwindRatio = -100.0;
// A density below this after the last step is taken as an oscillating (unstable) run; round-off
// of a stable run stays far above it.
constexpr double kNegativeDensity = -1e-9;
// Instability retries stop once the first grid has more cells than this below ln v0.
constexpr std::int32_t kMaxCellsBelow = 12800;
// Secant search: iterations per attempt, step size taken as converged, attempts before giving up.
constexpr int kSecantIterations = 20;
constexpr double kSecantTolerance = 1e-9;
constexpr int kMaxAttempts = 5;
// First second point of the secant search in y = ln v (v = e^2, far above any variance bound).
constexpr double kSecantStart = 2.0;

bool allFinite(std::initializer_list<double> values) {
  for (double v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace

PDESolver1D::PDESolver1D(double level_,
                         double T_,
                         double v0_,
                         double vL_,
                         double kappa_,
                         double xi_,
                         int n,
                         int nSteps_,
                         int scheme_,
                         int nStdDev_,
                         bool skipBuild_,
                         int /*accepted, not read*/)
    : level(level_),
      v0(v0_),
      T(T_),
      xi(xi_),
      vL(vL_),
      kappa(kappa_),
      upperSlope(0.0),
      nAbove(n),
      nBelow(0),
      nNodes(0),
      nSteps(nSteps_),
      nStdDev(nStdDev_),
      scheme(scheme_),
      skipBuild(skipBuild_),
      gridBuilt(false) {
  PDESolver1D::init();
}

PDESolver1D::PDESolver1D(double level_, double v0_, double vL_, double kappa_, double xi_)
    : level(level_), v0(v0_), T(0.0), xi(xi_), vL(vL_), kappa(kappa_) {}

void PDESolver1D::init() {
  level = std::min(level, kMaxLevel);
  boundaryKind = 1;
  // At least 10 cells above ln v0 whatever count is asked for.
  nAbove = std::max(nAbove / 4, 10);
  nBelow = 0;
  nNodes = 0;
  upperSlope = 0.0;
  gridBuilt = false;
}

// `skipBuild` has no effect: nothing else supplies the grid or the operator, so both are always
// built (every caller passes false).
void PDESolver1D::buildGrid() {
  if (gridBuilt) return;
  const double c = std::log(v0);
  // The law depends on xi^2 only: a negative xi gets the grid of |xi|.
  const double width = std::sqrt(T) * nStdDev * std::fabs(xi);
  const double lo = c - width;
  const double loClamped = std::max(lo, kGridFloor);
  // A zero width (T = 0 or xi = 0) or a start variance at or below the floor leaves no grid.
  if (!allFinite({c, width}) || !(width > 0.0) || !(c > loClamped) || nAbove < 1) {
    throw std::runtime_error(kDegenerateGrid);
  }
  if (nBelow == 0) {
    // nAbove cells unless the floor cuts the lower side. At least one cell: a floor just below
    // ln v0 then widens the upper side instead of leaving no step at all.
    const double cells = std::trunc((c - loClamped) * nAbove / (c - lo));
    nBelow = static_cast<std::int32_t>(std::max(1.0, cells));
  }
  const long long nodes = static_cast<long long>(nBelow) + 1 + nAbove;
  if (nBelow < 1 || nodes > std::numeric_limits<std::int32_t>::max()) {
    throw std::runtime_error(kDegenerateGrid);
  }
  dx = (c - loClamped) / nBelow;
  nNodes = static_cast<std::int32_t>(nodes);
  grid.resize(nNodes);
  for (std::int32_t i = 0; i < nNodes; ++i) grid[i] = loClamped + i * dx;
  gridBuilt = true;
}

void PDESolver1D::setInitialCondition() {
  density.resize(nNodes);
  const double c = std::log(v0);
  for (std::int32_t i = 0; i < nNodes; ++i)
    density[i] = std::fabs(grid[i] - c) < dx / 2.0 ? 1.0 / dx : 0.0;
}

void PDESolver1D::buildOperator(std::valarray<double>& A,
                                std::valarray<double>& B,
                                std::valarray<double>& C,
                                double dt,
                                bool crankNicolson) {
  const std::int32_t N = nNodes;
  if (N < 3 || A.size() < static_cast<std::size_t>(N) || B.size() < A.size() ||
      C.size() < A.size()) {
    throw std::invalid_argument("operator arrays too short in PDESolver1D");
  }
  const double D = xi * xi / 2.0;
  const double h = 1.0 / dx;
  const double f = crankNicolson ? dt / 2.0 : dt;
  const double reaction = kappa * vL;
  auto drift = [&](double y) { return kappa + D - reaction * std::exp(-y); };

  for (std::int32_t i = 1; i <= N - 2; ++i) {
    const double e = std::exp(-grid[i]);
    const double m = drift(grid[i]);
    if (m / D >= kUpwindRatio) {
      A[i] = f * (D * h * h - m * h / 2.0);
      B[i] = -1.0 - f * (2.0 * D * h * h - reaction * e);
      C[i] = f * (D * h * h + m * h / 2.0);
    } else {
      A[i] = f * (D * h * h - m * h);
      B[i] = -1.0 - f * (2.0 * D * h * h - m * h - reaction * e);
      C[i] = f * D * h * h;
    }
  }
  // Zero flux at the lower end, -m p - D p_y = 0 with a one-sided difference:
  // p_0 = D p_1 / (D - dx m_0), folded into row 1.
  const double m0 = drift(grid[0]);
  B[1] += A[1] * D / (D - dx * m0);
  // Zero slope at the upper end: p_(N-1) = p_(N-3) (+ the slope term on the right-hand side).
  A[N - 2] += C[N - 2];
}

// What one grid's time march keeps between its steps: the grid's nodes and density, the operator
// of the current phase (and, for the start-up scheme, the Crank-Nicolson one that follows), its
// factors, and the right-hand side. Rows 1 .. N-2 are the unknowns.
struct GridMarch1D {
  std::int32_t N = 0;
  std::int32_t cellsAbove = 0;  // nAbove and nBelow of the grid
  std::int32_t cellsBelow = 0;
  bool march = false;  // false: no scheme to march with, the density stays zero
  std::valarray<double> y, p;
  std::valarray<double> A, B, C, cnA, cnB, cnC;
  // LU factors of the operator; invD = 1 / d and uInvD = u / d, the pivots' reciprocals and the
  // scaled super-diagonal of the back substitution, formed once per factorisation.
  std::valarray<double> l, u, d, invD, uInvD;
  std::valarray<double> r;
  double upperSpan = 0.0;
  double cUpper = 0.0;  // C_(N-2) before it is cleared: couples row N-2 to node N-1
};

namespace {

void factorize(GridMarch1D& g) {
  const std::int32_t n = g.N - 2;
  triDiagFactorize(n, &g.A[0], &g.B[0], &g.C[0], &g.l[0], &g.u[0], &g.d[0]);
  for (std::int32_t i = 1; i < n; ++i) {
    g.invD[i] = 1.0 / g.d[i];
    g.uInvD[i] = g.u[i] * g.invD[i];
  }
}

// The right-hand side of one step of grid g, and the boundary terms folded into it.
void stepRightHandSide(GridMarch1D& g, bool crankNicolson, double upperSlope) {
  const std::int32_t N = g.N;
  const double* A = &g.A[0];
  const double* B = &g.B[0];
  double* C = &g.C[0];
  const double* p = &g.p[0];
  double* r = &g.r[0];
  if (C[N - 2] != 0.0) {
    g.cUpper = C[N - 2];
    C[N - 2] = 0.0;
  }
  const double cUpper = g.cUpper;
  if (crankNicolson) {
    for (std::int32_t i = 1; i <= N - 2; ++i)
      r[i] = -(A[i] * p[i - 1] + (B[i] + 2.0) * p[i] + C[i] * p[i + 1]);
    // The explicit half uses the actual p_(N-1), not the zero-slope fold of the matrix.
    r[N - 2] = -(A[N - 2] - cUpper) * p[N - 3] - cUpper * p[N - 1] - (B[N - 2] + 2.0) * p[N - 2];
  } else {
    for (std::int32_t i = 1; i <= N - 2; ++i) r[i] = -p[i];
  }
  r[N - 2] -= g.upperSpan * cUpper * upperSlope;
  r[1] -= A[1] * p[0];
  r[N - 2] -= C[N - 2] * p[N - 1];
}

// The tridiagonal solves of K grids' steps at once, each with its own factors: the arithmetic of
// triDiagSolve for every grid, so each density comes out as from its own solve bit for bit. Each
// solve is a chain of dependent multiply-subtracts; run side by side the K chains overlap in the
// processor instead of waiting on each other.
template <int K>
void solveTogether(GridMarch1D* const* g) {
  double* x[K];
  const double* r[K];
  const double* l[K];
  const double* d[K];
  const double* invD[K];
  const double* uInvD[K];
  std::int32_t n[K];
  double carry[K];
  std::int32_t longest = 0;
  for (int s = 0; s < K; ++s) {
    x[s] = &g[s]->p[0];
    r[s] = &g[s]->r[0];
    l[s] = &g[s]->l[0];
    d[s] = &g[s]->d[0];
    invD[s] = &g[s]->invD[0];
    uInvD[s] = &g[s]->uInvD[0];
    n[s] = g[s]->N - 2;
    carry[s] = x[s][1] = r[s][1];
    longest = std::max(longest, n[s]);
  }
  for (std::int32_t i = 2; i <= longest; ++i) {
    for (int s = 0; s < K; ++s) {
      if (i <= n[s]) {
        carry[s] = r[s][i] - l[s][i] * carry[s];
        x[s][i] = carry[s];
      }
    }
  }
  for (int s = 0; s < K; ++s) carry[s] = x[s][n[s]] /= d[s][n[s]];
  for (std::int32_t k = 1; k < longest; ++k) {
    for (int s = 0; s < K; ++s) {
      const std::int32_t i = n[s] - k;
      if (i >= 1) {
        carry[s] = x[s][i] * invD[s][i] - uInvD[s][i] * carry[s];
        x[s][i] = carry[s];
      }
    }
  }
}

void solveTogether(GridMarch1D* const* g, int count) {
  switch (count) {
    case 1:
      solveTogether<1>(g);
      break;
    case 2:
      solveTogether<2>(g);
      break;
    case 3:
      solveTogether<3>(g);
      break;
    default:
      for (int s = 0; s < count; ++s) solveTogether<1>(g + s);
  }
}

// The nSteps steps of every grid that has a scheme, side by side. The start-up phase, when
// there is one, ends after four quarter steps on all of them at once (they share scheme and
// step count).
void marchTogether(GridMarch1D* const* grids,
                   int count,
                   std::int32_t nSteps,
                   bool startPhase,
                   bool crankNicolson,
                   double upperSlope) {
  GridMarch1D* marching[3];
  int live = 0;
  for (int s = 0; s < count; ++s)
    if (grids[s]->march && live < 3) marching[live++] = grids[s];
  if (live == 0) return;
  for (std::int32_t k = 1; k <= nSteps; ++k) {
    if (k == 5 && startPhase) {
      // Four implicit quarter steps done: the remaining nSteps - 1 steps are Crank-Nicolson.
      startPhase = false;
      crankNicolson = true;
      k = 2;
      for (int s = 0; s < live; ++s) {
        GridMarch1D& g = *marching[s];
        g.A = g.cnA;
        g.B = g.cnB;
        g.C = g.cnC;
        factorize(g);
      }
    }
    for (int s = 0; s < live; ++s) stepRightHandSide(*marching[s], crankNicolson, upperSlope);
    solveTogether(marching, live);
    for (int s = 0; s < live; ++s) {
      GridMarch1D& g = *marching[s];
      g.p[g.N - 1] = g.p[g.N - 3] + g.upperSpan * upperSlope;
    }
  }
}

}  // namespace

// The current grid (built when needed), its initial density, operators and factors, taken into
// g; the solver keeps its grid, and its density is handed over to g.
void PDESolver1D::prepareMarch(GridMarch1D& g) {
  buildGrid();
  const std::int32_t N = nNodes;
  g.N = N;
  g.cellsAbove = nAbove;
  g.cellsBelow = nBelow;
  if (nSteps < 1) throw std::runtime_error(kBadStepCount);
  const double dt = T / nSteps;
  // The start-up takes four steps: with fewer the whole run is Crank-Nicolson.
  if (scheme == 2 && nSteps < 5) scheme = 1;

  g.y = grid;
  // Coefficients, factors and right-hand side; all allocated here, none in the time loop.
  for (std::valarray<double>* v : {&g.A, &g.B, &g.C, &g.l, &g.u, &g.d, &g.invD, &g.uInvD, &g.r})
    v->resize(N, 0.0);
  setInitialCondition();
  g.march = true;
  switch (scheme) {
    case 2:
      buildOperator(g.A, g.B, g.C, dt / 4.0, false);
      g.cnA.resize(N, 0.0);
      g.cnB.resize(N, 0.0);
      g.cnC.resize(N, 0.0);
      buildOperator(g.cnA, g.cnB, g.cnC, dt, true);
      break;
    case 1:
      buildOperator(g.A, g.B, g.C, dt, true);
      break;
    case 0:
      buildOperator(g.A, g.B, g.C, dt, false);
      break;
    default:
      g.march = false;
  }
  g.p.resize(0);
  std::swap(g.p, density);
  if (!g.march) return;
  factorize(g);
  g.upperSpan = g.y[N - 1] - g.y[N - 3];
}

// out[0] the nodes, out[1] the density of a marched grid; the instability check as solve says.
void PDESolver1D::collectMarch(const GridMarch1D& g,
                               std::vector<std::valarray<double>>& out) const {
  const std::int32_t N = g.N;
  if (out.size() < 2) out.resize(2);
  out[0] = std::valarray<double>(0.0, N);
  out[1] = std::valarray<double>(0.0, N);
  if (!g.march) return;
  for (std::int32_t i = 0; i < N; ++i) {
    out[0][i] = g.y[i];
    out[1][i] = g.p[i];
    // A non-finite value is an unstable run as much as a negative one.
    if (!(g.p[i] >= kNegativeDensity && g.p[i] < std::numeric_limits<double>::infinity())) {
      throw std::runtime_error(kInstability);
    }
  }
}

void PDESolver1D::solve(std::vector<std::valarray<double>>& out) {
  GridMarch1D g;
  prepareMarch(g);
  GridMarch1D* grids[1] = {&g};
  marchTogether(grids, 1, nSteps, scheme == 2, scheme == 1, upperSlope);
  // The solver keeps the density it marched.
  density = g.p;
  collectMarch(g, out);
}

// solve on the current grid and on two finer ones, each with twice the cells of the one before,
// as three solves one after the other would do them (the solver's cell counts and the failure
// passed on are theirs), with the three marches run side by side.
void PDESolver1D::solveThreeGrids(std::vector<std::valarray<double>>& set1,
                                  std::vector<std::valarray<double>>& set2,
                                  std::vector<std::valarray<double>>& set3) {
  GridMarch1D g[3];
  GridMarch1D* grids[3] = {&g[0], &g[1], &g[2]};
  std::vector<std::valarray<double>>* sets[3] = {&set1, &set2, &set3};
  int prepared = 0;
  std::exception_ptr failure;
  for (; prepared < 3; ++prepared) {
    if (prepared > 0) {
      nAbove *= 2;
      nBelow *= 2;
      gridBuilt = false;
    }
    try {
      prepareMarch(g[prepared]);
    } catch (...) {
      failure = std::current_exception();
      break;
    }
  }
  marchTogether(grids, prepared, nSteps, scheme == 2, scheme == 1, upperSlope);
  for (int k = 0; k < prepared; ++k) {
    try {
      collectMarch(g[k], *sets[k]);
    } catch (...) {
      // Where the one-by-one solves stop: on grid k, with its cell counts.
      nAbove = g[k].cellsAbove;
      nBelow = g[k].cellsBelow;
      density = g[k].p;
      throw;
    }
  }
  if (failure) std::rethrow_exception(failure);
  density = g[prepared - 1].p;
}

namespace {

// Richardson extrapolation of the densities of three grids, each with twice the cells of the one
// before (N1 nodes on the first), into set1's: of the O(dx^2) space error, then of the O(dx^4)
// remainder, weights q/(q-1) and 1/(q-1) with q = 4, then q = 16. Node 2i of a grid is node i of
// the grid before it. Grids of other sizes throw std::logic_error.
void extrapolateDensity(std::vector<std::valarray<double>>& set1,
                        const std::vector<std::valarray<double>>& set2,
                        std::vector<std::valarray<double>>& set3,
                        std::int32_t N1) {
  if (static_cast<std::int32_t>(set2[1].size()) != 2 * N1 - 1 ||
      static_cast<std::int32_t>(set3[1].size()) != 4 * N1 - 3) {
    throw std::logic_error(kDegenerateGrid);
  }
  std::valarray<double>& d1 = set1[1];
  const std::valarray<double>& d2 = set2[1];
  std::valarray<double>& d3 = set3[1];
  for (std::int32_t i = 0; i < N1; ++i) d1[i] = 4.0 / 3.0 * d2[2 * i] - 1.0 / 3.0 * d1[i];
  // In place in increasing i: entry 2i >= i is read before it is overwritten.
  for (std::int32_t i = 0; i <= 2 * N1 - 2; ++i) d3[i] = 4.0 / 3.0 * d3[2 * i] - 1.0 / 3.0 * d2[i];
  for (std::int32_t i = 0; i < N1; ++i) d1[i] = 16.0 / 15.0 * d3[2 * i] - 1.0 / 15.0 * d1[i];
}

}  // namespace

// Failures of the horizon case:
// - "Instability detected": finer grids, then the stationary quantile.
// - Any other std::exception inside the guarded steps (an allocation failure, a degenerate grid,
//   a density without positive mass, a failure of the stationary fallback): the stationary
//   quantile when it is positive; otherwise the original failure passes on. The callers want a
//   positive variance bound or a failure, never a made-up value.
// - Non-finite parameters, T < 0, v0 <= 0 or a level outside (0, 1) throw std::invalid_argument
//   "invalid parameters in PDESolver1D" before any work.
// - xi = 0 makes v deterministic: the result is E[v_T] = vL + (v0 - vL) e^(-kappa T).
double PDESolver1D::calcQuantile() {
  if (T == 0.0) return gammaQuantile();
  if (!allFinite({level, T, v0, vL, kappa, xi}) || !(T > 0.0) || !(v0 > 0.0) ||
      !(level > 0.0 && level < 1.0)) {
    throw std::invalid_argument(kBadParameters);
  }
  if (xi == 0.0) {
    const double vT = vL + (v0 - vL) * std::exp(-kappa * T);
    if (!(vT > 0.0)) throw std::invalid_argument(kBadParameters);
    return vT;
  }

  int attempt = 0;
  double ySecond = kSecantStart;  // second point of the secant search, kept across attempts
  std::vector<std::valarray<double>> set1, set2, set3;
  for (;;) {
    try {
      // Three grids, each with twice the cells of the one before; ln v0 stays node nBelow.
      solveThreeGrids(set1, set2, set3);
      const std::int32_t N1 = static_cast<std::int32_t>(set1[0].size());
      extrapolateDensity(set1, set2, set3, N1);
      const std::valarray<double>& d1 = set1[1];

      table_function table(set1[0], d1, false);
      const double total = table.integrate(true);
      if (!(total > 0.0) || !std::isfinite(total)) throw std::runtime_error(kBadDensity);
      const double yFirst = set1[0][0];
      const double yLast = set1[0][N1 - 1];
      // Distribution function of y; outside the grid the -998 of the table enters unchanged.
      auto cdf = [&](double yv) { return table.integrateBetween(yFirst, yv) / total; };

      // Secant search for cdf(y) = level (the value at the earlier point is carried over).
      for (;;) {
        double y1 = std::log(v0);
        double g1 = level - cdf(y1);
        double g0 = level - cdf(ySecond);
        for (int it = 0; it < kSecantIterations; ++it) {
          const double s = (y1 - ySecond) / (g1 - g0) * g1;
          // Two points on a flat tail of the distribution function give an infinite step, and
          // from there only NaN: the attempt ends at once so that its restart starts from the
          // last real second point instead of NaN.
          if (!std::isfinite(s)) break;
          // Converged only inside the table, where the distribution function is real.
          if (std::fabs(s) < kSecantTolerance && y1 >= yFirst && y1 <= yLast) {
            return std::exp(y1);
          }
          ySecond = y1;
          g0 = g1;
          y1 -= s;
          g1 = level - cdf(y1);
        }
        ySecond -= 1.0;
        if (attempt >= kMaxAttempts) return gammaQuantile();
        ++attempt;
      }
    } catch (const std::exception& e) {
      if (std::strcmp(e.what(), kInstability) == 0) {
        if (nBelow > kMaxCellsBelow) break;
        nBelow *= 2;
        nAbove *= 2;
        gridBuilt = false;
        ++attempt;
        continue;
      }
      // Any other failure: the stationary quantile when there is a positive one, else the
      // failure itself.
      const double fallback = gammaQuantile();
      if (fallback > 0.0 && std::isfinite(fallback)) return fallback;
      throw;
    }
  }
  return gammaQuantile();
}

double PDESolver1D::gammaQuantile() {
  if (!(xi > 0.0 && kappa > 0.0 && vL > 0.0 && v0 > 0.0)) return 0.0;
  const double xi2 = xi * xi;
  Gammadist gamma(2.0 * kappa / xi2 + 1.0, 2.0 * kappa * vL / xi2);
  const double x = gamma.quantile(1.0 - level);
  return x == 0.0 ? 0.0 : 1.0 / x;
}

}  // namespace serivane
