"""Equity-option pricing: Black-Scholes in closed form and by finite differences,
with Greeks and implied volatility.

Rates, carries and volatilities are annual fractions (0.05 is 5 %); times to
expiry are Actual/365 Fixed year fractions; theta is per year of calendar time.
Every datetime given to zub must carry a timezone.
"""
import datetime
from typing import ClassVar, Optional, Sequence, Tuple, final

__all__ = [
    "Compounding", "DayCountConvention", "Frequency", "InterestRate", "VanillaOption",
    "OptionMarketFrame", "Tenor", "RateCurve", "VolSurface", "FdmConfig", "Config",
    "OptionType", "ExerciseStyle", "ValuationBuilder", "OptionResult", "Greeks",
    "InstrumentPolicy", "PeriodCalculator", "DividendSchedule", "TransformConfig",
]

# --- calendar ------------------------------------------------------------------

@final
class ActAct:
    """Actual/Actual conventions.  Reached as `DayCountConvention.ACT_ACT`; not a
    module attribute."""

    ISDA: ClassVar[DayCountConvention]

@final
class Thirty360:
    """30/360 conventions.  Reached as `DayCountConvention.THIRTY_360`; not a
    module attribute."""

    US_ISDA: ClassVar[DayCountConvention]
    EUROBOND_ISMA: ClassVar[DayCountConvention]
    GERMAN_ISDA: ClassVar[DayCountConvention]

@final
class DayCountConvention:
    """How a span of time becomes a year fraction.  No constructor: use the class
    attributes, e.g. `DayCountConvention.ACT_365_FIXED` or
    `DayCountConvention.THIRTY_360.GERMAN_ISDA`."""

    ACT_360: ClassVar[DayCountConvention]
    ACT_365_FIXED: ClassVar[DayCountConvention]
    ACT_ACT: ClassVar[type[ActAct]]
    """The holder class of the Actual/Actual conventions (use `.ISDA`)."""
    THIRTY_360: ClassVar[type[Thirty360]]
    """The holder class of the 30/360 conventions (`.US_ISDA`, `.EUROBOND_ISMA`, `.GERMAN_ISDA`)."""

@final
class Tenor:
    """A length of time in days, weeks, months or years.  Month and year steps
    clamp to the end of the month (31 Jan + 1 month = 28 or 29 Feb)."""

    @staticmethod
    def days(n: int) -> Tenor: ...
    @staticmethod
    def weeks(n: int) -> Tenor: ...
    @staticmethod
    def months(n: int) -> Tenor:
        """`n` months; a negative count is accepted here but fails on `advance`."""
    @staticmethod
    def years(n: int) -> Tenor:
        """`n` years, as 12·n months."""
    def advance(self, from_: datetime.date, /) -> datetime.date:
        """The date `from_` moved on by this tenor.  Only the year, month and day of
        a datetime are used.  (At run time the parameter is named `from`.)"""

@final
class PeriodCalculator:
    """Day counts and year fractions under a convention.  No constructor."""

    @staticmethod
    def days_between(start: datetime.date, end: datetime.date, convention: DayCountConvention) -> int:
        """Days from `start` to `end` under `convention`; negative when `end` is earlier."""
    @staticmethod
    def year_fraction(start: datetime.datetime, end: datetime.datetime, convention: DayCountConvention) -> float:
        """Years from `start` to `end`.  Both must be datetimes in `datetime.timezone.utc`."""

@final
class Frequency:
    """Compounding periods per year.  `int(member)` is its position (0 to 3);
    `member.value` is the number of periods (1, 2, 4, 12)."""

    Annual: ClassVar[Frequency]
    SemiAnnual: ClassVar[Frequency]
    Quarterly: ClassVar[Frequency]
    Monthly: ClassVar[Frequency]
    @property
    def value(self) -> int:
        """Compounding periods per year: 1, 2, 4 or 12."""
    def __int__(self) -> int: ...

@final
class Compounding:
    """A compounding convention.  No constructor: use the static builders."""

    @staticmethod
    def simple() -> Compounding:
        """Discount factor 1 / (1 + r·t)."""
    @staticmethod
    def continuous() -> Compounding:
        """Discount factor exp(-r·t)."""
    @staticmethod
    def compounded(freq: Frequency) -> Compounding:
        """Discount factor 1 / (1 + r/n)^(n·t) with n periods a year."""
    @staticmethod
    def simple_then_compounded(freq: Frequency) -> Compounding:
        """Simple for horizons up to one period (t <= 1/n), compounded beyond."""

