// The PDE calibration objectives behind the exports (see pde_objectives.h).
//
// Every evaluation runs inside guardExport: an error anywhere in an evaluation is recorded in the
// pricing log (frame, message, frame, empty line) and the export returns 0.0. No exception
// leaves a parallel loop: each item keeps its own failure in its own slot, and the first one in
// a fixed order (reading order, or expiration order) becomes the evaluation's error. Squared
// errors are summed in a fixed order too, so that an evaluation gives the same value whatever
// the number of threads.
#include "calibration/objectives/pde_objectives.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "calibration/exports/export_args.h"
#include "calibration/exports/export_guard.h"
#include "calibration/objectives/bucket_dealing.h"
#include "calibration/pricing/pricing_log.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/pricing/solve_work.h"
#include "calibration/quotes/program_folder.h"
#include "core/black_scholes.h"
#include "core/pde_solver_1d.h"
#include "pde2d/solver_methods.h"

namespace serivane {

namespace {

// The 1-D variance solver's grid arguments, as every caller passes them.
constexpr int kBoundCells = 800;
constexpr int kBoundSteps = 50;
constexpr int kBoundScheme = 2;
constexpr int kBoundStdDevs = 5;

// The failures of a parallel loop, one slot per item: each item records its own, and the first
// one in slot order becomes the loop's error.
class SlotFailures {
 public:
  explicit SlotFailures(std::size_t n) : errors_(n), failed_(n, 0) {}

  // Records the exception in flight as slot i's failure (call inside a catch block only).
  void record(std::size_t i) noexcept {
    failed_[i] = 1;
    try {
      errors_[i] = currentExceptionMessage();
    } catch (...) {
    }
  }

  // Throws the first recorded failure (slots in their fixed order), if any.
  void rethrowFirst() const {
    for (std::size_t i = 0; i < failed_.size(); ++i) {
      if (failed_[i]) throw std::runtime_error(errors_[i]);
    }
  }

