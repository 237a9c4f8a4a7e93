// Cell-average correction at the early-exercise boundary of the modified Craig-Sneyd solver with a
// strike list: the node nearest to the boundary gets the average over its cell of a profile that
// follows the old level below the boundary and the new level above it, which keeps the kink of
// the exercise boundary from spoiling second-order convergence.
// D. M. Pooley, K. R. Vetzal, P. A. Forsyth, "Convergence remedies for non-smooth payoffs in
// option pricing", J. Comput. Finance 6 (2003).
#include <stdexcept>

#include "core/qel_heston_vanilla.h"

namespace serivane {

void strikeCellAdjust(const QelHestonVanilla& object,
                      std::valarray<double>& out,
                      const std::valarray<double>& in,
                      double x,
                      bool sideFlag,
                      bool quadraticFlag) {
  if (sideFlag || !quadraticFlag) {
    throw std::invalid_argument(
        "strikeCellAdjust supports only the side flag false with the quadratic flag true");
  }
  const int n = object.nSNodes;
  const std::valarray<double>& S = object.grid;
  if (n < 0 || S.size() < static_cast<std::size_t>(n) || in.size() < static_cast<std::size_t>(n) ||
      out.size() < static_cast<std::size_t>(n)) {
    throw std::invalid_argument("strikeCellAdjust needs grid and rows of nSNodes entries");
  }

  int k = 0;
  while (k < n && !(S[k] > x)) ++k;
  if (k == n || k == 0) return;
  const int m = x > 0.5 * (S[k - 1] + S[k]) ? k : k - 1;
  if (m < 1 || m > n - 2 || k > n - 2) return;

  const double a = S[m - 1], b = S[m], c = S[m + 1];
  const double lo = 0.5 * (a + b), hi = 0.5 * (b + c);
  // The quadratic through the three nodes as y1 + beta (s - b) + gamma (s - b)^2, integrated
  // exactly from lo to x.
  const double ha = b - a, hc = c - b;
  const double y0 = in[m - 1], y1 = in[m], y2 = in[m + 1];
  const double gamma = ((y2 - y1) / hc + (y0 - y1) / ha) / (ha + hc);
  const double beta = (y2 - y1) / hc - gamma * hc;
  const double dx = x - b, dl = lo - b;
  const double I = y1 * (x - lo) + beta / 2.0 * (dx * dx - dl * dl) +
                   gamma / 3.0 * (dx * dx * dx - dl * dl * dl);
  // The new level above x by the line through nodes k and k+1, at the mid-point of [x, hi]:
  // exact for its integral over that interval.
  const double t = 0.5 * (x + hi);
  const double R = out[k] + (out[k + 1] - out[k]) * (t - S[k]) / (S[k + 1] - S[k]);
  out[m] = (I + (hi - x) * R) / (hi - lo);
}

}  // namespace serivane
