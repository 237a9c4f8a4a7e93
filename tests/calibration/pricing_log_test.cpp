// The records of the pricing log against a golden fixture written from the record format, the
// number format, and the log's place and append mode.
#include "calibration/pricing/pricing_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "calibration/quotes/program_folder.h"
#include "pricing_log_test_util.h"

namespace serivane {

namespace {

SolverLogRecord sampleRecord() {
  SolverLogRecord rec;
  rec.calcID = 4242;
  rec.S = 100.0;
  rec.K = 0.1;
  rec.T = 1.0 / 3.0;
  rec.r = 0.03;
  rec.d = 0.01;
  rec.v0 = 0.04;
  rec.vL = 0.05;
  rec.theta = 1.5;
  rec.volvol = 0.3;
  rec.rho = -0.7;
  rec.NS = 133;
  rec.NV = 53;
  rec.NT = 30;
  rec.CallPut = 1;
  rec.EuroAmer = 0;
  return rec;
}

}  // namespace

TEST(PricingLog, EveryRecordKindMatchesTheGoldenFixture) {
  std::ostringstream os;
  os.precision(16);
  const SolverLogRecord rec = sampleRecord();
  rec.writeNegativeValue(os, -0.0125, -0.0125);
  rec.writeRetry(os, 1, RetryForm::kPlain);
  rec.writeRetry(os, 5, RetryForm::kDenserGrid);
  rec.writeRetry(os, 6, RetryForm::kDenserGridNTFirst);
  rec.writeSuccess(os, 2, 2.5);
  rec.writeMemoryRetry(os);
  rec.writeMemoryFinal(os, 1.0 / 3.0);
  rec.writeGiveUpWithValue(os, 7, 2.5);
  rec.writeGiveUpWithZero(os, 7, -0.0125);
  rec.writeCatch(os, "Possible instability issue", 4);
  rec.writeInstabilityRetry(os, 0);
  rec.writeCatch(os, "bad allocation", 3);
  rec.writeAllocationRetry(os, 1);
  SolverLogRecord listRec = rec;
  listRec.hasStrike = false;
  listRec.writeNegativeValue(os, -0.5, -0.75);
  listRec.writeMemoryFinalNoValue(os);
  listRec.writeGiveUpWithValues(os, 3);
  EXPECT_EQ(os.str(), readFixture("pricing_log_records.txt"));
}

TEST(PricingLog, FrameAndBannerLines) {
  std::ostringstream frame, banner;
  writeFrameLine(frame);
  writeBannerLine(banner);
  EXPECT_EQ(frame.str(), std::string(85, '*') + "\n");
  EXPECT_EQ(banner.str(),
            "*********************************************************Possible instability "
            "issue****************************\n");
  EXPECT_EQ(banner.str().find('P'), 57u);
  EXPECT_EQ(banner.str().size() - banner.str().rfind('e') - 2, 28u);
}

TEST_F(PricingLogTest, LogLivesInTheProgramFolderAndIsAppendedWithSixteenDigits) {
  EXPECT_EQ(pricingLogPath(), programFolder() + "/GARCH_PDESolverLog.txt");
  for (int i = 0; i < 2; ++i) {
    std::ofstream log;
    openPricingLog(log);
    ASSERT_TRUE(log.is_open());
    log << 0.1 << " " << 1.0 / 3.0 << " " << 2.5e-20 << "\n";
  }
  EXPECT_EQ(log(),
            "0.1 0.3333333333333333 2.5e-20\n"
            "0.1 0.3333333333333333 2.5e-20\n");
}

}  // namespace serivane
