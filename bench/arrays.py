"""The array entry points (zub_batch) against the object API and the
vectorised peer: the section "Arrays and threads" of RESULTS.md.

    python bench/arrays.py           # measures and rewrites that section only
    python bench/arrays.py --quick   # small books and few rounds

bench/run.py calls `update` after writing the rest of the file.  Ratios are
medians of per-round ratios (see harness.py); "two threads" compares
threads=2 with threads=1 of the same call, in the same rounds.
"""
from __future__ import annotations

import argparse
import warnings
from pathlib import Path
from typing import Callable

import numpy as np

import harness
import inputs
import zub_side
import zub_batch
from harness import Case, Timing, fmt_time, measure, paired_ratio

START, END = "<!-- arrays: start -->", "<!-- arrays: end -->"
CALL, PUT, AMERICAN, EUROPEAN = 0, 1, 0, 1


# py_vollib_vectorized 0.1.1, its only release, fails in numba's type
# inference ("cannot type infer runaway recursion" in its recursive `black`)
# with numba 0.57.1 and 0.68.1 alike, and on import it replaces py_vollib's
# functions, which would change the py_vollib rows of run.py.  It is
# therefore not in the bench group; `--vectorized` tries it when installed.
VECTORIZED_NOTE = ("py_vollib_vectorized could not be measured: its only release (0.1.1) fails in numba's type "
                   "inference with numba 0.57.1 and 0.68.1, and it is left out of the bench group because importing it "
                   "replaces py_vollib's functions.")


def vectorized_peer(wanted: bool):
    """py_vollib_vectorized, or the reason it cannot run here."""
    if not wanted:
        return None, VECTORIZED_NOTE
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import py_vollib_vectorized as pvv
            pvv.vectorized_black_scholes("c", 100.0, 100.0, 1.0, 0.05, 0.2, return_as="numpy")
        return pvv, ""
    except Exception as exc:  # noqa: BLE001 - any failure means the peer cannot be measured
        return None, f"{type(exc).__name__}: {str(exc).splitlines()[0]}"


def european_arrays(n: int):
    book = inputs.european_book(n)
    strike = np.array([s.strike for s in book])
    kind = np.array([CALL if s.is_call else PUT for s in book], dtype=np.int8)
    return book, strike, kind


def batch_call(frame, strike, kind, style, threads, config=None) -> Callable[[], object]:
    expiry = np.datetime64(inputs.EXPIRY.replace(tzinfo=None), "s")
    return lambda: zub_batch.value(frame, strike, expiry, kind, style, valuation_time=inputs.VALUATION,
                                   config=config, threads=threads)


def ratio(timings: list[Timing], slow: int, fast: int) -> float:
    return paired_ratio(timings[slow], timings[fast])


