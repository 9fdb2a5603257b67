"""The market and the books of options every library is given.

All libraries see the same numbers: spot 100, a flat continuously
compounded rate of 5 %, no carry, and a valuation instant exactly 365 days
before expiry, so that every library's time to expiry is T = 1.0 under
Actual/365 Fixed.
"""
from __future__ import annotations

import datetime as dt
import math
from dataclasses import dataclass

SPOT = 100.0
RATE = 0.05
CARRY = 0.0
VOL = 0.20
T = 1.0

UTC = dt.timezone.utc
VALUATION = dt.datetime(2025, 1, 2, tzinfo=UTC)
EXPIRY = dt.datetime(2026, 1, 2, tzinfo=UTC)
assert (EXPIRY - VALUATION).days == 365


@dataclass(frozen=True)
class Spec:
    strike: float
    is_call: bool
    american: bool = False
    vol: float = VOL  # the volatility the option is priced at (or its price was made with)

    @property
    def flag(self) -> str:
        return "c" if self.is_call else "p"


def linspace(lo: float, hi: float, n: int) -> list[float]:
    if n == 1:
        return [0.5 * (lo + hi)]
    return [lo + (hi - lo) * i / (n - 1) for i in range(n)]


def european_book(n: int) -> list[Spec]:
    """Calls and puts alternating over strikes 80 to 120 at the flat vol."""
    return [Spec(k, i % 2 == 0) for i, k in enumerate(linspace(80.0, 120.0, n))]


def american_put_book(n: int) -> list[Spec]:
    return [Spec(k, False, True) for k in linspace(90.0, 110.0, n)]


def smile(strike: float) -> float:
    m = math.log(strike / SPOT)
    return 0.20 - 0.10 * m + 0.60 * m * m


def european_chain(n: int) -> list[Spec]:
    """Out-of-the-money chain over strikes 70 to 130 (puts below spot, calls
    at and above), each at its own volatility off a skewed smile."""
    return [Spec(k, k >= SPOT, False, smile(k)) for k in linspace(70.0, 130.0, n)]


def american_put_chain(n: int) -> list[Spec]:
    return [Spec(k, False, True, smile(k)) for k in linspace(85.0, 115.0, n)]


def _norm_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def black_scholes(spec: Spec, vol: float | None = None) -> float:
    """Closed-form European price with the standard library only; makes the
    target prices of the implied-volatility chain independently of every
    library under test."""
    s = spec.vol if vol is None else vol
    sd = s * math.sqrt(T)
    d1 = (math.log(SPOT / spec.strike) + (RATE - CARRY) * T) / sd + 0.5 * sd
    d2 = d1 - sd
    df, dq = math.exp(-RATE * T), math.exp(-CARRY * T)
    if spec.is_call:
        return SPOT * dq * _norm_cdf(d1) - spec.strike * df * _norm_cdf(d2)
    return spec.strike * df * _norm_cdf(-d2) - SPOT * dq * _norm_cdf(-d1)


# ---------------------------------------------------------------------------
# American options of many shapes, for the accuracy workload


@dataclass(frozen=True)
class AmericanCase:
    """An American option and its own market: spot, strike, days to expiry
    (Actual/365 Fixed), continuous rate and dividend yield, volatility."""

    is_call: bool
    spot: float
    strike: float
    days: int
    rate: float
    carry: float  # continuous dividend yield q
    vol: float

    @property
    def expiry(self) -> dt.datetime:
        return VALUATION + dt.timedelta(days=self.days)

    def __str__(self) -> str:
        return (f"{'call' if self.is_call else 'put'} S={self.spot:g} K={self.strike:g} T={self.days}d "
                f"r={self.rate:g} q={self.carry:g} σ={self.vol:g}")


def american_reference_set() -> list[AmericanCase]:
    """Longstaff–Schwartz's 20 puts; Andersen–Lake–Offengenden's two
    at-the-money puts (r 5 % and 7.5 %, q 5 %); ten 3-year calls with q > r;
    then maturities from a day to 10 years, σ 0.05 to 3, S/K 0.5 and 2, r or
    q zero (tests/cpp/test_exercise_boundary.cpp prices the same set)."""
    put, call = False, True
    out = [AmericanCase(put, s, 40.0, 365 * years, 0.06, 0.0, vol)
           for years in (1, 2) for vol in (0.2, 0.4) for s in (36.0, 38.0, 40.0, 42.0, 44.0)]
    out += [AmericanCase(put, 100.0, 100.0, 365, r, 0.05, 0.25) for r in (0.05, 0.075)]
    out += [AmericanCase(call, 100.0, k, 1095, 0.02, 0.06, vol) for vol in (0.2, 0.35) for k in (80.0, 90.0, 100.0, 110.0, 120.0)]
    out += [
        AmericanCase(put, 100.0, 100.0, 7, 0.05, 0.0, 0.2),
        AmericanCase(put, 100.0, 100.0, 1, 0.05, 0.0, 0.3),
        AmericanCase(put, 100.0, 100.0, 3650, 0.05, 0.02, 0.3),
        AmericanCase(put, 100.0, 100.0, 365, 0.05, 0.0, 3.0),
        AmericanCase(put, 50.0, 100.0, 365, 0.05, 0.01, 0.6),
        AmericanCase(put, 200.0, 100.0, 730, 0.05, 0.0, 0.4),
        AmericanCase(put, 100.0, 100.0, 365, 0.0, -0.03, 0.25),
        AmericanCase(call, 100.0, 100.0, 365, 0.0, 0.04, 0.25),
        AmericanCase(put, 100.0, 100.0, 182, 0.04, 0.0, 0.3),
        AmericanCase(call, 100.0, 100.0, 3650, 0.05, 0.1, 0.15),
        AmericanCase(put, 100.0, 80.0, 1825, 0.03, 0.01, 1.5),
        AmericanCase(call, 100.0, 50.0, 365, 0.03, 0.07, 0.3),
        AmericanCase(call, 100.0, 200.0, 730, 0.01, 0.05, 0.5),
        AmericanCase(put, 100.0, 100.0, 182, 0.05, 0.0, 0.05),
        AmericanCase(call, 105.0, 100.0, 365, 0.02, 0.06, 0.05),
    ]
    return out
