// A host of the module, built in both builds: it loads a copy of the module from a fresh temporary
// folder with dlopen, looks each export up by the name this build's module gives it (the plain
// name in the 64-bit build, the decorated stdcall name _Name@bytes in the 32-bit build), calls it
// through a pointer of the type that calibration/exports/serivane.h declares (stdcall in the 32-bit
// build) and compares the result with the table of cases that both builds share
// (data/module_cases/cases.txt). Equal results in both builds to the table's tolerance show that
// the 32-bit module computes what the 64-bit one does.
//
// Another export that takes and returns numbers is covered by a SERIVANE_CALLER line below and its
// rows in the table. The exports that return a string and fill arrays (QelOptionPricer,
// VanillaHestonGrid) have callers of their own (SERIVANE_TYPED_CALLER), which build the arrays
// from the row, read the string through its length prefix, free it as
// calibration/exports/serivane.h says, and report the text with the numbers the row asks for.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "calibration/exports/export_names.h"
#include "calibration/exports/serivane.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

const std::filesystem::path kCaseFolder =
    std::filesystem::path(SERIVANE_TEST_DATA_DIR) / "module_cases";

// ---- The table of exported names -----------------------------------------------------------

struct TableEntry {
  const char* name;
  int bytes;
};
#define SERIVANE_TABLE_ROW(name, bytes) {#name, bytes},
constexpr TableEntry kExportTable[] = {SERIVANE_EXPORTS(SERIVANE_TABLE_ROW)};
#undef SERIVANE_TABLE_ROW

constexpr int tableBytes(std::string_view name) {
  for (const TableEntry& e : kExportTable) {
    if (name == e.name) return e.bytes;
  }
  return -1;
}

// The bytes an argument takes on the 32-bit stack: a pointer 4, anything else its size rounded up
// to 4 (the count is that of the 32-bit build whichever build compiles it).
template <class T>
constexpr int stackBytes() {
  return std::is_pointer_v<T> ? 4 : static_cast<int>((sizeof(T) + 3) / 4 * 4);
}

template <class R, class... A>
constexpr int argumentBytes(R(QEL_CALL*)(A...)) {
  return (0 + ... + stackBytes<A>());
}

// The name under which this build's module exports `plain`.
std::string exportedName(const std::string& plain) {
#if defined(__i386__)
  return "_" + plain + "@" + std::to_string(tableBytes(plain));
#else
  return plain;
#endif
}

// ---- Arguments and results -------------------------------------------------------------------

// The argument fields of one row, read as the type of the parameter they are passed to.
class Arguments {
 public:
  explicit Arguments(std::vector<std::string> fields) : fields_(std::move(fields)) {}
  std::size_t size() const { return fields_.size(); }

  template <class T>
  T get(std::size_t i) const {
    const std::string& f = fields_.at(i);
    char* end = nullptr;
    errno = 0;
    if constexpr (std::is_same_v<T, double>) {
      const double v = std::strtod(f.c_str(), &end);
      if (end == f.c_str() || *end != '\0') throw std::runtime_error("not a number: " + f);
      return v;
    } else {
      static_assert(std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::uint8_t>,
                    "a parameter type the table cannot give");
      constexpr long kLow = std::is_same_v<T, std::uint8_t> ? 0 : INT32_MIN;
      constexpr long kHigh = std::is_same_v<T, std::uint8_t> ? UINT8_MAX : INT32_MAX;
      const long v = std::strtol(f.c_str(), &end, 10);
      if (end == f.c_str() || *end != '\0' || errno != 0 || v < kLow || v > kHigh) {
        throw std::runtime_error("not an integer of the parameter's type: " + f);
      }
      return static_cast<T>(v);
    }
  }

  // The fields from `first` on, as doubles.
  std::vector<double> numbersFrom(std::size_t first) const {
    std::vector<double> v;
    for (std::size_t i = first; i < fields_.size(); ++i) v.push_back(get<double>(i));
    return v;
  }

 private:
  std::vector<std::string> fields_;
};

// What a call gives: a number, or a text with the numbers its caller reads from the arrays.
// A number that the module gets as a difference of nearly equal values (the pricer's delta, gamma,
// theta and vega) is marked in `quotients`: the rounding of the values is magnified in it.
struct Result {
  bool isText = false;
  std::string text;
  std::vector<double> numbers;
  std::vector<bool> quotients;  // empty, or one flag a number
};

Result toResult(double v) {
  Result r;
  r.numbers.push_back(v);
  return r;
}

