"""Valuation and implied volatility over arrays of options, on every core.

Arguments are broadcast together like numpy operands.  Expiries are numpy
``datetime64`` values (read as UTC, since they carry no zone; units finer
than a microsecond are floored to the microsecond) or timezone-aware
datetimes.  Option types are codes (Call 0, Put 1), ``OptionType`` members
or names ("C"/"P", "call"/"put", any case); exercise styles are codes
(American 0, European 1), ``ExerciseStyle`` members or names
("american"/"european", any case).  Arrays of them may be pandas
categoricals.

Each call returns a dict of numpy arrays of the broadcast shape plus
``"status"`` (uint8, one of the constants below per element) and, with
``messages=True``, ``"message"``: a flat list in C order holding the text
the object API would have raised for each failed element, None elsewhere.
``ValueResult`` and ``ImpliedVolResult`` type these dicts, so that a type
checker catches a misspelt key.

``out`` maps output names to arrays of the caller's that receive those
outputs in place and are returned in the dict: writable, C-contiguous, of
the broadcast shape, float64 (uint8 for ``"status"``), sharing no memory
with an input or another output.  Outputs not named there are created.
"""
import datetime
from typing import Any, Literal, Mapping, NotRequired, Optional, Protocol, Sequence, TypedDict, Union

import numpy as np
import numpy.typing as npt

import zub

# The names from here to ImpliedVolResult exist for type checkers only: the
# module does not bind them, so use them in annotations that are not evaluated
# (quoted, or under `from __future__ import annotations`).

StatusCode = Literal[0, 1, 2, 3, 4, 5, 6, 7, 8]
"""A value of ``"status"``: one of the constants below.  (For annotations
only, as are the aliases and result types that follow: not module
attributes at run time.)"""
OptionTypeCode = Literal[0, 1]
"""Call 0, Put 1."""
ExerciseStyleCode = Literal[0, 1]
"""American 0, European 1."""
OptionTypeName = Literal["C", "P", "c", "p", "call", "put", "Call", "Put", "CALL", "PUT"]
"""The spellings of an option type that type-check as a single value.  The
call takes any case ("cAlL" too): other mixtures pass in an array or a
list, or through ``typing.cast``."""
ExerciseStyleName = Literal["american", "european", "American", "European", "AMERICAN", "EUROPEAN"]
"""The spellings of an exercise style that type-check as a single value
(any case in an array or a list, as for ``OptionTypeName``)."""

class _HasArray(Protocol):
    # numpy arrays, pandas Series and Categoricals: whatever numpy converts
    def __array__(self) -> np.ndarray[Any, Any]: ...

_Many = Union[_HasArray, list[Any], tuple[Any, ...]]

OptionTypes = Union[zub.OptionType, OptionTypeCode, OptionTypeName, _Many]
"""What ``option_type`` takes: one ``OptionType``, code or name, or an array
of them (numpy, a pandas Series or Categorical, a list or a tuple), whose
elements are checked when the call runs (``INVALID_INPUT`` for one that is
none of these)."""
ExerciseStyles = Union[zub.ExerciseStyle, ExerciseStyleCode, ExerciseStyleName, _Many]
"""What ``exercise_style`` takes, as ``OptionTypes`` for styles."""
Expiries = Union[npt.ArrayLike, datetime.datetime, Sequence[datetime.datetime]]
"""What ``expiry`` takes: ``datetime64`` values (read as UTC) or
timezone-aware datetimes, one or an array of them."""

class ValueResult(TypedDict):
    """What ``value`` returns: arrays of the broadcast shape."""

    price: npt.NDArray[np.float64]
    delta: npt.NDArray[np.float64]
    gamma: npt.NDArray[np.float64]
    theta: npt.NDArray[np.float64]
    vega: npt.NDArray[np.float64]
    """NaN where the method gives none (finite differences unless asked)."""
    rho: npt.NDArray[np.float64]
    """NaN where the method gives none (finite differences unless asked)."""
    status: npt.NDArray[np.uint8]
    """One ``StatusCode`` per element."""
    message: NotRequired[list[Optional[str]]]
    """With ``messages=True``: per element in C order, the text the object
    API would have raised, None where the status is OK."""
    status_name: NotRequired[npt.NDArray[np.object_]]
    """With ``status_names=True``: each status's name (``STATUS_NAMES``), so
    that ``pandas.DataFrame(result)`` reads as text."""

