#include "calibration/string_result.h"

#include <exception>
#include <string>

#include "platform/ole_string.h"

QelString successString() noexcept { return SysAllocString(u""); }

QelString failureStringOfCurrentException() noexcept {
  try {
    std::string message;
    try {
      throw;
    } catch (const std::exception& e) {
      message = e.what();
    } catch (const char* text) {
      // The gamma law of the variance bound throws a plain character string.
      message = text != nullptr ? text : "unknown error";
    } catch (...) {
      message = "unknown error";
    }
    // An empty message would read as success.
    if (message.empty()) message = "unknown error";
    const std::u16string wide = widenMessage(message);
    return SysAllocString(wide.c_str());
  } catch (...) {
    return SysAllocString(u"unknown error");
  }
}
