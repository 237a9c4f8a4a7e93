#ifndef SERIVANE_CORE_TABLE_FUNCTION_H_
#define SERIVANE_CORE_TABLE_FUNCTION_H_

#include <cstdint>
#include <valarray>

namespace serivane {

// A tabulated function y(x) on strictly increasing knots with a cubic spline through the points
// (natural or not-a-knot ends), computed lazily on the first spline integral, and its integrals.
// On segment i the spline is a_i s^3 + b_i s^2 + c_i s + d_i with s = t - x_i.
//
// Misuse of the integrals is reported through the result, never by an exception: -999.0 for an
// odd number of Simpson intervals or reversed limits, -998.0 for a limit outside the table.
class table_function {
 public:
  // Copies the knots and values. Throws std::invalid_argument when the sizes differ, when there
  // are fewer than 2 knots or when the knots are not strictly increasing: no spline exists then.
  table_function(const std::valarray<double>& x, const std::valarray<double>& y, bool natural);
  virtual ~table_function() = default;

  // Second-derivative form of the cubic spline: solves for the knot curvatures, then fills a..d.
  void calcCoefficients();
  // Thomas algorithm on the m-row system; the solution goes to out[1] .. out[m].
  static void solveTridiagonal(std::int32_t m,
                               const double* sub,
                               const double* diag,
                               const double* sup,
                               const double* rhs,
                               double* out);

  // exact: the spline integral over the whole table. Otherwise the composite Simpson rule on the
  // raw values with the first step (equal spacing assumed); -999.0 for an odd interval count.
  double integrate(bool exact);
  // Integral from u to v of the spline, except over exactly [x_0, x_1], where it is the trapezoid
  // of the raw values.
  double integrateBetween(double u, double v);

  std::valarray<double> x;
  std::valarray<double> y;
  std::valarray<double> a;
  std::valarray<double> b;
  std::valarray<double> c;
  std::valarray<double> d;
  std::valarray<double> h;
  std::int32_t n;
  bool dirty;
  bool natural;

 private:
  double segmentIntegral(std::int32_t k, double s) const;
  std::int32_t segmentOf(double t) const;
};

}  // namespace serivane

#endif  // SERIVANE_CORE_TABLE_FUNCTION_H_
