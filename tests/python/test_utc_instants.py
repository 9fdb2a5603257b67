"""A datetime in datetime.timezone.utc converts to exactly the instant that
any other zero-offset zone gives, float rounding of the timestamp included."""
import datetime as dt
import itertools

from hypothesis import given, settings
from hypothesis import strategies as st

import zub
from support import UTC
ZERO = dt.timezone(dt.timedelta(0), "Z")  # equal to UTC, but another object
CALL, EURO = zub.OptionType.Call, zub.ExerciseStyle.European

# years_to_expiry counts the whole seconds between the expiry (converted
# truncating) and the valuation date (converted flooring).  With the two a
# second, or a microsecond short of one, apart, an instant off by a fraction
# of a second, or a timestamp off in its last bit, moves the count; mixing
# the zones pins each conversion of a UTC datetime to the other zone's.
naive = st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(9998, 12, 31))
gaps = st.sampled_from([dt.timedelta(seconds=s * 1, microseconds=u)
                        for s, u in ((1, 0), (0, 999_999), (-1, 0), (-1, 1), (0, 0), (0, 1))])


def years(expiry, valuation):
    return zub.VanillaOption(100.0, expiry, CALL, EURO).years_to_expiry(valuation)


def test_zones_are_distinct_objects_of_equal_offset():
    assert ZERO is not UTC and ZERO == UTC


@settings(max_examples=4000, deadline=None)
@given(naive, gaps)
def test_utc_and_other_zero_offset_zone_agree(d, gap):
    e = d + gap
    results = {years(e.replace(tzinfo=a), d.replace(tzinfo=b)) for a, b in itertools.product((UTC, ZERO), repeat=2)}
    assert len(results) == 1
