"""InstrumentPolicy.exercise_boundary: which options it prices and how, its
tolerance, and the implied volatility through it."""
import datetime as dt
import math

import pytest

import zub
from support import DCC, T0, config, frame, policy

BOUNDARY = config(policy("exercise_boundary"))
TIGHT = config(zub.InstrumentPolicy().exercise_boundary(1e-10))
ANALYTIC = config(policy("analytic"))


def american(kind, strike=100.0, days=365):
    return zub.VanillaOption(strike, T0 + dt.timedelta(days=days), kind, zub.ExerciseStyle.American)


def numbers(opt, frm, cfg):
    r = opt.valuation().market(frm).config(cfg).at(T0).compute()
    g = r.greeks
    return r.price, g.delta, g.gamma, g.theta, g.vega, g.rho


@pytest.mark.parametrize("kind", [zub.OptionType.Put, zub.OptionType.Call])
def test_routes_by_style_and_cash_dividends_inside_the_life(kind):
    plain = numbers(american(kind), frame(q=0.04), BOUNDARY)
    assert None not in plain and plain[0] > 0.0
    # A dividend after expiry, or of no amount, changes nothing.
    for dividends in ([(T0 + dt.timedelta(days=400), 3.0)], [(T0 + dt.timedelta(days=100), 0.0)]):
        assert numbers(american(kind), frame(q=0.04, dividends=dividends), BOUNDARY) == plain
    # A cash dividend inside the life: finite differences on the default grid.
    paid = frame(q=0.04, dividends=[(T0 + dt.timedelta(days=100), 3.0)])
    assert numbers(american(kind), paid, BOUNDARY) == numbers(american(kind), paid, None)
    # An exercise band between two boundaries (q < r < 0 for a put): the grid.
    band = frame(r=-0.01, q=-0.03) if kind == zub.OptionType.Put else frame(r=-0.03, q=-0.01)
    assert numbers(american(kind), band, BOUNDARY) == numbers(american(kind), band, None)
    # European options: the closed form.
    euro = zub.VanillaOption(100.0, T0 + dt.timedelta(days=365), kind, zub.ExerciseStyle.European)
    assert numbers(euro, paid, BOUNDARY) == numbers(euro, paid, ANALYTIC)


@pytest.mark.parametrize("tolerance", [0.0, -1e-6, math.nan, math.inf])
def test_a_tolerance_that_is_not_finite_and_positive_is_refused_when_used(tolerance):
    cfg = config(zub.InstrumentPolicy().exercise_boundary(tolerance))  # policies validate nothing
    put = american(zub.OptionType.Put)
    with pytest.raises(ValueError, match="Exercise-boundary tolerance must be finite and positive"):
        put.valuation().market(frame()).config(cfg).at(T0).compute()
    with pytest.raises(ValueError, match="Exercise-boundary tolerance must be finite and positive"):
        put.implied_vol().market(frame()).config(cfg).price(6.0).at(T0).calculate()


def test_implied_vol_round_trip_over_a_smile():
    frm = frame(r=0.03, q=0.01)
    for strike in range(60, 141, 10):
        for kind in (zub.OptionType.Put, zub.OptionType.Call):
            vol = 0.2 + 0.3 * ((strike - 100) / 100) ** 2
            smile = frame(r=0.03, q=0.01, vol=vol)
            quote = numbers(american(kind, strike), smile, TIGHT)[0]
            got = american(kind, strike).implied_vol().market(frm).config(TIGHT).price(quote).at(T0).calculate()
            assert got == pytest.approx(vol, abs=1e-8), (strike, kind)
