/* The module's exported functions with the number of bytes their arguments take on a 32-bit
   stack (each argument rounded up to 4 bytes). In the 32-bit build the exports use the stdcall
   convention and are known by decorated names: a leading underscore, the plain name, "@" and that
   byte count (_ImpliedVol@52). The 64-bit build exports the plain names.

   This list is the one place those counts are written. The 32-bit build renames its exports by it
   (tools/rename_stdcall_exports.cpp), its export check reads it (CMake matches the lines
   "X(name, bytes)" below), and the host tests look names up by it. A plain C header. */
#ifndef SERIVANE_CALIBRATION_EXPORTS_EXPORT_NAMES_H_
#define SERIVANE_CALIBRATION_EXPORTS_EXPORT_NAMES_H_

#define SERIVANE_EXPORTS(X)            \
  X(QelOptionPricer, 160)              \
  X(GARCH_VanillaPDECalibration, 84)   \
  X(GARCH_VanillaPDECalibrationM, 88)  \
  X(GARCH_VanillaPDESolver, 136)       \
  X(HESTON_VanillaCalibration, 40)     \
  X(HESTON_VanillaPDECalibration, 80)  \
  X(HESTON_VanillaPDECalibrationM, 80) \
  X(ImpliedVol, 52)                    \
  X(SVPDECalibration, 88)              \
  X(VanillaHeston, 84)                 \
  X(VanillaHestonGrid, 92)

/* The decorated name as a string literal: SERIVANE_DECORATED_NAME(ImpliedVol, 52) is
   "_ImpliedVol@52". */
#define SERIVANE_DECORATED_NAME(name, bytes) "_" #name "@" #bytes

#endif /* SERIVANE_CALIBRATION_EXPORTS_EXPORT_NAMES_H_ */
