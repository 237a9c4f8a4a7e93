// The exported PDE calibration objectives: thin, they convert their arguments and run one
// evaluation of the option-by-option or the expiry-by-expiry objective
// (calibration/objectives/pde_objectives.h), which runs inside guardExport and gives the
// exports' failure values.
#include <cstdint>

#include "calibration/exports/serivane.h"
#include "calibration/objectives/pde_objectives.h"

namespace serivane {

namespace {

PdeObjectiveArgs objectiveArgs(double v0,
                               double vL,
                               double theta,
                               double volvol,
                               double rho,
                               int32_t NS,
                               int32_t NV,
                               int32_t NT,
                               int32_t methodID,
                               int32_t precision,
                               double sRangeParam,
                               double level,
                               int32_t volvolWidening) {
  PdeObjectiveArgs a;
  a.v0 = v0;
  a.vL = vL;
  a.theta = theta;
  a.volvol = volvol;
  a.rho = rho;
  a.NS = NS;
  a.NV = NV;
  a.NT = NT;
  a.methodID = methodID;
  a.precisionCode = precision;
  a.sRangeParam = sRangeParam;
  a.level = level;
  a.volvolWidening = volvolWidening;
  return a;
}

}  // namespace

}  // namespace serivane

// The exports are global C functions; their bodies use the system's own names.
using namespace serivane;

extern "C" {

QEL_API double QEL_CALL GARCH_VanillaPDECalibration(double v0,
                                                    double vL,
                                                    double theta,
                                                    double volvol,
                                                    double rho,
                                                    int32_t NS,
                                                    int32_t NV,
                                                    int32_t NT,
                                                    int32_t methodID,
                                                    int32_t precision,
                                                    double sRangeParam,
                                                    double level,
                                                    int32_t volvolWidening,
                                                    int32_t model) {
  return optionByOption(objectiveArgs(v0,
                                      vL,
                                      theta,
                                      volvol,
                                      rho,
                                      NS,
                                      NV,
                                      NT,
                                      methodID,
                                      precision,
                                      sRangeParam,
                                      level,
                                      volvolWidening),
                        model);
}

QEL_API double QEL_CALL HESTON_VanillaPDECalibration(double v0,
                                                     double vL,
                                                     double theta,
                                                     double volvol,
                                                     double rho,
                                                     int32_t NS,
                                                     int32_t NV,
                                                     int32_t NT,
                                                     int32_t methodID,
                                                     int32_t precision,
                                                     double sRangeParam,
                                                     double level,
                                                     int32_t volvolWidening) {
  return GARCH_VanillaPDECalibration(v0,
                                     vL,
                                     theta,
                                     volvol,
                                     rho,
                                     NS,
                                     NV,
                                     NT,
                                     methodID,
                                     precision,
                                     sRangeParam,
                                     level,
                                     volvolWidening,
                                     0);
}

QEL_API double QEL_CALL GARCH_VanillaPDECalibrationM(double v0,
                                                     double vL,
                                                     double theta,
                                                     double volvol,
                                                     double rho,
                                                     int32_t NS,
                                                     int32_t NV,
                                                     int32_t NT,
                                                     int32_t methodID,
                                                     int32_t precision,
                                                     double sRangeParam,
                                                     double level,
                                                     int32_t volvolWidening,
                                                     int32_t stripMode,
                                                     int32_t model) {
  return expiryByExpiry(objectiveArgs(v0,
                                      vL,
                                      theta,
                                      volvol,
                                      rho,
                                      NS,
                                      NV,
                                      NT,
                                      methodID,
                                      precision,
                                      sRangeParam,
                                      level,
                                      volvolWidening),
                        stripMode,
                        model);
}

QEL_API double QEL_CALL HESTON_VanillaPDECalibrationM(double v0,
                                                      double vL,
                                                      double theta,
                                                      double volvol,
                                                      double rho,
                                                      int32_t NS,
                                                      int32_t NV,
                                                      int32_t NT,
                                                      int32_t methodID,
                                                      int32_t precision,
                                                      double sRangeParam,
                                                      double level,
                                                      int32_t volvolWidening) {
  return GARCH_VanillaPDECalibrationM(v0,
                                      vL,
                                      theta,
                                      volvol,
                                      rho,
                                      NS,
                                      NV,
                                      NT,
                                      methodID,
                                      precision,
                                      sRangeParam,
                                      level,
                                      volvolWidening,
                                      0,
                                      0);
}

QEL_API double QEL_CALL SVPDECalibration(double v0,
                                         double vL,
                                         double theta,
                                         double volvol,
                                         double rho,
                                         int32_t NS,
                                         int32_t NV,
                                         int32_t NT,
                                         int32_t methodID,
                                         int32_t precision,
                                         double sRangeParam,
                                         double level,
                                         int32_t volvolWidening,
                                         int32_t selector,
                                         int32_t model) {
  // Selector 3 prices option by option; any other value is the strip mode of the expiry-by-expiry
  // objective.
  if (selector == 3) {
    return GARCH_VanillaPDECalibration(v0,
                                       vL,
                                       theta,
                                       volvol,
                                       rho,
                                       NS,
                                       NV,
                                       NT,
                                       methodID,
                                       precision,
                                       sRangeParam,
                                       level,
                                       volvolWidening,
                                       model);
  }
  return GARCH_VanillaPDECalibrationM(v0,
                                      vL,
                                      theta,
                                      volvol,
                                      rho,
                                      NS,
                                      NV,
                                      NT,
                                      methodID,
                                      precision,
                                      sRangeParam,
                                      level,
                                      volvolWidening,
                                      selector,
                                      model);
}

}  // extern "C"
