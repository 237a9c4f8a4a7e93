#ifndef SERIVANE_TESTS_CORE_QEL_HESTON_VANILLA_TEST_UTIL_H_
#define SERIVANE_TESTS_CORE_QEL_HESTON_VANILLA_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "support/heston_pricer.h"

namespace serivane {

// Runs f and checks that it throws a std::exception with exactly this message.
template <class F>
void expectThrowsMessage(F&& f, const std::string& message, const std::string& label = "") {
  try {
    f();
    ADD_FAILURE() << label << ": no exception, expected \"" << message << "\"";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), message) << label;
  }
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_CORE_QEL_HESTON_VANILLA_TEST_UTIL_H_
