"""Rate curves, volatility surfaces, dividend schedules and the market frame."""
import datetime as dt
import math

import pytest

import zub
from support import DCC, utc

C = zub.Compounding
T = zub.Tenor
REF = dt.date(2024, 1, 1)


def rate(r, comp=None, dcc=DCC.ACT_365_FIXED):
    return zub.InterestRate(r, comp or C.continuous(), dcc)


def two_node_curve(r1=0.02, r2=0.03, comp1=None, comp2=None):
    # 2024-01-01 + 365 days and + 731 days: node times exactly 1.0 and 2.0 under Act/365.
    return zub.RateCurve.interpolated(REF, [T.days(365), T.days(730)], [rate(r1, comp1), rate(r2, comp2)])


def test_flat_and_continuous_curves():
    flat = zub.RateCurve.flat(rate(0.05, C.simple()))
    assert flat.zero_rate(3.0) == 0.05
    assert flat.discount_factor(2.0) == pytest.approx(1 / 1.1, rel=1e-15)
    cont = zub.RateCurve.continuous(0.03, DCC.ACT_360)
    assert cont.discount_factor(2.0) == math.exp(-0.06)
    assert {cont.zero_rate(t) for t in (-1.0, 0.0, 7.0, float("inf"))} == {0.03}


@pytest.mark.parametrize("t, expected", [(1.5, 0.025), (0.0, 0.01), (3.0, 0.04), (1.0, 0.02)])
def test_interpolated_curve_extends_linearly(t, expected):
    assert two_node_curve().zero_rate(t) == pytest.approx(expected, abs=1e-15)


# Pins a rule of this library: the first node's compounding governs the discount factor.
def test_interpolated_discount_factor_uses_first_node_compounding():
    annual_first = two_node_curve(comp1=C.compounded(zub.Frequency.Annual))
    r = annual_first.zero_rate(1.5)
    assert annual_first.discount_factor(1.5) == pytest.approx(1 / (1 + r) ** 1.5, rel=1e-14)


def test_node_times_follow_each_nodes_convention():
    act360 = zub.RateCurve.interpolated(REF, [T.years(1), T.years(2)], [rate(0.02, dcc=DCC.ACT_360), rate(0.03, dcc=DCC.ACT_360)])
    act365 = zub.RateCurve.interpolated(REF, [T.years(1), T.years(2)], [rate(0.02), rate(0.03)])
    # Longer node times under Act/360 make the curve rise more slowly.
    assert act360.zero_rate(1.5) < act365.zero_rate(1.5)


@pytest.mark.parametrize("tenors, rates, text", [
    ([T.months(1), T.months(1)], [rate(0.01), rate(0.02)], "Interpolation(NotMonotonic)"),
    ([T.years(2), T.years(1)], [rate(0.01), rate(0.02)], "Interpolation(NotMonotonic)"),
    ([T.years(1)], [rate(0.01)], "Interpolation(InsufficientPoints)"),
    ([], [], "Interpolation(InsufficientPoints)"),
    ([T.years(1), T.years(2)], [rate(0.01)] * 3, "LengthMismatch"),
    ([T.years(1), T.years(2)], [rate(0.01)], "LengthMismatch"),
])
def test_curve_errors(tenors, rates, text):
    with pytest.raises(ValueError) as info:
        zub.RateCurve.interpolated(REF, tenors, rates)
    assert str(info.value) == "Curve Error: " + text


def test_vol_surface():
    s = zub.VolSurface.flat(0.2, DCC.ACT_365_FIXED)
    assert s.volatility(100.0, 1.0) == s.volatility(-5.0, -1.0) == 0.2
    for v in (0.0, -0.1, float("nan")):
        zub.VolSurface.flat(v, DCC.ACT_360)
    with pytest.raises(TypeError, match="^argument 'strike': "):
        s.volatility("x", "y")


# --- DividendSchedule --------------------------------------------------------

def test_dividend_schedule_accepts_sequences():
    for raw in ([], (), [(utc(2025, 3, 14), 1)], ((utc(2025, 3, 14), 0.5),), [(utc(2025, 1, 1), -1.0)]):
        assert isinstance(zub.DividendSchedule(raw), zub.DividendSchedule)


