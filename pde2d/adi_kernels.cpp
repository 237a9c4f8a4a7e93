#include "pde2d/adi_kernels.h"

#include <algorithm>
#include <cstring>

namespace serivane {

// Run-time choice of the instruction set: GCC's function multi-versioning builds each kernel for
// AVX2 and for the baseline and picks one by the processor when the program is loaded. Elsewhere
// the kernels are built for the baseline only.
#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__)) && \
    defined(__linux__) && !defined(SERIVANE_NO_KERNEL_DISPATCH)
#define SERIVANE_KERNEL_DISPATCH __attribute__((target_clones("avx2", "default")))
#define SERIVANE_KERNEL_DISPATCH_ON 1
#else
#define SERIVANE_KERNEL_DISPATCH
#endif

#if defined(__GNUC__)
#define SERIVANE_INLINE inline __attribute__((always_inline))
#else
#define SERIVANE_INLINE inline
#endif

namespace adi_kernels {
namespace {

// How a loop combines its result with a base level: none, a separate array, the output array
// itself, or the average of a separate array and the output array.
enum BaseMode { kZero, kSeparate, kSame, kAverage };

// The row loops below carry the restrict qualifiers; this helper must not add its own (nested
// qualifiers keep GCC from using those of the loop).
template <BaseMode kMode>
SERIVANE_INLINE void store(double* o, const double* b, int i, double value) {
  if constexpr (kMode == kZero) {
    o[i] = value;
  } else if constexpr (kMode == kSeparate) {
    o[i] = b[i] + value;
  } else if constexpr (kMode == kSame) {
    o[i] = o[i] + value;
  } else {
    o[i] = 0.5 * (b[i] + o[i]) + value;
  }
}

// Row 0 of F: no south neighbours and no mixed term; the one-sided drift reads row 2.
template <BaseMode kMode>
SERIVANE_INLINE void stencilRow0(int N,
                                 const double* __restrict uc,
                                 const double* __restrict un,
                                 const double* __restrict unn,
                                 const double* __restrict ww,
                                 const double* __restrict wc,
                                 const double* __restrict we,
                                 const double* __restrict wn,
                                 double c2,
                                 double gTerm,
                                 const double* __restrict b,
                                 double scale,
                                 double* __restrict o) {
  for (int i = 1; i < N; ++i) {
    const double f =
        ww[i] * uc[i - 1] + wc[i] * uc[i] + we[i] * uc[i + 1] + wn[i] * un[i] + c2 * unn[i];
    store<kMode>(o, b, i, scale * f);
  }
  const double f = ww[N] * uc[N - 1] + wc[N] * uc[N] + wn[N] * un[N] + c2 * unn[N] + gTerm;
  store<kMode>(o, b, N, scale * f);
}

// Corner weights of the mixed stencil: one array for both anti-diagonal corners, one for each,
// or with the nine-point stencil all four.
enum Corners { kOneCorner, kTwoCorners, kFourCorners };

// Rows 1..NV-1 of F. The last node has no mixed term and takes the slope in place of the ghost
// node. With kOneCorner wnw is not read (wse weighs both anti-diagonal corners).
template <BaseMode kMode, Corners kCorners>
SERIVANE_INLINE void stencilRow(int N,
                                const double* __restrict us,
                                const double* __restrict uc,
                                const double* __restrict un,
                                const double* __restrict ww,
                                const double* __restrict wc,
                                const double* __restrict we,
                                const double* __restrict ws,
                                const double* __restrict wn,
                                const double* __restrict wse,
                                const double* __restrict wnw,
                                const double* __restrict wsw,
                                const double* __restrict wne,
                                double gTerm,
                                const double* __restrict b,
                                double scale,
                                double* __restrict o) {
  for (int i = 1; i < N; ++i) {
    const double cornerNW = kCorners == kOneCorner ? wse[i] : wnw[i];
    double f = ww[i] * uc[i - 1] + wc[i] * uc[i] + we[i] * uc[i + 1] + ws[i] * us[i] +
               wn[i] * un[i] + wse[i] * us[i + 1] + cornerNW * un[i - 1];
    if constexpr (kCorners == kFourCorners) f = f + wsw[i] * us[i - 1] + wne[i] * un[i + 1];
    store<kMode>(o, b, i, scale * f);
  }
  const double f = ww[N] * uc[N - 1] + wc[N] * uc[N] + ws[N] * us[N] + wn[N] * un[N] + gTerm;
  store<kMode>(o, b, N, scale * f);
}

template <BaseMode kMode>
SERIVANE_INLINE void stencilLevel(const Stencil& st,
                                  int N,
                                  int NV,
                                  std::size_t stride,
                                  const double* in,
                                  double g,
                                  const double* base,
                                  double scale,
                                  double* out) {
  for (int j = 0; j < NV; ++j) {
    const std::size_t row = static_cast<std::size_t>(j) * stride;
    const double* uc = in + row;
    const double* un = uc + stride;
    const double* b = kMode == kSeparate || kMode == kAverage ? base + row : nullptr;
    double* o = out + row;
    const double gTerm = st.gCoef[j] * g;
    if (j == 0) {
      stencilRow0<kMode>(N, uc, un, un + stride, st.w, st.c, st.e, st.n, st.c2, gTerm, b, scale, o);
    } else if (st.sw) {
      stencilRow<kMode, kFourCorners>(N,
                                      uc - stride,
                                      uc,
                                      un,
                                      st.w + row,
                                      st.c + row,
                                      st.e + row,
                                      st.s + row,
                                      st.n + row,
                                      st.se + row,
                                      st.nw + row,
                                      st.sw + row,
                                      st.ne + row,
                                      gTerm,
                                      b,
                                      scale,
                                      o);
    } else if (st.nw == st.se) {
      stencilRow<kMode, kOneCorner>(N,
                                    uc - stride,
                                    uc,
                                    un,
                                    st.w + row,
                                    st.c + row,
                                    st.e + row,
                                    st.s + row,
                                    st.n + row,
                                    st.se + row,
                                    nullptr,
                                    nullptr,
                                    nullptr,
                                    gTerm,
                                    b,
                                    scale,
                                    o);
    } else {
      stencilRow<kMode, kTwoCorners>(N,
                                     uc - stride,
                                     uc,
                                     un,
                                     st.w + row,
                                     st.c + row,
                                     st.e + row,
                                     st.s + row,
                                     st.n + row,
                                     st.se + row,
                                     st.nw + row,
                                     nullptr,
                                     nullptr,
                                     gTerm,
                                     b,
                                     scale,
                                     o);
    }
  }
}

// One row of the S-direction right-hand sides: x = r + dm1 p + lo p(i - 1) + up p(i + 1), summed in
// that order; x may be r (kSame).
template <BaseMode kMode>
SERIVANE_INLINE void sRhsRow(int N,
                             const double* __restrict lo,
                             const double* __restrict dm1,
                             const double* __restrict up,
                             const double* __restrict p,
                             const double* __restrict r,
                             double jumpTerm,
                             double* __restrict x) {
  for (int i = 1; i < N; ++i) {
    const double ri = kMode == kSame ? x[i] : r[i];
    x[i] = ri + dm1[i] * p[i] + lo[i] * p[i - 1] + up[i] * p[i + 1];
  }
  const double rN = kMode == kSame ? x[N] : r[N];
  x[N] = rN + dm1[N] * p[N] + lo[N] * p[N - 1] + jumpTerm;
}

// Right-hand side of one row of the variance direction and the forward elimination against the
// row below (l = 0 leaves the row as it is): x = (r + dm1 pc + lo ps + up pn) - l xm.
template <BaseMode kMode>
SERIVANE_INLINE void vRhsRow(int N,
                             double dm1,
                             double lo,
                             double up,
                             double l,
                             const double* __restrict pc,
                             const double* __restrict ps,
                             const double* __restrict pn,
                             const double* __restrict xm,
                             const double* __restrict r,
                             double* __restrict x) {
  for (int i = 1; i <= N; ++i) {
    const double rhs = (kMode == kSame ? x[i] : r[i]) + dm1 * pc[i] + lo * ps[i] + up * pn[i];
    x[i] = rhs - l * xm[i];
  }
}

// Row 0 of the variance direction: its right-hand side (x may be r, kSame).
template <BaseMode kMode>
SERIVANE_INLINE void vRhsRow0(int N,
                              const VDirection& a,
                              const double* __restrict p0,
                              const double* __restrict p1,
                              const double* __restrict p2,
                              const double* __restrict r,
                              double* __restrict x) {
  const double dm1 = a.diag0M1, up = a.upper0, e = a.e;
  for (int i = 1; i <= N; ++i) {
    x[i] = (kMode == kSame ? x[i] : r[i]) + dm1 * p0[i] + up * p1[i] + e * p2[i];
  }
}

// x = x - f y (the elimination of an entry with another row).
SERIVANE_INLINE void eliminateRow(int N,
                                  double f,
                                  const double* __restrict y,
                                  double* __restrict x) {
  for (int i = 1; i <= N; ++i) x[i] -= f * y[i];
}

// Back substitution of one row: x = x / d - (u / d) y, or with y null x = x / d.
SERIVANE_INLINE void backRow(
    int N, double invd, double ud, const double* __restrict y, double* __restrict x) {
  if (!y) {
    for (int i = 1; i <= N; ++i) x[i] *= invd;
    return;
  }
  for (int i = 1; i <= N; ++i) x[i] = x[i] * invd - ud * y[i];
}

template <BaseMode kMode>
SERIVANE_INLINE void vDirectionLevel(const VDirection& a,
                                     int N,
                                     int NV,
                                     std::size_t stride,
                                     const double* prev,
                                     const double* in,
                                     double* out) {
  // Rows 0 and 1 first: row 0 is reduced with the right-hand side of row 1, as its matrix was.
  double* o1 = out + stride;
  vRhsRow0<kMode>(N, a, prev, prev + stride, prev + 2 * stride, in, out);
  vRhsRow<kMode>(N,
                 a.diagM1[1],
                 a.lower[1],
                 a.upper[1],
                 0.0,
                 prev + stride,
                 prev,
                 prev + 2 * stride,
                 out,
                 in + stride,
                 o1);
  eliminateRow(N, a.e / a.upper[1], o1, out);
  eliminateRow(N, a.l[1], out, o1);
  // The other rows: right-hand side and forward elimination in one sweep.
  for (int j = 2; j < NV; ++j) {
    const std::size_t row = static_cast<std::size_t>(j) * stride;
    vRhsRow<kMode>(N,
                   a.diagM1[j],
                   a.lower[j],
                   a.upper[j],
                   a.l[j],
                   prev + row,
                   prev + row - stride,
                   prev + row + stride,
                   out + row - stride,
                   in + row,
                   out + row);
  }
  backRow(N, a.invD[NV - 1], 0.0, nullptr, out + static_cast<std::size_t>(NV - 1) * stride);
  for (int j = NV - 2; j >= 0; --j) {
    double* o = out + static_cast<std::size_t>(j) * stride;
    backRow(N, a.invD[j], a.ud[j], o + stride, o);
  }
}

// Lanes of doubles in one register: two in SSE2, four in AVX2.
typedef double Lanes2 __attribute__((vector_size(16)));
typedef double Lanes4 __attribute__((vector_size(32)));

// Unaligned loads and stores; vectors pass by reference (by value they would change the calling
// convention between the builds for the two instruction sets).
template <class V>
SERIVANE_INLINE void loadLanes(V& v, const double* p) {
  std::memcpy(&v, p, sizeof v);
}
template <class V>
SERIVANE_INLINE void storeLanes(double* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

// Node i of the rows r[0], r[1], ... into the lanes of v.
template <class V>
SERIVANE_INLINE void gatherLanes(V& v, double* const* r, int i) {
  if constexpr (sizeof(V) == 2 * sizeof(double)) {
    v = V{r[0][i], r[1][i]};
  } else {
    v = V{r[0][i], r[1][i], r[2][i], r[3][i]};
  }
}

// The S-direction solves with the lanes of vectors of type V. A row's values are gathered into
// the lanes and scattered back, and the factors are read kA1Lanes rows interleaved; each lane runs
// the scalar recurrence of its row.
template <class V>
SERIVANE_INLINE void sDirectionGroups(
    const SDirection& a, int N, int NV, std::size_t stride, double* x, double* work, double* pad) {
  constexpr int kWidth = sizeof(V) / sizeof(double);
  constexpr int kVecs = kA1Lanes / kWidth;
  static_assert(kA1Lanes % kWidth == 0, "the S-direction lanes fill whole vectors");
  const int groups = (NV + kA1Lanes - 1) / kA1Lanes;
  const std::size_t groupSize = static_cast<std::size_t>(N + 1) * kA1Lanes;
  for (int gi = 0; gi < groups; ++gi) {
    double* rows[kA1Lanes];
    for (int q = 0; q < kA1Lanes; ++q) {
      const int j = gi * kA1Lanes + q;
      rows[q] = j < NV ? x + static_cast<std::size_t>(j) * stride : pad;
    }
    const double* l = a.l + gi * groupSize;
    const double* ud = a.ud + gi * groupSize;
    const double* invD = a.invD + gi * groupSize;
    // Forward sweep: y_i = x_i - l_i y_(i-1), gathered from the rows into the work array.
    V y[kVecs];
    V f1 = {}, f2 = {}, f3 = {};
    for (int k = 0; k < kVecs; ++k) {
      gatherLanes(y[k], rows + kWidth * k, 1);
      storeLanes(work + kA1Lanes + kWidth * k, y[k]);
    }
    for (int i = 2; i <= N; ++i) {
      const std::size_t at = static_cast<std::size_t>(i) * kA1Lanes;
      for (int k = 0; k < kVecs; ++k) {
        gatherLanes(f2, rows + kWidth * k, i);
        loadLanes(f1, l + at + kWidth * k);
        y[k] = f2 - f1 * y[k];
        storeLanes(work + at + kWidth * k, y[k]);
      }
    }
    // Back substitution: x_N = y_N / d_N, x_i = y_i / d_i - (u_i / d_i) x_(i+1), scattered back.
    {
      const std::size_t at = static_cast<std::size_t>(N) * kA1Lanes;
      for (int k = 0; k < kVecs; ++k) {
        loadLanes(f1, work + at + kWidth * k);
        loadLanes(f2, invD + at + kWidth * k);
        y[k] = f1 * f2;
        for (int q = 0; q < kWidth; ++q) rows[kWidth * k + q][N] = y[k][q];
      }
    }
    for (int i = N - 1; i >= 1; --i) {
      const std::size_t at = static_cast<std::size_t>(i) * kA1Lanes;
      for (int k = 0; k < kVecs; ++k) {
        loadLanes(f1, work + at + kWidth * k);
        loadLanes(f2, invD + at + kWidth * k);
        loadLanes(f3, ud + at + kWidth * k);
        y[k] = f1 * f2 - f3 * y[k];
        for (int q = 0; q < kWidth; ++q) rows[kWidth * k + q][i] = y[k][q];
      }
    }
  }
}

#if defined(SERIVANE_KERNEL_DISPATCH_ON)
// The S-direction solves in AVX2 registers, taken when the processor has them. The register
// width is a choice of the source here (not of the compiler), so this one is dispatched by hand.
__attribute__((target("avx2"))) void sDirectionGroupsAvx2(
    const SDirection& a, int N, int NV, std::size_t stride, double* x, double* work, double* pad) {
  sDirectionGroups<Lanes4>(a, N, NV, stride, x, work, pad);
}
#endif

}  // namespace

SERIVANE_KERNEL_DISPATCH
void applyStencil(const Stencil& st,
                  int N,
                  int NV,
                  std::size_t stride,
                  const double* in,
                  double g,
                  const double* base,
                  double scale,
                  double* out) {
  if (!base) {
    stencilLevel<kZero>(st, N, NV, stride, in, g, nullptr, scale, out);
  } else if (base == out) {
    stencilLevel<kSame>(st, N, NV, stride, in, g, nullptr, scale, out);
  } else {
    stencilLevel<kSeparate>(st, N, NV, stride, in, g, base, scale, out);
  }
}

SERIVANE_KERNEL_DISPATCH
void applyStencilAveraged(const Stencil& st,
                          int N,
                          int NV,
                          std::size_t stride,
                          const double* in,
                          double g,
                          const double* avg,
                          double scale,
                          double* out) {
  stencilLevel<kAverage>(st, N, NV, stride, in, g, avg, scale, out);
}

SERIVANE_KERNEL_DISPATCH
void applyCross(const Stencil& st,
                int N,
                int NV,
                std::size_t stride,
                const double* in,
                const double* base,
                double scale,
                double* out) {
  for (int j = 0; j < NV; ++j) {
    const std::size_t row = static_cast<std::size_t>(j) * stride;
    const double* b = base + row;
    double* o = out + row;
    if (j == 0 || j == NV - 1) {
      if (o != b) std::copy(b + 1, b + N + 1, o + 1);
      continue;
    }
    const double* __restrict uc = in + row;
    const double* __restrict un = uc + stride;
    const double* __restrict us = uc - stride;
    const double* __restrict ww = st.w + row;
    const double* __restrict wc = st.c + row;
    const double* __restrict we = st.e + row;
    const double* __restrict ws = st.s + row;
    const double* __restrict wn = st.n + row;
    const double* __restrict wse = st.se + row;
    if (st.sw != nullptr) {
      const double* __restrict wsw = st.sw + row;
      const double* __restrict wnw = st.nw + row;
      const double* __restrict wne = st.ne + row;
      for (int i = 1; i < N; ++i) {
        const double f = ww[i] * uc[i - 1] + wc[i] * uc[i] + we[i] * uc[i + 1] + ws[i] * us[i] +
                         wn[i] * un[i] + wsw[i] * us[i - 1] + wse[i] * us[i + 1] +
                         wnw[i] * un[i - 1] + wne[i] * un[i + 1];
        o[i] = b[i] + scale * f;
      }
    } else {
      for (int i = 1; i < N; ++i) {
        const double f = ww[i] * uc[i - 1] + wc[i] * uc[i] + we[i] * uc[i + 1] + ws[i] * us[i] +
                         wn[i] * un[i] + wse[i] * (us[i + 1] + un[i - 1]);
        o[i] = b[i] + scale * f;
      }
    }
    o[N] = b[N];
  }
}

SERIVANE_KERNEL_DISPATCH
void factorizeSDirectionGroup(int N,
                              const double* __restrict lo,
                              const double* __restrict di,
                              const double* __restrict up,
                              double* __restrict d,
                              double* __restrict l,
                              double* __restrict ud,
                              double* __restrict invD) {
  constexpr int K = kA1Lanes;
  // Each lane's pivots form a chain of dependent divisions; the lanes' chains run side by side.
  for (int q = 0; q < K; ++q) {
    d[K + q] = di[K + q];
    l[K + q] = 0.0;
  }
  for (int i = 2; i <= N; ++i) {
    const int at = i * K;
    for (int q = 0; q < K; ++q) {
      const double m = lo[at + q] / d[at - K + q];
      l[at + q] = m;
      d[at + q] = di[at + q] - m * up[at - K + q];
    }
  }
  for (int i = 1; i < N; ++i) {
    const int at = i * K;
    for (int q = 0; q < K; ++q) {
      invD[at + q] = 1.0 / d[at + q];
      ud[at + q] = up[at + q] / d[at + q];
    }
  }
  for (int q = 0; q < K; ++q) {
    invD[N * K + q] = 1.0 / d[N * K + q];
    ud[N * K + q] = 0.0 / d[N * K + q];
  }
}

SERIVANE_KERNEL_DISPATCH
void sDirectionRhs(const SDirection& a,
                   int N,
                   int NV,
                   std::size_t stride,
                   const double* p,
                   const double* r,
                   double jumpCoef,
                   const double* gCoef,
                   double* x) {
  for (int j = 0; j < NV; ++j) {
    const std::size_t row = static_cast<std::size_t>(j) * stride;
    const double jumpTerm = jumpCoef * gCoef[j];
    if (r == x) {
      sRhsRow<kSame>(
          N, a.lower + row, a.diagM1 + row, a.upper + row, p + row, nullptr, jumpTerm, x + row);
    } else {
      sRhsRow<kSeparate>(
          N, a.lower + row, a.diagM1 + row, a.upper + row, p + row, r + row, jumpTerm, x + row);
    }
  }
}

void sDirectionSolve(
    const SDirection& a, int N, int NV, std::size_t stride, double* x, double* work, double* pad) {
#if defined(SERIVANE_KERNEL_DISPATCH_ON)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    sDirectionGroupsAvx2(a, N, NV, stride, x, work, pad);
    return;
  }
#endif
  sDirectionGroups<Lanes2>(a, N, NV, stride, x, work, pad);
}

SERIVANE_KERNEL_DISPATCH
void vDirectionSolve(const VDirection& a,
                     int N,
                     int NV,
                     std::size_t stride,
                     const double* prev,
                     const double* in,
                     double* out) {
  if (in == out) {
    vDirectionLevel<kSame>(a, N, NV, stride, prev, in, out);
  } else {
    vDirectionLevel<kSeparate>(a, N, NV, stride, prev, in, out);
  }
}

}  // namespace adi_kernels

}  // namespace serivane
