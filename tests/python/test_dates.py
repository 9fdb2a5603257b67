"""Dates and datetimes crossing into the module, and the option's time to expiry."""
import datetime as dt

import pytest

import zub
from support import DCC, UTC, utc

CALL, EURO = zub.OptionType.Call, zub.ExerciseStyle.European
NEW_YORK_WINTER = dt.timezone(dt.timedelta(hours=-5))
SECOND = 1 / 31_536_000


def option(expiry, strike=100.0):
    return zub.VanillaOption(strike, expiry, CALL, EURO)


@pytest.mark.parametrize("valuation, expected", [
    (utc(2024, 12, 19, 16), 1.0),
    (utc(2024, 12, 18, 16), 366 / 365),
    (utc(2025, 12, 20, 16), -1 / 365),
    (utc(2025, 12, 19, 15, 59, 59, 500000), 0.0),  # half a second: lost after subtraction
    (dt.datetime(2025, 12, 19, 11, tzinfo=NEW_YORK_WINTER), 0.0),
])
def test_years_to_expiry(valuation, expected):
    assert option(utc(2025, 12, 19, 16)).years_to_expiry(valuation) == pytest.approx(expected, abs=0, rel=1e-15)


def test_expiry_in_new_york_equals_utc_instant():
    o = option(dt.datetime(2025, 12, 19, 16, tzinfo=NEW_YORK_WINTER))
    assert o.years_to_expiry(utc(2025, 12, 19, 21)) == 0.0
    assert o.years_to_expiry(valuation_date=utc(2025, 12, 19, 21)) == 0.0


# Pins the rounding of each aware conversion: an expiry truncates, a valuation floors.
def test_expiry_truncates_and_valuation_floors_before_1970():
    # Expiry 00:00:00.6 is the same either way; a valuation at 23:59:59.5 is
    # floored (kept) so 1.1 s separate them, which is 1 whole second.
    expiry = utc(1970, 1, 1, 0, 0, 0, 600000)
    assert option(expiry).years_to_expiry(utc(1969, 12, 31, 23, 59, 59, 500000)) == SECOND
    # As an expiry the same instant is truncated toward 1970 (to 00:00:00).
    late = option(utc(1969, 12, 31, 23, 59, 58, 500000))
    assert late.years_to_expiry(utc(1969, 12, 31, 23, 59, 58)) == SECOND