@final
class InterestRate:
    """A quoted rate with its compounding and its day-count convention."""

    def __new__(cls, rate: float, compounding: Compounding, dcc: DayCountConvention) -> InterestRate: ...
    def discount_factor(self, t: float) -> float:
        """The discount factor for a horizon of `t` years (the day count plays no part)."""

# --- market data ------------------------------------------------------------------

@final
class RateCurve:
    """Zero rates and discount factors by horizon in years.  No constructor: use
    `flat`, `continuous` or `interpolated`."""

    @staticmethod
    def flat(rate: InterestRate) -> RateCurve:
        """One rate for every horizon."""
    @staticmethod
    def continuous(rate: float, day_count_convention: DayCountConvention) -> RateCurve:
        """One continuously compounded rate for every horizon."""
    @staticmethod
    def interpolated(
        reference_date: datetime.date, tenors: Sequence[Tenor], rates: Sequence[InterestRate]
    ) -> RateCurve:
        """Zero rates at `reference_date` + each tenor, joined linearly in time and
        extended linearly beyond the ends.  The first rate's compounding and day
        count govern the whole curve.  Raises ValueError "Curve Error: ..." for
        mismatched lengths, fewer than two nodes or node times that do not increase."""
    def zero_rate(self, t: float) -> float:
        """The zero rate at `t` years."""
    def discount_factor(self, t: float) -> float:
        """The discount factor at `t` years."""

@final
class VolSurface:
    """Black-Scholes volatility by strike and horizon.  No constructor: use `flat`."""

    @staticmethod
    def flat(vol: float, day_count: DayCountConvention) -> VolSurface:
        """One volatility (0.2 is 20 %) for every strike and horizon.  Its day count
        must equal the rate curve's for pricing."""
    @staticmethod
    def term_structure(reference_date: datetime.date, tenors: Sequence[Tenor], vols: Sequence[float],
                       day_count: DayCountConvention) -> VolSurface:
        """Volatilities at tenors from `reference_date`, linear in t between them and
        extended linearly beyond; the strike is ignored."""
    @staticmethod
    def ssvi(spot: float, expiries: Sequence[float], forwards: Sequence[float], thetas: Sequence[float],
             psis: Sequence[float], rhos: Sequence[float], day_count: DayCountConvention) -> VolSurface:
        """An SSVI surface with one slice per expiry (years, increasing): there the
        total variance of k = ln(K/F) is
        w(k) = (theta + rho psi k + sqrt((psi k + rho theta)^2 + theta^2 (1 - rho^2))) / 2,
        F the forward at that expiry (sticky strike; `spot` is the forward at t = 0).
        theta, psi and rho psi are linear in t between expiries; before the first the
        smile keeps the first expiry's volatilities; after the last theta grows on
        with the last slope.  Free of static arbitrage when every slice has
        psi (1 + abs(rho)) < 4 and psi^2 (1 + abs(rho)) <= 4 theta, and from one expiry to
        the next rho stays, theta rises, psi does not fall and psi/theta does not
        rise; `zub_batch.check_surface` reports any arbitrage and
        `zub_batch.fit_surface` fits such a surface to quotes."""
    def volatility(self, strike: float, t: float) -> float: ...

@final
class DividendSchedule:
    """Discrete cash dividends, applied by the finite-difference engine as jumps at
    their ex-dates; the closed form ignores them.  Kept in the order given;
    dividends sharing an ex-date add up."""

    def __new__(cls, raw_divs: Sequence[Tuple[datetime.datetime, float]]) -> DividendSchedule:
        """`raw_divs`: (timezone-aware ex-date, cash amount) pairs."""

