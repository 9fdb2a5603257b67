"""zub's side of every workload.

Three ways of using the library, timed per option:
- "pricer reused": the builder of each option, with its market frame and
  valuation time attached, is made once; the loop calls `compute()` (or
  `price(p).calculate()`) and reads the results;
- "market reused": the market frame (and any configuration) is made once;
  the loop makes the option and runs the chain
  `option.valuation().market(frame).at(t).compute()`, as examples/quickstart.py does;
- "all per option": the loop also makes the rate curve, the volatility
  surface, the market frame and the configuration.
"""
from __future__ import annotations

from typing import Callable, Sequence

import zub

from inputs import EXPIRY, RATE, SPOT, VALUATION, VOL, AmericanCase, Spec

ACT365 = zub.DayCountConvention.ACT_365_FIXED
CALL, PUT = zub.OptionType.Call, zub.OptionType.Put
AMERICAN, EUROPEAN = zub.ExerciseStyle.American, zub.ExerciseStyle.European

PRICER, MARKET, ALL = "pricer reused", "market reused", "all per option"
MODES = (PRICER, MARKET, ALL)

Grid = tuple[int, int]  # (grid nodes, time steps)


def version() -> str:
    """Package version and, when run from a git checkout, the commit."""
    import subprocess
    from importlib.metadata import version as v
    from pathlib import Path

    here = Path(__file__).resolve().parent

    def git(*args: str) -> str:
        return subprocess.run(["git", *args], capture_output=True, text=True, timeout=10, cwd=here).stdout.strip()

    try:
        commit = git("describe", "--always")
        # The files this benchmark writes do not make the measured code dirty.
        if commit and git("status", "--porcelain", "--", ":/", ":(top,exclude)bench/RESULTS.md",
                          ":(top,exclude)bench/accuracy.png",
                          ":(top,exclude)docs/american_frontier.png"):
            commit += "-dirty"
    except (OSError, subprocess.SubprocessError):
        commit = ""
    return v("zub") + (f" (commit {commit})" if commit else "")


def make_frame(vol: float = VOL) -> zub.OptionMarketFrame:
    return zub.OptionMarketFrame(SPOT, zub.RateCurve.continuous(RATE, ACT365), zub.VolSurface.flat(vol, ACT365))


def make_config(grid: Grid | None) -> zub.Config | None:
    """None keeps the default table (European analytic, American by finite
    differences on 101 nodes and 10 steps)."""
    if grid is None:
        return None
    nodes, steps = grid
    return zub.Config().add_policy(zub.InstrumentPolicy().fdm(zub.FdmConfig(time_steps=steps, grid_nodes=nodes)))


def option_args(spec: Spec) -> tuple:
    """The constructor arguments of the option, resolved outside the timed
    loops (as every library's inputs are)."""
    return (spec.strike, EXPIRY, CALL if spec.is_call else PUT, AMERICAN if spec.american else EUROPEAN)


def _check_flat(specs: Sequence[Spec]) -> None:
    # The valuation books are priced on one frame at the flat volatility.
    assert all(s.vol == VOL for s in specs)


def _compute_all(builders) -> list:
    out = []
    for b in builders:
        r = b.compute()
        g = r.greeks
        out.append((r.price, g.delta, g.gamma, g.theta, g.vega, g.rho))
    return out


def valuation(specs: Sequence[Spec], mode: str, grid: Grid | None = None) -> Callable[[], list]:
    """Price and the five Greeks (vega and rho None by finite differences)
    of every option of the book; `grid` selects a finite-difference
    configuration, None the default table.  With the pricer reused each
    option may have its own volatility (a frame per volatility, made once);
    the other modes take the flat one."""
    if mode != PRICER:
        _check_flat(specs)
    args = [option_args(s) for s in specs]
    Option, at = zub.VanillaOption, VALUATION

    def builders(frame_of, config_of):
        bs = [Option(*a).valuation().market(frame_of(s)).at(at) for a, s in zip(args, specs)]
        if grid is not None:
            for b in bs:
                b.config(config_of())
        return bs

    if mode == PRICER:
        frames, config = {v: make_frame(v) for v in {s.vol for s in specs}}, make_config(grid)
        ready = builders(lambda s: frames[s.vol], lambda: config)
        return lambda: _compute_all(ready)
    if mode == MARKET:
        frame, config = make_frame(), make_config(grid)
        return lambda: _compute_all(builders(lambda s: frame, lambda: config))
    return lambda: _compute_all(builders(lambda s: make_frame(), lambda: make_config(grid)))


def implied_vol(specs: Sequence[Spec], targets: Sequence[float], mode: str) -> Callable[[], list]:
    """Implied volatility of every option by the default table (European
    analytic, American on the default grid)."""
    items = [(option_args(s), p) for s, p in zip(specs, targets)]
    Option, at = zub.VanillaOption, VALUATION
    if mode == PRICER:
        frame = make_frame()
        builders = [(Option(*a).implied_vol().market(frame).at(at), p) for a, p in items]

        def run():
            return [b.price(p).calculate() for b, p in builders]

    elif mode == MARKET:
        frame = make_frame()

        def run():
            return [Option(*a).implied_vol().market(frame).at(at).price(p).calculate() for a, p in items]

    else:

        def run():
            return [Option(*a).implied_vol().market(make_frame()).at(at).price(p).calculate() for a, p in items]

    return run


def price_once(spec: Spec, grid: Grid | None) -> float:
    b = zub.VanillaOption(*option_args(spec)).valuation().market(make_frame(spec.vol)).at(VALUATION)
    config = make_config(grid)
    return (b if config is None else b.config(config)).compute().price