def test_clock_is_read_when_no_valuation_date():
    o = option(dt.datetime.now(UTC) + dt.timedelta(days=365))
    assert o.years_to_expiry() == pytest.approx(1.0, abs=1e-6)
    assert o.years_to_expiry(None) == pytest.approx(1.0, abs=1e-6)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: option(dt.datetime(2026, 1, 1)), ValueError,
     "Expiry must have a timezone specified (e.g. New York or UTC)"),
    (lambda: option(dt.date(2026, 1, 1)), TypeError,
     "argument 'expiry_time': 'date' object cannot be cast as 'datetime'"),
    (lambda: option(utc(2026, 1, 1)).years_to_expiry(dt.datetime(2025, 1, 1)), ValueError,
     "valuation_date must be timezone-aware (e.g., UTC or New York time)"),
    (lambda: option(utc(2026, 1, 1)).years_to_expiry("2025"), TypeError,
     "argument 'valuation_date': 'str' object cannot be cast as 'datetime'"),
])
def test_datetime_messages(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


class OddZone(dt.tzinfo):
    """A zone whose methods misbehave in configurable ways."""

    def __init__(self, offset=dt.timedelta(0), fail=None):
        self.offset, self.fail = offset, fail

    def utcoffset(self, d):
        if self.fail == "utcoffset":
            raise LookupError("utcoffset failed")
        return self.offset

    def dst(self, d):
        return dt.timedelta(0)


class Stamp(dt.datetime):
    def timestamp(self):
        raise KeyError("timestamp failed")


class BadStamp(dt.datetime):
    def timestamp(self):
        return "soon"


class Infinite(dt.datetime):
    def timestamp(self):
        return float("inf")


def test_errors_of_called_methods_pass_through():
    with pytest.raises(LookupError, match="utcoffset failed"):
        option(dt.datetime(2026, 1, 1, tzinfo=OddZone(fail="utcoffset")))
    with pytest.raises(KeyError):
        option(Stamp(2026, 1, 1, tzinfo=UTC))
    with pytest.raises(TypeError):
        option(BadStamp(2026, 1, 1, tzinfo=UTC))


def test_unrepresentable_instants_are_refused():
    with pytest.raises(ValueError, match="^Invalid timestamp$"):
        option(Infinite(2026, 1, 1, tzinfo=UTC))
    with pytest.raises(ValueError, match="^Invalid valuation_date timestamp$"):
        option(utc(2026, 1, 1)).years_to_expiry(Infinite(2026, 1, 1, tzinfo=UTC))


def test_extreme_python_datetimes_are_accepted():
    lo = option(dt.datetime(1, 1, 1, tzinfo=UTC))
    hi = option(dt.datetime(9999, 12, 31, 23, 59, 59, tzinfo=UTC))
    assert hi.years_to_expiry(utc(1, 1, 1)) > 9000 > lo.years_to_expiry(utc(1, 1, 1)) == 0.0


# --- PeriodCalculator and Tenor ----------------------------------------------

PC = zub.PeriodCalculator


@pytest.mark.parametrize("start, end, conv, expected", [
    (dt.date(2024, 1, 31), dt.date(2024, 3, 31), DCC.THIRTY_360.US_ISDA, 60),
    (dt.date(2024, 1, 31), dt.date(2024, 3, 31), DCC.ACT_360, 60),
    (dt.date(2024, 3, 1), dt.date(2024, 2, 1), DCC.ACT_365_FIXED, -29),
    (dt.date(2024, 2, 29), dt.date(2024, 3, 31), DCC.THIRTY_360.US_ISDA, 32),
    (dt.date(2024, 2, 29), dt.date(2024, 3, 31), DCC.THIRTY_360.EUROBOND_ISMA, 31),
    (dt.date(2024, 2, 29), dt.date(2024, 3, 31), DCC.THIRTY_360.GERMAN_ISDA, 30),
    (dt.datetime(2024, 3, 10, 23, tzinfo=NEW_YORK_WINTER), dt.date(2024, 3, 1), DCC.ACT_ACT.ISDA, -9),
])
def test_days_between(start, end, conv, expected):
    got = PC.days_between(start, end, conv)
    assert got == expected and type(got) is int


@pytest.mark.parametrize("start, end, conv, expected", [
    (utc(2024, 1, 1), utc(2025, 1, 1), DCC.ACT_365_FIXED, 366 / 365),
    (utc(2024, 1, 1), utc(2025, 1, 1), DCC.ACT_360, 366 / 360),
    (utc(2023, 7, 1), utc(2024, 7, 1), DCC.ACT_ACT.ISDA, 184 / 365 + 182 / 366),
    (utc(2024, 3, 1, 12), utc(2024, 3, 2, 12), DCC.ACT_ACT.ISDA, 129_600 / 31_622_400),
    (utc(2024, 1, 1, 23), utc(2024, 1, 2, 1), DCC.THIRTY_360.GERMAN_ISDA, 1 / 360),
    (utc(2025, 1, 1), utc(2024, 1, 1), DCC.ACT_365_FIXED, -366 / 365),
    (utc(2024, 5, 5), utc(2024, 5, 5), DCC.ACT_ACT.ISDA, 0.0),
])
def test_year_fraction(start, end, conv, expected):
    assert PC.year_fraction(start, end, conv) == expected


def test_year_fraction_is_strict_about_utc():
    ny = dt.datetime(2024, 1, 1, tzinfo=NEW_YORK_WINTER)
    with pytest.raises(ValueError) as info:
        PC.year_fraction(ny, utc(2024, 2, 1), DCC.ACT_360)
    assert str(info.value) == "expected datetime.timezone.utc"
    with pytest.raises(TypeError) as info:
        PC.year_fraction(utc(2024, 1, 1), dt.datetime(2024, 2, 1), DCC.ACT_360)
    assert str(info.value) == "argument 'end': expected a datetime with non-None tzinfo"
    with pytest.raises(TypeError, match="argument 'start': 'date' object cannot be cast as 'datetime'"):
        PC.year_fraction(dt.date(2024, 1, 1), utc(2024, 2, 1), DCC.ACT_360)
    zoneinfo = pytest.importorskip("zoneinfo")
    try:
        named = zoneinfo.ZoneInfo("UTC")
    except zoneinfo.ZoneInfoNotFoundError:
        pytest.skip("no time-zone database")
    with pytest.raises(ValueError, match="expected datetime.timezone.utc"):
        PC.year_fraction(dt.datetime(2024, 1, 1, tzinfo=named), utc(2024, 2, 1), DCC.ACT_360)


@pytest.mark.parametrize("tenor, start, expected", [
    (zub.Tenor.months(1), dt.date(2024, 1, 31), dt.date(2024, 2, 29)),
    (zub.Tenor.months(1), dt.date(2023, 1, 31), dt.date(2023, 2, 28)),
    (zub.Tenor.years(1), dt.date(2024, 2, 29), dt.date(2025, 2, 28)),
    (zub.Tenor.months(12), dt.date(2024, 2, 29), dt.date(2025, 2, 28)),
    (zub.Tenor.months(0), dt.date(2024, 5, 17), dt.date(2024, 5, 17)),
    (zub.Tenor.days(-1), dt.date(2024, 3, 1), dt.date(2024, 2, 29)),
    (zub.Tenor.weeks(2), dt.date(2024, 12, 25), dt.date(2025, 1, 8)),
    (zub.Tenor.weeks(2), dt.datetime(2024, 1, 1, 23, tzinfo=NEW_YORK_WINTER), dt.date(2024, 1, 15)),
])
def test_tenor_advance(tenor, start, expected):
    got = tenor.advance(start)
    assert got == expected and type(got) is dt.date


@pytest.mark.parametrize("tenor, message", [
    (zub.Tenor.months(-1), "`NaiveDate + Months` out of range"),
    (zub.Tenor.years(-1), "`NaiveDate + Months` out of range"),
    (zub.Tenor.years(2**31 - 1), "`NaiveDate + Months` out of range"),
    (zub.Tenor.days(2**31 - 1), "`NaiveDate + TimeDelta` overflowed"),
    (zub.Tenor.weeks(-2**31), "`NaiveDate + TimeDelta` overflowed"),
])
def test_tenor_failures_are_internal(tenor, message, PanicException):
    with pytest.raises(PanicException) as info:
        tenor.advance(dt.date(2024, 1, 1))
    assert str(info.value) == message


def test_tenor_results_beyond_python_dates_raise_python_error():
    # The core supports the date; datetime.date(...) itself refuses it.
    with pytest.raises(ValueError):
        zub.Tenor.years(1).advance(dt.date(9999, 6, 1))