@final
class OptionMarketFrame:
    """The market of one underlying: spot, risk-free curve, volatility surface,
    dividends and borrow curve.  Its properties can be replaced after creation;
    every read returns a new object."""

    def __new__(
        cls,
        spot: float,
        rate_curve: RateCurve,
        vol_surface: VolSurface,
        dividends: Optional[DividendSchedule] = None,
        borrow_curve: Optional[RateCurve] = None,
    ) -> OptionMarketFrame:
        """Without a borrow curve the carry is 0 (a continuous 0 % curve is stored)."""
    @property
    def spot(self) -> float: ...
    @spot.setter
    def spot(self, value: float) -> None: ...
    @property
    def rate_curve(self) -> RateCurve: ...
    @rate_curve.setter
    def rate_curve(self, value: RateCurve) -> None: ...
    @property
    def vol_surface(self) -> VolSurface: ...
    @vol_surface.setter
    def vol_surface(self, value: VolSurface) -> None: ...
    @property
    def dividends(self) -> DividendSchedule:
        """The dividends; an empty schedule when there are none."""
    @dividends.setter
    def dividends(self, value: Optional[DividendSchedule]) -> None: ...
    @property
    def borrow_curve(self) -> Optional[RateCurve]:
        """The curve whose zero rate is the continuous carry q, or None after `None` was set."""
    @borrow_curve.setter
    def borrow_curve(self, value: Optional[RateCurve]) -> None: ...

# --- instruments ------------------------------------------------------------------

@final
class OptionType:
    """`OptionType.Call` (int 0) or `OptionType.Put` (int 1)."""

    Call: ClassVar[OptionType]
    Put: ClassVar[OptionType]
    def __int__(self) -> int: ...

@final
class ExerciseStyle:
    """`ExerciseStyle.American` (int 0) or `ExerciseStyle.European` (int 1)."""

    American: ClassVar[ExerciseStyle]
    European: ClassVar[ExerciseStyle]
    def __int__(self) -> int: ...

@final
class VanillaOption:
    """A call or a put with a strike, a timezone-aware expiry and an exercise style."""

    def __new__(
        cls,
        strike: float,
        expiry_time: datetime.datetime,
        option_type: OptionType,
        exercise_style: ExerciseStyle,
    ) -> VanillaOption: ...
    @property
    def strike(self) -> float: ...
    def years_to_expiry(self, valuation_date: Optional[datetime.datetime] = None) -> float:
        """Actual/365 Fixed years from `valuation_date` (default: now) to expiry;
        negative once expired."""
    def valuation(self) -> ValuationBuilder:
        """A new `ValuationBuilder` for this option."""
    def implied_vol(self) -> ImpliedVolBuilder:
        """A new `ImpliedVolBuilder` for this option."""

# --- execution --------------------------------------------------------------------

@final
class TransformConfig:
    """The coordinate transform of the finite-difference grid."""

    @staticmethod
    def sinh(alpha: float) -> TransformConfig:
        """Nodes crowded around the strike; a smaller `alpha` crowds them more.  The default is sinh(0.3)."""
    @staticmethod
    def log() -> TransformConfig:
        """Nodes evenly spaced in log-spot."""

@final
class FdmConfig:
    """Finite-difference settings.  Defaults: 10 time steps, 101 grid nodes (a given
    count is made odd), 4.0 standard deviations each side of the strike, sinh(0.3)."""

    def __new__(
        cls,
        time_steps: Optional[int] = None,
        grid_nodes: Optional[int] = None,
        grid_std_devs: Optional[float] = None,
        transform: Optional[TransformConfig] = None,
    ) -> FdmConfig: ...

@final
class InstrumentPolicy:
    """A rule for `Config.add_policy`: which options (empty lists match all) get
    which method.  Each call changes the policy and returns it."""

    def __new__(cls) -> InstrumentPolicy: ...
    def put(self) -> InstrumentPolicy: ...
    def call(self) -> InstrumentPolicy: ...
    def american(self) -> InstrumentPolicy: ...
    def european(self) -> InstrumentPolicy: ...
    def analytic(self) -> InstrumentPolicy:
        """Price the matched options with the closed form."""
    def fdm(self, fdm_config: Optional[FdmConfig] = None) -> InstrumentPolicy:
        """Price the matched options by finite differences (default settings when `fdm_config` is None)."""
    def exercise_boundary(self, tolerance: Optional[float] = None) -> InstrumentPolicy:
        """Price matched American options without a cash dividend inside their life by solving their
        exercise boundary, with all five Greeks; `tolerance` is the largest price error aimed for, as a
        fraction of the strike (1e-6 when None).  European options get the closed form; American ones
        with a cash dividend inside their life, or whose exercise region is a band between two boundaries
        (a put with q < r < 0, a call with r < q < 0), finite differences on the default grid."""

