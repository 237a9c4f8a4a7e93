#include "calibration/objectives/model_ivs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "calibration/objectives/bucket_dealing.h"
#include "calibration/objectives/expiry_grid.h"
#include "calibration/pricing/pricing_log.h"
#include "calibration/pricing/robust_pricers.h"
#include "calibration/quotes/program_folder.h"
#include "core/black_scholes.h"
#include "core/held_logs.h"
#include "core/pde_solver_1d.h"

namespace serivane {

bool stopFlag = false;

namespace {

// The variance bound of one expiration, published by whichever task of the points that share
// it solves it first. The bound depends on v0, vBar, kappa and xi only (not on rho), so a
// Jacobian's rho column needs the very bounds of the point it is taken at.
struct SharedBound {
  std::atomic<int> state{0};  // kFree, kClaimed (being written), kReady
  double value = 0.0;
  bool failed = false;
  std::string error;  // the failure's message
};
constexpr int kFree = 0;
constexpr int kClaimed = 1;
constexpr int kReady = 2;

// One parameter vector of an evaluation: its groups (sized for its kappa), its variance bounds
// and what its tasks produce. Every task writes only the slots of its own group.
struct ColumnWork {
  const double* p = nullptr;
  std::vector<ExpiryWorkItem> groups;      // in ascending expiration order
  std::vector<double> bounds;              // one upper variance quantile per expiration
  double B = 0.0;                          // stationary quantile of the variance
  std::vector<std::vector<double>> ivs;    // model IVs per group, strike order
  std::vector<std::string> boundErrors;    // per expiration, "" when it went well
  std::vector<std::string> pricingErrors;  // per group, "" when it went well
  // Per group: 1 when its values missed the error tolerance within the call's work limit (the
  // best values had are kept).
  std::vector<char> shortfalls;
  std::string stationaryError;         // "" when it went well
  std::atomic<bool> abandoned{false};  // a failure makes the remaining pricings pointless
  // The logs of the point: slot 0 for the set-up on the calling thread, slot g + 1 for the task
  // of group g. Held until the point counts when it is evaluated ahead of need; else passed
  // through to the files at once, noting whether any log was opened.
  std::vector<HeldLogs> heldLogs;
  HeldLogs* heldSlot(std::size_t k) { return &heldLogs[k]; }
  // One per expiration, shared by every point of the evaluation with the same v0, vBar, kappa
  // and xi (owned by the first of them).
  std::shared_ptr<std::vector<SharedBound>> sharedBounds;
};

// One task: the variance bound of an expiration and then the pricing of its group, for one
// parameter vector.
struct ExpiryTask {
  int column;
  int group;
  double cost;  // the queue's order: the expected work, largest first
};

// How long each task of the last evaluation took, by (point, group). levmar moves the parameters
// little from one call to the next, and hands over its points in the same roles (the trial point,
// then one per Jacobian column), so these predict the next call's task lengths far better than
// the grids' cost estimates do: the longest tasks start first and the pool ends more evenly. Only
// the order of the queue depends on them, never a result.
struct TaskTimes {
  std::size_t points = 0;
  std::size_t groups = 0;
  std::vector<double> seconds;  // points x groups
};
TaskTimes lastTaskTimes;

// What every task of an evaluation shares, read-only.
struct EvaluationFrame {
  const std::vector<double>& expirations;  // distinct expirations in years, ascending
  const CalibrationSettings& settings;
  const DerivedSettings& derived;
};

std::string currentMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

// The upper variance quantile of expiration j from the 1-D variance-distribution PDE; taken from
// a point that shares it when that one has already solved it (the same solve gives the same
// bits), else solved here and offered to the others. A failure throws as the solve does.
void calcModelIVs_parallelBounds(const EvaluationFrame& frame, ColumnWork& column, int j) {
  SharedBound& shared = (*column.sharedBounds)[j];
  if (shared.state.load(std::memory_order_acquire) == kReady) {
    if (shared.failed) throw std::runtime_error(shared.error);
    column.bounds[j] = shared.value;
    return;
  }
  const double* p = column.p;
  bool failed = false;
  std::string error;
  try {
    PDESolver1D solver(
        frame.derived.level, frame.expirations[j], p[0], p[1], p[2], p[3], 800, 50, 2, 5, false, 1);
    column.bounds[j] = solver.calcQuantile();
  } catch (...) {
    failed = true;
    error = currentMessage();
  }
  int expected = kFree;
  if (shared.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) {
    shared.value = column.bounds[j];
    shared.failed = failed;
    shared.error = error;
    shared.state.store(kReady, std::memory_order_release);
  }
  if (failed) throw std::runtime_error(error);
}

namespace {

// The model IVs of group g with the robust strike-list pricer.
void priceGroup(const EvaluationFrame& frame, ColumnWork& column, int g) {
  const ExpiryWorkItem& group = column.groups[g];
  const double* p = column.p;
  double varRange = group.level;
  bool pastStationary = false;
  if (frame.derived.level < 1.0) {
    const auto it = std::find(frame.expirations.begin(), frame.expirations.end(), group.T);
    const double bj = column.bounds[it - frame.expirations.begin()];
    // A negative variance range is an explicit upper variance bound for the pricer.
    varRange = -expiryVarianceBound(
        column.B, bj, group.rangeFactor, frame.derived.level, group.T, p[0], p[1], p[2], p[3]);
    pastStationary = -varRange > column.B;
  }
  std::vector<double>& modelIVs = column.ivs[g];
  modelIVs.assign(group.strikes.size(), 0.0);
  int NS = group.NS;
  int NV = group.NV;
  // Where the variance path needs more than the stationary quantile (v0 far from vBar, a large xi
  // over a short expiry), the variance spreads over orders of magnitude within the expiry, from
  // about vBar kappa / (kappa + xi^2 / 2) to thousands of times v0: the base grid's uniform cells
  // below v0 do not resolve it, and the convergence run, which refines the same placement, does
  // not see it (xi 16, v0 18 vBar, 20 days: an estimate of 0.5 bp against an error of 11 bp at
  // the money). Twice the variance intervals from the start place the grid afresh with twice the
  // cells below v0 (there within 4 bp of the Monte Carlo value).
  if (pastStationary) NV *= 2;
  int runMode = frame.derived.runMode;
  // With the convergence run (precision code 2) the values come with an error estimate and are
  // refined until it is within the tolerance or the call's work limit is reached.
  StrikeListAccuracy accuracy;
  calcVanillaPDEStrikesWithErrorControl(robustWorkLimit,
                                        group.spot,
                                        group.strikes,
                                        modelIVs,
                                        group.T,
                                        group.r,
                                        group.d,
                                        p[0],
                                        p[1],
                                        p[2],
                                        p[3],
                                        p[4],
                                        &NS,
                                        &NV,
                                        group.NT,
                                        1,
                                        group.EuroAmer,
                                        &runMode,
                                        frame.settings.methodID,
                                        1,
                                        frame.derived.widthFactor,
                                        varRange,
                                        0,
                                        frame.settings.stripMode,
                                        true,
                                        1,
                                        frame.derived.p,
                                        accuracy);
  column.shortfalls[g] = accuracy.controlled && !accuracy.withinTolerance ? 1 : 0;
  // A strike without a positive value (the pricer's 0.0) has no model volatility: the expiry
  // keeps the values it has, counts as one that missed the accuracy target and is recorded.
  const bool unpriced = std::any_of(
      modelIVs.begin(), modelIVs.end(), [](double iv) { return !(iv > 0.0 && iv < 2.0); });
  if (unpriced) {
    column.shortfalls[g] = 1;
    std::ofstream log;
    openPricingLog(log);
    SolverLogRecord::ofCase(calcIdNow(),
                            group.spot,
                            0.0,
                            group.T,
                            group.r,
                            group.d,
                            p[0],
                            p[1],
                            p[2],
                            p[3],
                            p[4],
                            NS,
                            NV,
                            group.NT,
                            1,
                            group.EuroAmer,
                            /*hasStrike=*/false)
        .writeCatch(log, kUnpricedStrikesMessage, runMode);
  }
}

// A task runs its expiration's bound solve and then, without waiting for any other task, its
// group's pricing. No exception leaves it: a failure stays in its own slot.
void runTask(const EvaluationFrame& frame, ColumnWork& column, int g) {
  const HoldLogsScope hold(column.heldSlot(static_cast<std::size_t>(g) + 1));
  if (frame.derived.level < 1.0) {
    // Groups and distinct expirations are both in ascending order: group g is expiration g.
    try {
      calcModelIVs_parallelBounds(frame, column, g);
    } catch (...) {
      column.boundErrors[g] = currentMessage();
      column.abandoned = true;
      return;
    }
  }
  if (column.abandoned) return;
  try {
    priceGroup(frame, column, g);
  } catch (...) {
    column.pricingErrors[g] = currentMessage();
    column.abandoned = true;
  }
}

// The evaluation's error in the order the work is specified: the first failed bound in
// expiration order, then the stationary quantile, then the first failed pricing in expiration
// order; "" when everything went well.
std::string firstError(const ColumnWork& column) {
  for (const std::string& e : column.boundErrors)
    if (!e.empty()) return e;
  if (!column.stationaryError.empty()) return column.stationaryError;
  for (const std::string& e : column.pricingErrors)
    if (!e.empty()) return e;
  return std::string();
}

}  // namespace

// The bound solves of calcModelIVs' first loop and the pricings of its second, as one task per
// (parameter vector, expiration): each task solves its expiration's bound and goes straight on to
// price its group, so no thread waits at a barrier between the two. The tasks go to the threads
// from one shared queue, heaviest first (by the last evaluation's task times when it had the same
// shape, else by the groups' cost estimates), which keeps every thread busy until the last few
// tasks; results are written by index, so nothing computed depends on which thread ran what, or
// on the number of threads.
void calcModelIVs_parallelPricing(const EvaluationFrame& frame,
                                  std::vector<std::unique_ptr<ColumnWork>>& columns,
                                  const std::vector<ExpiryTask>& tasks) {
  const std::size_t groups = columns.empty() ? 0 : columns.front()->groups.size();
  std::vector<double> seconds(columns.size() * groups, 0.0);
  runHeaviestFirst(static_cast<int>(tasks.size()), [&](int t) {
    const auto start = std::chrono::steady_clock::now();
    runTask(frame, *columns[tasks[t].column], tasks[t].group);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    seconds[static_cast<std::size_t>(tasks[t].column) * groups +
            static_cast<std::size_t>(tasks[t].group)] = took.count();
  });
  lastTaskTimes = TaskTimes{columns.size(), groups, std::move(seconds)};
}

namespace {

// The message of the first parameter of p outside its hard range, or null.
const char* parameterRangeError(const double* p) {
  struct Range {
    const char* message;
    double lower;
    double upper;
  };
  static const Range kRanges[5] = {
      {"v0 is out of range. Stopping optimization.", 0.001, 0.5},
      {"vBar is out of range. Stopping optimization.", 0.001, 1.0},
      {"kappa is out of range. Stopping optimization.", 0.1, 50.0},
      {"xi is out of range. Stopping optimization.", 0.1, 30.0},
      {"rho is out of range. Stopping optimization.", -1.0, 0.3},
  };
  for (int i = 0; i < 5; ++i) {
    // Written so that a parameter that is not a number is out of range as well.
    if (!(p[i] >= kRanges[i].lower && p[i] <= kRanges[i].upper)) return kRanges[i].message;
  }
  return nullptr;
}

}  // namespace

void checkModelParameters(const double* p) {
  if (const char* message = parameterRangeError(p)) {
    stopFlag = true;
    throw std::runtime_error(message);
  }
}

DerivedSettings deriveSettings(const CalibrationSettings& settings) {
  DerivedSettings derived;
  derived.runMode = settings.precision == 1 ? 3 : (settings.precision == 2 ? 5 : 4);
  derived.widthFactor = settings.factorSwitch == 1 ? 1.0 : 1.5;
  derived.level = settings.quantileSwitch == 1 ? 0.9999975 : 0.999999;
  derived.p = 1.0;
  if (settings.model != 1) {
    derived.p = 0.8;
    derived.level = 0.999999;
  }
  return derived;
}

std::vector<ExpiryWorkItem> groupByExpiry(const std::vector<OptionQuote>& quotesInYears) {
  std::vector<ExpiryWorkItem> groups;
  for (std::size_t i = 0; i < quotesInYears.size(); ++i) {
    const OptionQuote& q = quotesInYears[i];
    if (i == 0 || q.expirationDays != quotesInYears[i - 1].expirationDays) {
      groups.emplace_back();
    }
    ExpiryWorkItem& g = groups.back();
    g.strikes.push_back(q.strike);
    g.marketIVs.push_back(q.marketIV);
    const double price = bsmPrice(
        q.spot, q.strike, q.rate, q.dividendYield, q.marketIV, q.expirationDays, q.putFlag);
    if (price < g.refPrice) g.refPrice = price;
    g.spot = q.spot;
    g.T = q.expirationDays;
    g.r = q.rate;
    g.d = q.dividendYield;
    g.CallPut = 1;
    // The chain has no exercise-style column and its implied volatilities are Black-Scholes-Merton
    // ones: every group is priced as European.
    g.EuroAmer = 0;
  }
  return groups;
}

double sizeExpiryGroups(std::vector<ExpiryWorkItem>& groups,
                        const CalibrationSettings& settings,
                        double level,
                        double kappa) {
  double total = 0.0;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    ExpiryWorkItem& g = groups[i];
    const double P = g.refPrice, S = g.spot;
    sizeExpiryWorkItem(g, settings.NS, settings.NV, settings.NT, kappa);
    g.index = static_cast<std::int32_t>(i);
    g.level = level;
    // Prices under a basis point of the spot lie in the upper tail of the variance: the variance
    // axis reaches further for them.
    if (P < 0.0001 * S && g.level < 0.999999) g.level = 0.999999;
    total += g.cost;
  }
  return total;
}

std::vector<std::vector<int>> dealBuckets(const std::vector<ExpiryWorkItem>& groups,
                                          int nb,
                                          double totalCost) {
  std::vector<double> costs(groups.size());
  for (std::size_t g = 0; g < groups.size(); ++g) costs[g] = groups[g].cost;
  return dealByCost(costs, nb, totalCost).buckets;
}

std::vector<ModelIVsOutcome> modelIVsOfQuotesBatch(const std::vector<OptionQuote>& quotesInYears,
                                                   const std::vector<const double*>& ps,
                                                   const CalibrationSettings& settings,
                                                   std::size_t firm) {
  const DerivedSettings derived = deriveSettings(settings);

  std::vector<double> expirations;
  for (const OptionQuote& q : quotesInYears) {
    if (std::find(expirations.begin(), expirations.end(), q.expirationDays) == expirations.end()) {
      expirations.push_back(q.expirationDays);
    }
  }
  std::sort(expirations.begin(), expirations.end());

  const std::vector<ExpiryWorkItem> grouped = groupByExpiry(quotesInYears);
  std::vector<std::unique_ptr<ColumnWork>> columns;
  std::vector<ExpiryTask> tasks;
  for (std::size_t c = 0; c < ps.size(); ++c) {
    columns.push_back(std::make_unique<ColumnWork>());
    ColumnWork& column = *columns.back();
    const double* p = ps[c];
    column.p = p;
    column.groups = grouped;
    sizeExpiryGroups(column.groups, settings, derived.level, p[2]);
    const std::size_t ng = column.groups.size();
    column.bounds.assign(expirations.size(), 0.0);
    column.ivs.resize(ng);
    column.boundErrors.resize(expirations.size());
    column.pricingErrors.resize(ng);
    column.shortfalls.assign(ng, 0);
    for (std::size_t k = 0; k <= ng; ++k) column.heldLogs.emplace_back(c < firm);
    for (std::size_t e = 0; e < c && !column.sharedBounds; ++e) {
      if (std::memcmp(ps[e], p, 4 * sizeof(double)) == 0)
        column.sharedBounds = columns[e]->sharedBounds;
    }
    if (!column.sharedBounds)
      column.sharedBounds = std::make_shared<std::vector<SharedBound>>(expirations.size());
    const HoldLogsScope hold(column.heldSlot(0));
    if (derived.level < 1.0) {
      // The stationary quantile is a closed-form gamma quantile: cheap enough for this thread.
      try {
        PDESolver1D stationary(derived.level, p[0], p[1], p[2], p[3]);
        column.B = stationary.calcQuantile();
      } catch (...) {
        column.stationaryError = currentMessage();
        column.abandoned = true;
      }
    }
    for (std::size_t g = 0; g < ng; ++g) {
      tasks.push_back({static_cast<int>(c), static_cast<int>(g), column.groups[g].cost});
    }
  }
  const std::size_t groupCount = columns.empty() ? 0 : columns.front()->groups.size();
  if (lastTaskTimes.points == ps.size() && lastTaskTimes.groups == groupCount) {
    for (ExpiryTask& t : tasks) {
      t.cost = lastTaskTimes.seconds[static_cast<std::size_t>(t.column) * groupCount +
                                     static_cast<std::size_t>(t.group)];
    }
  }
  std::stable_sort(tasks.begin(), tasks.end(), [](const ExpiryTask& a, const ExpiryTask& b) {
    return a.cost > b.cost;
  });

  const EvaluationFrame frame{expirations, settings, derived};
  calcModelIVs_parallelPricing(frame, columns, tasks);

  std::vector<ModelIVsOutcome> outcomes(ps.size());
  for (std::size_t c = 0; c < ps.size(); ++c) {
    ColumnWork& column = *columns[c];
    ModelIVsOutcome& out = outcomes[c];
    out.heldLogs = std::move(columns[c]->heldLogs);
    out.error = firstError(column);
    out.failed = !out.error.empty() || column.abandoned;
    if (out.failed) continue;
    for (const char f : column.shortfalls) out.shortfalls += f;
    std::vector<IVResult> all;
    for (std::size_t g = 0; g < column.groups.size(); ++g) {
      const ExpiryWorkItem& group = column.groups[g];
      const std::vector<double>& modelIVs = column.ivs[g];
      for (std::size_t k = 0; k < group.strikes.size(); ++k) {
        const double iv = k < modelIVs.size() ? modelIVs[k] : 0.0;
        all.push_back({group.T, group.strikes[k], iv});
      }
    }
    std::stable_sort(all.begin(), all.end(), [](const IVResult& a, const IVResult& b) {
      if (a.T != b.T) return a.T < b.T;
      return a.strike < b.strike;
    });
    out.ivs.resize(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) out.ivs[i] = all[i].modelIV;
  }
  return outcomes;
}

std::vector<double> modelIVsOfQuotes(const std::vector<OptionQuote>& quotesInYears,
                                     const double* p,
                                     const CalibrationSettings& settings) {
  ModelIVsOutcome out = std::move(modelIVsOfQuotesBatch(quotesInYears, {p}, settings).front());
  if (out.failed) throw std::runtime_error(out.error);
  return std::move(out.ivs);
}

namespace {

// What the evaluation of one point does besides writing its values: its logs (held for a point
// ahead of need), its error record, or the console's stop for values of the wrong count.
struct PointEffects {
  std::vector<HeldLogs> logs;
  bool failed = false;
  std::string errorRecord;
  bool wrongCount = false;
};

void applyEffects(PointEffects& effects) {
  for (HeldLogs& held : effects.logs) held.release();
  if (effects.failed) appendErrorRecord(effects.errorRecord);
  if (effects.wrongCount) {
    std::cout << "Oops, seems like some more debugging is in order. Press any key to terminate!";
    double answer = 0.0;
    std::cin >> answer;
  }
}

// The effects of the points of the last calcModelIVsAhead call that evaluated points ahead of
// need, in point order, until settleModelIVsAhead. Only the console's single levmar run uses it.
std::vector<PointEffects> heldAhead;

// The values of the last single point whose evaluation met no failure and opened no log, with
// everything they depend on. Asked for the same point again (the console's final call at the
// fitted parameters), the model function hands them back at once: the same work would give the
// same values and write nothing either. The chain file is still read every time, and a change
// in it, in the settings or in the pricers' test seams prices anew.
struct RememberedPoint {
  bool valid = false;
  std::string path;
  CalibrationSettings settings{};
  std::vector<OptionQuote> quotes;
  double p[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  bool debug = false;
  RobustSolveHook hook = nullptr;
  std::int64_t workLimit = 0;
  std::vector<double> ivs;
  int shortfalls = 0;
};
RememberedPoint remembered;

// What modelIVsShortfall reports.
int lastShortfall = 0;

bool sameQuotes(const std::vector<OptionQuote>& a, const std::vector<OptionQuote>& b) {
  if (a.size() != b.size()) return false;
  const auto same = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    const OptionQuote &x = a[i], &y = b[i];
    if (x.index != y.index || x.putFlag != y.putFlag || !same(x.marketIV, y.marketIV) ||
        !same(x.spot, y.spot) || !same(x.strike, y.strike) ||
        !same(x.expirationDays, y.expirationDays) || !same(x.rate, y.rate) ||
        !same(x.dividendYield, y.dividendYield)) {
      return false;
    }
  }
  return true;
}

bool isRemembered(const std::string& path,
                  const CalibrationSettings& settings,
                  const std::vector<OptionQuote>& quotes,
                  const double* p,
                  int n) {
  const RememberedPoint& r = remembered;
  return r.valid && r.path == path && std::memcmp(&r.settings, &settings, sizeof settings) == 0 &&
         std::memcmp(r.p, p, sizeof r.p) == 0 && r.debug == debugFlag &&
         r.hook == robustSolveHook && r.workLimit == robustWorkLimit &&
         static_cast<int>(r.ivs.size()) == n && sameQuotes(r.quotes, quotes);
}

void remember(const std::string& path,
              const CalibrationSettings& settings,
              std::vector<OptionQuote> quotes,
              const double* p,
              const std::vector<double>& ivs,
              int shortfalls) {
  RememberedPoint& r = remembered;
  r.shortfalls = shortfalls;
  r.valid = true;
  r.path = path;
  r.settings = settings;
  r.quotes = std::move(quotes);
  std::memcpy(r.p, p, sizeof r.p);
  r.debug = debugFlag;
  r.hook = robustSolveHook;
  r.workLimit = robustWorkLimit;
  r.ivs = ivs;
}

bool openedNoLog(const std::vector<HeldLogs>& logs) {
  for (const HeldLogs& held : logs)
    if (!held.empty()) return false;
  return true;
}

// Points ahead of need are worth evaluating only when there are threads to share.
bool aheadPointsWanted(double* const* ps, int firm, int count) {
  if (pricingBucketCount() < 2) return false;
  for (int c = firm; c < count; ++c)
    if (parameterRangeError(ps[c])) return false;
  return true;
}

}  // namespace

bool calcModelIVsBatchFromFile(const std::string& path,
                               double* const* ps,
                               double* const* hxs,
                               int count,
                               int n,
                               const CalibrationSettings& settings,
                               int firm) {
  firm = std::min(firm, count);
  // The range check of every point comes first, in point order, as it would one call at a time.
  for (int c = 0; c < firm; ++c) checkModelParameters(ps[c]);
  if (count == 1) lastShortfall = 0;
  const int evaluated = firm < count && aheadPointsWanted(ps, firm, count) ? count : firm;
  const double nan = std::numeric_limits<double>::quiet_NaN();

  std::vector<PointEffects> effects(static_cast<std::size_t>(evaluated));
  std::vector<ModelIVsOutcome> outcomes;
  std::vector<OptionQuote> quotes;
  try {
    std::ofstream results;
    if (debugFlag) {
      results.open("Results.txt", std::ios::out | std::ios::app);
      results.precision(10);
    }
    // A file that cannot be opened reads as an empty one: its spot conversion fails.
    OptionChain chain = readOptionChain(path);
    if (!chain.opened) throw std::invalid_argument("invalid stod argument");
    sortQuotes(chain.quotes);
    removeRepeats(chain.quotes, &sameQuote);
    for (OptionQuote& q : chain.quotes) q.expirationDays /= 365.0;
    if (count == 1 && isRemembered(path, settings, chain.quotes, ps[0], n)) {
      std::copy(remembered.ivs.begin(), remembered.ivs.end(), hxs[0]);
      lastShortfall = remembered.shortfalls;
      return false;
    }
    outcomes = modelIVsOfQuotesBatch(chain.quotes,
                                     std::vector<const double*>(ps, ps + evaluated),
                                     settings,
                                     static_cast<std::size_t>(firm));
    quotes = std::move(chain.quotes);  // kept for the remembered point
  } catch (const std::exception& e) {
    // Every point meets the same failure, and each records it, as one call per point would.
    for (int c = 0; c < evaluated; ++c) {
      effects[c].failed = true;
      effects[c].errorRecord = e.what();
      std::fill(hxs[c], hxs[c] + n, nan);
    }
  }

  for (int c = 0; c < static_cast<int>(outcomes.size()); ++c) {
    ModelIVsOutcome& out = outcomes[c];
    double* hx = hxs[c];
    const bool quiet = openedNoLog(out.heldLogs);
    effects[c].logs = std::move(out.heldLogs);
    if (out.failed) {
      effects[c].failed = true;
      effects[c].errorRecord = out.error.empty() ? std::string("unknown error") : out.error;
      std::fill(hx, hx + n, nan);
    } else if (static_cast<int>(out.ivs.size()) != n) {
      // Values that were never computed must not pass for a fit: levmar stops at them and the
      // report shows them.
      effects[c].wrongCount = true;
      std::fill(hx, hx + n, nan);
    } else {
      std::copy(out.ivs.begin(), out.ivs.end(), hx);
      if (c == 0 && count == 1) lastShortfall = out.shortfalls;
      if (c == 0 && quiet) {
        remember(path, settings, std::move(quotes), ps[0], out.ivs, out.shortfalls);
      }
    }
  }

  for (int c = 0; c < firm; ++c) applyEffects(effects[c]);
  heldAhead.clear();
  for (int c = firm; c < evaluated; ++c) heldAhead.push_back(std::move(effects[c]));
  return evaluated > firm;
}

int modelIVsShortfall() { return lastShortfall; }

std::string accuracyCautionLine(int shortfalls) {
  if (shortfalls <= 0) return std::string();
  return "*** CAUTION *** : The model IVs of " + std::to_string(shortfalls) +
         (shortfalls == 1 ? " expiration" : " expirations") +
         " missed the accuracy target of 0.5 bp within the work limit: they are the best values "
         "the pricer had.\n";
}

void calcModelIVsFromFile(const std::string& path,
                          const double* p,
                          double* hx,
                          int n,
                          const CalibrationSettings& settings) {
  double* point = const_cast<double*>(p);  // read only
  calcModelIVsBatchFromFile(path, &point, &hx, 1, n, settings);
}

void calcModelIVs(double* p, double* hx, int /*m*/, int n, void* adata) {
  const CalibrationSettings& settings = *static_cast<const CalibrationSettings*>(adata);
  calcModelIVsFromFile(programFilePath("OptionsData.txt"), p, hx, n, settings);
}

void calcModelIVsBatch(
    double* const* ps, double* const* hxs, int count, int /*m*/, int n, void* adata) {
  const CalibrationSettings& settings = *static_cast<const CalibrationSettings*>(adata);
  calcModelIVsBatchFromFile(programFilePath("OptionsData.txt"), ps, hxs, count, n, settings);
}

int calcModelIVsAhead(
    double* const* ps, double* const* hxs, int count, int firm, int /*m*/, int n, void* adata) {
  const CalibrationSettings& settings = *static_cast<const CalibrationSettings*>(adata);
  return calcModelIVsBatchFromFile(
             programFilePath("OptionsData.txt"), ps, hxs, count, n, settings, firm)
             ? 1
             : 0;
}

void settleModelIVsAhead(int keep, void* /*adata*/) {
  if (keep) {
    for (PointEffects& effects : heldAhead) applyEffects(effects);
  }
  heldAhead.clear();
}

}  // namespace serivane
