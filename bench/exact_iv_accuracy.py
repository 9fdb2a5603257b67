"""The exact implied volatility of zub_batch over random quotes: every quote
solved with the default bounds, to 1e-13 relative plus what one ulp of the
quote changes.

    python bench/exact_iv_accuracy.py            # 1e6 quotes, into RESULTS.md
    python bench/exact_iv_accuracy.py -n 20000   # fewer, printed only

Quotes are out-of-the-money prices made with mpmath at 30 digits (so exact
to the last bit when rounded), half of them turned into in-the-money quotes by
parity in double precision, with sigma log-uniform in [0.001, 10], T
log-uniform from one day to 30 years, sigma sqrt(T) <= 6 and ln(F/K) uniform
in +-8 sigma sqrt(T).  The market has no rates (F = S = 100), so that F, K and
T are exactly the doubles the quotes were made from.  A quote that rounds to
its intrinsic value carries no volatility and is left out.
"""
from __future__ import annotations

import argparse
import datetime as dt
import multiprocessing
import sys
import time
from pathlib import Path

import numpy as np

START, END = "<!-- exact-iv: start -->", "<!-- exact-iv: end -->"
SPOT = 100.0
SECONDS_PER_YEAR = 365 * 86400


def draw(n: int, seed: int):
    """sigma, T in seconds, K and the call flag of n quotes (before quoting)."""
    rng = np.random.default_rng(seed)
    sigma = 0.001 * 1e4 ** rng.random(4 * n)
    days = (30 * 365) ** rng.random(4 * n)
    seconds = np.maximum(np.round(days * 86400), 86400)
    T = seconds / SECONDS_PER_YEAR
    s = sigma * np.sqrt(T)
    keep = s <= 6.0
    sigma, seconds, T, s = sigma[keep][:n], seconds[keep][:n], T[keep][:n], s[keep][:n]
    x = (2 * rng.random(len(s)) - 1) * 8 * s
    K = SPOT * np.exp(-x)
    itm = rng.random(len(s)) < 0.5
    return sigma, seconds, K, itm


def otm_quotes(args):
    """Out-of-the-money prices at 30 digits, rounded to doubles."""
    import mpmath

    mpmath.mp.dps = 30
    sigma, seconds, K = args
    out = np.empty(len(K))
    for i in range(len(K)):
        k = mpmath.mpf(float(K[i]))
        T = mpmath.mpf(float(seconds[i])) / SECONDS_PER_YEAR
        sd = mpmath.mpf(float(sigma[i])) * mpmath.sqrt(T)
        x = mpmath.log(SPOT / k)
        d1, d2 = x / sd + sd / 2, x / sd - sd / 2
        N = lambda z: mpmath.erfc(-z / mpmath.sqrt(2)) / 2  # noqa: E731
        price = SPOT * N(d1) - k * N(d2) if K[i] >= SPOT else k * N(-d2) - SPOT * N(-d1)
        out[i] = float(price)
    return out