@final
class Config:
    """Which method prices each kind of option.  By default American options go to
    finite differences (default settings) and European ones to the closed form."""

    def __new__(cls) -> Config: ...
    def add_policy(self, policy: InstrumentPolicy) -> Config:
        """Apply a copy of `policy` on top of the current table (the last policy wins) and return this config."""
    def fdm_vega_rho(self, bump: Optional[float] = None) -> Config:
        """Have finite-difference valuations fill vega and rho too, by central differences in volatility and
        rate with `bump` (5e-3 when None; the volatility's at most half the volatility), each bumped pair
        priced on the option's own grid; five solves instead of one.  Implied volatilities are unaffected."""
    def implied_vol_solver(self, method: str, tolerance: Optional[float] = None,
                           max_iterations: Optional[int] = None, low: Optional[float] = None,
                           high: Optional[float] = None) -> Config:
        """Choose the implied-volatility search and return this config; checked when a search starts.

        ``method`` is "brent", "bisection" or "exact".  "exact" inverts the closed form to full
        precision (Jaeckel's rational method) where the slot prices by the closed form, is the
        exercise-boundary method's Newton search where the slot is that method, and Brent where it is
        finite differences.  ``tolerance`` (price) and ``max_iterations`` (default 1e-4 and 100) apply to
        the Brent, bisection and Newton searches.  ``low`` and ``high`` bracket those searches (default
        0.1 and 5.0); for the exact inversion they filter the answer (default 0 and infinity): one
        outside them fails as Brent does on a bracket without a sign change.  Without this call the
        search is Brent on [0.1, 5.0] (Newton for the exercise-boundary method)."""

@final
class Greeks:
    """Sensitivities of the price.  `vega` and `rho` are None when finite differences priced."""

    @property
    def delta(self) -> float:
        """dPrice/dSpot."""
    @property
    def gamma(self) -> float:
        """d²Price/dSpot²."""
    @property
    def theta(self) -> float:
        """Change of price per year of calendar time (divide by 365 for a day)."""
    @property
    def vega(self) -> Optional[float]:
        """dPrice/dVol per unit of volatility (closed form only)."""
    @property
    def rho(self) -> Optional[float]:
        """dPrice/dRate per unit of rate (closed form only)."""

@final
class OptionResult:
    """A price and its Greeks, made by `ValuationBuilder.compute`."""

    @property
    def price(self) -> float: ...
    @property
    def greeks(self) -> Greeks: ...

@final
class ValuationBuilder:
    """Prices one option: `option.valuation().market(frame).compute()`.  Each setter
    changes the builder and returns it; nothing is checked before `compute`."""

    def __new__(cls, instrument: VanillaOption) -> ValuationBuilder: ...
    def market(self, market_frame: OptionMarketFrame) -> ValuationBuilder:
        """Attach the market data (required)."""
    def config(self, config: Optional[Config] = None) -> ValuationBuilder:
        """Attach a method table; None restores the default."""
    def at(self, valuation_time: Optional[datetime.datetime] = None) -> ValuationBuilder:
        """Value at this timezone-aware instant; None values at the clock's time when computing."""
    def compute(self) -> OptionResult:
        """Price the option.  Raises ValueError without market data, for mismatched day
        counts, or when the option has expired at the valuation time."""

@final
class ImpliedVolBuilder:
    """Finds the volatility in [0.1, 5.0] at which the configured method reproduces a
    price (Brent's method, tolerance 1e-4 in price).  Obtained from
    `VanillaOption.implied_vol()`; not a module attribute."""

    def __new__(cls, instrument: VanillaOption) -> ImpliedVolBuilder: ...
    def market(self, market_frame: OptionMarketFrame) -> ImpliedVolBuilder:
        """Attach the market data (required); its volatility surface is not used."""
    def price(self, target: float) -> ImpliedVolBuilder:
        """The price to match (required)."""
    def config(self, config: Optional[Config] = None) -> ImpliedVolBuilder:
        """Attach a method table; None restores the default."""
    def at(self, valuation_time: Optional[datetime.datetime] = None) -> ImpliedVolBuilder:
        """Solve at this timezone-aware instant; None uses the clock's time."""
    def calculate(self) -> float:
        """The implied volatility.  Raises ValueError "Root is not bracketed. ..." when
        the target lies outside the prices at volatilities 0.1 and 5.0."""
