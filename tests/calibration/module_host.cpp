// A host that loads the module with dlopen, as an outside program would: a copy of
// libserivane64.so in a fresh temporary folder (so that the module's log lands there), its
// exports looked up by name and called through pointers of the types calibration/exports/serivane.h
// declares. Prices against the semi-analytic Heston engine for the square-root variance model,
// ImpliedVol round trips and its failure value, and the containment of an error that the robust
// pricer lets through; the analytic Heston price and its calibration objective over quotes beside
// the module.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "bad_export_args.h"
#include "calibration/exports/serivane.h"
#include "core/black_scholes.h"
#include "core/brent.h"
#include "heston_analytic/analytic_heston_engine.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

using PdeSolverFn = decltype(&GARCH_VanillaPDESolver);
using ImpliedVolFn = decltype(&ImpliedVol);
using VanillaHestonFn = decltype(&VanillaHeston);
using HestonCalibrationFn = decltype(&HESTON_VanillaCalibration);

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
    vanillaHeston = reinterpret_cast<VanillaHestonFn>(dlsym(handle_, "VanillaHeston"));
    hestonCalibration =
        reinterpret_cast<HestonCalibrationFn>(dlsym(handle_, "HESTON_VanillaCalibration"));
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

  const std::filesystem::path& folder() const { return folder_; }
  void* symbol(const char* name) const { return dlsym(handle_, name); }

  PdeSolverFn solver = nullptr;
  ImpliedVolFn impliedVol = nullptr;
  VanillaHestonFn vanillaHeston = nullptr;
  HestonCalibrationFn hestonCalibration = nullptr;

 private:
  std::filesystem::path folder_;
  void* handle_ = nullptr;
};

