"""The peers' side of every workload: the QuantLib Python bindings and
py_vollib, used the way their documentation shows, in the same three modes
as zub_side (see there).

QuantLib caches an instrument's results until something it observes
changes, so the "pricer reused" mode calls `recalculate()` to force a fresh
valuation of every option in every round.
"""
from __future__ import annotations

import math
import warnings
from typing import Callable, Sequence

import QuantLib as ql

with warnings.catch_warnings():
    # Releases of py_vollib that are a compatibility name for vollib warn.
    warnings.simplefilter("ignore", DeprecationWarning)
    import py_vollib.black_scholes as vollib_bs
    from py_vollib.black_scholes.greeks import analytical as vollib_greeks
    from py_vollib.black_scholes.implied_volatility import implied_volatility as vollib_iv

from inputs import RATE, SPOT, T, VOL, AmericanCase, Spec
from zub_side import ALL, MARKET, PRICER, Grid

# Implied-volatility search settings given to QuantLib: zub's bracket and
# iteration limit, and QuantLib's default accuracy (in volatility units).
IV_MIN, IV_MAX, IV_MAX_EVALUATIONS, IV_ACCURACY = 0.1, 5.0, 100, 1e-4

SCHEMES = {"TR-BDF2": ql.FdmSchemeDesc.TrBDF2, "Douglas": ql.FdmSchemeDesc.Douglas}

TODAY = ql.Date(2, 1, 2025)
EXPIRY = ql.Date(2, 1, 2026)
DC = ql.Actual365Fixed()
CAL = ql.NullCalendar()
ql.Settings.instance().evaluationDate = TODAY
assert DC.yearFraction(TODAY, EXPIRY) == T


def quantlib_version() -> str:
    return ql.__version__


def vollib_version() -> str:
    """py_vollib's release and what it runs on: later releases are a name for
    vollib, and py_lets_be_rational 1.0 compiles itself with numba when numba
    is installed."""
    from importlib.metadata import PackageNotFoundError, version

    found = []
    for name in ("vollib", "lets_be_rational", "py_lets_be_rational", "numba"):
        try:
            found.append(f"{name} {version(name)}")
        except PackageNotFoundError:
            pass
    return f"py_vollib {version('py_vollib')} ({', '.join(found)})"


# ---------------------------------------------------------------------------
# QuantLib


def process(vol: float | ql.SimpleQuote = VOL) -> ql.BlackScholesMertonProcess:
    volq = ql.QuoteHandle(vol) if isinstance(vol, ql.SimpleQuote) else ql.QuoteHandle(ql.SimpleQuote(vol))
    return ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, 0.0, DC)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, RATE, DC)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, CAL, volq, DC)),
    )


def engine(proc, grid: Grid | None, scheme: str = "TR-BDF2"):
    """The analytic engine when `grid` is None, else the finite-difference
    engine on `grid` = (space nodes, time steps), without damping steps."""
    if grid is None:
        return ql.AnalyticEuropeanEngine(proc)
    nodes, steps = grid
    return ql.FdBlackScholesVanillaEngine(proc, steps, nodes, 0, SCHEMES[scheme]())


def option_args(spec: Spec) -> tuple:
    """Option type, strike and a flag for the exercise, resolved outside the
    timed loops (as every library's inputs are)."""
    return (ql.Option.Call if spec.is_call else ql.Option.Put, spec.strike, spec.american)


def exercise(american: bool):
    return ql.AmericanExercise(TODAY, EXPIRY) if american else ql.EuropeanExercise(EXPIRY)


def instrument(spec: Spec) -> ql.VanillaOption:
    kind, strike, american = option_args(spec)
    return ql.VanillaOption(ql.PlainVanillaPayoff(kind, strike), exercise(american))


def quantlib_valuation(specs: Sequence[Spec], mode: str, grid: Grid | None = None, scheme: str = "TR-BDF2") -> Callable[[], list]:
    """Price and Greeks of every option of the book: all five from the
    analytic engine (`grid` None), price, delta, gamma and theta from the
    finite-difference engine (which offers no vega or rho)."""
    analytic = grid is None
    assert all(s.vol == VOL for s in specs)
    args = [option_args(s) for s in specs]
    Option, Payoff = ql.VanillaOption, ql.PlainVanillaPayoff
    if mode == PRICER:
        eng = engine(process(), grid, scheme)
        opts = [instrument(s) for s in specs]
        for o in opts:
            o.setPricingEngine(eng)

        def run():
            out = []
            for o in opts:
                o.recalculate()
                out.append((o.NPV(), o.delta(), o.gamma(), o.theta(), o.vega(), o.rho()) if analytic
                           else (o.NPV(), o.delta(), o.gamma(), o.theta()))
            return out

    elif mode == MARKET:
        # One engine and one exercise object per expiry and style, shared.
        eng = engine(process(), grid, scheme)
        exercises = {a: exercise(a) for a in (False, True)}

        def run():
            out = []
            for kind, strike, american in args:
                o = Option(Payoff(kind, strike), exercises[american])
                o.setPricingEngine(eng)
                out.append((o.NPV(), o.delta(), o.gamma(), o.theta(), o.vega(), o.rho()) if analytic
                           else (o.NPV(), o.delta(), o.gamma(), o.theta()))
            return out

    else:

        def run():
            out = []
            for kind, strike, american in args:
                o = Option(Payoff(kind, strike), exercise(american))
                o.setPricingEngine(engine(process(), grid, scheme))
                out.append((o.NPV(), o.delta(), o.gamma(), o.theta(), o.vega(), o.rho()) if analytic
                           else (o.NPV(), o.delta(), o.gamma(), o.theta()))
            return out

    return run


