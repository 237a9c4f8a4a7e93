#ifndef SERIVANE_CALIBRATION_QUOTES_PROGRAM_FOLDER_H_
#define SERIVANE_CALIBRATION_QUOTES_PROGRAM_FOLDER_H_

#include <string>

namespace serivane {

// The folder that holds the program: of the module a host loaded, or of the console program.
// "OptionsData.txt" is read from it and "GARCH_PDESolverLog.txt" written there; callers append
// kPathSeparator and the file name.
std::string programFolder();

// programFolder() + separator + name.
std::string programFilePath(const std::string& name);

}  // namespace serivane

#endif  // SERIVANE_CALIBRATION_QUOTES_PROGRAM_FOLDER_H_