def boundary_breakdown(number: int = 20000, repeat: int = 7) -> list[tuple[str, float]]:
    """Seconds per call of each step of a closed-form valuation from Python
    (best of `repeat` timeit runs), to show where the per-option time goes."""
    import datetime as dt
    import timeit

    frame = make_frame()
    args = (100.0, EXPIRY, CALL, EUROPEAN)
    option = zub.VanillaOption(*args)
    builder = option.valuation().market(frame).at(VALUATION)
    result = builder.compute()
    other_zone = VALUATION.astimezone(dt.timezone(dt.timedelta(hours=-5)))
    names = dict(zub=zub, args=args, option=option, builder=builder, frame=frame, result=result, t=VALUATION,
                 t_other=other_zone, RateCurve=zub.RateCurve, VolSurface=zub.VolSurface, ACT365=ACT365)
    steps = [
        ("`VanillaOption(strike, expiry, type, style)`, expiry in UTC", "zub.VanillaOption(*args)"),
        ("`option.valuation()`", "option.valuation()"),
        ("`builder.market(frame)`", "builder.market(frame)"),
        ("`builder.at(t)`, t in UTC", "builder.at(t)"),
        ("`builder.at(t)`, t in another zone", "builder.at(t_other)"),
        ("`builder.compute()`, closed form", "builder.compute()"),
        ("read price and the five Greeks", "g = result.greeks; (result.price, g.delta, g.gamma, g.theta, g.vega, g.rho)"),
        ("rate curve, surface and frame", "zub.OptionMarketFrame(100.0, RateCurve.continuous(0.05, ACT365), "
                                          "VolSurface.flat(0.2, ACT365))"),
    ]
    out = []
    for label, stmt in steps:
        best = min(timeit.repeat(stmt, globals=names, number=number, repeat=repeat))
        out.append((label, best / number))
    return out


# ---------------------------------------------------------------------------
# American options each on its own market (the accuracy workload)


def american_frame(case: AmericanCase) -> zub.OptionMarketFrame:
    """The option's market; the dividend yield is the borrow curve's rate."""
    return zub.OptionMarketFrame(case.spot, zub.RateCurve.continuous(case.rate, ACT365),
                                 zub.VolSurface.flat(case.vol, ACT365),
                                 borrow_curve=zub.RateCurve.continuous(case.carry, ACT365))


def boundary_config(tolerance: float) -> zub.Config:
    return zub.Config().add_policy(zub.InstrumentPolicy().exercise_boundary(tolerance))


def bumped_vega_rho_config() -> zub.Config:
    """The default table with vega and rho by bumping on finite differences."""
    return zub.Config().fdm_vega_rho()


def american_valuation(cases: Sequence[AmericanCase], config: zub.Config | None) -> Callable[[], list]:
    """Price and the five Greeks of every option (pricer reused: each
    builder, with its frame, configuration and valuation time, made once);
    `config` None is the default table (finite differences, 101x10)."""
    builders = []
    for c in cases:
        b = zub.VanillaOption(c.strike, c.expiry, CALL if c.is_call else PUT, AMERICAN).valuation()
        b.market(american_frame(c))
        if config is not None:
            b.config(config)
        builders.append(b.at(VALUATION))
    return lambda: _compute_all(builders)


def american_implied_vols(cases: Sequence[AmericanCase], quotes: Sequence[float], config: zub.Config
                          ) -> list[tuple[float, float] | None]:
    """Per option, the implied volatility of its quote with the default
    search and bracket, and the method's vega at the option's own
    volatility; None where the option is in the exercise region (no
    volatility to find) or its volatility is outside the default bracket."""
    out: list[tuple[float, float] | None] = []
    for c, quote in zip(cases, quotes):
        option = zub.VanillaOption(c.strike, c.expiry, CALL if c.is_call else PUT, AMERICAN)
        frame = american_frame(c)
        g = option.valuation().market(frame).config(config).at(VALUATION).compute().greeks
        if g.gamma == 0.0 or not 0.1 <= c.vol <= 5.0:
            out.append(None)
            continue
        vol = option.implied_vol().market(frame).config(config).price(quote).at(VALUATION).calculate()
        out.append((vol, g.vega))
    return out


def american_batch(cases: Sequence[AmericanCase], config: zub.Config, threads: int, copies: int = 1
                   ) -> Callable[[], list]:
    """`zub_batch.value` over `copies` copies of the set: one call per
    (rate, dividend yield), spot, volatility, strike, expiry and type as
    arrays.  Returns the prices of the first copy, in the set's order."""
    import numpy as np
    import zub_batch

    groups: dict[tuple[float, float], list[int]] = {}
    for i, c in enumerate(cases):
        groups.setdefault((c.rate, c.carry), []).append(i)
    calls = []
    for (rate, carry), idx in groups.items():
        picked = [cases[i] for i in idx] * copies
        frame = american_frame(picked[0])
        arrays = dict(
            strike=np.array([c.strike for c in picked]),
            expiry=np.array([np.datetime64(c.expiry.replace(tzinfo=None), "s") for c in picked]),
            option_type=np.array([0 if c.is_call else 1 for c in picked], dtype=np.int8),
            spot=np.array([c.spot for c in picked]),
            vol=np.array([c.vol for c in picked]),
        )
        calls.append((idx, frame, arrays))
    value = zub_batch.value

    def run():
        prices = [0.0] * len(cases)
        for idx, frame, a in calls:
            out = value(frame, a["strike"], a["expiry"], a["option_type"], 0, valuation_time=VALUATION,
                        config=config, spot=a["spot"], vol=a["vol"], threads=threads)["price"]
            for j, i in enumerate(idx):
                prices[i] = float(out[j])
        return prices

    return run