class ImpliedVolResult(TypedDict):
    """What ``implied_vol`` returns: arrays of the broadcast shape."""

    vol: npt.NDArray[np.float64]
    status: npt.NDArray[np.uint8]
    """One ``StatusCode`` per element."""
    message: NotRequired[list[Optional[str]]]
    """With ``messages=True``: per element in C order, the text the object
    API would have raised, None where the status is OK."""
    status_name: NotRequired[npt.NDArray[np.object_]]
    """With ``status_names=True``: each status's name (``STATUS_NAMES``), so
    that ``pandas.DataFrame(result)`` reads as text."""

OK: Literal[0]
"""Priced or solved."""
EXPIRED: Literal[1]
"""The valuation time is at or after expiry."""
DAY_COUNT_MISMATCH: Literal[2]
"""The rate curve and the volatility surface use different day counts."""
NOT_BRACKETED: Literal[3]
"""Implied volatility: the target lies outside the prices at the bounds."""
NOT_CONVERGED: Literal[4]
"""Implied volatility: the search ran out of iterations."""
AT_EXERCISE_VALUE: Literal[5]
"""Implied volatility: the target is at or below what the option is worth
without volatility (its exercise value; discounted forward value for a
European option), so no volatility reproduces it."""
NOT_IMPLEMENTED: Literal[6]
"""The configured method does not exist for this option and market."""
ENGINE_FAILURE: Literal[7]
"""The pricing engine failed (the object API raises PanicException)."""
INVALID_INPUT: Literal[8]
"""The element cannot form an option: an unknown type or style code, a
naive or out-of-range expiry, NaT; a strike or spot that is not finite and
positive, a volatility that is not finite and positive, a rate or a target
price that is not finite."""
STATUS_NAMES: tuple[str, ...]
"""The constants' names, indexed by status code."""

def value(market_frame: zub.OptionMarketFrame, strike: npt.ArrayLike, expiry: Expiries,
          option_type: OptionTypes, exercise_style: ExerciseStyles,
          valuation_time: Optional[datetime.datetime] = None, config: Optional[zub.Config] = None,
          spot: Optional[npt.ArrayLike] = None, vol: Optional[npt.ArrayLike] = None,
          threads: Optional[int] = None, messages: bool = False,
          out: Optional[Mapping[str, Any]] = None, status_names: bool = False) -> ValueResult:
    """Price and Greeks of every option: arrays "price", "delta", "gamma",
    "theta", "vega" and "rho" (NaN where the method gives none, and for a
    failed element), "status" and, when asked for, "message".

    ``spot`` and ``vol`` replace the frame's spot and volatility per element.
    ``valuation_time`` defaults to now; ``threads`` to every core (a call
    with less work than waking a thread costs keeps to the calling thread)."""

def implied_vol(market_frame: zub.OptionMarketFrame, target: npt.ArrayLike, strike: npt.ArrayLike,
                expiry: Expiries, option_type: OptionTypes, exercise_style: ExerciseStyles,
                valuation_time: Optional[datetime.datetime] = None, config: Optional[zub.Config] = None,
                spot: Optional[npt.ArrayLike] = None, low: Optional[float] = None, high: Optional[float] = None,
                tolerance: Optional[float] = None, threads: Optional[int] = None,
                messages: bool = False, out: Optional[Mapping[str, Any]] = None,
                status_names: bool = False) -> ImpliedVolResult:
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

