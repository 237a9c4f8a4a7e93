#ifndef SERIVANE_CALIBRATION_EXPORTS_EXPORT_GUARD_H_
#define SERIVANE_CALIBRATION_EXPORTS_EXPORT_GUARD_H_

#include <exception>
#include <string>

namespace serivane {

// Message of the exception in flight (call inside a catch block only): what() of a
// std::exception, the text of a thrown character string, "unknown error" for anything else.
inline std::string currentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (const char* text) {
    // The gamma law of the variance bound throws a plain character string.
    return text != nullptr ? text : "unknown error";
  } catch (...) {
    return "unknown error";
  }
}

// Runs body and returns its result; on any exception calls onFailure with its message and
// returns failureValue. onFailure's own failures are swallowed: nothing leaves, so that no
// exception ever crosses the C boundary of an export into a host.
template <class R, class Body, class OnFailure>
R guardExport(R failureValue, Body&& body, OnFailure&& onFailure) noexcept {
  std::string message;
  try {
    return body();
  } catch (...) {
    try {
      message = currentExceptionMessage();
    } catch (...) {
    }
  }
  try {
    onFailure(message);
  } catch (...) {
  }
  return failureValue;
}

// Run mode of the pricer for a host's precision code: 1 plain solve, 2 convergence run, any
// other value Richardson extrapolation in time.
inline int runModeForPrecisionCode(int code) {
  if (code == 1) return 3;
  if (code == 2) return 5;
  return 4;
}

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_EXPORTS_EXPORT_GUARD_H_
