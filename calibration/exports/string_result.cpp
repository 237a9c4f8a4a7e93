#include "calibration/exports/string_result.h"

#include <string>

#include "calibration/exports/export_guard.h"
#include "platform/ole_string.h"

namespace serivane {

QelString successString() noexcept { return SysAllocString(u""); }

QelString failureString(const std::string& message) noexcept {
  try {
    const std::u16string wide = widenMessage(message.empty() ? "unknown error" : message);
    return SysAllocString(wide.c_str());
  } catch (...) {
    return SysAllocString(u"unknown error");
  }
}

QelString failureStringOfCurrentException() noexcept {
  try {
    return failureString(currentExceptionMessage());
  } catch (...) {
    return SysAllocString(u"unknown error");
  }
}

}  // namespace serivane