class ChainExpiries(TypedDict):
    """Per expiry of a chain, in increasing order: arrays."""

    expiry: npt.NDArray[np.datetime64]
    t: npt.NDArray[np.float64]
    """Years to the expiry under the frame's rate-curve day count."""
    forward: npt.NDArray[np.float64]
    carry: npt.NDArray[np.float64]
    """The carry q of the forward (S - PV(dividends)) e^{(r - q) t}."""
    carry_implied: npt.NDArray[np.float64]
    """1 where the quotes gave the carry (call/put pairs), 0 where the frame's is kept."""
    used: npt.NDArray[np.float64]
    """Quotes used at the expiry."""
    status: list[Literal["used", "no usable quote", "expired"]]
    """Whether the expiry's quotes were used (the surface has a slice there)."""

class EquivalentsResult(TypedDict):
    """What ``european_equivalents`` returns: per quote arrays of the broadcast shape."""

    status: npt.NDArray[np.uint8]
    """Codes of ``QUOTE_STATUS_NAMES``."""
    vol: npt.NDArray[np.float64]
    """The European-equivalent volatility; NaN unless used."""
    european_price: npt.NDArray[np.float64]
    expiries: ChainExpiries

class SurfaceFitResult(EquivalentsResult):
    """What ``fit_surface`` returns."""

    surface: zub.VolSurface
    fitted_vol: npt.NDArray[np.float64]
    """The surface's volatility at each quote."""
    rms: float
    """Of fitted minus quoted vol over the quotes used."""
    iterations: int
    theta: npt.NDArray[np.float64]
    """Per fitted expiry: the SSVI slices' ATM total variance, psi and rho."""
    psi: npt.NDArray[np.float64]
    rho: npt.NDArray[np.float64]

class SurfaceCheck(TypedDict):
    """What ``check_surface`` returns: one entry per violation."""

    ok: bool
    kind: list[Literal["butterfly", "calendar", "wing"]]
    k: npt.NDArray[np.float64]
    t: npt.NDArray[np.float64]
    amount: npt.NDArray[np.float64]
    """g(k) for a butterfly, the fall in total variance for a calendar
    spread, the slope for a wing."""

def fit_surface(market_frame: zub.OptionMarketFrame, expiry: Expiries, strike: npt.ArrayLike,
                option_type: OptionTypes, exercise_style: ExerciseStyles,
                price: Optional[npt.ArrayLike] = None, vol: Optional[npt.ArrayLike] = None,
                bid: Optional[npt.ArrayLike] = None, ask: Optional[npt.ArrayLike] = None,
                valuation_time: Optional[datetime.datetime] = None,
                config: Optional[zub.Config] = None) -> SurfaceFitResult:
    """An SSVI surface free of static arbitrage fitted to the quotes (one slice
    per expiry), with the surface on the frame's rate-curve day count.  Give
    ``price``, ``vol``, or ``bid`` and ``ask`` (then the price is their mid);
    with ``bid`` and ``ask`` each quote weighs its vega over its spread.
    Per expiry the forward comes from put-call parity on European pairs, or
    for American quotes from the carry at which the calls' and the puts'
    implied vols agree; American quotes are de-Americanised under the
    configured American method."""

def european_equivalents(market_frame: zub.OptionMarketFrame, expiry: Expiries, strike: npt.ArrayLike,
                         option_type: OptionTypes, exercise_style: ExerciseStyles,
                         price: Optional[npt.ArrayLike] = None, vol: Optional[npt.ArrayLike] = None,
                         bid: Optional[npt.ArrayLike] = None, ask: Optional[npt.ArrayLike] = None,
                         valuation_time: Optional[datetime.datetime] = None,
                         config: Optional[zub.Config] = None) -> EquivalentsResult:
    """The European-equivalent vol and price of each quote and the forward and
    carry its expiry's quotes imply (de-Americanisation for American quotes):
    fit_surface's first step."""

def check_surface(surface: zub.VolSurface, k: Optional[npt.ArrayLike] = None, t: Optional[npt.ArrayLike] = None,
                  tolerance: float = 1e-12) -> SurfaceCheck:
    """Static arbitrage of a surface on a grid of log-forward moneyness ``k``
    and horizons ``t`` (by default k over [-2, 2], t over the surface's
    expiries and on to twice the last)."""

def default_threads() -> int:
    """Threads a call uses at most when ``threads`` is not given: the cores
    this process may run on."""
