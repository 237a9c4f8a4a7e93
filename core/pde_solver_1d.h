#ifndef SERIVANE_CORE_PDE_SOLVER_1D_H_
#define SERIVANE_CORE_PDE_SOLVER_1D_H_

#include <cstdint>
#include <valarray>
#include <vector>

namespace serivane {

// What one grid's time march keeps between its steps (pde_solver_1d.cpp).
struct GridMarch1D;

// Upper quantile of the instantaneous variance at a horizon T under
//   dv = kappa (vL - v) dt + xi v dW,
// the value that v_T stays below with probability `level`. The calibration uses it to bound the
// variance range of the 2-D pricer, one object per expiry, inside its OpenMP loops.
//
// For T > 0 the density of y = ln v solves the forward (Fokker-Planck) equation
//   p_t = D p_yy + m(y) p_y + kappa vL e^(-y) p,   D = xi^2 / 2,
//   m(y) = kappa + D - kappa vL e^(-y),
// from a unit mass at ln v0, on a uniform grid in y of nStdDev standard deviations below ln v0,
// by Crank-Nicolson after four implicit Euler quarter steps (Rannacher's start-up: R. Rannacher,
// "Finite element solution of diffusion problems with irregular data", Numer. Math. 43 (1984)).
// Three grids refined by 2 and 4 are combined by Richardson extrapolation (L. F. Richardson,
// "The deferred approach to the limit", Phil. Trans. R. Soc. A 226 (1927)), a not-a-knot cubic
// spline is fitted to the result and its integral is inverted by a secant search.
// For T = 0, and as the fallback of every failure the solver handles, the quantile is the one of
// the stationary law, an inverse gamma law (`gammaQuantile`).
//
// Each object serves one thread; an object is built for one `calcQuantile` call.
class PDESolver1D {
 public:
  // Solver for horizon T. n is the cell count above ln v0 before `init` quarters it;
  // the last argument is accepted and not used. The calibration passes
  // (level, T, v0, vL, kappa, xi, 800, 50, 2, 5, false, 1).
  PDESolver1D(double level,
              double T,
              double v0,
              double vL,
              double kappa,
              double xi,
              int n,
              int nSteps,
              int scheme,
              int nStdDev,
              bool skipBuild,
              int /*accepted, not read*/);
  // Stationary law only (T = 0); `level` is stored as given. Serves only `calcQuantile`.
  PDESolver1D(double level, double v0, double vL, double kappa, double xi);
  virtual ~PDESolver1D() = default;

  // level = min(level, 0.99999999); nAbove = max(nAbove / 4, 10); resets the grid state.
  virtual void init();
  // Uniform grid in y = ln v with ln v0 at node nBelow; does nothing while gridBuilt is set.
  // Throws std::runtime_error "Degenerate grid in PDESolver1D" when the grid cannot be laid
  // (no positive finite width, ln v0 at or below the floor -15, too few cells).
  virtual void buildGrid();
  // Unit mass at ln v0: 1/dx at the node within dx/2 of it, 0 elsewhere.
  virtual void setInitialCondition();

  // Rows 1 .. nNodes-2 of the tridiagonal system A p_(i-1) + B p_i + C p_(i+1) = r of one step
  // of length dt: implicit Euler, or Crank-Nicolson when crankNicolson is set, with the
  // zero-flux lower row and the zero-slope upper row folded in. The arrays hold nNodes entries.
  void buildOperator(std::valarray<double>& A,
                     std::valarray<double>& B,
                     std::valarray<double>& C,
                     double dt,
                     bool crankNicolson);
  // Density of y after nSteps steps: out[0] the nodes, out[1] the density (out gets at least two
  // entries). Throws std::runtime_error "Instability detected" at the first density value below
  // -1e-9 (the values up to it are already copied).
  void solve(std::vector<std::valarray<double>>& out);
  // solve on the current grid, then with nAbove and nBelow doubled, then doubled again, into
  // set1, set2 and set3: what three solves in a row give (results, failures, the cell counts left
  // behind), with the three time marches run side by side.
  void solveThreeGrids(std::vector<std::valarray<double>>& set1,
                       std::vector<std::valarray<double>>& set2,
                       std::vector<std::valarray<double>>& set3);
  // The variance v with P(v_T <= v) = level (see the class comment). For T > 0 it raises nothing
  // for valid parameters; see pde_solver_1d.cpp for the failures it passes on.
  double calcQuantile();
  // Quantile of the stationary inverse gamma law: 1/v is gamma distributed with shape
  // 2 kappa / xi^2 + 1 and rate 2 kappa vL / xi^2. 0 unless xi, kappa, vL and v0 are all > 0.
  double gammaQuantile();

  std::valarray<double> grid;     // nodes y_i = ln v of the current grid
  std::valarray<double> density;  // density of y at the nodes (per unit of y)
  double dx = 0.0;                // grid step in y
  double level = 0.0;             // probability of the quantile
  double v0 = 0.0;                // start variance; ln v0 is the centre of the grid
  double T = 0.0;                 // horizon in years; 0 means the stationary law
  double xi = 0.0;                // volatility of variance
  double vL = 0.0;                // long-run variance
  double kappa = 0.0;             // mean-reversion speed
  double upperSlope = 0.0;        // slope of the density at the upper end
  std::int32_t nAbove = 0;        // cells above ln v0 (also set the grid step)
  std::int32_t nBelow = 0;        // cells below ln v0; 0: the next grid build derives it
  std::int32_t nNodes = 0;        // nodes of the current grid
  std::int32_t nSteps = 0;        // time steps
  std::int32_t nStdDev = 0;       // half-width of the grid in standard deviations of y
  std::int32_t scheme = 0;        // 2 CN after four implicit quarter steps, 1 CN, 0 implicit Euler
  std::int32_t boundaryKind = 1;  // 1: zero slope at the upper end
  bool skipBuild = false;         // accepted, has no effect (see pde_solver_1d.cpp)
  bool gridBuilt = false;         // the current grid matches nAbove and nBelow

 private:
  void prepareMarch(GridMarch1D& g);
  void collectMarch(const GridMarch1D& g, std::vector<std::valarray<double>>& out) const;
};

}  // namespace serivane

#endif  // SERIVANE_CORE_PDE_SOLVER_1D_H_
