#ifndef SERIVANE_CORE_INTERPOLATION_H_
#define SERIVANE_CORE_INTERPOLATION_H_

#include <cstdint>
#include <vector>

#include "core/dense_matrix.h"

namespace serivane {

// Base of the one-dimensional interpolators over a table of abscissae (ascending or descending)
// with ordinates. The table is not owned: it must outlive the interpolator. An interpolation uses
// `order` consecutive points starting at a window start that `locate` or `hunt` finds.
class Base_interp {
 public:
  Base_interp(const double* x, const double* y, std::int32_t n, std::int32_t m);
  virtual ~Base_interp() = default;

  // Value at x of the interpolant through the `order` points that start at index j.
  virtual double interpolateAt(std::int32_t j, double x) = 0;

  // Window start for x by bisection over the whole table. A node counts as the left end of its
  // interval. Throws "locate size error" for fewer than 2 points or an order outside 2..nPoints.
  std::int32_t locate(double x);
  // The same window as `locate`, found from the bracket of the previous search by stepping out in
  // increments 1, 2, 4, ... first; fast when successive x lie close together. Throws
  // "hunt size error" on the same conditions as `locate`.
  std::int32_t hunt(double x);

  // Re-points the ordinates (the 2-D interpolator switches rows this way).
  void setOrdinates(const double* y) { ordinates = y; }
  void setAbscissae(const double* x) { abscissae = x; }

  std::int32_t nPoints;
  std::int32_t order;
  std::int32_t savedIndex = 0;
  std::int32_t correlated = 0;
  std::int32_t searchSpan = 1;
  const double* abscissae;
  const double* ordinates;

 private:
  std::int32_t finishSearch(std::int32_t jl);
};

// Polynomial interpolation by Neville's algorithm (W. H. Press et al., "Numerical Recipes",
// section 3.2).
class Poly_interp : public Base_interp {
 public:
  Poly_interp(const double* x, const double* y, std::int32_t n, std::int32_t m)
      : Base_interp(x, y, n, m) {}
  Poly_interp(const std::vector<double>& x, const std::vector<double>& y, std::int32_t m)
      : Base_interp(x.data(), y.data(), static_cast<std::int32_t>(x.size()), m) {}

  // Throws "Poly_interp error" when two abscissae of the window coincide. Sets errorEstimate to the
  // last correction of the tableau.
  double interpolateAt(std::int32_t j, double x) override;

  double errorEstimate = 0.0;
};

// Two-dimensional polynomial interpolation on a rectangular grid: along axis 2 in each of the
// order1 rows around x1, then along axis 1 through those values. The node arrays and the matrix of
// values (m rows by n columns, row i at node i of axis 1) are not owned and must outlive this.
class Grid2D_interp {
 public:
  Grid2D_interp(const double* x1,
                std::int32_t m,
                const double* x2,
                std::int32_t n,
                const DenseMatrix& values,
                std::int32_t order1,
                std::int32_t order2);
  Grid2D_interp(const std::vector<double>& x1,
                const std::vector<double>& x2,
                const DenseMatrix& values,
                std::int32_t order1,
                std::int32_t order2)
      : Grid2D_interp(x1.data(),
                      static_cast<std::int32_t>(x1.size()),
                      x2.data(),
                      static_cast<std::int32_t>(x2.size()),
                      values,
                      order1,
                      order2) {}
  Grid2D_interp(const Grid2D_interp&) = delete;
  Grid2D_interp& operator=(const Grid2D_interp&) = delete;

  double interp(double x1, double x2);

  std::int32_t m;
  std::int32_t n;
  std::int32_t order1;
  std::int32_t order2;
  const DenseMatrix* values;
  std::vector<double> work;
  Poly_interp axis1;
  Poly_interp axis2;
};

}  // namespace serivane

#endif  // SERIVANE_CORE_INTERPOLATION_H_
