// Records of the pricing log "GARCH_PDESolverLog.txt". The texts, odd spellings included, are
// the log's established format: readers of old logs search for them.
#include "calibration/pricing/pricing_log.h"

#include <string>

#include "calibration/quotes/program_folder.h"
#include "core/failure_messages.h"
#include "core/held_logs.h"

namespace serivane {

namespace {

const std::string kFrame(85, '*');
const std::string kBanner = std::string(57, '*') + kInstabilityMessage + std::string(28, '*');

}  // namespace

std::string pricingLogPath() { return programFilePath(kPricingLogName); }

void openPricingLog(std::ofstream& log) {
  if (logIsOpen(log)) return;
  openLogForAppend(log, pricingLogPath());
  log.precision(16);
}

void writeFrameLine(std::ostream& os) { os << kFrame << "\n"; }

void writeBannerLine(std::ostream& os) { os << kBanner << "\n"; }

void appendErrorRecord(const std::string& message) {
  std::ofstream log;
  openPricingLog(log);
  writeFrameLine(log);
  log << message << "\n";
  writeFrameLine(log);
  log << "\n";
}

void SolverLogRecord::writeCaseLines(std::ostream& os) const {
  os << "S:\t\t" << S << "\n";
  if (hasStrike) os << "K:\t\t" << K << "\n";
  os << "T:\t\t" << T << "\n";
  os << "r:\t\t" << r << "\n";
  os << "d:\t\t" << d << "\n";
  os << "v0:\t\t" << v0 << "\n";
  os << "vL:\t\t" << vL << "\n";
  os << "theta:\t\t" << theta << "\n";
  os << "volvol:\t\t" << volvol << "\n";
  os << "rho:\t\t" << rho << "\n";
  os << "NS:\t\t" << NS << "\n";
  os << "Nv:\t\t" << NV << "\n";
  os << "NT:\t\t" << NT << "\n";
  os << "Call/Put: \t" << CallPut << "\n";
  os << "Euro/Amer:\t" << EuroAmer << "\n";
}

void SolverLogRecord::writeCaseBlockWithValue(std::ostream& os, double value) const {
  writeCaseLines(os);
  os << "Value:\t" << value << "\n";
}

void SolverLogRecord::writeCaseBlockWithPrecision(std::ostream& os, int runMode) const {
  writeCaseLines(os);
  os << "Precision:\t" << runMode << "\n";
}

void SolverLogRecord::writeNegativeValue(std::ostream& os, double value, double caseValue) const {
  writeFrameLine(os);
  os << "Negative value (" << value << ") occured for the following case (calcID " << calcID
     << ") :"
     << "\n";
  writeFrameLine(os);
  writeCaseBlockWithValue(os, caseValue);
}

void SolverLogRecord::writeRetry(std::ostream& os, int n, RetryForm form) const {
  writeFrameLine(os);
  os << calcID << ": "
     << "Attempting re-evaluation " << n;
  switch (form) {
    case RetryForm::kPlain:
      os << " with NS = " << NS << ", NV = " << NV << " and NT = " << NT;
      break;
    case RetryForm::kDenserGrid:
      os << " with NS = " << NS << " NV = " << NV << " NT = " << NT << " and using denser grid";
      break;
    case RetryForm::kDenserGridNTFirst:
      os << " with NT = " << NT << " NS = " << NS << " NV = " << NV << " and using denser grid";
      break;
  }
  os << "\n";
  writeFrameLine(os);
}

void SolverLogRecord::writeSuccess(std::ostream& os, int n, double value) const {
  writeFrameLine(os);
  os << calcID << ": "
     << "Succeeded at re-evaluation " << n << " with NS = " << NS << ", NV = " << NV
     << " and NT = " << NT << ". Value is: " << value << "."
     << "\n";
  writeFrameLine(os);
  os << "\n";
}

void SolverLogRecord::writeMemoryRetry(std::ostream& os) const {
  writeFrameLine(os);
  os << calcID << ": "
     << "There was a memory failure so we are retrying with 0.75*NV and higher grid "
        "non-uniformity."
     << "\n";
  writeFrameLine(os);
  os << "\n";
}

void SolverLogRecord::writeMemoryFinal(std::ostream& os, double best) const {
  writeFrameLine(os);
  os << calcID << ": "
     << "There was a memory failure so returning the best we could do which was...: " << best << "."
     << "\n";
  writeFrameLine(os);
  os << "\n";
}

void SolverLogRecord::writeMemoryFinalNoValue(std::ostream& os) const {
  writeFrameLine(os);
  os << calcID << ": "
     << "There was a memory failure so returning the best we could do which was...: "
     << "."
     << "\n";
  writeFrameLine(os);
  os << "\n";
}

void SolverLogRecord::writeGiveUpWithValue(std::ostream& os, int n, double value) const {
  writeFrameLine(os);
  os << calcID << ": "
     << "Couldn't get a safe positive value after " << n
     << " retries. Returning possibly innacurate value:" << value << "\n";
  writeFrameLine(os);
}

void SolverLogRecord::writeGiveUpWithValues(std::ostream& os, int n) const {
  writeFrameLine(os);
  os << calcID << ": "
     << "Couldn't get a safe positive value after " << n
     << " retries. Returning possibly innacurate values"
     << "\n";
  writeFrameLine(os);
}

void SolverLogRecord::writeGiveUpWithZero(std::ostream& os, int n, double value) const {
  writeFrameLine(os);
  os << calcID << ": "
     << "Failed to get a positive value after " << n << " retries. Returning zero instead."
     << "\n";
  writeCaseBlockWithValue(os, value);
  writeFrameLine(os);
}

void SolverLogRecord::writeCatch(std::ostream& os, const std::string& message, int runMode) const {
  writeBannerLine(os);
  os << message << "\n";
  writeFrameLine(os);
  writeCaseBlockWithPrecision(os, runMode);
  os << "\n";
}

void SolverLogRecord::writeInstabilityRetry(std::ostream& os, int count) const {
  os << calcID << ": " << kInstabilityMessage << ". Retrying evaluation : " << count << "\n";
}

void SolverLogRecord::writeAllocationRetry(std::ostream& os, int count) const {
  os << calcID << ": "
     << "Failed to allocate memory. Retrying evaluation:" << count << "\n";
}

SolverLogRecord SolverLogRecord::ofCase(long calcID,
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
                                        bool hasStrike) {
  SolverLogRecord rec;
  rec.calcID = calcID;
  rec.S = S;
  rec.K = K;
  rec.T = T;
  rec.r = r;
  rec.d = d;
  rec.v0 = v0;
  rec.vL = vL;
  rec.theta = theta;
  rec.volvol = volvol;
  rec.rho = rho;
  rec.NS = NS;
  rec.NV = NV;
  rec.NT = NT;
  rec.CallPut = CallPut;
  rec.EuroAmer = EuroAmer;
  rec.hasStrike = hasStrike;
  return rec;
}

}  // namespace serivane
