#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "platform/console.h"

namespace serivane {

void consolePause() {
  std::cout << "Press any key to continue . . ." << std::flush;
  if (isatty(STDIN_FILENO)) {
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
      // Non-canonical mode without echo: one key press is enough, as with the Windows pause.
      termios raw = saved;
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      tcsetattr(STDIN_FILENO, TCSANOW, &raw);
      char key = 0;
      const ssize_t got = read(STDIN_FILENO, &key, 1);
      (void)got;
      tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
  }
  std::cout << "\n" << std::flush;
}

}  // namespace serivane
