// What the libFuzzer targets of the exports share: a reader that turns the fuzzer's bytes into
// arguments that mostly pass the exports' argument check (values inside their limits, often in a
// typical range, sometimes at an edge, rarely just outside or any double at all), a writer of
// counted quote files for the objectives, the check of a string result, and the folder rule.
//
// Folder: the code takes the folder of the running fuzz binary as its own, reads
// "OptionsData.txt" from it and writes "GARCH_PDESolverLog.txt" there; "Results.txt" goes to the
// current folder. A target that writes a quote file must therefore run as a copy of its own in a
// private folder (scripts/fuzz.sh does it), so that parallel runs cannot race on the file.
#ifndef SERIVANE_TESTS_FUZZ_FUZZ_INPUT_H_
#define SERIVANE_TESTS_FUZZ_FUZZ_INPUT_H_

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <string>

#include "calibration/exports/serivane.h"

namespace serivane {
namespace fuzz {

// Stops the run so that libFuzzer reports the input; says which contract broke first.
[[noreturn]] inline void violated(const char* what) {
  std::fprintf(stderr, "contract violated: %s\n", what);
  std::fflush(stderr);
  __builtin_trap();
}

inline void require(bool ok, const char* what) {
  if (!ok) violated(what);
}

// With SERIVANE_FUZZ_PRINT set in the environment, each call's arguments are printed to the
// standard error stream before the call (to read a reproducer's arguments off its input).
inline bool printCalls() {
  static const bool on = std::getenv("SERIVANE_FUZZ_PRINT") != nullptr;
  return on;
}

inline void printCall(const char* name, std::initializer_list<double> args) {
  if (!printCalls()) return;
  std::fprintf(stderr, "%s(", name);
  const char* separator = "";
  for (const double a : args) {
    std::fprintf(stderr, "%s%.17g", separator, a);
    separator = ", ";
  }
  std::fprintf(stderr, ")\n");
}

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
  double raw() {
    std::uint64_t bits = (static_cast<std::uint64_t>(u32()) << 32) | u32();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  // Uniform in [0, 1].
  double unit() { return u32() / 4294967295.0; }

  // An argument limited to [lo, hi] whose everyday values lie in [a, b] (inside [lo, hi]):
  // mostly in [a, b], sometimes anywhere in the limits, at an edge or 0, rarely just outside or a
  // raw double (NaN and infinities included). logScale spreads [a, b] evenly in its logarithm
  // (a > 0).
  double value(double lo, double hi, double a, double b, bool logScale = false) {
    const std::uint8_t mode = byte();
    if (mode < 2) return mode == 0 ? below(lo) : above(hi);
    if (mode == 2) return raw();
    if (mode < 6) return mode == 3 ? lo : mode == 4 ? hi : (lo <= 0.0 && 0.0 <= hi ? 0.0 : lo);
    if (mode < 24) return clampTo(lo + unit() * (hi - lo), lo, hi);
    const double u = unit();
    if (logScale) return std::exp(std::log(a) + u * (std::log(b) - std::log(a)));
    return a + u * (b - a);
  }

  // An integer argument limited to [lo, hi] with everyday values in [a, b]; as value().
  std::int32_t integer(std::int32_t lo, std::int32_t hi, std::int32_t a, std::int32_t b) {
    const std::uint8_t mode = byte();
    if (mode == 0) return lo - 1;
    if (mode == 1) return hi + 1;
    if (mode == 2) return static_cast<std::int32_t>(u32());
    if (mode < 5) return mode == 3 ? lo : hi;
    if (mode < 12)
      return lo + static_cast<std::int32_t>(u32() % (static_cast<std::uint32_t>(hi - lo) + 1));
    return a + static_cast<std::int32_t>(u32() % (static_cast<std::uint32_t>(b - a) + 1));
  }

  // One of the given codes mostly, any 32-bit value rarely.
  std::int32_t code(std::int32_t first, std::int32_t last) {
    const std::uint8_t mode = byte();
    if (mode < 4) return static_cast<std::int32_t>(u32());
    return first + mode % (last - first + 1);
  }

  bool empty() const { return at_ >= size_; }

 private:
  static double below(double lo) {
    return lo - std::max(1e-9 * std::fabs(lo), std::numeric_limits<double>::denorm_min());
  }
  static double above(double hi) {
    return hi + std::max(1e-9 * std::fabs(hi), std::numeric_limits<double>::denorm_min());
  }
  static double clampTo(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A grid of base sizes that keeps a sound solve quick: nodes x steps at most about 1e5, but for
// the rare input that asks for a larger one (still well inside the limits) or for edge values.
struct Grid {
  std::int32_t NS, NV, NT;
};

inline Grid drawGrid(FuzzInput& in) {
  Grid g;
  g.NS = in.integer(1, 50000, 4, 60);
  g.NV = in.integer(1, 50000, 4, 40);
  g.NT = in.integer(1, 100000, 2, 40);
  const bool large = in.byte() == 0;
  const double nodes = (g.NS + 1.0) * (g.NV + 1.0);
  const double budget = large ? 2e7 : 1e5;
  if (g.NS >= 1 && g.NV >= 1 && g.NT >= 1 && nodes * g.NT > budget) {
    // Fewer time steps first, then a smaller variance grid: the sizes stay valid.
    g.NT = std::max(1, static_cast<int>(budget / nodes));
    if (nodes > budget && g.NV <= 50000)
      g.NV = std::max(1, static_cast<int>(budget / (g.NS + 1.0)) - 1);
  }
  return g;
}

// A string result as serivane.h describes it: not null, the length prefix even and matching
// the first NUL unit, and (for a message) every unit before it not NUL. Frees it. Returns true
// for the empty string (success).
inline bool checkAndFreeString(QelString s) {
  require(s != nullptr, "string result is null");
  std::uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const char*>(s) - sizeof(std::uint32_t), sizeof bytes);
  require(bytes % 2 == 0, "string length prefix is odd");
  const std::uint32_t units = bytes / 2;
  require(units < (1u << 20), "string result longer than a message");
  for (std::uint32_t i = 0; i < units; ++i) require(s[i] != 0, "NUL inside a string result");
  require(s[units] == 0, "string result not NUL-terminated at its length");
  QelFreeString(s);
  return units == 0;
}

// What the counted quote file written for an objective holds.
enum class QuoteFile {
  kMissing,   // no file
  kValid,     // count and that many whole records
  kShort,     // fewer records than the count
  kBadCount,  // a count that is negative, 0 or not a number
  kBadField,  // a record with a field that is not a number
  kGarbage,   // bytes of the input as they come
};

// Writes (or removes) `path` from the input: mostly a valid file of 1 to 4 quotes of everyday
// values, sometimes a quote outside the limits, or one of the broken files above. *bermudan (when
// given) tells whether a whole record of the file is a Bermudan quote (EuroAmer 2).
inline QuoteFile writeQuoteFile(FuzzInput& in, const std::string& path, bool* bermudan = nullptr) {
  if (bermudan != nullptr) *bermudan = false;
  std::remove(path.c_str());
  const std::uint8_t mode = in.byte();
  QuoteFile kind = QuoteFile::kValid;
  if (mode < 8)
    kind = QuoteFile::kMissing;
  else if (mode < 16)
    kind = QuoteFile::kShort;
  else if (mode < 24)
    kind = QuoteFile::kBadCount;
  else if (mode < 32)
    kind = QuoteFile::kBadField;
  else if (mode < 36)
    kind = QuoteFile::kGarbage;
  if (kind == QuoteFile::kMissing) return kind;

  std::ofstream out(path, std::ios::out | std::ios::trunc);
  out.precision(17);
  if (kind == QuoteFile::kGarbage) {
    const std::size_t n = in.byte();
    for (std::size_t i = 0; i < n && !in.empty(); ++i) out.put(static_cast<char>(in.byte()));
    return kind;
  }
  const int count = 1 + in.byte() % 4;
  if (kind == QuoteFile::kBadCount) {
    const std::uint8_t c = in.byte() % 3;
    out << (c == 0 ? "-1" : c == 1 ? "0" : "n") << "\n";
  } else {
    out << (kind == QuoteFile::kShort ? count + 1 : count) << "\n";
  }
  const int badRecord = kind == QuoteFile::kBadField ? in.byte() % count : -1;
  const int badField = in.byte() % 8;
  for (int i = 0; i < count; ++i) {
    const double S = in.value(0.0, 1e12, 50.0, 200.0);
    const double moneyness = in.value(0.0, 1e12, 0.6, 1.6, true);
    const double fields[6] = {in.value(0.0, 10.0, 0.08, 0.8),
                              S,
                              S * moneyness,
                              in.value(0.0, 100.0, 0.05, 3.0, true),
                              in.value(-0.5, 0.5, -0.01, 0.08),
                              in.value(-0.5, 0.5, 0.0, 0.05)};
    for (int f = 0; f < 6; ++f) {
      if (i == badRecord && f == badField % 6) {
        out << "x ";
      } else {
        out << fields[f] << " ";
      }
    }
    const std::int32_t callPut = in.code(0, 1), euroAmer = in.code(0, 2);
    if (i == badRecord && badField >= 6) {
      out << (badField == 6 ? "x " : std::to_string(callPut) + " ")
          << (badField == 7 ? "x" : std::to_string(euroAmer)) << "\n";
    } else {
      out << callPut << " " << euroAmer << "\n";
    }
    if (bermudan != nullptr && euroAmer == 2 && i != badRecord) *bermudan = true;
  }
  return kind;
}

}  // namespace fuzz
}  // namespace serivane

#endif  // SERIVANE_TESTS_FUZZ_FUZZ_INPUT_H_
