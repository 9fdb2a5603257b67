"""Day-count conventions, frequencies, compounding and interest rates."""
import math

import pytest

import zub
from support import DCC
F = zub.Frequency
C = zub.Compounding


@pytest.mark.parametrize("conv, text", [
    (DCC.ACT_360, "<DayCountConvention: Actual360>"),
    (DCC.ACT_365_FIXED, "<DayCountConvention: Actual365Fixed>"),
    (DCC.ACT_ACT.ISDA, "<DayCountConvention: ActualActual(ISDA)>"),
    (DCC.THIRTY_360.US_ISDA, "<DayCountConvention: Thirty360(UnitedStatesIsda)>"),
    (DCC.THIRTY_360.EUROBOND_ISMA, "<DayCountConvention: Thirty360(EurobondIsma)>"),
    (DCC.THIRTY_360.GERMAN_ISDA, "<DayCountConvention: Thirty360(GermanIsda)>"),
])
def test_day_count_reprs(conv, text):
    assert repr(conv) == str(conv) == text


@pytest.mark.parametrize("member, position, periods, name", [
    (F.Annual, 0, 1, "Annual"), (F.SemiAnnual, 1, 2, "SemiAnnual"),
    (F.Quarterly, 2, 4, "Quarterly"), (F.Monthly, 3, 12, "Monthly"),
])
def test_frequency_members(member, position, periods, name):
    assert int(member) == position
    assert member.value == periods
    assert repr(member) == str(member) == name


@pytest.mark.parametrize("comp, text", [
    (C.simple(), "Compounding.Simple"),
    (C.continuous(), "Compounding.Continuous"),
    (C.compounded(F.Quarterly), "Compounding.Compounded(Quarterly)"),
    (C.simple_then_compounded(F.Monthly), "Compounding.SimpleThenCompounded(Monthly)"),
])
def test_compounding_reprs(comp, text):
    assert repr(comp) == text


def test_values_compare_by_identity():
    assert C.simple() != C.simple()
    assert F.Annual == F.Annual
    with pytest.raises(TypeError, match="argument 'freq': 'int' object cannot be cast as 'Frequency'"):
        C.compounded(12)


def rate(r, comp, dcc=DCC.ACT_365_FIXED):
    return zub.InterestRate(r, comp, dcc)


@pytest.mark.parametrize("r, t, expected", [
    (rate(0.05, C.compounded(F.Annual)), 1.0, 1 / 1.05),
    (rate(0.05, C.compounded(F.Monthly)), 1.0, 1 / (1 + 0.05 / 12) ** 12),
    (rate(0.05, C.simple()), 2.0, 1 / 1.1),
    (rate(0.05, C.continuous()), 2.0, math.exp(-0.1)),
    # Simple interest up to one compounding period, compounded beyond it.
    (rate(0.06, C.simple_then_compounded(F.Quarterly)), 0.2, 1 / (1 + 0.06 * 0.2)),
    (rate(0.06, C.simple_then_compounded(F.Quarterly)), 0.25, 1 / (1 + 0.06 * 0.25)),
    (rate(0.06, C.simple_then_compounded(F.Quarterly)), 2.0, 1 / (1 + 0.06 / 4) ** 8),
])
def test_discount_factors(r, t, expected):
    assert r.discount_factor(t) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("comp", [C.simple(), C.continuous(), C.compounded(F.SemiAnnual),
                                  C.simple_then_compounded(F.Annual)])
def test_zero_horizon_and_negative_horizon(comp):
    r = rate(0.04, comp)
    assert r.discount_factor(0.0) == 1.0
    assert r.discount_factor(-1.0) > 1.0


def test_day_count_does_not_change_discount_factor():
    a = rate(0.05, C.compounded(F.Quarterly), DCC.ACT_360)
    b = rate(0.05, C.compounded(F.Quarterly), DCC.THIRTY_360.GERMAN_ISDA)
    assert a.discount_factor(1.7) == b.discount_factor(1.7)


@pytest.mark.parametrize("args, name", [
    (("x", C.simple(), DCC.ACT_360), "rate"),
    ((0.05, F.Annual, DCC.ACT_360), "compounding"),
    ((0.05, C.simple(), DCC.ACT_ACT), "dcc"),
])
def test_interest_rate_argument_errors(args, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        zub.InterestRate(*args)
