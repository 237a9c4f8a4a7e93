#ifndef SERIVANE_CALIBRATION_PRICING_PRICING_LOG_H_
#define SERIVANE_CALIBRATION_PRICING_PRICING_LOG_H_

#include <ctime>
#include <fstream>
#include <ostream>
#include <string>

namespace serivane {

// The pricing log "GARCH_PDESolverLog.txt" in the program folder: a plain text file that only
// grows. Each writer opens its own stream on it in append mode, writes whole records and closes
// it; no lock is taken, so records of concurrent workers may interleave. A log that cannot be
// opened leaves the stream failed and the record is lost; the pricing goes on.

inline constexpr char kPricingLogName[] = "GARCH_PDESolverLog.txt";

// Full path of the pricing log: program folder, separator, kPricingLogName.
std::string pricingLogPath();

// Opens `log` on the pricing log (output, append) with 16 significant digits for numbers, or on
// the thread's held logs while it holds them (core/held_logs.h). A stream that is already open is
// left as it is.
void openPricingLog(std::ofstream& log);

// The case identifier of a pricing call: the process clock, taken once when the call starts.
inline long calcIdNow() { return static_cast<long>(std::clock()); }

// Which form of the retry line (record kind 2) a retry writes.
enum class RetryForm {
  kPlain,             // " with NS = .., NV = .. and NT = .."
  kDenserGrid,        // " with NS = .. NV = .. NT = .. and using denser grid"
  kDenserGridNTFirst  // " with NT = .. NS = .. NV = .. and using denser grid"
};

// One pricing case of the log (`SolverLogRecord`) and the writers of its record kinds. Numbers
// go out in the stream's format (16 significant digits once opened by openPricingLog), integers
// in decimal, every line ends with "\n".
struct SolverLogRecord {
  long calcID = 0;
  double S = 0.0;
  double K = 0.0;
  double T = 0.0;
  double r = 0.0;
  double d = 0.0;
  double v0 = 0.0;
  double vL = 0.0;
  double theta = 0.0;  // mean-reversion speed
  double volvol = 0.0;
  double rho = 0.0;
  int NS = 0;
  int NV = 0;
  int NT = 0;
  int CallPut = 0;
  int EuroAmer = 0;
  // The strike-list pricer's case dumps have no "K:" line.
  bool hasStrike = true;

  // The record of one case: its identifier, the option and model data and the current sizes.
  static SolverLogRecord ofCase(long calcID,
                                double S,
                                double K,
                                double T,
                                double r,
                                double d,
                                double v0,
                                double vL,
                                double theta,
                                double volvol,
                                double rho,
                                int NS,
                                int NV,
                                int NT,
                                int CallPut,
                                int EuroAmer,
                                bool hasStrike = true);

  // Case block lines "S:" .. "Euro/Amer:" (without the closing "Value:" or "Precision:" line).
  void writeCaseLines(std::ostream& os) const;
  // The full case block of negative-value and give-up records: ends with "Value:\t" value.
  void writeCaseBlockWithValue(std::ostream& os, double value) const;
  // The full case block of catch records: ends with "Precision:\t" and the run mode.
  void writeCaseBlockWithPrecision(std::ostream& os, int runMode) const;

  // Kind 1: frame, "Negative value (" value ") occured for the following case (calcID "
  // calcID ") :", frame, case block ending with "Value:" caseValue.
  void writeNegativeValue(std::ostream& os, double value, double caseValue) const;
  // Kind 2: frame, calcID ": Attempting re-evaluation " n and the sizes in the given form, frame.
  void writeRetry(std::ostream& os, int n, RetryForm form) const;
  // Kind 3: frame, calcID ": Succeeded at re-evaluation " n " with NS = .., NV = .. and NT = ..
  // . Value is: " value ".", frame, empty line.
  void writeSuccess(std::ostream& os, int n, double value) const;
  // Kind 4: the memory-failure retry line, framed, then an empty line.
  void writeMemoryRetry(std::ostream& os) const;
  // Kind 5: the memory-failure final line with the best value, framed, then an empty line.
  void writeMemoryFinal(std::ostream& os, double best) const;
  // The strike-list pricer's form of kind 5, which carries no value ("...which was...: .").
  void writeMemoryFinalNoValue(std::ostream& os) const;
  // Kind 6: frame, calcID ": Couldn't get a safe positive value after " n " retries. Returning
  // possibly innacurate value:" value, frame.
  void writeGiveUpWithValue(std::ostream& os, int n, double value) const;
  // The strike-list pricer's form of kind 6: "... retries. Returning possibly innacurate values".
  void writeGiveUpWithValues(std::ostream& os, int n) const;
  // Kind 7: frame, calcID ": Failed to get a positive value after " n " retries. Returning zero
  // instead.", case block ending with "Value:" value, frame.
  void writeGiveUpWithZero(std::ostream& os, int n, double value) const;
  // Kind 8: banner, message, frame, case block ending with "Precision:" and the run mode, empty
  // line.
  void writeCatch(std::ostream& os, const std::string& message, int runMode) const;
  // The optional closing lines of a catch record (count written as an integer).
  void writeInstabilityRetry(std::ostream& os, int count) const;
  void writeAllocationRetry(std::ostream& os, int count) const;
};

// A frame line: 85 asterisks and "\n".
void writeFrameLine(std::ostream& os);
// The banner of the catch records: 57 asterisks, "Possible instability issue", 28 asterisks, "\n".
void writeBannerLine(std::ostream& os);

// The record of an error caught by a calibration objective, appended to the pricing log: a frame
// line, the message, a frame line and an empty line. A log that cannot be opened loses it.
void appendErrorRecord(const std::string& message);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_PRICING_PRICING_LOG_H_
