"""A Python host of the module through ctypes: prices one option, computes one implied
volatility, and reads and frees one string result. Usage: python3 host.py path/to/libserivane64.so"""
import ctypes
import sys

lib = ctypes.CDLL(sys.argv[1])
dbl, i32 = ctypes.c_double, ctypes.c_int32
lib.VanillaHeston.restype = dbl
lib.VanillaHeston.argtypes = [dbl] * 10 + [i32]
lib.ImpliedVol.restype = dbl
lib.ImpliedVol.argtypes = [dbl] * 6 + [i32]
# A string result is a pointer to UTF-16 units, its byte length in the 4 bytes before them, and
# is one block from malloc that starts a pointer's size before the units.
lib.VanillaHestonGrid.restype = ctypes.c_void_p
lib.VanillaHestonGrid.argtypes = [ctypes.POINTER(dbl)] * 2 + [dbl] * 9 + [i32, i32, ctypes.c_uint8]
libc = ctypes.CDLL(None)
libc.free.argtypes = [ctypes.c_void_p]

# A one-year at-the-money Heston call, then the volatility that prices it under Black-Scholes.
price = lib.VanillaHeston(100.0, 100.0, 0.03, 0.01, 0.04, 0.04, 1.5, 0.3, -0.7, 1.0, 0)
vol = lib.ImpliedVol(price, 100.0, 100.0, 1.0, 0.03, 0.01, 0)
print("price %.6f, implied volatility %.6f" % (price, vol))

# Heston calls at two spots (node 0 is the boundary), with a negative strike: the message.
spots, values = (dbl * 3)(0.0, 90.0, 110.0), (dbl * 3)()
s = lib.VanillaHestonGrid(spots, values, -100.0, 0.03, 0.01, 0.04, 0.04, 1.5, 0.3, -0.7, 1.0, 0, 2, 1)
nbytes = ctypes.c_uint32.from_address(s - 4).value
message = ctypes.string_at(s, nbytes).decode("utf-16-le")
libc.free(s - ctypes.sizeof(ctypes.c_void_p))
print("message: %s" % message)
sys.exit(0 if price != -999.0 and vol != -999.0 and message else 1)
