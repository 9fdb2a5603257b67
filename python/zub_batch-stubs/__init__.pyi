"""Valuation and implied volatility over arrays of options, on every core.

Arguments are broadcast together like numpy operands.  Expiries are numpy
``datetime64`` values (read as UTC, since they carry no zone; units finer
than a microsecond are floored to the microsecond) or timezone-aware
datetimes.  Option types are codes (Call 0, Put 1) or ``OptionType``
members, exercise styles codes (American 0, European 1) or
``ExerciseStyle`` members.

Each call returns a dict of numpy arrays of the broadcast shape plus
``"status"`` (uint8, one of the constants below per element) and, with
``messages=True``, ``"message"``: a flat list in C order holding the text
the object API would have raised for each failed element, None elsewhere.

``out`` maps output names to arrays of the caller's that receive those
outputs in place and are returned in the dict: writable, C-contiguous, of
the broadcast shape, float64 (uint8 for ``"status"``), sharing no memory
with an input or another output.  Outputs not named there are created.
"""
import datetime
from typing import Any, Mapping, Optional, Sequence, Union

import numpy.typing as npt

import zub

_Expiries = Union[npt.ArrayLike, datetime.datetime, Sequence[datetime.datetime]]
_OptionTypes = Union[npt.ArrayLike, zub.OptionType, Sequence[zub.OptionType]]
_ExerciseStyles = Union[npt.ArrayLike, zub.ExerciseStyle, Sequence[zub.ExerciseStyle]]

OK: int
"""Priced or solved."""
EXPIRED: int
"""The valuation time is at or after expiry."""
DAY_COUNT_MISMATCH: int
"""The rate curve and the volatility surface use different day counts."""
NOT_BRACKETED: int
"""Implied volatility: the target lies outside the prices at the bounds."""
NOT_CONVERGED: int
"""Implied volatility: the search ran out of iterations."""
AT_EXERCISE_VALUE: int
"""Implied volatility: the target is at or below what the option is worth
without volatility (its exercise value; discounted forward value for a
European option), so no volatility reproduces it."""
NOT_IMPLEMENTED: int
"""The configured method does not exist for this option and market."""
ENGINE_FAILURE: int
"""The pricing engine failed (the object API raises PanicException)."""
INVALID_INPUT: int
"""The element cannot form an option: an unknown type or style code, a
naive or out-of-range expiry, NaT."""
STATUS_NAMES: tuple[str, ...]
"""The constants' names, indexed by status code."""

def value(market_frame: zub.OptionMarketFrame, strike: npt.ArrayLike, expiry: _Expiries,
          option_type: _OptionTypes, exercise_style: _ExerciseStyles,
          valuation_time: Optional[datetime.datetime] = None, config: Optional[zub.Config] = None,
          spot: Optional[npt.ArrayLike] = None, vol: Optional[npt.ArrayLike] = None,
          threads: Optional[int] = None, messages: bool = False,
          out: Optional[Mapping[str, Any]] = None) -> dict[str, Any]:
    """Price and Greeks of every option: arrays "price", "delta", "gamma",
    "theta", "vega" and "rho" (NaN where the method gives none, and for a
    failed element), "status" and, when asked for, "message".

    ``spot`` and ``vol`` replace the frame's spot and volatility per element.
    ``valuation_time`` defaults to now; ``threads`` to every core (a call
    with less work than waking a thread costs keeps to the calling thread)."""

def implied_vol(market_frame: zub.OptionMarketFrame, target: npt.ArrayLike, strike: npt.ArrayLike,
                expiry: _Expiries, option_type: _OptionTypes, exercise_style: _ExerciseStyles,
                valuation_time: Optional[datetime.datetime] = None, config: Optional[zub.Config] = None,
                spot: Optional[npt.ArrayLike] = None, low: Optional[float] = None, high: Optional[float] = None,
                tolerance: Optional[float] = None, threads: Optional[int] = None,
                messages: bool = False, out: Optional[Mapping[str, Any]] = None) -> dict[str, Any]:
    """The volatility that reproduces each target price: arrays "vol",
    "status" and, when asked for, "message".

    Options priced by the closed form (an analytic or unset slot, so every
    European option by default) are inverted exactly, to full double
    precision (Jaeckel's rational method); there ``low`` and ``high`` filter
    the answer (default 0 and infinity: an answer outside them gets
    NOT_BRACKETED and NaN) and ``tolerance`` plays no part.  Other options are
    searched between ``low`` and ``high`` (default 0.1 and 5.0) to the price
    ``tolerance`` (default the configuration's, 1e-4).  A configuration's
    ``implied_vol_solver`` chooses otherwise.  A target at or below the
    exercise value gets AT_EXERCISE_VALUE."""

QUOTE_STATUS_NAMES: tuple[str, ...]
"""What became of each quote of `fit_surface` and `european_equivalents`, by
code: USED (0), INVALID_INPUT, EXPIRED, CROSSED (bid above ask),
BELOW_INTRINSIC, NO_SOLUTION, OUTLIER (far from the surface fitted to the
others; fit_surface only), IN_THE_MONEY (a quote in the money whose twin out of
the money at its strike is used instead)."""

def fit_surface(market_frame: zub.OptionMarketFrame, expiry: _Expiries, strike: npt.ArrayLike,
                option_type: _OptionTypes, exercise_style: _ExerciseStyles,
                price: Optional[npt.ArrayLike] = None, vol: Optional[npt.ArrayLike] = None,
                bid: Optional[npt.ArrayLike] = None, ask: Optional[npt.ArrayLike] = None,
                valuation_time: Optional[datetime.datetime] = None,
                config: Optional[zub.Config] = None) -> dict[str, Any]:
    """An SSVI surface free of static arbitrage fitted to the quotes: "surface"
    (a VolSurface on the frame's rate-curve day count), per quote "status",
    "vol" (European-equivalent), "european_price" and "fitted_vol", per expiry
    "expiries" (a dict of arrays "expiry", "t", "forward", "carry",
    "carry_implied", "used"), "rms", "iterations", and per fitted expiry
    "theta", "psi" and "rho" (the surface's SSVI slices).  Give ``price`` or ``vol``; with ``bid`` and ``ask`` a missing
    price is their mid and each quote weighs its vega over its spread."""

def european_equivalents(market_frame: zub.OptionMarketFrame, expiry: _Expiries, strike: npt.ArrayLike,
                         option_type: _OptionTypes, exercise_style: _ExerciseStyles,
                         price: Optional[npt.ArrayLike] = None, vol: Optional[npt.ArrayLike] = None,
                         bid: Optional[npt.ArrayLike] = None, ask: Optional[npt.ArrayLike] = None,
                         valuation_time: Optional[datetime.datetime] = None,
                         config: Optional[zub.Config] = None) -> dict[str, Any]:
    """The European-equivalent vol and price of each quote and the forward and
    carry its expiry's quotes imply (de-Americanisation for American quotes):
    fit_surface's dict without the fit's entries."""

def check_surface(surface: zub.VolSurface, k: Optional[npt.ArrayLike] = None, t: Optional[npt.ArrayLike] = None,
                  tolerance: float = 1e-12) -> dict[str, Any]:
    """Static arbitrage of a surface on a grid of log-forward moneyness ``k``
    and horizons ``t``: "ok", and per violation "kind" ("butterfly",
    "calendar" or "wing"), "k", "t" and "amount"."""

def default_threads() -> int:
    """Threads a call uses at most when ``threads`` is not given: the cores
    this process may run on."""