@pytest.mark.parametrize("raw, exc, message", [
    ("abc", TypeError, "argument 'raw_divs': Can't extract `str` to `Vec`"),
    ({1: 2}, TypeError, "argument 'raw_divs': 'dict' object cannot be cast as 'Sequence'"),
    ([[utc(2025, 1, 1), 1.0]], TypeError, "argument 'raw_divs': 'list' object cannot be cast as 'tuple'"),
    ([(utc(2025, 1, 1), "x")], TypeError, "argument 'raw_divs': must be real number, not str"),
    ([(utc(2025, 1, 1), 1.0, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([(dt.date(2025, 1, 1), 1.0)], TypeError,
     "Ex-dates must be timezone-aware datetime objects. Plain dates are rejected."),
    ([(dt.datetime(2025, 1, 1), 1.0)], ValueError,
     "Datetime must be timezone-aware (e.g., use New York or UTC time)."),
    # Phase 1 reads every pair before any date is looked at.
    ([(dt.date(2025, 1, 1), 1.0), (utc(2025, 1, 1), 1.0), (1, 2, 3)], ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
])
def test_dividend_schedule_errors(raw, exc, message):
    with pytest.raises(exc) as info:
        zub.DividendSchedule(raw)
    assert str(info.value) == message


class RaisingZone(dt.tzinfo):
    def utcoffset(self, d):
        raise ArithmeticError("zone failed")


def test_dividend_schedule_passes_zone_errors_through():
    with pytest.raises(ArithmeticError, match="zone failed"):
        zub.DividendSchedule([(dt.datetime(2025, 1, 1, tzinfo=RaisingZone()), 1.0)])


# --- OptionMarketFrame -------------------------------------------------------

@pytest.fixture
def frame():
    return zub.OptionMarketFrame(100.0, zub.RateCurve.continuous(0.05, DCC.ACT_365_FIXED),
                                 zub.VolSurface.flat(0.2, DCC.ACT_365_FIXED))


def test_frame_defaults(frame):
    assert isinstance(frame.dividends, zub.DividendSchedule)
    borrow = frame.borrow_curve
    assert isinstance(borrow, zub.RateCurve)
    assert borrow.zero_rate(0.3) == borrow.zero_rate(30.0) == 0.0
    same = zub.OptionMarketFrame(100.0, frame.rate_curve, frame.vol_surface, None, None)
    assert same.borrow_curve.zero_rate(1.0) == 0.0


def test_frame_properties_copy_values(frame):
    assert frame.rate_curve is not frame.rate_curve
    assert frame.rate_curve.zero_rate(1.0) == 0.05
    frame.spot = 101.5
    assert frame.spot == 101.5
    frame.borrow_curve = None
    assert frame.borrow_curve is None
    frame.borrow_curve = zub.RateCurve.continuous(0.01, DCC.ACT_360)
    assert frame.borrow_curve.zero_rate(1.0) == 0.01
    frame.dividends = zub.DividendSchedule([(utc(2025, 1, 1), 1.0)])
    frame.dividends = None
    assert isinstance(frame.dividends, zub.DividendSchedule)
    frame.vol_surface = zub.VolSurface.flat(0.3, DCC.ACT_360)
    assert frame.vol_surface.volatility(1.0, 1.0) == 0.3


@pytest.mark.parametrize("prop, value", [
    ("spot", "x"), ("rate_curve", 0.05), ("vol_surface", None), ("borrow_curve", 1.0), ("dividends", []),
])
def test_frame_setter_type_errors_leave_frame_unchanged(frame, prop, value):
    before = (frame.spot, frame.rate_curve.zero_rate(1.0), frame.vol_surface.volatility(1.0, 1.0))
    with pytest.raises(TypeError, match=f"^argument '{prop}': "):
        setattr(frame, prop, value)
    assert (frame.spot, frame.rate_curve.zero_rate(1.0), frame.vol_surface.volatility(1.0, 1.0)) == before


@pytest.mark.parametrize("prop", ["spot", "rate_curve", "vol_surface", "dividends", "borrow_curve"])
def test_frame_properties_cannot_be_deleted(frame, prop):
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(frame, prop)


# Pins the frame constructor's conversion order, parameter by parameter.
def test_frame_constructor_checks_in_order(frame):
    rc, vs = frame.rate_curve, frame.vol_surface
    with pytest.raises(TypeError, match="^argument 'rate_curve': 'VolSurface' object cannot be cast as 'RateCurve'$"):
        zub.OptionMarketFrame(100.0, vs, rc)
    with pytest.raises(TypeError, match="^argument 'dividends': "):
        zub.OptionMarketFrame(100.0, rc, vs, [])
    with pytest.raises(TypeError, match="^argument 'spot': "):
        zub.OptionMarketFrame("100", vs, rc)
