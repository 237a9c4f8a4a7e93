"""A Python host of the module through ctypes.

Copies libserivane64.so into a fresh temporary folder, loads the copy (so that its log lands
there) and calls both exports: a put price of the square-root variance model against the
Heston price computed here by direct numerical integration of the characteristic function
(S. Heston, Rev. Financial Studies 6 (1993); in the form of H. Albrecher et al., "The little
Heston trap", Wilmott (2007)), ImpliedVol round trips against a Black-Scholes-Merton price
computed here, and its -999.0 failure value; the analytic VanillaHeston put (put flag 2) against
the same Heston price, and HESTON_VanillaCalibration's 10000.0 without a quote file; the PDE
calibration objectives on quotes made by that Heston price; the string results of
VanillaHestonGrid and QelOptionPricer, read through their length prefix and freed. Exit status 0
on success, 1 on failure, 77 when skipped.
"""
import cmath
import ctypes
import math
import os
import shutil
import sys
import tempfile


def bsm(S, K, T, r, d, sigma, is_put):
    sq = sigma * math.sqrt(T)
    d1 = (math.log(S / K) + (r - d) * T) / sq + 0.5 * sq
    d2 = d1 - sq
    n = lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0))
    if is_put:
        return K * math.exp(-r * T) * n(-d2) - S * math.exp(-d * T) * n(-d1)
    return S * math.exp(-d * T) * n(d1) - K * math.exp(-r * T) * n(d2)


def heston_call(S, K, T, r, d, v0, vbar, kappa, xi, rho):
    x = math.log(S)

    def f(phi, j):
        u = 0.5 if j == 1 else -0.5
        b = kappa - rho * xi if j == 1 else kappa
        a = kappa * vbar
        dd = cmath.sqrt((rho * xi * phi * 1j - b) ** 2 - xi * xi * (2 * u * phi * 1j - phi * phi))
        g = (b - rho * xi * phi * 1j - dd) / (b - rho * xi * phi * 1j + dd)
        e = cmath.exp(-dd * T)
        C = (r - d) * phi * 1j * T + a / (xi * xi) * (
            (b - rho * xi * phi * 1j - dd) * T - 2.0 * cmath.log((1 - g * e) / (1 - g)))
        D = (b - rho * xi * phi * 1j - dd) / (xi * xi) * (1 - e) / (1 - g * e)
        return cmath.exp(C + D * v0 + 1j * phi * x)

    def P(j):
        # Composite Simpson rule on (0, 200]; the integrand decays fast for these parameters.
        n, hi = 4000, 200.0
        h = hi / n
        total = 0.0
        for k in range(n + 1):
            phi = max(k * h, 1e-10)
            w = 1 if k in (0, n) else (4 if k % 2 else 2)
            total += w * (cmath.exp(-1j * phi * math.log(K)) * f(phi, j) / (1j * phi)).real
        return 0.5 + total * h / 3.0 / math.pi

    return S * math.exp(-d * T) * P(1) - K * math.exp(-r * T) * P(2)


