#ifndef SERIVANE_PLATFORM_CONSOLE_H_
#define SERIVANE_PLATFORM_CONSOLE_H_

namespace serivane {

// The console's pause after a message: prints "Press any key to continue . . ." to the standard
// output and, when the standard input is a terminal, waits for one key press (read without
// waiting for a line end and without echo). When the standard input is not a terminal (a pipe, a
// file, or closed) it returns at once, so that a scripted run never blocks.
void consolePause();

}  // namespace serivane

#endif  // SERIVANE_PLATFORM_CONSOLE_H_
