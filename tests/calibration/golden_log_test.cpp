// The golden table's log cases: failing robust-pricer calls on real solves (a repaired negative
// value, a solve that throws), whose returned values and written files must stay byte for byte
// those of tests/data/golden/log_<name>.txt, written by tools/make_golden_table.cpp.
#include <gtest/gtest.h>

#include <string>

#include "pricing_log_test_util.h"
#include "support/golden_logs.h"
#include "support/temp_folder.h"

namespace serivane {

namespace {

class GoldenLog : public PricingLogTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(GoldenLog, ResultAndWrittenFilesMatchTheFixture) {
  const golden::LogCase& c = golden::logCases()[GetParam()];
  TempFolder folder;
  EXPECT_EQ(golden::runLogCase(c), readFixture("golden/" + golden::logFixtureName(c)))
      << "log case " << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         GoldenLog,
                         ::testing::Range<std::size_t>(0, golden::logCases().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return std::string(golden::logCases()[info.param].name);
                         });

}  // namespace

}  // namespace serivane