def pde_objectives(lib, folder, iv):
    """The PDE calibration objectives over counted quotes written beside the module: 10000.0
    without them, then a fit below 1 bp of quotes made by the Heston price above."""
    failures = []
    dbl, i32 = ctypes.c_double, ctypes.c_int32
    heston13 = [dbl] * 5 + [i32] * 5 + [dbl, dbl, i32]
    objectives = {}
    for name, extra in (("HESTON_VanillaPDECalibration", []),
                        ("HESTON_VanillaPDECalibrationM", []),
                        ("GARCH_VanillaPDECalibration", [i32]),
                        ("GARCH_VanillaPDECalibrationM", [i32, i32]),
                        ("SVPDECalibration", [i32, i32])):
        f = getattr(lib, name)
        f.restype = dbl
        f.argtypes = heston13 + extra
        objectives[name] = f
    S, r, d = 100.0, 0.03, 0.01
    model = (0.04, 0.05, 1.5, 0.4, -0.6)
    grid = (60, 30, 30, 2, 2, 1.0, 0.9999, 0)
    if objectives["HESTON_VanillaPDECalibration"](*(model + grid)) != 10000.0:
        failures.append("HESTON_VanillaPDECalibration without a quote file is not 10000.0")
    lines = []
    for T in (0.5, 1.0):
        for K in (90.0, 110.0):
            is_put = 1 if K < S else 0
            call = heston_call(S, K, T, r, d, *model)
            price = call - S * math.exp(-d * T) + K * math.exp(-r * T) if is_put else call
            lines.append("%.17g %g %g %g %g %g %d 0" % (iv(price, S, K, T, r, d, is_put), S, K, T,
                                                         r, d, is_put))
    with open(os.path.join(folder, "OptionsData.txt"), "w") as f:
        f.write("%d\n%s\n" % (len(lines), "\n".join(lines)))
    by_option = objectives["HESTON_VanillaPDECalibration"](*(model + grid))
    by_expiry = objectives["HESTON_VanillaPDECalibrationM"](*(model + grid))
    for label, value in (("option by option", by_option), ("expiry by expiry", by_expiry)):
        if not 0.0 < value < 1e-4:
            failures.append("PDE objective %s at the quotes' model: %.6g" % (label, value))
    if objectives["GARCH_VanillaPDECalibration"](*(model + grid + (0,))) != by_option:
        failures.append("GARCH_VanillaPDECalibration with model 0 differs from HESTON's")
    if objectives["GARCH_VanillaPDECalibrationM"](*(model + grid + (0, 0))) != by_expiry:
        failures.append("GARCH_VanillaPDECalibrationM with 0, 0 differs from HESTON's")
    if objectives["SVPDECalibration"](*(model + grid + (3, 0))) != by_option:
        failures.append("SVPDECalibration with selector 3 differs from the option objective")
    return failures


def take_string(address):
    """Reads a returned OLE string through its byte-length prefix and frees its block (at the
    string minus the pointer size) with the C runtime's free."""
    if not address:
        return None
    nbytes = ctypes.c_uint32.from_address(address - 4).value
    text = ctypes.string_at(address, nbytes).decode("utf-16-le")
    libc = ctypes.CDLL(None)
    libc.free.argtypes = [ctypes.c_void_p]
    libc.free(address - ctypes.sizeof(ctypes.c_void_p))
    return text


def string_results(lib, folder, module):
    """VanillaHestonGrid without and with libmervane.so beside the module, QelOptionPricer."""
    failures = []
    dbl, i32, u8, pd = ctypes.c_double, ctypes.c_int32, ctypes.c_uint8, ctypes.POINTER(ctypes.c_double)
    grid = lib.VanillaHestonGrid
    grid.restype = ctypes.c_void_p
    grid.argtypes = [pd, pd] + [dbl] * 9 + [i32, i32, u8]
    spots = (dbl * 5)(80.0, 90.0, 100.0, 110.0, 120.0)
    engine, outside = (dbl * 5)(), (dbl * 5)()
    args = (100.0, 0.03, 0.01, 0.04, 0.05, 1.5, 0.3, -0.7, 1.0, 1, 4)
    if take_string(grid(spots, engine, *args, 1)) != "":
        failures.append("VanillaHestonGrid (engine) failed")
    # The test's copy of the module has no libmervane.so beside it; the build's module has.
    text = take_string(grid(spots, outside, *args, 0))
    if not (text or "").startswith("The outside pricing library libmervane.so could not be loaded: "):
        failures.append("VanillaHestonGrid without the library: %r" % text)
    shutil.copy(os.path.join(os.path.dirname(module), "libmervane.so"), folder)
    if take_string(grid(spots, outside, *args, 0)) != "":
        failures.append("VanillaHestonGrid (outside library) failed")
    for i in range(5):
        if not abs(outside[i] - engine[i]) <= 1e-9 * engine[i]:
            failures.append("grid node %d: %.15g against %.15g" % (i, outside[i], engine[i]))

    pricer = lib.QelOptionPricer
    pricer.restype = ctypes.c_void_p
    pi = ctypes.POINTER(ctypes.c_int32)
    pricer.argtypes = ([pd] * 7 + [dbl, dbl, i32, dbl, pd, dbl, dbl, dbl, pi, pi] + [i32] * 4 +
                       [pd, pd, dbl, dbl, dbl, u8, u8, u8, u8, i32])
    arrays = [(dbl * 100)() for _ in range(6)]
    vec = (dbl * 5)()
    for model, expected in ((0.0, ""), (float("nan"), "the model selector is not finite")):
        params = (dbl * 6)(math.log2(0.3) + 0.15, 0.04, 0.04, 1.5, -0.7, model)
        cpu, ns, nv = dbl(0.0), i32(40), i32(20)
        text = take_string(pricer(*arrays, ctypes.byref(cpu), 100.0, 100.0, 20, 1.0, params, 0.03,
                                  0.01, 0.0, ctypes.byref(ns), ctypes.byref(nv), 1, 0, 3, 1, vec,
                                  vec, -3.0, 1.0, 0.9999, 0, 0, 1, 1, 0))
        if text != expected:
            failures.append("QelOptionPricer model %r: %r" % (model, text))
    return failures


