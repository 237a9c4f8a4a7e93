#ifndef SERIVANE_CALIBRATION_STRING_RESULT_H_
#define SERIVANE_CALIBRATION_STRING_RESULT_H_

#include "calibration/serivane.h"

namespace serivane {

// The string results of the exports (OLE Automation strings, freed by the host).

// The empty string: success.
QelString successString() noexcept;

// The message of the exception in flight, of any type, as the string result ("unknown error" for
// a thrown object that carries no text). Call inside a catch block only.
QelString failureStringOfCurrentException() noexcept;

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_STRING_RESULT_H_
