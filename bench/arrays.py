"""The array entry points (zub_batch) against the object API and
py_vollib_vectorized: the section "Arrays and threads" of RESULTS.md.

    python bench/arrays.py           # measures and rewrites that section only
    python bench/arrays.py --quick   # small books and few rounds

bench/run.py runs this script in a process of its own after writing the rest
of the file: importing py_vollib_vectorized replaces py_vollib's functions
with its own, which would change what run.py measures as py_vollib.  Ratios
are medians of per-round ratios (see harness.py); "two threads" compares
threads=2 with threads=1 of the same call, in the same rounds.  Single-
threaded ways run on each core in turn (single()).
"""
from __future__ import annotations

import argparse
import sys
import time
import warnings
from pathlib import Path
from typing import Callable

import numpy as np

import harness
import inputs
import zub
import zub_side
import zub_batch
from harness import Case, Timing, fmt_time, measure, paired_ratio, single

START, END = "<!-- arrays: start -->", "<!-- arrays: end -->"
CALL, PUT, AMERICAN, EUROPEAN = 0, 1, 0, 1


# The market of every book, as py_vollib_vectorized takes it.
SPOT, T, RATE, VOL = inputs.SPOT, inputs.T, inputs.RATE, inputs.VOL
# A price tolerance that brings zub's implied vols within a few 1e-13 of the
# true ones, near what py_vollib_vectorized's rational algorithm reaches.
TIGHT_TOLERANCE = 1e-12


def vectorized_peer():
    """py_vollib_vectorized with its functions compiled, or the reason it
    cannot run here."""
    if "py_vollib" in sys.modules and "py_vollib_vectorized" not in sys.modules:
        return None, ("py_vollib_vectorized was not measured: py_vollib is loaded in this process and importing "
                      "py_vollib_vectorized would replace its functions.")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import py_vollib_vectorized as pvv
            # numba compiles on the first call of each function (or loads its
            # cache); do it here, outside every timing, with the argument
            # types of the timed calls.
            flag, strike = np.array(["c", "p"]), np.array([90.0, 110.0])
            price = vectorized_price_and_greeks(pvv, flag, strike)[0]
            vectorized_implied_vol(pvv, price, flag, strike)
        return pvv, ""
    except Exception as exc:  # noqa: BLE001 - any failure means the peer cannot be measured
        return None, f"py_vollib_vectorized could not be measured: {type(exc).__name__}: {str(exc).splitlines()[0]}"


def vectorized_version() -> str:
    from importlib.metadata import version

    return f"py_vollib_vectorized {version('py_vollib_vectorized')} with numba {version('numba')}"


def vectorized_price_and_greeks(pvv, flag, strike):
    """Price and its five (finite-difference) Greeks, as py_vollib_vectorized
    documents them: one call for the price, one for the Greeks."""
    n = len(strike)
    S, t, r, sig = np.full(n, SPOT), np.full(n, T), np.full(n, RATE), np.full(n, VOL)
    return (pvv.vectorized_black_scholes(flag, S, strike, t, r, sig, return_as="numpy"),
            pvv.get_all_greeks(flag, S, strike, t, r, sig, model="black_scholes", return_as="dict"))


def vectorized_implied_vol(pvv, price, flag, strike):
    return pvv.vectorized_implied_volatility(price, SPOT, strike, T, RATE, flag, q=0, model="black_scholes",
                                             return_as="numpy")


def vectorized_agreement(zub_out: dict, peer_out) -> str:
    """The largest difference between zub's and the peer's numbers over the
    book, relative to the largest magnitude of each (theta crosses zero), the
    peer's theta per day and vega and rho per point taken to zub's units."""
    price, greeks = peer_out
    scale = {"delta": 1.0, "gamma": 1.0, "theta": 365.0, "vega": 100.0, "rho": 100.0}
    diffs = [("price", price)] + [(k, np.asarray(greeks[k]) * s) for k, s in scale.items()]
    return ", ".join(f"{k} {np.max(np.abs(v - zub_out[k])) / np.max(np.abs(zub_out[k])):.1e}" for k, v in diffs)