def main():
    if os.environ.get("SERIVANE_SKIP"):
        print("skipped: " + os.environ["SERIVANE_SKIP"])
        return 77
    module = sys.argv[1]
    folder = tempfile.mkdtemp(prefix="serivane_ctypes_")
    failures = []
    try:
        copy = os.path.join(folder, "libserivane64.so")
        shutil.copy(module, copy)
        lib = ctypes.CDLL(copy)
        dbl, i32 = ctypes.c_double, ctypes.c_int32
        solver = lib.GARCH_VanillaPDESolver
        solver.restype = dbl
        solver.argtypes = [dbl] * 10 + [i32] * 8 + [dbl, dbl, i32, i32]
        iv = lib.ImpliedVol
        iv.restype = dbl
        iv.argtypes = [dbl] * 6 + [i32]

        heston = lib.VanillaHeston
        heston.restype = dbl
        heston.argtypes = [dbl] * 10 + [i32]
        calibration = lib.HESTON_VanillaCalibration
        calibration.restype = dbl
        calibration.argtypes = [dbl] * 5

        S, K, T, r, d = 100.0, 100.0, 1.0, 0.03, 0.01
        v0, vbar, kappa, xi, rho = 0.04, 0.04, 1.5, 0.3, -0.7
        call = heston_call(S, K, T, r, d, v0, vbar, kappa, xi, rho)
        put = call - S * math.exp(-d * T) + K * math.exp(-r * T)
        pde = solver(S, K, T, r, d, v0, vbar, kappa, xi, rho, 100, 50, 50, 1, 0, 1, 2, 0, 1.0,
                     0.9999, 0, 0)
        if not abs(pde - put) < 2e-3 * put + 2e-3:
            failures.append("put %.10g against Heston %.10g" % (pde, put))

        # Argument order: S, K, r, d, v0, vL, mean-reversion speed, volvol, rho, T, put flag.
        analytic = heston(S, K, r, d, v0, vbar, kappa, xi, rho, T, 2)
        if not abs(analytic - put) < 1e-6:
            failures.append("VanillaHeston put %.12g against Heston %.12g" % (analytic, put))
        if calibration(v0, vbar, kappa, xi, rho) != 10000.0:
            failures.append("HESTON_VanillaCalibration without a quote file is not 10000.0")

        for sigma in (0.1, 0.3, 1.2):
            for is_put in (0, 1):
                p = bsm(S, 90.0, 0.5, r, d, sigma, is_put)
                got = iv(p, S, 90.0, 0.5, r, d, is_put)
                if not abs(got - sigma) < 1e-9 * sigma:
                    failures.append("ImpliedVol %.17g for sigma %g put %d" % (got, sigma, is_put))
        for label, price in (("above the range", 1000.0), ("below the range", -1.0),
                             ("not a number", float("nan"))):
            if iv(price, S, K, T, r, d, 0) != -999.0:
                failures.append("ImpliedVol " + label + " is not -999.0")
        failures += pde_objectives(lib, folder, iv)
        failures += string_results(lib, folder, module)

        if os.path.exists(os.path.join(folder, "GARCH_PDESolverLog.txt")):
            failures.append("successful calls wrote to the pricing log")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for f in failures:
        print("FAILED: " + f)
    if not failures:
        print("module_ctypes_test: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
