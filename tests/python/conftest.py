import datetime as dt

import pytest

import zub

UTC = dt.timezone.utc


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


def panic_type():
    """The internal-failure exception type, caught from a call known to raise it."""
    try:
        zub.Tenor.months(-1).advance(dt.date(2024, 1, 1))
    except BaseException as exc:  # noqa: BLE001 - we want the exact type
        return type(exc)
    raise AssertionError("negative month tenor did not fail")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


@pytest.fixture
def act365():
    return zub.DayCountConvention.ACT_365_FIXED