// A string result read as a host must read it: its length from the prefix, its units up to
// there (then the terminator), and then freed at the documented address. The messages are ASCII;
// any other unit shows as "?".
Result toResult(QelString s) {
  if (s == nullptr) throw std::runtime_error("the export returned a null string");
  Result r;
  r.isText = true;
  const std::uint32_t length = QelStringLength(s);
  for (std::uint32_t i = 0; i < length; ++i) {
    r.text.push_back(s[i] < 0x80 ? static_cast<char>(s[i]) : '?');
  }
  const bool terminated = s[length] == 0;
  QelFreeString(s);
  if (!terminated) throw std::runtime_error("the string result is not NUL-terminated");
  return r;
}

template <class R, class... A, std::size_t... I>
Result callWith(R(QEL_CALL* fn)(A...), const Arguments& a, std::index_sequence<I...>) {
  return toResult(fn(a.get<A>(I)...));
}

// Calls the export at `symbol`, of the type of `declared` (a null pointer of the declared type:
// the host links no export), with the row's arguments.
template <class R, class... A>
Result callAs(R(QEL_CALL* declared)(A...), void* symbol, const Arguments& a) {
  if (a.size() != sizeof...(A)) {
    throw std::runtime_error("the row gives " + std::to_string(a.size()) +
                             " arguments, the export takes " + std::to_string(sizeof...(A)));
  }
  auto* fn = reinterpret_cast<decltype(declared)>(symbol);
  return callWith(fn, a, std::index_sequence_for<A...>{});
}

using Caller = std::function<Result(void*, const Arguments&)>;

// The caller of an export of the type of `declared` (a null pointer of that type);
// kBytesAsInTable: its arguments take the bytes that export_names.h gives the export.
template <bool kBytesAsInTable, class R, class... A>
Caller callerOf(R(QEL_CALL* declared)(A...)) {
  static_assert(kBytesAsInTable, "argument bytes differ from calibration/exports/export_names.h");
  return [declared](void* symbol, const Arguments& a) { return callAs(declared, symbol, a); };
}

// The caller of an export of type Fn that builds its arguments with `call`.
template <bool kBytesAsInTable, class Fn>
Caller typedCallerOf(Result (*call)(Fn, const Arguments&)) {
  static_assert(kBytesAsInTable, "argument bytes differ from calibration/exports/export_names.h");
  return [call](void* symbol, const Arguments& a) { return call(reinterpret_cast<Fn>(symbol), a); };
}

// VanillaHestonGrid row arguments: K r d v0 vL theta volvol rho T put internal, then the spot
// nodes S[0] .. S[N] (N is one less than their count). Result: the text, then out[0] .. out[N].
// For internal 0 the module finds libmervane.so beside it (LoadedModule puts it there).
Result callVanillaHestonGrid(decltype(&VanillaHestonGrid) fn, const Arguments& a) {
  constexpr std::size_t kScalars = 11;
  if (a.size() < kScalars + 2) throw std::runtime_error("VanillaHestonGrid takes 2 nodes or more");
  const std::vector<double> S = a.numbersFrom(kScalars);
  std::vector<double> out(S.size(), -1.0);
  const auto N = static_cast<std::int32_t>(S.size() - 1);
  Result r = toResult(fn(S.data(),
                         out.data(),
                         a.get<double>(0),
                         a.get<double>(1),
                         a.get<double>(2),
                         a.get<double>(3),
                         a.get<double>(4),
                         a.get<double>(5),
                         a.get<double>(6),
                         a.get<double>(7),
                         a.get<double>(8),
                         a.get<std::int32_t>(9),
                         N,
                         a.get<std::uint8_t>(10)));
  r.numbers = out;
  return r;
}

