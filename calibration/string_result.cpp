#include "calibration/string_result.h"

#include <string>

#include "calibration/export_guard.h"
#include "platform/ole_string.h"

namespace serivane {

QelString successString() noexcept { return SysAllocString(u""); }

QelString failureStringOfCurrentException() noexcept {
  try {
    std::string message = currentExceptionMessage();
    // An empty message would read as success.
    if (message.empty()) message = "unknown error";
    const std::u16string wide = widenMessage(message);
    return SysAllocString(wide.c_str());
  } catch (...) {
    return SysAllocString(u"unknown error");
  }
}

}  // namespace serivane
