import pytest
from hypothesis import HealthCheck, settings

import zub
from support import panic_type


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


@pytest.fixture
def act365():
    return zub.DayCountConvention.ACT_365_FIXED


# Generated-argument tests: a short run by default, `--hypothesis-profile=long`
# for a soak.  Every example runs in a forked child, so deadlines are off.
settings.register_profile(
    "quick", max_examples=12, deadline=None, derandomize=True, database=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
settings.register_profile(
    "long", max_examples=3000, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
settings.load_profile("quick")
