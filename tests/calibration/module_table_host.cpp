// A host of the module, built in both builds: it loads a copy of the module from a fresh temporary
// folder with dlopen, looks each export up by the name this build's module gives it (the plain
// name in the 64-bit build, the decorated stdcall name _Name@bytes in the 32-bit build), calls it
// through a pointer of the type that calibration/serivane.h declares (stdcall in the 32-bit
// build) and compares the result with the table of cases that both builds share
// (data/module_cases/cases.txt). Equal results in both builds to the table's tolerance show that
// the 32-bit module computes what the 64-bit one does.
//
// Another export is covered by a SERIVANE_CALLER line below and its rows in the table. An export
// that returns a string needs a toResult overload for its type, which reads and frees the string.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

#include "calibration/export_names.h"
#include "calibration/serivane.h"
#include "support/temp_folder.h"

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
      static_assert(std::is_same_v<T, std::int32_t>, "a parameter type the table cannot give");
      const long v = std::strtol(f.c_str(), &end, 10);
      if (end == f.c_str() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
        throw std::runtime_error("not a 32-bit integer: " + f);
      }
      return static_cast<std::int32_t>(v);
    }
  }

 private:
  std::vector<std::string> fields_;
};

struct Result {
  bool isText = false;
  double number = 0.0;
  std::string text;
};

Result toResult(double v) {
  Result r;
  r.number = v;
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
  static_assert(kBytesAsInTable, "argument bytes differ from calibration/export_names.h");
  return [declared](void* symbol, const Arguments& a) { return callAs(declared, symbol, a); };
}

// One export that the table can call.
// clang-format off
#define SERIVANE_CALLER(name) \
  { #name, callerOf<argumentBytes(decltype(&name){}) == tableBytes(#name)>(decltype(&name){}) }
// clang-format on

const std::map<std::string, Caller>& callers() {
  static const std::map<std::string, Caller> kCallers = {
      SERIVANE_CALLER(GARCH_VanillaPDESolver),
      SERIVANE_CALLER(ImpliedVol),
      SERIVANE_CALLER(VanillaHeston),
      SERIVANE_CALLER(HESTON_VanillaCalibration),
  };
  return kCallers;
}

// ---- The table of cases ----------------------------------------------------------------------

struct Case {
  int line = 0;
  std::string exportName;
  std::string options;  // "-" or a file of the case folder
  double tolerance = 0.0;
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
    std::istringstream fields(line);
    Case c;
    c.line = number;
    if (!(fields >> c.exportName) || c.exportName[0] == '#') continue;
    std::string tolerance;
    fields >> c.options >> tolerance >> std::ws;
    c.tolerance = std::strtod(tolerance.c_str(), nullptr);
    if (fields.peek() == '"') {
      c.expected.isText = true;
      fields >> std::quoted(c.expected.text);
    } else {
      std::string expected;
      fields >> expected;
      c.expected.number = std::strtod(expected.c_str(), nullptr);
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

// A copy of the module in a fresh temporary folder (its log and "OptionsData.txt" are there),
// loaded from there.
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
  ASSERT_EQ(got.isText, c.expected.isText);
  if (got.isText) {
    EXPECT_EQ(got.text, c.expected.text);
  } else {
    char actual[40];
    std::snprintf(actual, sizeof actual, "%.17g", got.number);
    EXPECT_LE(std::fabs(got.number - c.expected.number), c.tolerance * std::fabs(c.expected.number))
        << "line " << c.line << ": " << c.exportName << " gives " << actual;
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
