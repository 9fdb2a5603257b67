"""Argument binding and conversion rules shared by every class."""
import datetime as dt

import pytest

import zub
from support import utc

CALL, PUT = zub.OptionType.Call, zub.OptionType.Put
EURO = zub.ExerciseStyle.European
EXPIRY = utc(2026, 1, 1)


class Boom(Exception):
    pass


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class IndexOnly:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("call, message", [
    (lambda: zub.VanillaOption(), "VanillaOption.__new__() missing 4 required positional arguments: "
                                  "'strike', 'expiry_time', 'option_type', and 'exercise_style'"),
    (lambda: zub.VanillaOption(1.0, EXPIRY, CALL), "VanillaOption.__new__() missing 1 required positional "
                                                   "argument: 'exercise_style'"),
    (lambda: zub.InterestRate(0.05), "InterestRate.__new__() missing 2 required positional arguments: "
                                     "'compounding' and 'dcc'"),
    (lambda: zub.Tenor.days(1, 2), "Tenor.days() takes 1 positional arguments but 2 were given"),
    (lambda: zub.Compounding.simple(1), "Compounding.simple() takes 0 positional arguments but 1 was given"),
    (lambda: zub.OptionMarketFrame(1, 2, 3, 4, 5, 6),
     "OptionMarketFrame.__new__() takes from 3 to 5 positional arguments but 6 were given"),
    (lambda: zub.Tenor.days(m=1), "Tenor.days() got an unexpected keyword argument 'm'"),
    (lambda: zub.Tenor.days(1, n=1), "Tenor.days() got multiple values for argument 'n'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_like_positionals():
    a = zub.VanillaOption(exercise_style=EURO, option_type=PUT, expiry_time=EXPIRY, strike=90)
    assert a.strike == 90.0
    assert isinstance(a.strike, float)


@pytest.mark.parametrize("strike, expected", [(3, 3.0), (IndexOnly(7), 7.0), (2.5, 2.5)])
def test_float_conversion_accepts_numbers(strike, expected):
    assert zub.VanillaOption(strike, EXPIRY, CALL, EURO).strike == expected


def test_float_conversion_wraps_type_errors_and_keeps_cause():
    cause = ValueError("root")
    err = TypeError("inner")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        zub.VanillaOption(FloatRaises(err), EXPIRY, CALL, EURO)
    assert str(info.value) == "argument 'strike': inner"
    assert info.value.__cause__ is cause
    with pytest.raises(TypeError, match=r"^argument 'strike': must be real number, not str$"):
        zub.VanillaOption("100", EXPIRY, CALL, EURO)


def test_other_errors_pass_through_unchanged():
    with pytest.raises(Boom):
        zub.VanillaOption(FloatRaises(Boom("x")), EXPIRY, CALL, EURO)


@pytest.mark.parametrize("n, exc, message", [
    (2**31, OverflowError, "out of range integral type conversion attempted"),
    (-2**31 - 1, OverflowError, "out of range integral type conversion attempted"),
    (2**70, OverflowError, None),
    (1.5, TypeError, "argument 'n': "),
    ("3", TypeError, "argument 'n': "),
])
def test_i32_conversion(n, exc, message):
    with pytest.raises(exc) as info:
        zub.Tenor.days(n)
    if message is not None:
        assert str(info.value).startswith(message)


def test_i32_limits_and_index_objects_accepted():
    for n in (2**31 - 1, -2**31, IndexOnly(5), True):
        zub.Tenor.days(n)


def test_cast_error_names_argument_and_class():
    with pytest.raises(TypeError) as info:
        zub.VanillaOption(100.0, EXPIRY, 0, EURO)
    assert str(info.value) == "argument 'option_type': 'int' object cannot be cast as 'OptionType'"
    with pytest.raises(TypeError, match="argument 'dcc': 'type' object cannot be cast as 'DayCountConvention'"):
        zub.InterestRate(0.05, zub.Compounding.simple(), zub.DayCountConvention.THIRTY_360)


# Pins the option constructor's conversion order: the expiry's offset is read last.
def test_first_failing_argument_is_reported():
    # Both the option type and the naive expiry are wrong: the type check comes first.
    with pytest.raises(TypeError, match="option_type"):
        zub.VanillaOption(100.0, dt.datetime(2026, 1, 1), "call", EURO)


class BadLen(list):
    def __len__(self):
        raise RuntimeError("no length")


class HugeLen(list):
    def __len__(self):
        return 2**60


@pytest.mark.parametrize("tenors, message", [
    ("1M", "argument 'tenors': Can't extract `str` to `Vec`"),
    ({zub.Tenor.months(1)}, "argument 'tenors': 'set' object cannot be cast as 'Sequence'"),
    ((t for t in ()), "argument 'tenors': 'generator' object cannot be cast as 'Sequence'"),
    (5, "argument 'tenors': 'int' object cannot be cast as 'Sequence'"),
    ([zub.Tenor.months(1), 1.0], "argument 'tenors': 'float' object cannot be cast as 'Tenor'"),
])
def test_sequence_rule_refusals(tenors, message, act365):
    rate = zub.InterestRate(0.01, zub.Compounding.continuous(), act365)
    with pytest.raises(TypeError) as info:
        zub.RateCurve.interpolated(dt.date(2024, 1, 1), tenors, [rate, rate])
    assert str(info.value) == message


@pytest.mark.parametrize("wrap", [list, tuple, BadLen, HugeLen])
def test_sequence_rule_accepts_sequences(wrap, act365):
    rate = zub.InterestRate(0.01, zub.Compounding.continuous(), act365)
    tenors = wrap([zub.Tenor.years(1), zub.Tenor.years(2)])
    curve = zub.RateCurve.interpolated(dt.date(2024, 1, 1), tenors, (rate, rate))
    assert curve.zero_rate(1.5) == pytest.approx(0.01)
