// A host that loads the module with dlopen, as an outside program would: a copy of
// libserivane64.so in a fresh temporary folder (so that the module's log lands there), its two
// exports looked up by name and called. Prices against the semi-analytic Heston engine for the
// square-root variance model, ImpliedVol round trips and its failure value, and the containment
// of an error that the robust pricer lets through.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "core/black_scholes.h"
#include "heston_analytic/analytic_heston_engine.h"

namespace {

using PdeSolverFn = double (*)(double,
                               double,
                               double,
                               double,
                               double,
                               double,
                               double,
                               double,
                               double,
                               double,
                               int32_t,
                               int32_t,
                               int32_t,
                               int32_t,
                               int32_t,
                               int32_t,
                               int32_t,
                               int32_t,
                               double,
                               double,
                               int32_t,
                               int32_t);
using ImpliedVolFn = double (*)(double, double, double, double, double, double, int32_t);

// The module copied into a temporary folder and loaded from there.
class LoadedModule {
 public:
  LoadedModule() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "serivane_host_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    const std::filesystem::path copy = folder_ / "libserivane64.so";
    std::filesystem::copy_file(SERIVANE_MODULE_PATH, copy);
    handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
    solver = reinterpret_cast<PdeSolverFn>(dlsym(handle_, "GARCH_VanillaPDESolver"));
    impliedVol = reinterpret_cast<ImpliedVolFn>(dlsym(handle_, "ImpliedVol"));
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  ~LoadedModule() {
    if (handle_ != nullptr) dlclose(handle_);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  std::string log() const {
    std::ifstream in(folder_ / "GARCH_PDESolverLog.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  PdeSolverFn solver = nullptr;
  ImpliedVolFn impliedVol = nullptr;

 private:
  std::filesystem::path folder_;
  void* handle_ = nullptr;
};

double hestonPrice(
    double K, double T, double v0, double vL, double kappa, double xi, double rho, int CallPut) {
  AnalyticHestonEngine engine(1e-12, 1000000);
  return engine.price(100.0, K, T, 0.03, 0.01, v0, vL, kappa, xi, rho, CallPut == 1 ? -1 : 1);
}

}  // namespace

TEST(ModuleHost, OnlyTheExportsAreFoundByName) {
  LoadedModule m;
  EXPECT_NE(m.solver, nullptr);
  EXPECT_NE(m.impliedVol, nullptr);
}

TEST(ModuleHost, SquareRootModelPricesMatchTheAnalyticHestonEngine) {
  LoadedModule m;
  ASSERT_NE(m.solver, nullptr);
  struct Case {
    const char* label;
    double K, T, v0, vL, kappa, xi, rho;
    int CallPut, precisionCode;
  } cases[] = {
      {"at-the-money put, plain solve", 100.0, 1.0, 0.04, 0.04, 1.5, 0.3, -0.7, 1, 1},
      {"out-of-the-money call, Richardson in time", 120.0, 0.5, 0.09, 0.05, 3.0, 0.5, -0.5, 0, 0},
      {"in-the-money put, convergence run", 110.0, 2.0, 0.02, 0.06, 0.5, 0.4, 0.3, 1, 2},
  };
  for (const Case& c : cases) {
    const double ref = hestonPrice(c.K, c.T, c.v0, c.vL, c.kappa, c.xi, c.rho, c.CallPut);
    const double pde = m.solver(100.0,
                                c.K,
                                c.T,
                                0.03,
                                0.01,
                                c.v0,
                                c.vL,
                                c.kappa,
                                c.xi,
                                c.rho,
                                100,
                                50,
                                50,
                                c.CallPut,
                                0,
                                c.precisionCode,
                                2,
                                0,
                                1.0,
                                0.9999,
                                0,
                                0);
    EXPECT_NEAR(pde, ref, 2e-3 * ref + 2e-3) << c.label;
    // Asked for the implied volatility, the export returns that of its price.
    const double iv = m.solver(100.0,
                               c.K,
                               c.T,
                               0.03,
                               0.01,
                               c.v0,
                               c.vL,
                               c.kappa,
                               c.xi,
                               c.rho,
                               100,
                               50,
                               50,
                               c.CallPut,
                               0,
                               c.precisionCode,
                               2,
                               1,
                               1.0,
                               0.9999,
                               0,
                               0);
    EXPECT_NEAR(bsmPrice(100.0, c.K, 0.03, 0.01, iv, c.T, c.CallPut), pde, 1e-9) << c.label;
  }
  EXPECT_EQ(m.log(), "");
}

TEST(ModuleHost, ImpliedVolRoundTripsAndFailureValue) {
  LoadedModule m;
  ASSERT_NE(m.impliedVol, nullptr);
  for (double sigma : {0.05, 0.2, 0.8, 1.5}) {
    for (int isPut : {0, 1}) {
      for (double K : {80.0, 100.0, 125.0}) {
        const double p = bsmPrice(100.0, K, 0.03, 0.01, sigma, 1.25, isPut);
        EXPECT_NEAR(m.impliedVol(p, 100.0, K, 1.25, 0.03, 0.01, isPut), sigma, 1e-9 * sigma)
            << "sigma " << sigma << " put " << isPut << " K " << K;
      }
    }
  }
  const double low = bsmPrice(100.0, 100.0, 0.03, 0.01, 1e-6, 1.0, 0);
  const double high = bsmPrice(100.0, 100.0, 0.03, 0.01, 2.0, 1.0, 0);
  struct Case {
    const char* label;
    double price;
  } failures[] = {
      {"below the price at 1e-6", low - 1e-3},
      {"above the price at 2.0", high + 1e-3},
      {"not a number", std::numeric_limits<double>::quiet_NaN()},
  };
  for (const Case& c : failures) {
    EXPECT_EQ(m.impliedVol(c.price, 100.0, 100.0, 1.0, 0.03, 0.01, 0), -999.0) << c.label;
  }
  EXPECT_EQ(m.log(), "");
}

TEST(ModuleHost, AnErrorThatThePricerLetsThroughStaysInTheModule) {
  LoadedModule m;
  ASSERT_NE(m.solver, nullptr);
  // vL = 0 with a coverage probability: the gamma law of the variance bound cannot be built and
  // throws a plain character string, which the export turns into its failure value and a catch
  // record in the module's folder.
  const double v = m.solver(100.0,
                            100.0,
                            1.0,
                            0.03,
                            0.01,
                            0.04,
                            0.0,
                            1.5,
                            0.3,
                            -0.7,
                            60,
                            30,
                            30,
                            1,
                            0,
                            1,
                            2,
                            0,
                            1.0,
                            0.9999,
                            0,
                            1);
  EXPECT_EQ(v, 0.0);
  const std::string log = m.log();
  EXPECT_NE(log.find("Possible instability issue****************************\n"
                     "bad alph,bet in Gammadist\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("vL:\t\t0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Precision:\t3\n\n"), std::string::npos) << log;
}