 private:
  std::vector<std::string> errors_;
  std::vector<char> failed_;
};

// Elapsed seconds since start, in whole milliseconds.
double secondsSince(std::chrono::steady_clock::time_point start) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return static_cast<double>(ms.count()) / 1000.0;
}

// The "Results.txt" line of one evaluation (current folder), written only with debugFlag set.
// The file is opened only when there is a line to write: a failed evaluation leaves none.
void recordEvaluation(const PdeObjectiveArgs& a, double mean, double seconds) {
  ObjectiveRecord rec;
  rec.meanSquaredError = mean;
  rec.v0 = a.v0;
  rec.vL = a.vL;
  rec.theta = a.theta;
  rec.volvol = a.volvol;
  rec.rho = a.rho;
  rec.hasCpuTime = true;
  rec.cpuSeconds = seconds;
  std::ofstream results(kResultsName, std::ios::out | std::ios::app);
  writeObjectiveRecord(results, rec);
}

// Indices of items sorted by descending cost (ties in their given order).
template <class Item>
std::vector<int> byDescendingCost(const std::vector<Item>& items) {
  std::vector<int> order(items.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(
      order.begin(), order.end(), [&](int a, int b) { return items[a].cost > items[b].cost; });
  return order;
}

// The items' costs in the given order, and the buckets they are dealt into.
template <class Item>
BucketDeal dealItems(const std::vector<Item>& items, const std::vector<int>& order, double total) {
  std::vector<double> costs(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) costs[i] = items[order[i]].cost;
  return dealByCost(costs, pricingBucketCount(), total);
}

// The argument check of the objectives, before the quote file is looked at: the message of the
// first argument outside its limits, or the empty string. Precision code, volvolWidening, strip
// mode and selector take any value. The level: finite, below kMaxVarRange; with the variance
// bounds of the 1-D variance law (a level below 1, model other than 0) a quantile level in
// (0, 1), and v0 goes first to that solver, which refuses v0 <= 0 with its own message;
// otherwise the level is the pricer's varRange (a negative one an explicit variance bound).
std::string checkObjectiveArgs(const PdeObjectiveArgs& a, int model) {
  const bool bounded = a.level < 1.0 && model != 0;
  std::string bad =
      checkExportArgs({{"v0", bounded ? ArgKind::kSignedVariance : ArgKind::kVariance, a.v0},
                       {"vL", ArgKind::kVariance, a.vL},
                       {"theta", ArgKind::kPdeSpeed, a.theta},
                       {"volvol", ArgKind::kVolvol, a.volvol},
                       {"rho", ArgKind::kCorrelation, a.rho},
                       {"NS", ArgKind::kAssetIntervals, a.NS},
                       {"NV", ArgKind::kVarianceIntervals, a.NV},
                       {"NT", ArgKind::kTimeSteps, a.NT},
                       {"methodID", ArgKind::kMethodId, a.methodID},
                       {"sRangeParam", ArgKind::kRangeParam, a.sRangeParam},
                       {"level", ArgKind::kVarRange, a.level}});
  if (bad.empty() && bounded) bad = checkExportArgs({{"level", ArgKind::kQuantileLevel, a.level}});
  if (bad.empty()) bad = checkGridSize(a.NS, a.NV, a.NT);
  return bad;
}

// Every field of every quote within its limits (the quotes are the pricer's arguments too);
// throws std::invalid_argument naming the field and the quote (1 for the first record).
void checkQuotes(const std::vector<HestonQuote>& quotes) {
  for (std::size_t i = 0; i < quotes.size(); ++i) {
    const HestonQuote& q = quotes[i];
    const std::string of = " of quote " + std::to_string(i + 1);
    const std::string names[8] = {"market volatility" + of,
                                  "S" + of,
                                  "K" + of,
                                  "T" + of,
                                  "r" + of,
                                  "d" + of,
                                  "CallPut" + of,
                                  "EuroAmer" + of};
    const std::string bad =
        checkExportArgs({{names[0].c_str(), ArgKind::kMarketVol, q.marketIV},
                         {names[1].c_str(), ArgKind::kSpot, q.S},
                         {names[2].c_str(), ArgKind::kStrike, q.K},
                         {names[3].c_str(), ArgKind::kMaturity, q.T},
                         {names[4].c_str(), ArgKind::kRate, q.r},
                         {names[5].c_str(), ArgKind::kRate, q.d},
                         {names[6].c_str(), ArgKind::kCallPut, q.CallPut},
                         {names[7].c_str(), ArgKind::kExerciseStyle, q.EuroAmer}});
    if (!bad.empty()) throw std::invalid_argument(bad);
    // The file gives no exercise dates, and a Bermudan option has no price without them (a
    // pricing without dates would value it as a European one): the evaluation is refused.
    if (q.EuroAmer == 2) {
      throw std::invalid_argument("Invalid argument " + names[7] +
                                  " = 2: a Bermudan option needs its exercise dates, which the "
                                  "quote file cannot give");
    }
  }
}

// The grid of one pricing (its time steps scaled by T, its sizes raised for cheap options)
// within the pricer's limits; throws std::invalid_argument with `what` before the message.
void checkItemGrid(const std::string& what, int NS, int NV, int NT) {
  std::string bad = checkExportArgs({{"NT scaled by T", ArgKind::kTimeSteps, NT}});
  if (bad.empty()) bad = checkGridSize(NS, NV, NT);
  if (!bad.empty()) throw std::invalid_argument(what + ": " + bad);
}

// Refuses (std::invalid_argument) an evaluation whose pricings' first solves (firstWork, one per
// pricing), their overheads and its variance-bound solves would go beyond kMaxObjectiveWork;
// checked before anything is solved. Returns what the limit leaves for each pricing's retries:
// an equal share of the rest, fixed before any pricing runs, so that where the retries end does
// not depend on the threads.
std::int64_t checkEvaluationWork(const std::vector<std::int64_t>& firstWork,
                                 std::size_t pricings,
                                 std::size_t expirations,
                                 const PdeObjectiveArgs& a,
                                 int model) {
  std::int64_t pricingWork = 0;
  for (const std::int64_t w : firstWork) pricingWork += w;
  std::int64_t work = pricingWork + static_cast<std::int64_t>(pricings) * kPricingOverheadWork;
  // The bounds of each expiration and of the stationary law, as VarianceRanges solves them.
  if (a.level < 1.0 && model != 0) {
    work += static_cast<std::int64_t>(expirations + 1) * kVarianceBoundWork;
  }
  if (work > kMaxObjectiveWork) {
    throw std::invalid_argument(
        "The evaluation's work of " + std::to_string(work) + " units (" + std::to_string(pricings) +
        " pricings) exceeds the objectives' limit of " + std::to_string(kMaxObjectiveWork));
  }
  return pricings > 0 ? (kMaxObjectiveWork - work) / static_cast<std::int64_t>(pricings) : 0;
}

// The work limit of one pricing of an evaluation: its first solve and its share of what the
// evaluation's limit leaves, never beyond the limit of one call (callerLimit, the calling
// robustWorkLimit: kMaxCallWork, or lifted by a test).
std::int64_t pricingWorkLimit(std::int64_t callerLimit,
                              std::int64_t firstWork,
                              std::int64_t spare) {
  return std::min(callerLimit, firstWork + spare);
}

// A model volatility as the objective counts it: the pricers hand back one in [1e-6, 2], or 0 for
// a quote whose pricing gave up. Anything else (a value that is not a number, a price passed on
// in place of a volatility) is no volatility: the quote counts as given up, with a model
// volatility of 0, and `note` receives the record's message naming the quote as what() does.
template <class What>
double soundModelVol(double iv, const What& what, std::string& note) {
  if (iv >= 0.0 && iv <= 2.0) return iv;
  std::ostringstream s;
  s.precision(17);
  s << what() << ": the pricing gave " << iv
    << ", no volatility in [0, 2]; the quote counts with a model volatility of 0";
  note = s.str();
  return 0.0;
}

// The records of soundModelVol, in their fixed order (empty notes are skipped).
void appendNotes(const std::vector<std::string>& notes) {
  for (const std::string& note : notes) {
    if (!note.empty()) appendErrorRecord(note);
  }
}

// How the records name an expiration.
std::string expirationName(double T) {
  std::ostringstream what;
  what << "Expiration T = " << T;
  return what.str();
}

// The mean squared error; one that is not a finite number is no objective.
double finiteMean(double sum, double n) {
  const double mean = sum / n;
  if (!std::isfinite(mean)) throw std::runtime_error("The objective is not a finite number");
  return mean;
}

// Model 0 is the square-root variance model, every other value the variance diffusion: the
// pricer knows them as 0 and 1.
int pricerModel(int model) { return model != 0 ? 1 : 0; }

// The argument check and the quote file, read and checked, of either objective. Returns false,
// with the objective's value in earlyValue, when there is nothing to price: no quote file; a short
// file (fewer records than the count would be a mean over quotes never priced), a field that is
// not a number, a negative or unreadable count; or no quote at all, whose mean squared error would
// be 0/0 and which leaves no expiration to group. Throws std::invalid_argument for an argument or
// a quote outside its limits.
bool readObjectiveQuotes(const PdeObjectiveArgs& a,
                         int model,
                         CountedQuotes& file,
                         double& earlyValue) {
  const std::string bad = checkObjectiveArgs(a, model);
  if (!bad.empty()) throw std::invalid_argument(bad);
  const std::string path = programFilePath(kOptionsDataName);
  {
    // The count alone first: a file of more quotes than an evaluation may price is refused before
    // its records are read. A count beyond the 32-bit range is left to the reader (unreadable).
    std::ifstream in(path);
    long count = 0;
    if (in >> count && count > kMaxCountedQuotes && count <= INT32_MAX) {
      throw std::invalid_argument("The quote file's count of " + std::to_string(count) +
                                  " exceeds the objectives' limit of " +
                                  std::to_string(kMaxCountedQuotes) + " quotes");
    }
  }
  file = readCountedOptionFile(path);
  if (!file.opened) {
    earlyValue = kNoQuoteFileValue;
    return false;
  }
  if (!file.complete() || file.quotes.empty()) {
    earlyValue = kBadQuoteFileValue;
    return false;
  }
  checkQuotes(file.quotes);
  return true;
}

// The objective's value from the sum of squared errors over n quotes: the root of the mean,
// recorded in "Results.txt" with the time since start when debug is set.
double finishEvaluation(const PdeObjectiveArgs& a,
                        double sum,
                        double n,
                        bool debug,
                        std::chrono::steady_clock::time_point start) {
  const double mean = finiteMean(sum, n);
  if (debug) recordEvaluation(a, mean, secondsSince(start));
  return std::sqrt(mean);
}

// Runs an evaluation as an export: any error is recorded in the pricing log and gives
// kErrorValue.
template <class Body>
double guardObjective(Body&& body) {
  return guardExport(kErrorValue, std::forward<Body>(body), [](const std::string& message) {
    appendErrorRecord(message);
  });
}

// One evaluation of either objective as an export: the pricer's model and run mode, the argument
// check and the quote file, then price(file, model, runMode, debug) gives the value; nothing to
// price gives the early value of readObjectiveQuotes.
template <class Price>
double evaluateObjective(const PdeObjectiveArgs& a, int hostModel, const Price& price) {
  const int model = pricerModel(hostModel);
  const int runMode = runModeForPrecisionCode(a.precisionCode);
  return guardObjective([&]() {
    const bool debug = debugFlag;
    CountedQuotes file;
    double earlyValue = 0.0;
    if (!readObjectiveQuotes(a, model, file, earlyValue)) return earlyValue;
    return price(file, model, runMode, debug);
  });
}

}  // namespace

double optionByOption(const PdeObjectiveArgs& a, int hostModel) {
  const auto price = [&](const CountedQuotes& file, int model, int runMode, bool debug) {
    double total = 0.0;
    const std::vector<OptionWorkItem> items = makeOptionWorkItems(file.quotes, a, total);
    std::vector<std::int64_t> firstWork;
    for (const OptionWorkItem& item : items) {
      checkItemGrid("Quote " + std::to_string(item.index + 1), item.NS, item.NV, item.NT);
      firstWork.push_back(firstSolveWork(item.NS, item.NV, item.NT, a.methodID, runMode));
    }
    const std::vector<double> expirations = distinctExpirations(file.quotes);
    const std::int64_t spare =
        checkEvaluationWork(firstWork, items.size(), expirations.size(), a, model);
    const std::int64_t callerLimit = robustWorkLimit;
    // The options go to the threads heaviest first from one queue (the cost-balanced buckets'
    // purpose, without their idle ends); each writes its own slot, summed in reading order.
    const std::vector<int> order = byDescendingCost(items);
    const VarianceRanges ranges(expirations, a, model);

    const auto start = std::chrono::steady_clock::now();
    const int n = static_cast<int>(items.size());
    std::vector<double> squaredErrors(n, 0.0);
    std::vector<std::string> notes(n);
    SlotFailures failures(n);
    runHeaviestFirst(n, [&](int slot) {
      const OptionWorkItem& item = items[order[slot]];
      try {
        int ns = item.NS;
        int nv = item.NV;
        int mode = runMode;
        const double iv = calcVanillaPDEWithRetriesWithin(
            pricingWorkLimit(callerLimit, firstWork[item.index], spare),
            item.S,
            item.K,
            item.T,
            item.r,
            item.d,
            a.v0,
            a.vL,
            a.theta,
            a.volvol,
            a.rho,
            &ns,
            &nv,
            item.NT,
            item.CallPut,
            item.EuroAmer,
            &mode,
            a.methodID,
            1,
            a.sRangeParam,
            ranges.forExpiry(item.T, item.boundFactor),
            a.volvolWidening,
            true,
            model,
            /*keepBest=*/true);
        const auto what = [&] { return "Quote " + std::to_string(item.index + 1); };
        const double vol = soundModelVol(iv, what, notes[item.index]);
        const double err = vol - item.marketIV;
        squaredErrors[item.index] = err * err;
      } catch (...) {
        failures.record(item.index);
      }
    });
    failures.rethrowFirst();
    appendNotes(notes);
    double sum = 0.0;
    for (const double e : squaredErrors) sum += e;
    return finishEvaluation(a, sum, n, debug, start);
  };
  return evaluateObjective(a, hostModel, price);
}

double expiryByExpiry(const PdeObjectiveArgs& a, int stripMode, int hostModel) {
  const auto price = [&](const CountedQuotes& file, int model, int runMode, bool debug) {
    std::vector<ExpiryWorkItem> groups = groupQuotesByExpiry(file.quotes);
    const double total = sizeExpiryWorkItems(groups, a);
    std::vector<std::int64_t> firstWork;
    for (const ExpiryWorkItem& g : groups) {
      checkItemGrid(expirationName(g.T), g.NS, g.NV, g.NT);
      firstWork.push_back(firstSolveWork(g.NS, g.NV, g.NT, a.methodID, runMode));
    }
    const std::vector<double> expirations = distinctExpirations(file.quotes);
    const std::int64_t spare =
        checkEvaluationWork(firstWork, groups.size(), expirations.size(), a, model);
    const std::int64_t callerLimit = robustWorkLimit;
    const VarianceRanges ranges(expirations, a, model);
    const std::vector<int> order = byDescendingCost(groups);
    const BucketDeal deal = dealItems(groups, order, total);

    // The buckets fix only the order of the pricings, one expiration after another on this
    // thread; the squared errors of each expiration go to its own slot.
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::vector<double>> squaredErrors(groups.size());
    std::vector<std::string> notes;
    for (const std::vector<int>& bucket : deal.buckets) {
      for (const int slot : bucket) {
        const ExpiryWorkItem& g = groups[order[slot]];
        std::vector<double> modelIVs(g.strikes.size(), 0.0);
        int ns = g.NS;
        int nv = g.NV;
        int mode = runMode;
        StrikeListAccuracy accuracy;
        calcVanillaPDEStrikesWithErrorControl(
            pricingWorkLimit(callerLimit, firstWork[g.index], spare),
            g.spot,
            g.strikes,
            modelIVs,
            g.T,
            g.r,
            g.d,
            a.v0,
            a.vL,
            a.theta,
            a.volvol,
            a.rho,
            &ns,
            &nv,
            g.NT,
            g.CallPut,
            g.EuroAmer,
            &mode,
            a.methodID,
            1,
            a.sRangeParam,
            ranges.forExpiry(g.T, g.rangeFactor),
            a.volvolWidening,
            stripMode,
            true,
            model,
            1.0,
            accuracy);
        if (accuracy.controlled && !accuracy.withinTolerance) {
          // No value within the tolerance could be had within the pricing's work limit: the
          // objective is no objective, and says so in its record.
          std::ostringstream s;
          s.precision(6);
          s << expirationName(g.T) << ": " << kAccuracyShortfallMessage;
          if (std::isfinite(accuracy.ivError)) {
            s << " (estimated error " << accuracy.ivError * 1e4 << " bp)";
          }
          throw std::runtime_error(s.str());
        }
        std::vector<double>& errs = squaredErrors[g.index];
        for (std::size_t j = 0; j < g.strikes.size(); ++j) {
          // A strike the pricer gave no value for counts as a model IV of 0.
          const double iv = j < modelIVs.size() ? modelIVs[j] : 0.0;
          const auto what = [&] {
            std::ostringstream s;
            s.precision(17);
            s << expirationName(g.T) << ", strike " << g.strikes[j];
            return s.str();
          };
          std::string note;
          const double err = soundModelVol(iv, what, note) - g.marketIVs[j];
          if (!note.empty()) notes.push_back(std::move(note));
          errs.push_back(err * err);
        }
      }
    }

    appendNotes(notes);

    // Each expiration's sum in its own slot, then the slots in expiration order.
    const int ng = static_cast<int>(squaredErrors.size());
    std::vector<double> partial(ng, 0.0);
#pragma omp parallel for schedule(static)
    for (int k = 0; k < ng; ++k) {
      for (const double e : squaredErrors[k]) partial[k] += e;
    }
    double sum = 0.0;
    for (const double s : partial) sum += s;
    return finishEvaluation(a, sum, static_cast<double>(file.count), debug, start);
  };
  return evaluateObjective(a, hostModel, price);
}

std::vector<OptionWorkItem> makeOptionWorkItems(const std::vector<HestonQuote>& quotes,
                                                const PdeObjectiveArgs& args,
                                                double& totalCost) {
  const double NS0 = args.NS, NV0 = args.NV, NT0 = args.NT;
  std::vector<OptionWorkItem> items;
  items.reserve(quotes.size());
  totalCost = 0.0;
  for (std::size_t i = 0; i < quotes.size(); ++i) {
    const HestonQuote& q = quotes[i];
    OptionWorkItem item;
    item.index = static_cast<int>(i);
    item.marketIV = q.marketIV;
    item.S = q.S;
    item.K = q.K;
    item.T = q.T;
    item.r = q.r;
    item.d = q.d;
    item.CallPut = q.CallPut;
    item.EuroAmer = q.EuroAmer;
    item.NS = args.NS;
    item.NV = args.NV;
    item.cost = 1.0;
    item.level = args.level;
    // Out-of-the-money calls are cheap and need finer grids to resolve their prices.
    if (q.K > q.S && q.CallPut == 0) {
      const double P = bsmPrice(q.S, q.K, q.r, q.d, q.marketIV, q.T, q.CallPut);
      const double S = q.S;
      int a = 0, b = 0;
      if (0.00075 * S < P && P < 0.005 * S) {
        a = 120;
        b = 70;
      } else if (0.0002 * S < P && P <= 0.00075 * S) {
        a = 160;
        b = 80;
      } else if (0.0001 * S < P && P <= 0.0002 * S) {
        a = 300;
        b = 100;
      } else if (P <= 0.0001 * S) {
        a = 400;
        b = 100;
      }
      if (a > 0) {
        item.NS = std::max(item.NS, a);
        item.cost *= item.NS / NS0;
        item.NV = std::max(item.NV, b);
        item.cost *= item.NV / NV0;
      }
    }
    item.boundFactor = std::max(1.0, 3.0 - 0.5 * args.theta * q.T);
    item.NT = timeStepsForExpiry(args.NT, q.T);
    item.cost *= (1.0 + 0.015 * item.NT) / (1.0 + 0.015 * NT0);
    totalCost += item.cost;
    items.push_back(item);
  }
  return items;
}

std::vector<ExpiryWorkItem> groupQuotesByExpiry(std::vector<HestonQuote> quotes) {
  std::stable_sort(quotes.begin(), quotes.end(), [](const HestonQuote& x, const HestonQuote& y) {
    if (x.T != y.T) return x.T < y.T;
    return x.K < y.K;
  });
  std::vector<ExpiryWorkItem> groups;
  // The current expiration's strike lists in groups, one per exercise style: a strike list is
  // solved under one style, so the European quotes and the American puts of an expiration are
  // two lists.
  std::vector<std::size_t> strikeLists;
  for (std::size_t i = 0; i < quotes.size(); ++i) {
    const HestonQuote& q = quotes[i];
    if (i > 0 && q.T != quotes[i - 1].T) strikeLists.clear();
    // A strike list is solved as puts, the calls' values coming from European put-call parity,
    // which an American call does not obey: it is priced alone, as a call.
    const bool americanCall = q.EuroAmer == 1 && q.CallPut == 0;
    auto list = std::find_if(strikeLists.begin(), strikeLists.end(), [&](std::size_t k) {
      return groups[k].EuroAmer == q.EuroAmer;
    });
    if (americanCall || list == strikeLists.end()) {
      groups.emplace_back();
      groups.back().index = static_cast<std::int32_t>(groups.size() - 1);
      if (!americanCall) list = strikeLists.insert(strikeLists.end(), groups.size() - 1);
    }
    ExpiryWorkItem& g = americanCall ? groups.back() : groups[*list];
    g.strikes.push_back(q.K);
    g.putFlags.push_back(q.CallPut);
    g.marketIVs.push_back(q.marketIV);
    const double P = bsmPrice(q.S, q.K, q.r, q.d, q.marketIV, q.T, q.CallPut);
    if (P < g.refPrice) g.refPrice = P;
    g.spot = q.S;
    g.T = q.T;
    g.r = q.r;
    g.d = q.d;
    g.CallPut = americanCall ? 0 : 1;
    g.EuroAmer = q.EuroAmer;
  }
  return groups;
}

double sizeExpiryWorkItems(std::vector<ExpiryWorkItem>& groups, const PdeObjectiveArgs& args) {
  double total = 0.0;
  for (ExpiryWorkItem& g : groups) {
    sizeExpiryWorkItem(g, args.NS, args.NV, args.NT, args.theta);
    total += g.cost;
  }
  return total;
}

std::int64_t firstSolveWork(int NS, int NV, int NT, int methodID, int runMode) {
  // The single-option pricer's measure of a solve, on the sizes the robust pricers start on:
  // halved for a convergence run (run modes 4 and 5), which doubles them again.
  const bool halved = runMode == 4 || runMode == 5;
  return pdeSolveWork(halved ? NS / 2 : NS, halved ? NV / 2 : NV, NT, methodID, runMode);
}

std::vector<double> distinctExpirations(const std::vector<HestonQuote>& quotes) {
  std::vector<double> expirations;
  for (const HestonQuote& q : quotes) {
    if (std::find(expirations.begin(), expirations.end(), q.T) == expirations.end()) {
      expirations.push_back(q.T);
    }
  }
  std::sort(expirations.begin(), expirations.end());
  return expirations;
}

VarianceRanges::VarianceRanges(const std::vector<double>& expirations,
                               const PdeObjectiveArgs& a,
                               int model)
    : level_(a.level),
      bounded_(a.level < 1.0 && model != 0),
      expirations_(expirations),
      v0_(a.v0),
      vL_(a.vL),
      kappa_(a.theta),
      xi_(a.volvol) {
  if (!bounded_) return;
  const int n = static_cast<int>(expirations_.size());
  bounds_.assign(n, 0.0);
  SlotFailures failures(n);
#pragma omp parallel for schedule(static)
  for (int k = 0; k < n; ++k) {
    try {
      PDESolver1D solver(level_,
                         expirations_[k],
                         a.v0,
                         a.vL,
                         a.theta,
                         a.volvol,
                         kBoundCells,
                         kBoundSteps,
                         kBoundScheme,
                         kBoundStdDevs,
                         false,
                         1);
      bounds_[k] = solver.calcQuantile();
    } catch (...) {
      failures.record(k);
    }
  }
  failures.rethrowFirst();
  PDESolver1D stationary(level_, a.v0, a.vL, a.theta, a.volvol);
  stationary_ = stationary.calcQuantile();
}

double VarianceRanges::forExpiry(double T, double boundFactor) const {
  if (!bounded_) return level_;
  const auto it = std::find(expirations_.begin(), expirations_.end(), T);
  if (it == expirations_.end()) throw std::logic_error("no variance bound for this expiration");
  const double bk = bounds_[static_cast<std::size_t>(it - expirations_.begin())];
  // A negative variance range is an explicit upper variance bound for the pricer.
  return -expiryVarianceBound(stationary_, bk, boundFactor, level_, T, v0_, vL_, kappa_, xi_);
}

}  // namespace serivane