// QelOptionPricer row arguments, in the order of its parameters with the arrays it fills left out
// and each other pointer given by the value it points at on entry (vecA and vecB, which the pricer
// does not read, are zeros):
//   cpuTime S K NT rootT params[0] .. params[5] r d unusedArg NS NV CallPut EuroAmer precision
//   ctorFlag tolExponent sRangeParam varRange wantTheta wantVega clusterAtStrike flag385 nExercise
// then the indices of the asset nodes to report. Result: the text, then *NS and params[0] ..
// params[5] on return, then for each of those nodes outS, outValue, outDelta, outGamma, outTheta
// and, when wantVega is non-zero, outVega. The CPU time is not compared.
Result callQelOptionPricer(decltype(&QelOptionPricer) fn, const Arguments& a) {
  constexpr std::size_t kScalars = 28;
  if (a.size() < kScalars) throw std::runtime_error("QelOptionPricer takes 28 arguments or more");
  constexpr std::size_t kNodes = 50001;  // the pricer refuses a larger node count
  std::vector<double> outS(kNodes), value(kNodes), delta(kNodes), gamma(kNodes), theta(kNodes),
      vega(kNodes);
  double vecA[5] = {0, 0, 0, 0, 0}, vecB[5] = {0, 0, 0, 0, 0};
  double cpuTime = a.get<double>(0);
  double params[6];
  for (int j = 0; j < 6; ++j) params[j] = a.get<double>(5 + j);
  std::int32_t NS = a.get<std::int32_t>(14), NV = a.get<std::int32_t>(15);
  const bool wantVega = a.get<std::uint8_t>(24) != 0;
  Result r = toResult(fn(outS.data(),
                         value.data(),
                         delta.data(),
                         gamma.data(),
                         theta.data(),
                         vega.data(),
                         &cpuTime,
                         a.get<double>(1),
                         a.get<double>(2),
                         a.get<std::int32_t>(3),
                         a.get<double>(4),
                         params,
                         a.get<double>(11),
                         a.get<double>(12),
                         a.get<double>(13),
                         &NS,
                         &NV,
                         a.get<std::int32_t>(16),
                         a.get<std::int32_t>(17),
                         a.get<std::int32_t>(18),
                         a.get<std::int32_t>(19),
                         vecA,
                         vecB,
                         a.get<double>(20),
                         a.get<double>(21),
                         a.get<double>(22),
                         a.get<std::uint8_t>(23),
                         a.get<std::uint8_t>(24),
                         a.get<std::uint8_t>(25),
                         a.get<std::uint8_t>(26),
                         a.get<std::int32_t>(27)));
  r.numbers.push_back(NS);
  r.numbers.insert(r.numbers.end(), params, params + 6);
  for (std::size_t k = kScalars; k < a.size(); ++k) {
    const std::int32_t i = a.get<std::int32_t>(k);
    if (i < 0 || i > NS || i >= static_cast<std::int32_t>(kNodes)) {
      throw std::runtime_error("node " + std::to_string(i) + " is not on the grid");
    }
    r.numbers.push_back(outS[i]);
    r.numbers.push_back(value[i]);
    r.quotients.resize(r.numbers.size(), false);
    r.numbers.push_back(delta[i]);
    r.numbers.push_back(gamma[i]);
    r.numbers.push_back(theta[i]);
    if (wantVega) r.numbers.push_back(vega[i]);
    r.quotients.resize(r.numbers.size(), true);
  }
  r.quotients.resize(r.numbers.size(), false);
  return r;
}