def european_arrays(n: int):
    book = inputs.european_book(n)
    strike = np.array([s.strike for s in book])
    kind = np.array([CALL if s.is_call else PUT for s in book], dtype=np.int8)
    return book, strike, kind


def batch_call(frame, strike, kind, style, threads, config=None, vol=None) -> Callable[[], object]:
    expiry = np.datetime64(inputs.EXPIRY.replace(tzinfo=None), "s")
    return lambda: zub_batch.value(frame, strike, expiry, kind, style, valuation_time=inputs.VALUATION,
                                   config=config, threads=threads, vol=vol)


ROUNDS, CHAIN_ROUNDS = 31, 3  # the American implied-volatility chain takes seconds a round


def cpu_per_option(run: Callable[[], object], size: int, repeat: int = 5) -> float:
    """Processor time of the process per option, best of `repeat` runs: what
    the work costs whatever else the machine runs."""
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        run()
        best = min(best, time.process_time() - start)
    return best / size


def ratio(timings: list[Timing], slow: int, fast: int) -> float:
    return paired_ratio(timings[slow], timings[fast])


def run(quick: bool) -> tuple[list[str], list[tuple[str, str, bool]]]:
    rounds = 3 if quick else ROUNDS
    lines: list[str] = []
    targets: list[tuple[str, str, bool]] = []
    frame = zub_side.make_frame()
    pvv, why = vectorized_peer()

    # 1. European price and five Greeks.
    n = 2_000 if quick else 100_000
    book, strike, kind = european_arrays(n)
    small = book[: min(n, 2_000)]
    cases = [
        single("array, 1 thread", batch_call(frame, strike, kind, EUROPEAN, 1), n),
        Case("array, 2 threads", "", batch_call(frame, strike, kind, EUROPEAN, 2), n),
        single("object API (pricer reused)", zub_side.valuation(small, zub_side.PRICER), len(small)),
    ]
    if pvv is not None:
        flag = np.where(kind == CALL, "c", "p")
        cases.append(single("py_vollib_vectorized", lambda: vectorized_price_and_greeks(pvv, flag, strike), n))
    t = measure(cases, rounds)
    lines += table(f"European price and five Greeks ({n} options per array call)", t)
    if pvv is not None:
        lines += ["", f"{vectorized_version()}, compiled before the timings."]
        lines += ["", "Largest difference py_vollib_vectorized − zub, relative to the largest value of each (its "
                      "Greeks are finite differences): "
                      f"{vectorized_agreement(t[0].output, t[3].output)}."]
    cpu_array = cpu_per_option(batch_call(frame, strike, kind, EUROPEAN, 1), n)
    cpu_object = cpu_per_option(zub_side.valuation(small, zub_side.PRICER), len(small))
    lines += ["", f"Processor time (user + system, all threads) per option: array, 1 thread {fmt_time(cpu_array)}; "
                  f"object API {fmt_time(cpu_object)}; ratio {cpu_object / cpu_array:.1f}x."]
    targets.append(("European: array ≥5x faster per option than the object API, one thread",
                    f"{ratio(t, 2, 0):.1f}x", ratio(t, 2, 0) >= 5.0))
    if pvv is not None:
        targets.append(("European: array ≥2x faster than py_vollib_vectorized, one thread",
                        f"{ratio(t, 3, 0):.1f}x", ratio(t, 3, 0) >= 2.0))
    targets.append(("European: two threads ≥1.8x one thread", f"{ratio(t, 0, 1):.2f}x", ratio(t, 0, 1) >= 1.8))

    # 1b. A portfolio: expiries interleaved, against numpy/scipy and two floors.
    more_lines, more_targets = portfolio(frame, 2_000 if quick else 100_000, rounds)
    lines += more_lines
    targets += more_targets

    # 2. American put 101x10.
    n = 200 if quick else 4_000
    puts = inputs.american_put_book(n)
    strike = np.array([s.strike for s in puts])
    smile = np.array([inputs.smile(k) for k in strike])
    sample = slice(None, None, max(1, n // 400))  # 400 options across the book
    on_smile = [inputs.Spec(s.strike, False, True, float(v)) for s, v in zip(puts[sample], smile[sample])]
    cases = [
        single("array, 1 thread", batch_call(frame, strike, PUT, AMERICAN, 1), n),
        Case("array, 2 threads", "", batch_call(frame, strike, PUT, AMERICAN, 2), n),
        single("object API (pricer reused)", zub_side.valuation(puts[:400], zub_side.PRICER), min(n, 400)),
        single("array, 1 thread, volatility off a smile", batch_call(frame, strike, PUT, AMERICAN, 1, vol=smile), n),
        single("object API (pricer reused), volatility off a smile", zub_side.valuation(on_smile, zub_side.PRICER),
               len(on_smile)),
    ]
    t = measure(cases, rounds)
    lines += table(f"American put, default grid 101x10 ({n} options per array call)", t)
    lines += ["", "The options of this book share their expiry and volatility, so that their grids lie on the same "
                  "coordinates and the array path computes the grids' transcendental functions once for many "
                  "options. The last two rows price the book at a volatility per option, as off a smile, where no "
                  "two grids share them (the object API 400 options across the book): there the array path on one "
                  f"thread is {ratio(t, 4, 3):.2f}x faster per option than the object API, by interleaving alone."]
    targets.append(("American 101x10: array ≥1.8x faster per option than the object API, one thread",
                    f"{ratio(t, 2, 0):.2f}x", ratio(t, 2, 0) >= 1.8))
    targets.append(("American 101x10: two threads ≥1.8x one thread", f"{ratio(t, 0, 1):.2f}x", ratio(t, 0, 1) >= 1.8))

    # 3. American implied-volatility chain, default grid.
    n = 200 if quick else 10_000
    chain = inputs.american_put_chain(n)
    targets_px = [zub_side.price_once(s, None) for s in chain[:: max(1, n // 200)]]
    target = np.resize(np.array(targets_px), n)
    strike = np.resize(np.array([s.strike for s in chain[:: max(1, n // 200)]]), n)
    expiry = np.datetime64(inputs.EXPIRY.replace(tzinfo=None), "s")
    iv = lambda th: (lambda: zub_batch.implied_vol(frame, target, strike, expiry, PUT, AMERICAN,  # noqa: E731
                                                   valuation_time=inputs.VALUATION, threads=th))
    specs = [inputs.Spec(float(k), False, True) for k in strike]
    cases = [
        Case("array, 2 threads", "", iv(2), n),
        single("array, 1 thread", iv(1), n, warm=quick),
        single("object API loop (pricer reused)", zub_side.implied_vol(specs, list(target), zub_side.PRICER), n,
               warm=quick),
    ]
    t = measure(cases, 1 if quick else CHAIN_ROUNDS, warmup=0)
    lines += table(f"American implied volatility, default grid ({n} quotes)", t)
    targets.append(("American IV chain: array on two threads ≥2.2x faster than the object API loop",
                    f"{ratio(t, 2, 0):.2f}x", ratio(t, 2, 0) >= 2.2))

    # 4. European implied volatility: the exact inversion, zub_batch's default
    # for the closed form, against Brent to a tight tolerance, py_vollib_vectorized
    # and zub_batch.value on the same options.
    n = 2_000 if quick else 100_000
    book, strike, kind = european_arrays(n)
    price = zub_batch.value(frame, strike, expiry, kind, EUROPEAN, valuation_time=inputs.VALUATION)["price"]
    solve = lambda cfg: (lambda: zub_batch.implied_vol(  # noqa: E731
        frame, price, strike, expiry, kind, EUROPEAN, valuation_time=inputs.VALUATION, config=cfg, threads=1))
    brent = zub.Config().implied_vol_solver("brent", tolerance=TIGHT_TOLERANCE)
    cases = [single("array, 1 thread (exact, the default)", solve(None), n),
             single(f"array, 1 thread, Brent to {TIGHT_TOLERANCE:g}", solve(brent), n),
             single("zub_batch.value on the same options, 1 thread", batch_call(frame, strike, kind, EUROPEAN, 1), n)]
    if pvv is not None:
        flag = np.where(kind == CALL, "c", "p")
        cases.append(single("py_vollib_vectorized", lambda: vectorized_implied_vol(pvv, price, flag, strike), n))
    t = measure(cases, rounds)
    lines += table(f"European implied volatility ({n} quotes, true volatility {VOL})", t)
    solved = [(c, c.output["vol"] if isinstance(c.output, dict) else c.output) for c in t if c is not t[2]]
    lines += ["", "Largest |σ − true σ|: " + "; ".join(
        f"{c.case.library} {np.max(np.abs(v - VOL)):.1e}" for c, v in solved) + "."]
    if pvv is not None:
        lines += ["", f"{vectorized_version()}, in this process, compiled before the timings."]
        targets.append(("European IV: array (exact) ≥4x faster per quote than py_vollib_vectorized, one thread",
                        f"{ratio(t, 3, 0):.2f}x", ratio(t, 3, 0) >= 4.0))
    else:
        lines += ["", why]
    targets.append(("European IV: array (exact) at most 3x zub_batch.value per option, one thread",
                    f"{ratio(t, 0, 2):.2f}x", ratio(t, 0, 2) <= 3.0))

    # 5. The object API's exact search on a 200-strike chain against its
    # default (Brent on [0.1, 5] to 1e-4).
    chain = inputs.european_chain(200)
    quotes = [inputs.black_scholes(s) for s in chain]
    exact = zub.Config().implied_vol_solver("exact")
    def object_chain(cfg):
        builders = [zub.VanillaOption(*zub_side.option_args(s)).implied_vol().market(frame).config(cfg)
                    .at(inputs.VALUATION) for s in chain]
        return lambda: [b.price(p).calculate() for b, p in zip(builders, quotes)]
    cases = [single("object API, exact (implied_vol_solver(\"exact\"))", object_chain(exact), len(chain)),
             single("object API, default (Brent on [0.1, 5], 1e-4)", object_chain(None), len(chain))]
    t = measure(cases, rounds)
    lines += table("European implied volatility, object API, 200-strike chain (builders reused)", t)
    truth = np.array([s.vol for s in chain])
    lines += ["", "Largest |σ − true σ| (quotes from the standard library's erfc): " + "; ".join(
        f"{c.case.library} {np.max(np.abs(np.array(c.output) - truth)):.1e}" for c in t) + "."]
    targets.append(("European IV chain: object API exact ≥5x faster per quote than its default Brent",
                    f"{ratio(t, 1, 0):.2f}x", ratio(t, 1, 0) >= 5.0))

    # 6. The cost of a small call, with the default threads.
    lines_calls, targets_calls = per_call(frame, 20 if quick else 400, rounds)
    return lines + lines_calls, targets + targets_calls


def per_call(frame, calls: int, rounds: int) -> tuple[list[str], list[tuple[str, str, bool]]]:
    """A 1-option and a 10-option array call against the object API's
    valuations of the same options, `calls` calls a run: the fixed cost of
    an array call."""
    book, strike, kind = european_arrays(10)
    repeat = lambda run: (lambda: [run() for _ in range(calls)][-1])  # noqa: E731
    cases = [Case(f"{way}, {n} option{'s' * (n > 1)}", "", repeat(run), calls)
             for n in (1, 10) for way, run in (("object API (pricer reused)", zub_side.valuation(book[:n], zub_side.PRICER)),
                                               ("array call", batch_call(frame, strike[:n], kind[:n], EUROPEAN, None)))]
    t = measure(cases, rounds)
    out = ["", "### The cost of a call (European, price and five Greeks, default threads)", "",
           "| way | time per call | ×first row |", "|---|---:|---:|"]
    out += [f"| {x.case.library} | {fmt_time(x.median)} | {paired_ratio(x, t[0]):.2f} |" for x in t]
    return out, [("A 1-option array call ≤10x one object-API valuation", f"{ratio(t, 1, 0):.1f}x", ratio(t, 1, 0) <= 10),
                 ("A 10-option array call ≤1.5x ten object-API valuations", f"{ratio(t, 3, 2):.2f}x",
                  ratio(t, 3, 2) <= 1.5)]


def numpy_closed_form(S, strike, T, call, sigma, r, q):
    """The closed form as a numpy user writes it: price and five Greeks with
    scipy's normal CDF."""
    from scipy.special import ndtr

    root = np.sqrt(T)
    v = sigma * root
    d1 = (np.log(S / strike) + (r - q + 0.5 * sigma * sigma) * T) / v
    d2 = d1 - v
    dr, dq = np.exp(-r * T), np.exp(-q * T)
    n1 = np.exp(-0.5 * d1 * d1) / np.sqrt(2 * np.pi)
    N1, N2, M1, M2 = ndtr(d1), ndtr(d2), ndtr(-d1), ndtr(-d2)
    decay = -S * dq * n1 * sigma / (2 * root)
    return {"price": np.where(call, S * dq * N1 - strike * dr * N2, strike * dr * M2 - S * dq * M1),
            "delta": np.where(call, dq * N1, -dq * M1), "gamma": dq * n1 / (S * v),
            "theta": np.where(call, decay - r * strike * dr * N2 + q * S * dq * N1,
                              decay + r * strike * dr * M2 - q * S * dq * M1),
            "vega": S * dq * n1 * root, "rho": np.where(call, strike * T * dr * N2, -strike * T * dr * M2)}


FLOOR_FLAGS = ["-O3", "-mavx2", "-mfma", "-ffast-math", "-fopenmp-simd", "-fPIC"]


def closed_form_floors():
    """The two floors of bench/floors/closed_form.cpp, compiled here (the
    exp, log and erfc loops through glibc's vector library), or the reason
    they could not be."""
    import ctypes
    import subprocess
    import tempfile

    root = Path(__file__).resolve().parent.parent
    out = Path(tempfile.mkdtemp()) / "floors.so"
    include = ["-I", str(root / "src")]
    try:
        subprocess.run(["g++", "-std=c++20", *FLOOR_FLAGS, *include, "-c", str(root / "bench/floors/closed_form.cpp"),
                        "-o", str(out.with_suffix(".a.o"))], check=True, capture_output=True)
        subprocess.run(["g++", "-std=c++20", "-O3", "-fPIC", *include, "-c", str(root / "src/math/normal.cpp"),
                        "-o", str(out.with_suffix(".b.o"))], check=True, capture_output=True)
        subprocess.run(["g++", "-shared", str(out.with_suffix(".a.o")), str(out.with_suffix(".b.o")), "-o", str(out),
                        "-lmvec", "-lm"], check=True, capture_output=True)
        lib = ctypes.CDLL(str(out))
    except (OSError, subprocess.CalledProcessError) as exc:
        return None, f"The floors could not be built: {type(exc).__name__}."
    return lib, ""


def floor_call(lib, name, strike, T, kind):
    import ctypes

    n = len(strike)
    outs = [np.empty(n) for _ in range(6)]
    table = (ctypes.c_void_p * 6)(*[o.ctypes.data for o in outs])
    call = np.ascontiguousarray(kind, dtype=np.uint8)
    f = getattr(lib, name)
    f.argtypes = [ctypes.c_size_t, ctypes.c_double, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                  ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_void_p]
    args = (n, SPOT, strike.ctypes.data, T.ctypes.data, call.ctypes.data, VOL, RATE, 0.0, table)
    return lambda: (f(*args), outs)[1]


def portfolio(frame, n: int, rounds: int) -> tuple[list[str], list[tuple[str, str, bool]]]:
    """A European book of 40 weekly expiries interleaved at random, strikes
    60 to 140, calls and puts: zub_batch in that order and sorted by expiry,
    the numpy/scipy version and the two floors (one thread each)."""
    rng = np.random.default_rng(7)
    start = np.datetime64(inputs.VALUATION.replace(tzinfo=None), "s")
    expiries = start + np.timedelta64(15, "D") + np.arange(40) * np.timedelta64(7, "D")
    expiry = expiries[rng.integers(0, 40, n)]
    strike = rng.uniform(60.0, 140.0, n)
    kind = rng.integers(0, 2, n).astype(np.int8)
    order = np.argsort(expiry, kind="stable")
    T = (expiry - start).astype(np.float64) / (365 * 86400)
    lib, why = closed_form_floors()

    def zub_call(e, k, c):
        return lambda: zub_batch.value(frame, k, e, c, EUROPEAN, valuation_time=inputs.VALUATION, threads=1)

    cases = [single("array, 1 thread, expiries interleaved", zub_call(expiry, strike, kind), n),
             single("array, 1 thread, sorted by expiry", zub_call(expiry[order], strike[order], kind[order]), n),
             single("numpy/scipy (ndtr), one expression per output",
                    lambda: numpy_closed_form(SPOT, strike, T, kind == CALL, VOL, RATE, 0.0), n)]
    if lib is not None:
        cases += [single("floor: the written formula (fdlibm erf, four CDFs), vector exp/log",
                         floor_call(lib, "floor_written", strike, T, kind), n),
                  single("floor: glibc vector exp/log/erfc throughout", floor_call(lib, "floor_vector_library", strike,
                                                                                   T, kind), n)]
    t = measure(cases, rounds)
    lines = table(f"European price and five Greeks, a portfolio ({n} options, 40 expiries interleaved)", t)
    zub_out, numpy_out = t[0].output, t[2].output
    lines += ["", "Largest difference numpy/scipy − zub, relative to the largest value of each: " + ", ".join(
        f"{k} {np.max(np.abs(numpy_out[k] - zub_out[k])) / np.max(np.abs(zub_out[k])):.1e}" for k in numpy_out) + "."]
    lines += ["", "The floors are C++ loops over per-option years to expiry, built here with "
                  f"`g++ {' '.join(FLOOR_FLAGS)}` against glibc's vector math library (libmvec), which the compiler "
                  "calls for the exp, log and erfc of a loop marked `omp simd`; they convert no expiry, validate no "
                  "input and write to preallocated arrays."]
    if lib is None:
        lines += ["", why]
    targets = [("European portfolio: array ≥5x faster per option than numpy/scipy, one thread",
                f"{ratio(t, 2, 0):.2f}x", ratio(t, 2, 0) >= 5.0),
               ("European portfolio: the sorted book no cheaper than the interleaved one by more than 10 %",
                f"{ratio(t, 0, 1):.2f}x", ratio(t, 0, 1) <= 1.10)]
    if lib is not None:
        targets += [("European portfolio: array at most 2x the written-formula floor", f"{ratio(t, 0, 3):.2f}x",
                     ratio(t, 0, 3) <= 2.0),
                    ("European portfolio: array at most 3x the vector-library floor", f"{ratio(t, 0, 4):.2f}x",
                     ratio(t, 0, 4) <= 3.0)]
    return lines, targets


def table(title: str, timings: list[Timing]) -> list[str]:
    base = timings[0]
    out = ["", f"### {title}", "", "| way | time per option | ×first row |", "|---|---:|---:|"]
    for t in timings:
        out.append(f"| {t.case.library} | {fmt_time(t.median)} | {paired_ratio(t, base):.2f} |")
    return out


def section(lines: list[str], targets: list[tuple[str, str, bool]]) -> str:
    m = harness.machine()
    head = [START, "## Arrays and threads (zub_batch)", "",
            f"Load when measured: {m.get('load', '?')} on {m.get('cores', '?')} cores; two-thread ratios fall "
            "below 2 when other processes take a core, or when a virtual machine's host slows its CPUs while both "
            "are busy.", "",
            f"Rounds: {ROUNDS}, {CHAIN_ROUNDS} for the American implied-volatility chain. "
            "Every single-threaded way runs once on each core in every round, the calling thread pinned to it, and "
            "its time per option is the mean over the cores (each after an untimed run on that core); the "
            "two-thread ways run unpinned. A virtual machine's host may slow one core for seconds at a time; a "
            "single-threaded time taken on whichever core the thread is on would then set a slow core against a "
            "fast one.", "",
            "| target | measured | met |", "|---|---:|---|"]
    head += [f"| {text} | {value} | {'yes' if met else 'no'} |" for text, value, met in targets]
    return "\n".join(head + lines + ["", END]) + "\n"


def update(path: Path, quick: bool = False) -> list[tuple[str, str, bool]]:
    lines, targets = run(quick)
    harness.splice(path, section(lines, targets), START, END)
    return targets


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "RESULTS.md")
    args = ap.parse_args()
    for text, value, met in update(args.out, args.quick):
        print(f"{'met   ' if met else 'MISSED'} {text}: {value}")


if __name__ == "__main__":
    main()
