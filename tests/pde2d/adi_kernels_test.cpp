#include "pde2d/adi_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/tridiag.h"

namespace serivane {

namespace {

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The group factorisation gives every lane the factors of its own triDiagFactorize bit for bit
// (l, u/d and 1/d as the S-direction solves read them), and the neutral lanes the neutral
// factors; with sizes of one node, two nodes and a level's worth.
TEST(AdiKernels, GroupFactorisationEqualsOneSystemAtATime) {
  constexpr int K = adi_kernels::kA1Lanes;
  for (int N : {1, 2, 37}) {
    const std::size_t size = static_cast<std::size_t>(N + 1) * K;
    std::vector<double> lo(size, 0.0), di(size, 1.0), up(size, 0.0), d(size), l(size), ud(size),
        invD(size);
    const int realLanes = K - 3;  // the last three lanes neutral, as beyond a level's last row
    for (int q = 0; q < realLanes; ++q) {
      for (int i = 1; i <= N; ++i) {
        lo[i * K + q] = i == 1 ? 0.0 : -0.3 - 0.01 * q - 0.002 * i;
        di[i * K + q] = 1.7 + 0.05 * std::sin(i + 3.0 * q);
        up[i * K + q] = i == N ? 0.0 : -0.4 + 0.003 * i * (q % 3);
      }
    }
    adi_kernels::factorizeSDirectionGroup(
        N, lo.data(), di.data(), up.data(), d.data(), l.data(), ud.data(), invD.data());
    for (int q = 0; q < K; ++q) {
      std::vector<double> a(N + 1), b(N + 1), c(N + 1), fl(N + 1, 0.0), fu(N + 1, 0.0), fd(N + 1);
      for (int i = 1; i <= N; ++i) {
        a[i] = lo[i * K + q];
        b[i] = di[i * K + q];
        c[i] = up[i * K + q];
      }
      triDiagFactorize(N, a.data(), b.data(), c.data(), fl.data(), fu.data(), fd.data());
      for (int i = 1; i <= N; ++i) {
        const int at = i * K + q;
        EXPECT_TRUE(sameBits(l[at], i == 1 ? 0.0 : fl[i])) << N << " " << q << " " << i;
        EXPECT_TRUE(sameBits(invD[at], 1.0 / fd[i])) << N << " " << q << " " << i;
        EXPECT_TRUE(sameBits(ud[at], (i < N ? fu[i] : 0.0) / fd[i])) << N << " " << q << " " << i;
        if (q >= realLanes) {
          EXPECT_EQ(l[at], 0.0);
          EXPECT_EQ(ud[at], 0.0);
          EXPECT_EQ(invD[at], 1.0);
        }
      }
    }
  }
}

}  // namespace

}  // namespace serivane
