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
