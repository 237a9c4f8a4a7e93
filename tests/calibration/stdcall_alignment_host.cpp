// A 32-bit host that keeps its stack aligned to 4 bytes only, as a stdcall caller may: this file
// is compiled with -mpreferred-stack-boundary=2, and each call is made with the stack moved by 0,
// 4, 8 and 12 bytes. The module's exports realign their stack on entry, so their SSE2 code (which
// keeps 16-byte values on the stack) neither faults nor computes anything else.
#include <alloca.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "calibration/exports/export_names.h"
#include "calibration/exports/serivane.h"

namespace serivane {

namespace {

void* exportOf(void* module, const char* decorated) { return dlsym(module, decorated); }

// The stack pointer's remainder modulo 16 just before a call made after moving it by `shift`.
template <class Call>
__attribute__((noinline)) auto callShifted(unsigned shift, unsigned* remainder, Call&& call) {
  volatile char* moved = static_cast<char*>(alloca(shift + 4));
  moved[0] = 0;
  std::uintptr_t sp;
  asm volatile("mov %%esp, %0" : "=r"(sp));
  *remainder = static_cast<unsigned>(sp % 16);
  return call();
}

TEST(StdcallAlignment, ExportsGiveTheSameResultsOnAStackOfAnyAlignment) {
  void* module = dlopen(SERIVANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto impliedVol = reinterpret_cast<decltype(&ImpliedVol)>(
      exportOf(module, SERIVANE_DECORATED_NAME(ImpliedVol, 52)));
  auto vanillaHeston = reinterpret_cast<decltype(&VanillaHeston)>(
      exportOf(module, SERIVANE_DECORATED_NAME(VanillaHeston, 84)));
  auto solver = reinterpret_cast<decltype(&GARCH_VanillaPDESolver)>(
      exportOf(module, SERIVANE_DECORATED_NAME(GARCH_VanillaPDESolver, 136)));
  ASSERT_NE(impliedVol, nullptr);
  ASSERT_NE(vanillaHeston, nullptr);
  ASSERT_NE(solver, nullptr);

  std::set<unsigned> remainders;
  double iv0 = 0.0, heston0 = 0.0, pde0 = 0.0;
  for (unsigned shift : {0u, 4u, 8u, 12u}) {
    unsigned r = 0;
    const double iv =
        callShifted(shift, &r, [&] { return impliedVol(10.45, 100.0, 100.0, 1.0, 0.03, 0.01, 0); });
    remainders.insert(r);
    const double heston = callShifted(shift, &r, [&] {
      return vanillaHeston(100.0, 90.0, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 0.5, 1);
    });
    const double pde = callShifted(shift, &r, [&] {
      return solver(100.0,
                    100.0,
                    1.0,
                    0.03,
                    0.01,
                    0.04,
                    0.04,
                    1.5,
                    0.3,
                    -0.7,
                    40,
                    20,
                    20,
                    1,
                    0,
                    1,
                    1,
                    0,
                    1.0,
                    0.9999,
                    0,
                    0);
    });
    if (shift == 0) {
      iv0 = iv;
      heston0 = heston;
      pde0 = pde;
      EXPECT_GT(iv0, 0.2);
      EXPECT_GT(heston0, 0.5);
      EXPECT_GT(pde0, 5.0);
    }
    EXPECT_EQ(iv, iv0) << "shift " << shift;
    EXPECT_EQ(heston, heston0) << "shift " << shift;
    EXPECT_EQ(pde, pde0) << "shift " << shift;
  }
  // The calls met the stack at every 4-byte offset.
  EXPECT_EQ(remainders.size(), 4u);
}

// The text of a string result (the empty string for success), freed as the header says.
std::string takeString(QelString s) {
  if (s == nullptr) return "<null>";
  std::string text;
  for (std::uint32_t i = 0; i < QelStringLength(s); ++i) text.push_back(static_cast<char>(s[i]));
  QelFreeString(s);
  return text;
}

TEST(StdcallAlignment, StringExportsFillTheSameArraysOnAStackOfAnyAlignment) {
  void* module = dlopen(SERIVANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto grid = reinterpret_cast<decltype(&VanillaHestonGrid)>(
      exportOf(module, SERIVANE_DECORATED_NAME(VanillaHestonGrid, 92)));
  auto pricer = reinterpret_cast<decltype(&QelOptionPricer)>(
      exportOf(module, SERIVANE_DECORATED_NAME(QelOptionPricer, 160)));
  ASSERT_NE(grid, nullptr);
  ASSERT_NE(pricer, nullptr);

  const std::vector<double> spots = {0.0, 80.0, 100.0, 120.0};
  std::vector<double> grid0, value0;
  double price0 = 0.0;
  std::set<unsigned> remainders;
  for (unsigned shift : {0u, 4u, 8u, 12u}) {
    unsigned r = 0;
    std::vector<double> out(spots.size(), -1.0);
    const std::string gridText = callShifted(shift, &r, [&] {
      return takeString(grid(
          spots.data(), out.data(), 100.0, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1.0, 1, 3, 1));
    });
    remainders.insert(r);
    EXPECT_EQ(gridText, "") << "shift " << shift;

    std::vector<double> outS(100), value(100), delta(100), gamma(100), theta(100), vega(100);
    double vecA[5] = {0, 0, 0, 0, 0}, vecB[5] = {0, 0, 0, 0, 0};
    double params[6] = {-1.5, 0.04, 0.04, 1.5, -0.7, 0.0};
    double cpu = 0.0;
    std::int32_t ns = 40, nv = 20;
    const std::string pricerText = callShifted(shift, &r, [&] {
      return takeString(pricer(outS.data(),
                               value.data(),
                               delta.data(),
                               gamma.data(),
                               theta.data(),
                               vega.data(),
                               &cpu,
                               100.0,
                               100.0,
                               20,
                               1.0,
                               params,
                               0.03,
                               0.01,
                               0.0,
                               &ns,
                               &nv,
                               1,
                               0,
                               3,
                               1,
                               vecA,
                               vecB,
                               -3.0,
                               1.0,
                               0.9999,
                               1,
                               1,
                               1,
                               1,
                               0));
    });
    EXPECT_EQ(pricerText, "") << "shift " << shift;
    value.resize(ns + 1);
    if (shift == 0) {
      grid0 = out;
      value0 = value;
      price0 = params[4];
      EXPECT_GT(out[2], 5.0);
      EXPECT_GT(price0, 5.0);
    }
    EXPECT_EQ(out, grid0) << "shift " << shift;
    EXPECT_EQ(value, value0) << "shift " << shift;
    EXPECT_EQ(params[4], price0) << "shift " << shift;
  }
  EXPECT_EQ(remainders.size(), 4u);
}

}  // namespace

}  // namespace serivane