def quantlib_price(spec: Spec, grid: Grid | None, scheme: str = "TR-BDF2") -> float:
    """One price at the option's own volatility."""
    o = instrument(spec)
    o.setPricingEngine(engine(process(spec.vol), grid, scheme))
    return o.NPV()


def quantlib_implied_vol(specs: Sequence[Spec], targets: Sequence[float], mode: str) -> Callable[[], list]:
    """`VanillaOption.impliedVolatility`: the analytic engine for a European
    option; for an American one QuantLib builds its own finite-difference
    engine at its default grid (100 nodes, 100 steps, Douglas scheme)
    whatever engine is attached."""
    items = [(option_args(s), p) for s, p in zip(specs, targets)]
    search = (IV_ACCURACY, IV_MAX_EVALUATIONS, IV_MIN, IV_MAX)
    Option, Payoff = ql.VanillaOption, ql.PlainVanillaPayoff
    if mode == PRICER:
        proc = process()
        opts = [(instrument(s), p) for s, p in zip(specs, targets)]

        def run():
            return [o.impliedVolatility(p, proc, *search) for o, p in opts]

    elif mode == MARKET:
        proc = process()
        exercises = {a: exercise(a) for a in (False, True)}

        def run():
            return [Option(Payoff(kind, k), exercises[am]).impliedVolatility(p, proc, *search)
                    for (kind, k, am), p in items]

    else:

        def run():
            return [Option(Payoff(kind, k), exercise(am)).impliedVolatility(p, process(), *search)
                    for (kind, k, am), p in items]

    return run


def _brent_solve(opt, volq: ql.SimpleQuote, target: float) -> float:
    """QuantLib's Brent solver on the option's own engine; starts, like
    `impliedVolatility`, from the middle of the bracket."""

    def f(sigma):
        volq.setValue(sigma)
        return opt.NPV() - target

    return ql.Brent().solve(f, IV_ACCURACY, 0.5 * (IV_MIN + IV_MAX), IV_MIN, IV_MAX)


def _priced_on_own_quote(args: tuple, grid: Grid, scheme: str, ex=None):
    volq = ql.SimpleQuote(VOL)
    kind, strike, american = args
    opt = ql.VanillaOption(ql.PlainVanillaPayoff(kind, strike), ex or exercise(american))
    opt.setPricingEngine(engine(process(volq), grid, scheme))
    return opt, volq


def quantlib_brent_implied_vol(specs: Sequence[Spec], targets: Sequence[float], mode: str, grid: Grid,
                               scheme: str = "TR-BDF2") -> Callable[[], list]:
    """Implied volatility on a given finite-difference grid: QuantLib's
    Brent solver over the option's NPV, each option on its own volatility
    quote (so a trial volatility notifies that option only)."""
    items = [(option_args(s), p) for s, p in zip(specs, targets)]
    if mode == PRICER:
        priced = [(_priced_on_own_quote(a, grid, scheme), p) for a, p in items]

        def run():
            return [_brent_solve(o, q, p) for (o, q), p in priced]

    elif mode == MARKET:
        # Spot and curves shared; the volatility, being solved for, is each option's own.
        spot = ql.QuoteHandle(ql.SimpleQuote(SPOT))
        div = ql.YieldTermStructureHandle(ql.FlatForward(TODAY, 0.0, DC))
        rate = ql.YieldTermStructureHandle(ql.FlatForward(TODAY, RATE, DC))
        exercises = {a: exercise(a) for a in (False, True)}

        def run():
            out = []
            for (kind, k, am), p in items:
                volq = ql.SimpleQuote(VOL)
                vol = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, CAL, ql.QuoteHandle(volq), DC))
                opt = ql.VanillaOption(ql.PlainVanillaPayoff(kind, k), exercises[am])
                opt.setPricingEngine(engine(ql.BlackScholesMertonProcess(spot, div, rate, vol), grid, scheme))
                out.append(_brent_solve(opt, volq, p))
            return out

    else:

        def run():
            return [_brent_solve(*_priced_on_own_quote(a, grid, scheme), p) for a, p in items]

    return run