def check(n: int, seed: int = 2026) -> dict:
    import zub
    import zub_batch

    # A few more than n, as some turn out to carry no volatility.
    sigma, seconds, K, itm = draw(n + n // 16 + 100, seed)
    start = time.perf_counter()
    chunks = np.array_split(np.arange(len(K)), 64)
    with multiprocessing.Pool() as pool:
        parts = pool.map(otm_quotes, [(sigma[c], seconds[c], K[c]) for c in chunks])
    otm = np.concatenate(parts)
    made = time.perf_counter() - start
    call = K >= SPOT
    intrinsic = np.where(call, K - SPOT, SPOT - K)  # of the other type, for the in-the-money quotes
    quote = np.where(itm, otm + intrinsic, otm)
    call = np.where(itm, ~call, call)
    informative = (otm > 0) & ~(itm & (quote == intrinsic))
    sigma, seconds, K, quote, call = (a[informative][:n] for a in (sigma, seconds, K, quote, call))
    left_out = int((~informative[: np.flatnonzero(informative)[n - 1] + 1]).sum())

    act365 = zub.DayCountConvention.ACT_365_FIXED
    frame = zub.OptionMarketFrame(SPOT, zub.RateCurve.continuous(0.0, act365), zub.VolSurface.flat(0.2, act365))
    today = dt.datetime(2025, 1, 2, tzinfo=dt.timezone.utc)
    expiry = np.datetime64(today.replace(tzinfo=None), "s") + seconds.astype("timedelta64[s]")
    start = time.perf_counter()
    got = zub_batch.implied_vol(frame, quote, K, expiry, np.where(call, 0, 1), 1, valuation_time=today, threads=1)
    solved = time.perf_counter() - start
    T = seconds / SECONDS_PER_YEAR
    assert zub.VanillaOption(K[0], today + dt.timedelta(seconds=float(seconds[0])), zub.OptionType.Call,
                             zub.ExerciseStyle.European).years_to_expiry(today) == T[0]
    # What one ulp of the quote moves sigma: the ulp over the vega.
    sd = sigma * np.sqrt(T)
    d1 = np.log(SPOT / K) / sd + sd / 2
    vega = SPOT * np.exp(-0.5 * d1 * d1) / np.sqrt(2 * np.pi) * np.sqrt(T)
    ulp_move = np.spacing(quote) / vega
    ok = got["status"] == zub_batch.OK
    error = np.abs(got["vol"] - sigma)
    ratio = error / (1e-13 * sigma + ulp_move)
    worst = int(np.nanargmax(np.where(ok, ratio, -1)))
    return {"quotes": len(quote), "drawn again": left_out, "not solved": int((~ok).sum()),
            "within": int((ok & (ratio <= 1)).sum()), "worst ratio": float(ratio[worst]),
            "worst": (float(sigma[worst]), float(T[worst]), float(K[worst]), bool(call[worst])),
            "largest relative error": float(np.max(error[ok] / sigma[ok])),
            "seconds making quotes": made, "ns per quote": solved / len(quote) * 1e9}


def report(r: dict) -> str:
    sigma, T, K, call = r["worst"]
    return "\n".join([
        START, "## Exact implied volatility over random quotes (zub_batch)", "",
        f"{r['quotes']:,} quotes made by `bench/exact_iv_accuracy.py` (see its docstring: out-of-the-money prices at "
        "30 digits, half turned in-the-money by parity; σ in [0.001, 10], T one day to 30 years, σ√T ≤ 6, "
        f"|ln(F/K)| ≤ 8σ√T; {r['drawn again']} drawn quotes that rounded to their intrinsic value, so carry no "
        "volatility, left out), solved "
        "by `zub_batch.implied_vol` with the default bounds on one thread.", "",
        f"- not solved: {r['not solved']}",
        f"- within 1e-13 relative plus one ulp of the quote's move: {r['within']:,} of {r['quotes']:,}",
        f"- worst error as a fraction of that allowance: {r['worst ratio']:.3f} (σ {sigma:.6g}, T {T:.6g}, "
        f"K {K:.6g}, {'call' if call else 'put'})",
        f"- largest relative error: {r['largest relative error']:.2e} (in the wings, where one ulp of the quote "
        "moves σ more than that)",
        f"- time: {r['ns per quote']:.0f} ns per quote (one call, including the array handling)", "", END, ""])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-n", type=int, default=1_000_000)
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "RESULTS.md")
    args = ap.parse_args()
    r = check(args.n)
    text = report(r)
    print(text)
    if args.n >= 1_000_000:
        old = args.out.read_text(encoding="utf-8") if args.out.exists() else ""
        if START in old and END in old:
            before, rest = old.split(START, 1)
            old = before + text + rest.split(END, 1)[1].lstrip("\n")
        else:
            old = old.rstrip("\n") + "\n\n" + text
        args.out.write_text(old, encoding="utf-8")
    sys.exit(0 if r["not solved"] == 0 and r["within"] == r["quotes"] else 1)


if __name__ == "__main__":
    main()
