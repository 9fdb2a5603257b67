"""A datetime handed over again converts as it did the first time, under
each conversion rule; one whose conversion could change is converted anew."""
import datetime as dt

import pytest

import zub
from support import utc
from hostile import EvilDatetime

CALL, EURO = zub.OptionType.Call, zub.ExerciseStyle.European
YEAR = 31_536_000  # seconds in an Actual/365 Fixed year
SECOND = 1 / YEAR


def option(expiry):
    return zub.VanillaOption(100.0, expiry, CALL, EURO)


@pytest.mark.parametrize("zone", [dt.timezone.utc, dt.timezone(dt.timedelta(hours=-5))])
def test_fresh_datetimes_at_reused_addresses_convert_anew(zone):
    base = dt.datetime(2025, 1, 2, tzinfo=zone)
    for i in range(200):
        # Each datetime is freed right after its conversion, so the next one
        # is likely made at the same address.
        o = option(base + dt.timedelta(seconds=i))
        assert o.years_to_expiry(base - dt.timedelta(seconds=i)) == 2 * i / YEAR


def test_each_rule_keeps_its_own_result():
    # 23:59:58.5 before 1970 is floored as a valuation date and truncated to
    # 23:59:59 as an expiry; the second use finds it remembered by the first.
    d = utc(1969, 12, 31, 23, 59, 58, 500000)
    assert option(utc(1970, 1, 1, 0, 0, 0, 600000)).years_to_expiry(d) == 2 * SECOND
    assert option(d).years_to_expiry(utc(1969, 12, 31, 23, 59, 58)) == SECOND


class ShiftingZone(dt.tzinfo):
    hours = 0

    def utcoffset(self, d):
        return dt.timedelta(hours=self.hours)


def in_shifting_zone():
    zone = ShiftingZone()
    return dt.datetime(2026, 1, 2, tzinfo=zone), lambda: setattr(zone, "hours", -1)


def scripted_subclass():
    d = EvilDatetime.combine(dt.date(2026, 1, 2), dt.time(tzinfo=dt.timezone.utc))
    d.plan = {}
    return d, lambda: d.plan.update(timestamp=d.timestamp() + 3600)


@pytest.mark.parametrize("make", [in_shifting_zone, scripted_subclass])
def test_datetimes_that_may_convert_differently_are_converted_each_time(make):
    d, shift_one_hour_later = make()
    valuation = utc(2025, 1, 2)
    before = option(d).years_to_expiry(valuation)
    shift_one_hour_later()
    after = option(d).years_to_expiry(valuation)
    assert round((after - before) * YEAR) == 3600
