/* A C host of the module: prices one option, computes one implied volatility, and reads and
   frees one string result. Build: cc -I<source folder> host.c -L<build>/bin -lserivane64 */
#include <stdio.h>

#include "calibration/exports/serivane.h"

int main(void) {
  /* A one-year at-the-money Heston call: spot, strike, rate, dividend yield, v0, vL, theta,
     volvol, rho, years, put flag (0 call). */
  double price = VanillaHeston(100.0, 100.0, 0.03, 0.01, 0.04, 0.04, 1.5, 0.3, -0.7, 1.0, 0);
  double vol = ImpliedVol(price, 100.0, 100.0, 1.0, 0.03, 0.01, 0);
  double spots[3] = {0.0, 90.0, 110.0}, values[3];
  QelString message;
  uint32_t i, n;

  printf("price %.6f, implied volatility %.6f\n", price, vol);
  if (price == -999.0 || vol == -999.0) return 1;

  /* Heston calls at two spots (node 0 is the boundary): the empty string means success, and the
     host frees the result either way. A negative strike makes it fail with its message. */
  message = VanillaHestonGrid(
      spots, values, -100.0, 0.03, 0.01, 0.04, 0.04, 1.5, 0.3, -0.7, 1.0, 0, 2, 1);
  n = QelStringLength(message);
  printf("message of %u characters: ", (unsigned)n);
  for (i = 0; i < n; ++i) putchar(message[i] < 128 ? (char)message[i] : '?');
  putchar('\n');
  QelFreeString(message);
  return n > 0 ? 0 : 1;
}