def run(quick: bool, vectorized: bool = False) -> tuple[list[str], list[tuple[str, str, bool]]]:
    rounds = 3 if quick else 15
    lines: list[str] = []
    targets: list[tuple[str, str, bool]] = []
    frame = zub_side.make_frame()
    pvv, why = vectorized_peer(vectorized)

    # 1. European price and five Greeks.
    n = 2_000 if quick else 100_000
    book, strike, kind = european_arrays(n)
    small = book[: min(n, 2_000)]
    cases = [
        Case("array, 1 thread", "", batch_call(frame, strike, kind, EUROPEAN, 1), n),
        Case("array, 2 threads", "", batch_call(frame, strike, kind, EUROPEAN, 2), n),
        Case("object API (pricer reused)", "", zub_side.valuation(small, zub_side.PRICER), len(small)),
    ]
    if pvv is not None:
        flag = np.where(kind == CALL, "c", "p")
        S, t, r, sig = np.full(n, 100.0), np.full(n, 1.0), np.full(n, 0.05), np.full(n, 0.2)

        def peer():
            price = pvv.vectorized_black_scholes(flag, S, strike, t, r, sig, return_as="numpy")
            return price, pvv.get_all_greeks(flag, S, strike, t, r, sig, model="black_scholes", return_as="dict")

        cases.append(Case("py_vollib_vectorized", "", peer, n))
    t = measure(cases, rounds)
    lines += table(f"European price and five Greeks ({n} options per array call)", t)
    targets.append(("European: array ≥5x faster per option than the object API, one thread",
                    f"{ratio(t, 2, 0):.1f}x", ratio(t, 2, 0) >= 5.0))
    if pvv is not None:
        targets.append(("European: array ≥2x faster than py_vollib_vectorized, one thread",
                        f"{ratio(t, 3, 0):.1f}x", ratio(t, 3, 0) >= 2.0))
    targets.append(("European: two threads ≥1.8x one thread", f"{ratio(t, 0, 1):.2f}x", ratio(t, 0, 1) >= 1.8))

    # 2. American put 101x10.
    n = 200 if quick else 4_000
    puts = inputs.american_put_book(n)
    strike = np.array([s.strike for s in puts])
    cases = [
        Case("array, 1 thread", "", batch_call(frame, strike, PUT, AMERICAN, 1), n),
        Case("array, 2 threads", "", batch_call(frame, strike, PUT, AMERICAN, 2), n),
        Case("object API (pricer reused)", "", zub_side.valuation(puts[:400], zub_side.PRICER), min(n, 400)),
    ]
    t = measure(cases, rounds)
    lines += table(f"American put, default grid 101x10 ({n} options per array call)", t)
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
        Case("array, 1 thread", "", iv(1), n),
        Case("object API loop (pricer reused)", "", zub_side.implied_vol(specs, list(target), zub_side.PRICER), n),
    ]
    t = measure(cases, 1 if quick else 3, warmup=0)
    lines += table(f"American implied volatility, default grid ({n} quotes)", t)
    targets.append(("American IV chain: array on two threads ≥2.2x faster than the object API loop",
                    f"{ratio(t, 2, 0):.2f}x", ratio(t, 2, 0) >= 2.2))

    # 4. European implied volatility.
    n = 2_000 if quick else 100_000
    book, strike, kind = european_arrays(n)
    price = zub_batch.value(frame, strike, expiry, kind, EUROPEAN, valuation_time=inputs.VALUATION)["price"]
    cases = [Case("array, 1 thread", "", lambda: zub_batch.implied_vol(
        frame, price, strike, expiry, kind, EUROPEAN, valuation_time=inputs.VALUATION, threads=1), n)]
    if pvv is not None:
        flag = np.where(kind == CALL, "c", "p")
        cases.append(Case("py_vollib_vectorized", "", lambda: pvv.vectorized_implied_volatility(
            price, 100.0, strike, 1.0, 0.05, flag, q=0, model="black_scholes", return_as="numpy"), n))
    t = measure(cases, rounds)
    lines += table(f"European implied volatility ({n} quotes)", t)
    if pvv is not None:
        targets.append(("European IV: array at least as fast as py_vollib_vectorized",
                        f"{ratio(t, 1, 0):.2f}x", ratio(t, 1, 0) >= 1.0))
    if pvv is None:
        lines += ["", why if why.startswith("py_vollib") else f"py_vollib_vectorized could not be measured: {why}"]
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
            "below 2 when other processes take a core.", "",
            "| target | measured | met |", "|---|---:|---|"]
    head += [f"| {text} | {value} | {'yes' if met else 'no'} |" for text, value, met in targets]
    return "\n".join(head + lines + ["", END]) + "\n"


def update(path: Path, quick: bool = False, vectorized: bool = False) -> list[tuple[str, str, bool]]:
    lines, targets = run(quick, vectorized)
    text = path.read_text(encoding="utf-8") if path.exists() else ""
    new = section(lines, targets)
    if START in text and END in text:
        before, rest = text.split(START, 1)
        text = before + new + rest.split(END, 1)[1].lstrip("\n")
    else:
        text = text.rstrip("\n") + "\n\n" + new
    path.write_text(text, encoding="utf-8")
    return targets


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--vectorized", action="store_true", help="also try py_vollib_vectorized")
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "RESULTS.md")
    args = ap.parse_args()
    for text, value, met in update(args.out, args.quick, args.vectorized):
        print(f"{'met   ' if met else 'MISSED'} {text}: {value}")


if __name__ == "__main__":
    main()
