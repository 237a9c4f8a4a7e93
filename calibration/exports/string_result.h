#ifndef SERIVANE_CALIBRATION_EXPORTS_STRING_RESULT_H_
#define SERIVANE_CALIBRATION_EXPORTS_STRING_RESULT_H_

#include <string>

#include "calibration/exports/export_guard.h"
#include "calibration/exports/serivane.h"

namespace serivane {

// The string results of the exports (OLE Automation strings, freed by the host).

// The empty string: success.
QelString successString() noexcept;

// A failure's message as the string result ("unknown error" for an empty message, which would
// read as success).
QelString failureString(const std::string& message) noexcept;

// The message of the exception in flight, of any type, as the string result ("unknown error" for
// a thrown object that carries no text). Call inside a catch block only.
QelString failureStringOfCurrentException() noexcept;

// The guard of an export with a string result: runs body (which returns nothing) inside
// guardExport and gives the empty string when it returns, the message of whatever it throws
// otherwise.
template <class Body>
QelString guardStringExport(Body&& body) noexcept {
  bool failed = false;
  std::string message;
  guardExport(
      0,
      [&]() {
        body();
        return 0;
      },
      [&](const std::string& m) {
        failed = true;
        message = m;
      });
  return failed ? failureString(message) : successString();
}

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_EXPORTS_STRING_RESULT_H_