def quantlib_black_formula_implied_vol(specs: Sequence[Spec], targets: Sequence[float]) -> Callable[[], list]:
    """QuantLib's free function on the Black formula (no instrument, no
    market objects); its accuracy argument is left at the default."""
    fwd = SPOT * math.exp(RATE * T)
    df = math.exp(-RATE * T)
    sqrt_t = math.sqrt(T)
    items = [(ql.Option.Call if s.is_call else ql.Option.Put, s.strike, p) for s, p in zip(specs, targets)]

    def run():
        return [ql.blackFormulaImpliedStdDev(kind, k, fwd, p, df) / sqrt_t for kind, k, p in items]

    return run


# ---------------------------------------------------------------------------
# py_vollib: plain functions of floats, so every mode runs the same code.


def vollib_valuation(specs: Sequence[Spec]) -> Callable[[], list]:
    items = [(s.flag, s.strike, s.vol) for s in specs]
    S, r, t = SPOT, RATE, T
    price, g = vollib_bs.black_scholes, vollib_greeks

    def run():
        return [
            (price(f, S, k, t, r, v), g.delta(f, S, k, t, r, v), g.gamma(f, S, k, t, r, v),
             g.theta(f, S, k, t, r, v), g.vega(f, S, k, t, r, v), g.rho(f, S, k, t, r, v))
            for f, k, v in items
        ]

    return run


def vollib_to_zub_units(row):
    """py_vollib quotes theta per day and vega and rho per percentage point."""
    p, d, g, th, v, r = row
    return (p, d, g, th * 365.0, v * 100.0, r * 100.0)


def vollib_implied_vol(specs: Sequence[Spec], targets: Sequence[float]) -> Callable[[], list]:
    items = [(p, s.strike, s.flag) for s, p in zip(specs, targets)]
    S, r, t = SPOT, RATE, T

    def run():
        return [vollib_iv(p, S, k, t, r, f) for p, k, f in items]

    return run


# ---------------------------------------------------------------------------
# QuantLib's QdFp engine for American options (price only)

QDFP_SCHEMES = {
    "fastScheme": ql.QdFpAmericanEngine.fastScheme,
    "accurateScheme": ql.QdFpAmericanEngine.accurateScheme,
    "highPrecisionScheme": ql.QdFpAmericanEngine.highPrecisionScheme,
}
# The reference: tanh-sinh iterations (m, n, eps) on the FP-A equation.
QDFP_REFERENCE_SETTINGS = ((16, 64, 1e-14), (24, 96, 1e-15))


def _american_instrument(case: AmericanCase, scheme, equation=None) -> ql.VanillaOption:
    def curve(rate):
        return ql.YieldTermStructureHandle(ql.FlatForward(TODAY, rate, DC))

    proc = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(case.spot)), curve(case.carry), curve(case.rate),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, CAL, case.vol, DC)))
    kind = ql.Option.Call if case.is_call else ql.Option.Put
    opt = ql.VanillaOption(ql.PlainVanillaPayoff(kind, case.strike), ql.AmericanExercise(TODAY, TODAY + case.days))
    args = (proc, scheme) if equation is None else (proc, scheme, equation)
    opt.setPricingEngine(ql.QdFpAmericanEngine(*args))
    return opt


def quantlib_qdfp(cases: Sequence[AmericanCase], scheme: str) -> Callable[[], list]:
    """Prices by `QdFpAmericanEngine` with one of its named schemes and its
    default fixed-point equation; each option's instrument and engine made
    once (pricer reused), a fresh valuation forced by `recalculate()`."""
    opts = [_american_instrument(c, QDFP_SCHEMES[scheme]()) for c in cases]

    def run():
        out = []
        for o in opts:
            o.recalculate()
            out.append(o.NPV())
        return out

    return run


def quantlib_qdfp_reference(cases: Sequence[AmericanCase], setting: tuple[int, int, float]) -> list[float]:
    m, n, eps = setting
    scheme = ql.QdFpTanhSinhIterationScheme(m, n, eps)
    return [_american_instrument(c, scheme, ql.QdFpAmericanEngine.FP_A).NPV() for c in cases]


def quantlib_european(case: AmericanCase) -> float:
    """The European price of the same option (closed form)."""
    kind = ql.Option.Call if case.is_call else ql.Option.Put
    t = case.days / 365.0
    fwd = case.spot * math.exp((case.rate - case.carry) * t)
    return ql.blackFormula(kind, case.strike, fwd, case.vol * math.sqrt(t), math.exp(-case.rate * t))
