#ifndef SERIVANE_PDE2D_ADI_KERNELS_H_
#define SERIVANE_PDE2D_ADI_KERNELS_H_

#include <cstddef>

namespace serivane {

// The loops of one ADI time step, each over a whole level: NV rows of `stride` values, row j at
// level + j * stride, asset nodes i = 1..N of each row (column 0 is the S = 0 value).
//
// Every kernel takes pointers that do not overlap, except where its comment allows one to be the
// same array as another (then a variant of the loop that reads and writes through the one pointer
// runs), so that the compiler vectorises the loops. Where the processor has AVX2 the same loops
// run in 256-bit registers, chosen once when the program is loaded; otherwise in the SSE2 of every
// x86-64. Each node is computed with the same operations in the same order in either case (and as
// in a plain scalar loop), so the results do not depend on the processor.
namespace adi_kernels {

// Stencil weights of the explicit operator F, rows 0..NV-1 laid out like a level.
struct Stencil {
  const double* w = nullptr;      // (i - 1, j)
  const double* c = nullptr;      // (i, j)
  const double* e = nullptr;      // (i + 1, j)
  const double* s = nullptr;      // (i, j - 1)
  const double* n = nullptr;      // (i, j + 1)
  const double* se = nullptr;     // (i + 1, j - 1)
  const double* nw = nullptr;     // (i - 1, j + 1); may be se (one weight for both corners)
  const double* sw = nullptr;     // (i - 1, j - 1), nine-point mixed stencil only (else null)
  const double* ne = nullptr;     // (i + 1, j + 1), nine-point mixed stencil only (else null)
  const double* gCoef = nullptr;  // per row: weight of the slope g at i = N
  double c2 = 0.0;                // weight of (i, 2) in row 0 (the one-sided drift at v = 0)
};

// out = base + scale * F(in) on i = 1..N, j = 0..NV-1, with the slope g at Smax; F reads rows
// 0..NV of in. base null stands for zero; base may be out or in; out must not overlap in.
void applyStencil(const Stencil& st,
                  int N,
                  int NV,
                  std::size_t stride,
                  const double* in,
                  double g,
                  const double* base,
                  double scale,
                  double* out);
// out = (avg + out) / 2 + scale * F(in) on the same nodes: the base is the average of avg and
// the values out holds. Neither avg nor out may overlap in.
void applyStencilAveraged(const Stencil& st,
                          int N,
                          int NV,
                          std::size_t stride,
                          const double* in,
                          double g,
                          const double* avg,
                          double scale,
                          double* out);

// out = base + scale * F0(in), F0 the cross-term part of F with the stencil st (gCoef and c2 not
// read; with sw null, se weighs both anti-diagonal corners and nw, ne are not read either), on
// i = 1..N-1 of rows 1..NV-2; at i = N and on rows 0 and NV-1, where F drops the mixed term, out
// gets base. out may be base; in must not overlap out.
void applyCross(const Stencil& st,
                int N,
                int NV,
                std::size_t stride,
                const double* in,
                const double* base,
                double scale,
                double* out);

// Rows side by side in the S-direction solves: the recurrences of one row are latency bound, so
// kA1Lanes rows run in the lanes of vector registers.
constexpr int kA1Lanes = 8;

// The S-direction systems of solveA1, one per row j < NV.
struct SDirection {
  // The matrices -theta dt' A1 for the right-hand sides, laid out like a level: lower, diagonal
  // (without the identity) and upper entries.
  const double* lower = nullptr;
  const double* diagM1 = nullptr;
  const double* upper = nullptr;
  // Factors l, u/d and 1/d, interleaved by groups of kA1Lanes rows: the entry of row
  // g * kA1Lanes + q at node i is at ((g * (N + 1)) + i) * kA1Lanes + q. The rows of the last
  // group beyond NV - 1 have l = 0, u/d = 0 and 1/d = 1.
  const double* l = nullptr;
  const double* ud = nullptr;
  const double* invD = nullptr;
};

// Factorises the kA1Lanes S-direction systems of one group side by side, each as
// triDiagFactorize does it (a = lo, b = di, c = up, nodes 1..N), from lo, di and up interleaved
// as the factors are (entry of lane q at node i at i * kA1Lanes + q), into the group's factors
// in the SDirection layout: l (0 at node 1), u/d (0 at node N) and 1/d. d is scratch of the same
// size. A lane with lo = up = 0 and di = 1 gives the neutral factors.
void factorizeSDirectionGroup(int N,
                              const double* lo,
                              const double* di,
                              const double* up,
                              double* d,
                              double* l,
                              double* ud,
                              double* invD);

// x = r + (-theta dt' A1) p on every row (nodes 1..N; the entry on the ghost node is not read),
// plus jumpCoef * gCoef[j] at i = N. x may be r; p must not overlap x.
void sDirectionRhs(const SDirection& a,
                   int N,
                   int NV,
                   std::size_t stride,
                   const double* p,
                   const double* r,
                   double jumpCoef,
                   const double* gCoef,
                   double* x);
// Solves the factorised systems in place on x, kA1Lanes rows at a time. work holds
// (N + 1) * kA1Lanes values and pad one row of stride zeros (the rows of the last group beyond
// NV - 1 run in it).
void sDirectionSolve(
    const SDirection& a, int N, int NV, std::size_t stride, double* x, double* work, double* pad);

// The variance-direction system of solveA2, shared by all asset nodes.
struct VDirection {
  const double* lower = nullptr;   // per row j: entries of -theta dt' A2 for the right-hand sides
  const double* diagM1 = nullptr;  //
  const double* upper = nullptr;   //
  double diag0M1 = 0.0, upper0 = 0.0, e = 0.0;  // row 0: diagonal, upper and second upper entry
  const double* l = nullptr;                    // factors: multipliers, u/d and 1/d per row
  const double* ud = nullptr;
  const double* invD = nullptr;
};

// out = the solution of (I - theta dt' A2) out = in - theta dt' A2 prev on nodes 1..N of rows
// 0..NV-1 (prev read on rows 0..NV). out may be in; prev must not overlap out.
void vDirectionSolve(const VDirection& a,
                     int N,
                     int NV,
                     std::size_t stride,
                     const double* prev,
                     const double* in,
                     double* out);

}  // namespace adi_kernels

}  // namespace serivane

#endif  // SERIVANE_PDE2D_ADI_KERNELS_H_
