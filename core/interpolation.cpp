#include "core/interpolation.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace serivane {

Base_interp::Base_interp(const double* x, const double* y, std::int32_t n, std::int32_t m)
    : nPoints(n), order(m), abscissae(x), ordinates(y) {}

namespace {

// The bracket jl < ju of x in the table xx narrowed down by halves to neighbouring entries;
// returns jl.
std::int32_t bisect(const double* xx, double x, bool ascending, std::int32_t jl, std::int32_t ju) {
  while (ju - jl > 1) {
    const std::int32_t jm = (ju + jl) >> 1;
    if ((x >= xx[jm]) == ascending) {
      jl = jm;
    } else {
      ju = jm;
    }
  }
  return jl;
}

}  // namespace

std::int32_t Base_interp::finishSearch(std::int32_t jl) {
  correlated = (std::abs(jl - savedIndex) <= searchSpan) ? 1 : 0;
  savedIndex = jl;
  return std::max<std::int32_t>(0, std::min(nPoints - order, jl - (order - 2) / 2));
}

std::int32_t Base_interp::locate(double x) {
  if (nPoints < 2 || order < 2 || order > nPoints) throw std::runtime_error("locate size error");
  const double* xx = abscissae;
  const bool ascending = xx[nPoints - 1] >= xx[0];
  std::int32_t jl = 0, ju = nPoints - 1;
  return finishSearch(bisect(xx, x, ascending, jl, ju));
}

std::int32_t Base_interp::hunt(double x) {
  if (nPoints < 2 || order < 2 || order > nPoints) throw std::runtime_error("hunt size error");
  const double* xx = abscissae;
  const bool ascending = xx[nPoints - 1] >= xx[0];
  std::int32_t jl = savedIndex, ju;
  if (jl < 0 || jl > nPoints - 1) {
    jl = 0;
    ju = nPoints - 1;
  } else {
    std::int32_t inc = 1;
    if ((x >= xx[jl]) == ascending) {
      for (;;) {
        ju = jl + inc;
        if (ju >= nPoints - 1) {
          ju = nPoints - 1;
          break;
        }
        if ((x < xx[ju]) == ascending) break;
        jl = ju;
        inc += inc;
      }
    } else {
      ju = jl;
      for (;;) {
        jl = jl - inc;
        if (jl <= 0) {
          jl = 0;
          break;
        }
        if ((x >= xx[jl]) == ascending) break;
        ju = jl;
        inc += inc;
      }
    }
  }
  return finishSearch(bisect(xx, x, ascending, jl, ju));
}

double Poly_interp::interpolateAt(std::int32_t j, double x) {
  const std::int32_t mm = order;
  const double* xa = abscissae + j;
  const double* ya = ordinates + j;
  // The tableau columns; the solvers use order 6, so they nearly always fit the stack buffers.
  constexpr std::int32_t kStackOrder = 16;
  double cStack[kStackOrder], dStack[kStackOrder];
  std::vector<double> heap;
  double* c = cStack;
  double* d = dStack;
  if (mm > kStackOrder) {
    heap.resize(2 * static_cast<std::size_t>(mm));
    c = heap.data();
    d = heap.data() + mm;
  }

  std::int32_t ns = 0;
  double dif = std::fabs(x - xa[0]);
  for (std::int32_t i = 0; i < mm; ++i) {
    const double dift = std::fabs(x - xa[i]);
    if (dift < dif) {
      ns = i;
      dif = dift;
    }
    c[i] = ya[i];
    d[i] = ya[i];
  }
  double y = ya[ns--];
  double dy = 0.0;
  for (std::int32_t m = 1; m < mm; ++m) {
    for (std::int32_t i = 0; i < mm - m; ++i) {
      const double ho = xa[i] - x;
      const double hp = xa[i + m] - x;
      const double w = c[i + 1] - d[i];
      double den = ho - hp;
      if (den == 0.0) throw std::runtime_error("Poly_interp error");
      den = w / den;
      d[i] = hp * den;
      c[i] = ho * den;
    }
    if (2 * (ns + 1) < mm - m) {
      dy = c[ns + 1];
    } else {
      dy = d[ns--];
    }
    y += dy;
  }
  errorEstimate = dy;
  return y;
}

Grid2D_interp::Grid2D_interp(const double* x1,
                             std::int32_t m_,
                             const double* x2,
                             std::int32_t n_,
                             const DenseMatrix& values_,
                             std::int32_t order1_,
                             std::int32_t order2_)
    : m(m_),
      n(n_),
      order1(order1_),
      order2(order2_),
      values(&values_),
      work(m_ > 0 ? m_ : 0, 0.0),
      axis1(x1, work.data(), m_, order1_),
      axis2(x2, n_ > 0 && values_.nRows() > 0 ? values_[0] : nullptr, n_, order2_) {
  // The rows read by interp must exist: a smaller matrix would be read out of bounds.
  if (values_.nRows() < m || values_.nCols() < n) {
    throw std::invalid_argument("Grid2D_interp size error");
  }
}

double Grid2D_interp::interp(double x1, double x2) {
  const std::int32_t i = axis1.correlated ? axis1.hunt(x1) : axis1.locate(x1);
  const std::int32_t j = axis2.correlated ? axis2.hunt(x2) : axis2.locate(x2);
  for (std::int32_t k = i; k < i + order1; ++k) {
    axis2.setOrdinates((*values)[k]);
    work[k] = axis2.interpolateAt(j, x2);
  }
  return axis1.interpolateAt(i, x1);
}

}  // namespace serivane