// How often `what` occurs in `text`.
int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

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
  EXPECT_NE(m.vanillaHeston, nullptr);
  EXPECT_NE(m.hestonCalibration, nullptr);
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
  // The case on a 100 x 50 x 50 grid, method id 2, European; its price, or its implied
  // volatility when ivWanted is 1.
  const auto solve = [&m](const Case& c, int ivWanted) {
    return m.solver(100.0,
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
                    ivWanted,
                    1.0,
                    0.9999,
                    0,
                    0);
  };
  for (const Case& c : cases) {
    const double ref = hestonPrice(c.K, c.T, c.v0, c.vL, c.kappa, c.xi, c.rho, c.CallPut);
    const double pde = solve(c, 0);
    EXPECT_NEAR(pde, ref, 2e-3 * ref + 2e-3) << c.label;
    // Asked for the implied volatility, the export returns that of its price.
    const double iv = solve(c, 1);
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
  // The default put of the bad-argument rows (a 60 x 30 x 30 grid, a plain solve) under model 1.
  bad_export_args::PdeArgs a;
  a.vL = 0.0;
  a.model = 1;
  const double v = a.call(m.solver);
  EXPECT_EQ(v, 0.0);
  const std::string log = m.log();
  EXPECT_NE(log.find("Possible instability issue****************************\n"
                     "bad alph,bet in Gammadist\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("vL:\t\t0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Precision:\t3\n\n"), std::string::npos) << log;
}

TEST(ModuleHost, AnalyticHestonPriceAndItsCalibrationObjective) {
  LoadedModule m;
  ASSERT_NE(m.vanillaHeston, nullptr);
  ASSERT_NE(m.hestonCalibration, nullptr);
  TempFolder current;  // "Results.txt" is appended in the current folder
  // v0, vL, mean-reversion speed, volvol, rho; the engine takes vL before the speed.
  const double v0 = 0.04, vL = 0.05, speed = 1.5, volvol = 0.3, rho = -0.7;
  struct Quote {
    double K, T;
    int CallPut;
  } chain[] = {{90.0, 0.5, 1}, {100.0, 1.0, 0}, {115.0, 2.0, 0}, {85.0, 1.5, 1}};
  std::ostringstream file;
  file.precision(17);
  file << 4 << "\n";
  for (const Quote& q : chain) {
    AnalyticHestonEngine engine(1e-16, 1000000);
    const double ref = engine.price(
        100.0, q.K, q.T, 0.03, 0.01, v0, vL, speed, volvol, rho, q.CallPut == 0 ? 1 : -1);
    const double price =
        m.vanillaHeston(100.0, q.K, 0.03, 0.01, v0, vL, speed, volvol, rho, q.T, q.CallPut);
    EXPECT_NEAR(price, ref, 1e-12) << "K " << q.K;
    const double iv = brentSolve(
        ImpliedVolFunctor{100.0, q.K, q.T, 0.03, 0.01, ref, q.CallPut}, 1e-6, 2.0, 1e-16);
    // Every market IV 0.02 above the model's: the root-mean-square error is 0.02.
    file << iv + 0.02 << " 100 " << q.K << " " << q.T << " 0.03 0.01 " << q.CallPut << " 0\n";
  }
  EXPECT_EQ(m.log(), "");

  EXPECT_EQ(m.hestonCalibration(v0, vL, speed, volvol, rho), 10000.0);
  EXPECT_EQ(current.read("Results.txt"), "");
  std::ofstream(m.folder() / "OptionsData.txt") << file.str();
  EXPECT_NEAR(m.hestonCalibration(v0, vL, speed, volvol, rho), 0.02, 1e-10);
  const std::string results = current.read("Results.txt");
  EXPECT_EQ(results.rfind("Objective function:\t", 0), 0u) << results;
  EXPECT_NE(results.find("\tv0: 0.04\tvL: 0.05\ttheta: 1.5\tvolvol: 0.3\trho: -0.7\t\n"),
            std::string::npos)
      << results;

  // A failed pricing: -999.0 and its record in the module's folder.
  EXPECT_EQ(m.vanillaHeston(100.0, 0.0, 0.03, 0.01, v0, vL, speed, volvol, rho, 1.0, 1), -999.0);
  EXPECT_NE(m.log().find("rho:\t\t-0.7\nCall/Put: \t1\n"), std::string::npos) << m.log();
}

// The PDE calibration objectives over counted quotes beside the module.
namespace {

using PdeObjectiveFn = decltype(&HESTON_VanillaPDECalibration);
using PdeObjectiveModelFn = decltype(&GARCH_VanillaPDECalibration);
using PdeObjectiveExFn = decltype(&SVPDECalibration);

}  // namespace

TEST(ModuleHost, PdeCalibrationObjectivesFitAnalyticHestonQuotes) {
  LoadedModule m;
  const auto byOption = reinterpret_cast<PdeObjectiveFn>(m.symbol("HESTON_VanillaPDECalibration"));
  const auto byExpiry = reinterpret_cast<PdeObjectiveFn>(m.symbol("HESTON_VanillaPDECalibrationM"));
  const auto sv = reinterpret_cast<PdeObjectiveExFn>(m.symbol("SVPDECalibration"));
  ASSERT_NE(byOption, nullptr);
  ASSERT_NE(byExpiry, nullptr);
  ASSERT_NE(sv, nullptr);
  EXPECT_NE(m.symbol("GARCH_VanillaPDECalibration"), nullptr);
  EXPECT_NE(m.symbol("GARCH_VanillaPDECalibrationM"), nullptr);
  const double v0 = 0.04, vL = 0.05, speed = 1.5, volvol = 0.4, rho = -0.6;
  // The console's default grid, the two-grid convergence run, variance range at 0.9999.
  const auto call = [&](PdeObjectiveFn f) {
    return f(v0, vL, speed, volvol, rho, 60, 30, 30, 2, 2, 1.0, 0.9999, 0);
  };
  EXPECT_EQ(call(byOption), 10000.0);  // no quote file yet
  std::ostringstream file;
  file.precision(17);
  int n = 0;
  for (double T : {0.25, 1.0}) {
    for (double K : {90.0, 100.0, 110.0}) {
      const int put = K < 100.0 ? 1 : 0;
      const double price = hestonPrice(K, T, v0, vL, speed, volvol, rho, put);
      const double iv =
          brentSolve(ImpliedVolFunctor{100.0, K, T, 0.03, 0.01, price, put}, 1e-6, 2.0, 1e-16);
      file << iv << " 100 " << K << " " << T << " 0.03 0.01 " << put << " 0\n";
      ++n;
    }
  }
  std::ofstream(m.folder() / "OptionsData.txt") << n << "\n" << file.str();
  const double fit = call(byOption);
  EXPECT_LT(fit, 1e-4);
  EXPECT_LT(call(byExpiry), 1e-4);
  EXPECT_EQ(sv(v0, vL, speed, volvol, rho, 60, 30, 30, 2, 2, 1.0, 0.9999, 0, 3, 0), fit);
}

// ---- String results: VanillaHestonGrid and QelOptionPricer ----
namespace {

using HestonGridFn = decltype(&VanillaHestonGrid);
using OptionPricerFn = decltype(&QelOptionPricer);

// A returned string read as a host must: the byte length from the 4 bytes before the string, then
// the block freed at the string minus the pointer size (AddressSanitizer checks both).
std::string takeHostString(char16_t* s) {
  EXPECT_NE(s, nullptr);
  if (s == nullptr) return "<null>";
  uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<char*>(s) - 4, 4);
  std::string text;
  for (uint32_t i = 0; i < bytes / 2; ++i) text.push_back(static_cast<char>(s[i]));
  EXPECT_EQ(s[bytes / 2], u'\0');
  std::free(reinterpret_cast<char*>(s) - sizeof(void*));
  return text;
}

}  // namespace

TEST(ModuleHost, SpotGridFromTheOutsideLibraryBesideTheModuleAndWithoutIt) {
  std::vector<double> S;
  for (double s = 60.0; s <= 160.0; s += 10.0) S.push_back(s);
  const int N = static_cast<int>(S.size()) - 1;
  std::vector<double> engine(S.size()), outside(S.size(), -1.0);
  {
    LoadedModule m;
    const auto grid = reinterpret_cast<HestonGridFn>(m.symbol("VanillaHestonGrid"));
    ASSERT_NE(grid, nullptr);
    // Without libmervane.so beside the module (nor on the search path): the failure text.
    const std::string missing = takeHostString(grid(
        S.data(), outside.data(), 100.0, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1.0, 1, N, 0));
    EXPECT_EQ(missing.rfind("The outside pricing library libmervane.so could not be loaded: ", 0),
              0u)
        << missing;
    EXPECT_EQ(outside[0], -1.0);
    EXPECT_EQ(
        takeHostString(grid(
            S.data(), engine.data(), 100.0, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1.0, 1, N, 1)),
        "");
  }
  LoadedModule m;
  std::filesystem::copy_file(SERIVANE_OUTSIDE_LIBRARY_PATH, m.folder() / "libmervane.so");
  const auto grid = reinterpret_cast<HestonGridFn>(m.symbol("VanillaHestonGrid"));
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(
      takeHostString(grid(
          S.data(), outside.data(), 100.0, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1.0, 1, N, 0)),
      "");
  for (int i = 0; i <= N; ++i) EXPECT_NEAR(outside[i], engine[i], 1e-9 * engine[i]) << S[i];
}

TEST(ModuleHost, OptionPricerStringResults) {
  LoadedModule m;
  const auto pricer = reinterpret_cast<OptionPricerFn>(m.symbol("QelOptionPricer"));
  ASSERT_NE(pricer, nullptr);
  std::vector<double> outS(200), value(200), delta(200), gamma(200), theta(200), vega(200);
  double vecA[5] = {0, 0, 0, 0, 0}, vecB[5] = {0, 0, 0, 0, 0};
  for (double model : {0.0, std::numeric_limits<double>::quiet_NaN()}) {
    // volvol 0.3 for rootT = 1: params[0] = log2(0.3) + 5 r.
    double params[6] = {std::log2(0.3) + 0.15, 0.04, 0.04, 1.5, -0.7, model};
    double cpu = 0.0;
    int32_t ns = 60, nv = 30;
    const std::string text = takeHostString(pricer(outS.data(),
                                                   value.data(),
                                                   delta.data(),
                                                   gamma.data(),
                                                   theta.data(),
                                                   vega.data(),
                                                   &cpu,
                                                   100.0,
                                                   100.0,
                                                   30,
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
    if (std::isnan(model)) {
      EXPECT_EQ(text, "the model selector is not finite");
    } else {
      EXPECT_EQ(text, "");
      EXPECT_NEAR(params[4], hestonPrice(100.0, 1.0, 0.04, 0.04, 1.5, 0.3, -0.7, 1), 0.05);
    }
  }
  EXPECT_EQ(m.log(), "");
}

TEST(ModuleHost, BadArgumentsGiveTheFailureValuesAndRecords) {
  // The rows of the in-process tests, through the module as a host calls it (in the sanitizer
  // build: no report may end the host).
  LoadedModule m;
  ASSERT_NE(m.solver, nullptr);
  ASSERT_NE(m.vanillaHeston, nullptr);
  for (const bad_export_args::PdeCase& c : bad_export_args::pdeCases()) {
    bad_export_args::PdeArgs a;
    c.change(a);
    EXPECT_EQ(a.call(m.solver), 0.0) << c.label;
    EXPECT_NE(m.log().find(c.logged), std::string::npos) << c.label;
  }
  for (const bad_export_args::HestonCase& c : bad_export_args::hestonCases()) {
    bad_export_args::HestonArgs a;
    c.change(a);
    EXPECT_EQ(a.call(m.vanillaHeston), -999.0) << c.label;
    EXPECT_NE(m.log().find(c.logged), std::string::npos) << c.label;
  }
  EXPECT_EQ(m.impliedVol(0.1, 100.0, 100.0, -1e300, 0.03, 0.01, 0), -999.0);
  EXPECT_EQ(m.hestonCalibration(0.04, 0.05, 1.5, -0.3, -0.7), -999.0);
}

TEST(ModuleHost, BadArgumentsOfTheStringExportsGiveTheirMessages) {
  LoadedModule m;
  const auto pricer = reinterpret_cast<OptionPricerFn>(m.symbol("QelOptionPricer"));
  const auto grid = reinterpret_cast<HestonGridFn>(m.symbol("VanillaHestonGrid"));
  ASSERT_NE(pricer, nullptr);
  ASSERT_NE(grid, nullptr);
  for (const bad_export_args::OptionPricerCase& c : bad_export_args::optionPricerCases()) {
    bad_export_args::OptionPricerArgs a;
    c.change(a);
    const std::string text = a.call(pricer);
    EXPECT_NE(text.find(c.logged), std::string::npos) << c.label << ": " << text;
    EXPECT_TRUE(a.untouched()) << c.label;
  }
  for (const bad_export_args::HestonGridCase& c : bad_export_args::hestonGridCases()) {
    bad_export_args::HestonGridArgs a;
    c.change(a);
    const std::string text = a.call(grid);
    EXPECT_NE(text.find(c.logged), std::string::npos) << c.label << ": " << text;
    EXPECT_TRUE(a.untouched()) << c.label;
  }
  EXPECT_EQ(m.log(), "");  // neither writes a record
}

TEST(ModuleHost, BadArgumentsOfThePdeObjectivesGiveZeroAndTheirRecords) {
  LoadedModule m;
  const auto byOption =
      reinterpret_cast<PdeObjectiveModelFn>(m.symbol("GARCH_VanillaPDECalibration"));
  const auto byExpiry =
      reinterpret_cast<PdeObjectiveExFn>(m.symbol("GARCH_VanillaPDECalibrationM"));
  const auto sv = reinterpret_cast<PdeObjectiveExFn>(m.symbol("SVPDECalibration"));
  const auto hestonByOption =
      reinterpret_cast<PdeObjectiveFn>(m.symbol("HESTON_VanillaPDECalibration"));
  const auto hestonByExpiry =
      reinterpret_cast<PdeObjectiveFn>(m.symbol("HESTON_VanillaPDECalibrationM"));
  ASSERT_TRUE(byOption && byExpiry && sv && hestonByOption && hestonByExpiry);
  for (const bad_export_args::ObjectiveCase& c : bad_export_args::objectiveCases()) {
    bad_export_args::ObjectiveArgs a;
    c.change(a);
    std::ofstream(m.folder() / "OptionsData.txt") << c.file;
    std::filesystem::remove(m.folder() / "GARCH_PDESolverLog.txt");
    std::vector<double> values = {
        a.byOption(byOption), a.byExpiry(byExpiry), a.svByOption(sv), a.byExpiry(sv)};
    if (a.model == 0) {
      values.push_back(a.heston(hestonByOption));
      values.push_back(a.heston(hestonByExpiry));
    }
    for (std::size_t i = 0; i < values.size(); ++i)
      EXPECT_EQ(values[i], 0.0) << c.label << " " << i;
    EXPECT_EQ(countOf(m.log(), c.logged), static_cast<int>(values.size())) << c.label << "\n"
                                                                           << m.log();
  }
}

}  // namespace serivane
