"""A Python host of the module through ctypes.

Copies libserivane64.so into a fresh temporary folder, loads the copy (so that its log lands
there) and calls both exports: a put price of the square-root variance model against the
Heston price computed here by direct numerical integration of the characteristic function
(S. Heston, Rev. Financial Studies 6 (1993); in the form of H. Albrecher et al., "The little
Heston trap", Wilmott (2007)), ImpliedVol round trips against a Black-Scholes-Merton price
computed here, and its -999.0 failure value; the analytic VanillaHeston put (put flag 2) against
the same Heston price, and HESTON_VanillaCalibration's 10000.0 without a quote file; the PDE
calibration objectives on quotes made by that Heston price. Exit status 0 on success, 1 on
failure, 77 when skipped.
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