// One export that the table can call.
// clang-format off
#define SERIVANE_CALLER(name) \
  { #name, callerOf<argumentBytes(decltype(&name){}) == tableBytes(#name)>(decltype(&name){}) }
#define SERIVANE_TYPED_CALLER(name, call) \
  { #name, typedCallerOf<argumentBytes(decltype(&name){}) == tableBytes(#name)>(&call) }
// clang-format on

const std::map<std::string, Caller>& callers() {
  static const std::map<std::string, Caller> kCallers = {
      SERIVANE_CALLER(GARCH_VanillaPDESolver),
      SERIVANE_CALLER(ImpliedVol),
      SERIVANE_CALLER(VanillaHeston),
      SERIVANE_CALLER(HESTON_VanillaCalibration),
      SERIVANE_CALLER(GARCH_VanillaPDECalibration),
      SERIVANE_CALLER(HESTON_VanillaPDECalibration),
      SERIVANE_CALLER(GARCH_VanillaPDECalibrationM),
      SERIVANE_CALLER(HESTON_VanillaPDECalibrationM),
      SERIVANE_CALLER(SVPDECalibration),
      SERIVANE_TYPED_CALLER(QelOptionPricer, callQelOptionPricer),
      SERIVANE_TYPED_CALLER(VanillaHestonGrid, callVanillaHestonGrid),
  };
  return kCallers;
}

// ---- The table of cases ----------------------------------------------------------------------

struct Case {
  int line = 0;
  std::string exportName;
  std::string options;  // "-" or a file of the case folder
  double tolerance = 0.0;
  double quotientTolerance = 0.0;  // absolute, added for the difference quotients
  Result expected;
  std::vector<std::string> arguments;
};

void PrintTo(const Case& c, std::ostream* os) { *os << "cases.txt line " << c.line; }

std::vector<Case> readCases() {
  std::vector<Case> cases;
  std::ifstream in(kCaseFolder / "cases.txt");
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    Case c;
    c.line = number;
    // A line that ends in a backslash goes on in the next one.
    while (!line.empty() && line.back() == '\\') {
      line.pop_back();
      std::string next;
      if (!std::getline(in, next)) break;
      ++number;
      line += " " + next;
    }
    std::istringstream fields(line);
    if (!(fields >> c.exportName) || c.exportName[0] == '#') continue;
    std::string tolerance;
    fields >> c.options >> tolerance >> std::ws;
    char* end = nullptr;
    c.tolerance = std::strtod(tolerance.c_str(), &end);
    if (*end == '+') c.quotientTolerance = std::strtod(end + 1, nullptr);
    if (fields.peek() == '"') {
      c.expected.isText = true;
      fields >> std::quoted(c.expected.text);
      std::string f;
      if (fields >> f && f != "[") throw std::runtime_error("no \"[\" after the text");
      while (fields >> f && f != "]") c.expected.numbers.push_back(std::strtod(f.c_str(), nullptr));
      if (f != "]") throw std::runtime_error("no \"]\" after the numbers");
    } else {
      std::string expected;
      fields >> expected;
      c.expected.numbers.push_back(std::strtod(expected.c_str(), nullptr));
    }
    for (std::string f; fields >> f;) c.arguments.push_back(f);
    cases.push_back(c);
  }
  return cases;
}

const std::vector<Case>& allCases() {
  static const std::vector<Case> kCases = readCases();
  return kCases;
}

// ---- The module ------------------------------------------------------------------------------

// A copy of the module in a fresh temporary folder (its log and "OptionsData.txt" are there), with
// a copy of the outside library libmervane.so beside it, loaded from there.
class LoadedModule {
 public:
  LoadedModule() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "serivane_table_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    const std::filesystem::path copy =
        folder_ / std::filesystem::path(SERIVANE_MODULE_PATH).filename();
    std::filesystem::copy_file(SERIVANE_MODULE_PATH, copy);
    std::filesystem::copy_file(SERIVANE_OUTSIDE_LIBRARY_PATH, folder_ / "libmervane.so");
    handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  ~LoadedModule() {
    dlclose(handle_);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  void* symbol(const std::string& name) const { return dlsym(handle_, name.c_str()); }

  // Puts `file` of the case folder beside the module as "OptionsData.txt", or takes that away
  // for "-".
  void useOptions(const std::string& file) const {
    const std::filesystem::path target = folder_ / "OptionsData.txt";
    std::filesystem::remove(target);
    if (file != "-") std::filesystem::copy_file(kCaseFolder / file, target);
  }

 private:
  std::filesystem::path folder_;
  void* handle_ = nullptr;
};

class ModuleTable : public ::testing::TestWithParam<Case> {};

TEST_P(ModuleTable, ResultAsInTheTable) {
  const Case& c = GetParam();
  const auto caller = callers().find(c.exportName);
  ASSERT_NE(caller, callers().end()) << "no SERIVANE_CALLER line for " << c.exportName;
  LoadedModule module;
  TempFolder current;  // "Results.txt" is appended in the current folder
  void* symbol = module.symbol(exportedName(c.exportName));
  ASSERT_NE(symbol, nullptr) << exportedName(c.exportName) << " not found";
  module.useOptions(c.options);
  const Result got = caller->second(symbol, Arguments(c.arguments));
  // The expected field as the row would give what this call gave.
  std::ostringstream actual;
  if (got.isText) actual << ' ' << std::quoted(got.text) << " [";
  for (double v : got.numbers) {
    char number[40];
    std::snprintf(number, sizeof number, "%.17g", v);
    actual << ' ' << number;
  }
  if (got.isText) actual << " ]";
  SCOPED_TRACE("line " + std::to_string(c.line) + ": " + c.exportName + " gives" + actual.str());
  ASSERT_EQ(got.isText, c.expected.isText);
  EXPECT_EQ(got.text, c.expected.text);
  ASSERT_EQ(got.numbers.size(), c.expected.numbers.size());
  for (std::size_t i = 0; i < got.numbers.size(); ++i) {
    const double expected = c.expected.numbers[i];
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(got.numbers[i])) << "number " << i;
      continue;
    }
    const bool quotient = i < got.quotients.size() && got.quotients[i];
    EXPECT_LE(std::fabs(got.numbers[i] - expected),
              c.tolerance * std::fabs(expected) + (quotient ? c.quotientTolerance : 0.0))
        << "number " << i;
  }
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.exportName + "_line" + std::to_string(info.param.line);
}

INSTANTIATE_TEST_SUITE_P(Cases, ModuleTable, ::testing::ValuesIn(allCases()), caseName);

// Every export that the module defines has rows in the table; the 32-bit module has no plain names.
TEST(ModuleTableCoverage, EveryExportOfTheModuleHasRows) {
  LoadedModule module;
  int defined = 0;
  for (const TableEntry& e : kExportTable) {
    const bool found = module.symbol(exportedName(e.name)) != nullptr;
    if (!found) continue;
    ++defined;
    EXPECT_NE(callers().count(e.name), 0u) << e.name << " has no SERIVANE_CALLER line";
    int rows = 0;
    for (const Case& c : allCases()) rows += c.exportName == e.name ? 1 : 0;
    EXPECT_GT(rows, 0) << e.name << " has no rows in cases.txt";
#if defined(__i386__)
    EXPECT_EQ(module.symbol(e.name), nullptr) << "the plain name " << e.name << " is exported";
#endif
  }
  EXPECT_GE(defined, 4);
}

}  // namespace

}  // namespace serivane
