"""zub's value objects travel through pickle, copy.copy and copy.deepcopy
(and so to other processes) once zub_batch is imported, and come back
exact: enumeration members and conventions as the same objects, values
with the same state and the same prices to the bit."""
import base64
import concurrent.futures
import copy
import datetime as dt
import gc
import itertools
import multiprocessing
import pickle
import subprocess
import sys
import zlib

import pytest

import zub
import zub_batch
from hostile import EvilDatetime
from support import DCC, T0, UTC, config, frame, policy

C, F, T, TC = zub.Compounding, zub.Frequency, zub.Tenor, zub.TransformConfig
NEW_YORK = dt.timezone(dt.timedelta(hours=-5))
WAYS = {
    "pickle 0": lambda x: pickle.loads(pickle.dumps(x, protocol=0)),
    "pickle": lambda x: pickle.loads(pickle.dumps(x, protocol=pickle.HIGHEST_PROTOCOL)),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}

MEMBERS = [zub.OptionType.Call, zub.OptionType.Put, zub.ExerciseStyle.American, zub.ExerciseStyle.European,
           F.Annual, F.SemiAnnual, F.Quarterly, F.Monthly, DCC.ACT_360, DCC.ACT_365_FIXED, DCC.ACT_ACT.ISDA,
           DCC.THIRTY_360.US_ISDA, DCC.THIRTY_360.EUROBOND_ISMA, DCC.THIRTY_360.GERMAN_ISDA]


def expiry_at(timestamp):
    """A datetime whose timestamp() may carry more than microseconds."""
    d = EvilDatetime.combine(dt.date(2026, 1, 2), dt.time(tzinfo=UTC))
    d.plan = {"timestamp": timestamp}
    return d


def frame_without_borrow_curve():
    f = frame(q=0.01)
    f.borrow_curve = None  # removed, unlike a frame built without one
    return f


RATES = [zub.InterestRate(0.031, C.compounded(F.Quarterly), DCC.THIRTY_360.EUROBOND_ISMA),
         zub.InterestRate(0.042, C.simple_then_compounded(F.SemiAnnual), DCC.ACT_ACT.ISDA)]
CURVE = zub.RateCurve.interpolated(dt.date(2025, 1, 2), [T.months(6), T.years(2)], RATES)
# Ex-dates out of order, to the microsecond, in another zone.
DIVIDENDS = [(dt.datetime(2025, 9, 1, 9, 30, 0, 123457, tzinfo=NEW_YORK), 1.25), (T0 + dt.timedelta(days=90), 0.5)]
FD = zub.FdmConfig(time_steps=7, grid_nodes=50, grid_std_devs=5.5, transform=TC.sinh(0.45))
FD_LOG = zub.FdmConfig(time_steps=12, transform=TC.log())
OPTIONS = [zub.VanillaOption(97.5, expiry_at(1767312000.123456789), zub.OptionType.Put, zub.ExerciseStyle.American),
           zub.VanillaOption(104.0, dt.datetime(2025, 11, 3, 16, tzinfo=NEW_YORK), zub.OptionType.Call,
                             zub.ExerciseStyle.European),
           zub.VanillaOption(100.0, T0 + dt.timedelta(days=200), zub.OptionType.Call, zub.ExerciseStyle.American)]
FRAMES = [frame(dividends=DIVIDENDS, q=0.02, curve=zub.RateCurve.flat(RATES[0]), vol_dcc=DCC.THIRTY_360.EUROBOND_ISMA),
          frame(vol=0.3), frame_without_borrow_curve()]
CONFIGS = [None, config(), config(policy("put", "american", "fdm", fdm_config=FD), policy("european", "fdm"),
                                  policy("call", "american", "analytic")),
           config(policy("fdm", fdm_config=FD_LOG), policy("put", "european")),
           config(policy("exercise_boundary"), zub.InstrumentPolicy().put().exercise_boundary(1e-10)),
           config(policy("fdm", fdm_config=FD)).fdm_vega_rho(0.002),
           config().implied_vol_solver("bisection", 1e-6, 40, 0.05, 3.0).fdm_vega_rho()]
VALUES = [C.simple(), C.continuous(), *RATES, T.days(3), T.weeks(-2), T.months(18), T.years(30),
          zub.RateCurve.continuous(0.05, DCC.ACT_360), CURVE, zub.VolSurface.flat(0.2, DCC.ACT_ACT.ISDA),
          zub.DividendSchedule(DIVIDENDS), zub.DividendSchedule([]), zub.FdmConfig(), FD, FD_LOG,
          zub.InstrumentPolicy(), policy("put", "american", "call", "fdm", fdm_config=FD), policy("european", "fdm"),
          policy("analytic"), *OPTIONS, *FRAMES, *CONFIGS[1:]]


def put_expiring_at(timestamp):
    return zub.VanillaOption(100.0, expiry_at(timestamp), zub.OptionType.Put, zub.ExerciseStyle.European)


def rate(r, compounding=C.simple(), convention=DCC.ACT_360):
    return zub.InterestRate(r, compounding, convention)


def schedule_at(microsecond):
    return zub.DividendSchedule([(dt.datetime(2025, 9, 1, 0, 0, 0, microsecond, tzinfo=UTC), 1.0)])


# Pairs of objects that differ in one piece of state only.
DIFFERING = {
    "frequency": (rate(0.03, C.compounded(F.Quarterly)), rate(0.03, C.compounded(F.SemiAnnual))),
    "compounding": (C.simple_then_compounded(F.Monthly), C.compounded(F.Monthly)),
    "convention": (rate(0.03, convention=DCC.THIRTY_360.GERMAN_ISDA), rate(0.03, convention=DCC.THIRTY_360.US_ISDA)),
    "last bit of a rate": (rate(0.03), rate(0.030000000000000002)),
    "tenor unit": (T.weeks(2), T.days(2)),
    "curve node": (zub.RateCurve.interpolated(dt.date(2025, 1, 2), [T.months(6), T.years(1)], [rate(0.03)] * 2),
                   zub.RateCurve.interpolated(dt.date(2025, 1, 2), [T.months(5), T.years(1)], [rate(0.03)] * 2)),
    "ex-date microsecond": (schedule_at(1), schedule_at(0)),
    "expiry nanoseconds": (put_expiring_at(1767312000.1234567), put_expiring_at(1767312000.123457)),
    "alpha": (TC.sinh(0.45), TC.sinh(0.3)),
    "grid": (zub.FdmConfig(time_steps=11, grid_nodes=101), zub.FdmConfig(time_steps=101, grid_nodes=11)),
    "borrow curve removed": (frame_without_borrow_curve(), frame(q=0.01)),
    "policy order": (policy("put", "call"), policy("call", "put")),
    "fdm settings given": (policy("fdm"), policy("fdm", fdm_config=zub.FdmConfig())),
    "config slot": (config(policy("put", "european", "analytic")), config(policy("call", "european", "analytic"))),
    "boundary tolerance": (zub.InstrumentPolicy().exercise_boundary(1e-8), policy("exercise_boundary")),
    "vega and rho bump": (zub.Config().fdm_vega_rho(0.002), zub.Config().fdm_vega_rho()),
    "implied-vol solver": (zub.Config().implied_vol_solver("exact"), zub.Config().implied_vol_solver("exact", low=0.0)),
    "implied-vol solver set": (zub.Config().implied_vol_solver("brent"), zub.Config()),
}


def results(options, frames, configs):
    """Every option valued on every frame under every configuration: its
    result, or the failure's text."""
    out = []
    for o, f, c in itertools.product(options, frames, configs):
        try:
            out.append(o.valuation().market(f).config(c).at(T0).compute())
        except BaseException as exc:  # noqa: BLE001 - the failure is part of the outcome
            out.append(repr(exc))
    return out


def numbers(result):
    if isinstance(result, str):
        return result
    g = result.greeks
    return (result.price, g.delta, g.gamma, g.theta, g.vega, g.rho)


def results_elsewhere(*books):
    """`results` run in a new interpreter: the objects and the results travel
    by pickle."""
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=ctx) as pool:
        return pool.submit(results, *books).result()


@pytest.mark.parametrize("way", WAYS.values(), ids=WAYS.keys())
@pytest.mark.parametrize("member", MEMBERS, ids=repr)
def test_members_come_back_as_the_same_object(member, way):
    assert way(member) is member


@pytest.mark.parametrize("way", WAYS.values(), ids=WAYS.keys())
@pytest.mark.parametrize("value", VALUES, ids=lambda v: type(v).__name__)
def test_a_copy_holds_the_same_state(value, way):
    twin = way(value)
    assert type(twin) is type(value) and twin is not value
    # A reduction reads every field of the object's state.
    assert pickle.dumps(twin) == pickle.dumps(value)


@pytest.mark.parametrize("pair", DIFFERING.values(), ids=DIFFERING.keys())
def test_objects_that_differ_reduce_differently(pair):
    a, b = pair
    assert pickle.dumps(a) != pickle.dumps(b)


@pytest.mark.parametrize("way", [*WAYS.values(), "another process"], ids=[*WAYS.keys(), "another process"])
def test_copies_and_their_results_price_to_the_same_bits(way):
    expected = [numbers(r) for r in results(OPTIONS, FRAMES, CONFIGS)]
    assert sum(isinstance(r, tuple) for r in expected) >= 30
    if way == "another process":
        got = results_elsewhere(OPTIONS, FRAMES, CONFIGS)
    else:
        got = [way(r) for r in results(*([way(x) for x in book] for book in (OPTIONS, FRAMES, CONFIGS)))]
    assert [numbers(r) for r in got] == expected


@pytest.mark.parametrize("call, error", [
    (lambda: zub_batch._rebuild("builtins.eval", "1"), TypeError),
    (lambda: zub_batch._rebuild("RateCurve.zero_rate", 1.0), TypeError),
    (lambda: zub_batch._member("RateCurve"), TypeError),
    (lambda: zub_batch._option(100.0, 10**9, 0, 0, zub.OptionType.Put, zub.ExerciseStyle.European), ValueError),
    (lambda: zub_batch._option(100.0, 0, 86400, 0, zub.OptionType.Put, zub.ExerciseStyle.European), ValueError),
    (lambda: zub_batch._option(100.0, 0, 0, 0, zub.ExerciseStyle.European, zub.OptionType.Put), TypeError),
    (lambda: zub_batch._policy([zub.OptionType.Put], [], ("unset", None)), TypeError),
    (lambda: zub_batch._policy([], [], ("bisection", None)), TypeError),
    (lambda: zub_batch._config([("unset", None)] * 3), TypeError),
    (lambda: zub_batch._policy([], [], ("exercise_boundary", None, "tight")), TypeError),
    (lambda: pickle.dumps(OPTIONS[0].valuation()), TypeError),
    (lambda: copy.copy(OPTIONS[0].implied_vol()), TypeError),
])
def test_what_cannot_be_rebuilt_is_refused(call, error):
    with pytest.raises(error):
        call()


def test_slots_changed_while_a_config_is_rebuilt_are_not_read():
    slots = [("fdm", zub.FdmConfig(time_steps=7)), ("analytic", None), ("unset", None), ("unset", None)]
    expected, threshold = pickle.dumps(zub_batch._config(list(slots))), gc.get_threshold()
    gc.callbacks.append(clear := lambda phase, info: slots.clear())
    gc.set_threshold(1)
    try:
        assert pickle.dumps(zub_batch._config(slots)) == expected
    finally:
        gc.callbacks.remove(clear)
        gc.set_threshold(*threshold)


@pytest.mark.parametrize("stand_in", ["float", "zub.Tenor", "type('OptionResult', (), {})"])
def test_a_class_rebound_in_zub_is_refused_at_import(stand_in):
    child = subprocess.run([sys.executable, "-c", f"import zub; zub.OptionResult = {stand_in}; import zub_batch"],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 1 and "ImportError: zub.OptionResult is not zub's own class" in child.stderr


# Made by the reducers before states took optional trailing fields (protocol
# 2, zlib-compressed): the objects of `pickled_before()`.
PICKLED_BEFORE = (
    "eNqFVml0E1UUbisUCFhAEBFkUVGDaAARFFzS2paxxga4LRjAGCbJayeSzOSbvBSCG6iZuIHiLi4giIoLgoKiuKAogoILLoiAC6i4oeLxHP54jt5J"
    "a0g4rZ2epvPeu9+937v3uzedW+JHkTM0JxkMBFUZ0hyBmIgFhelAsa+sqKhoQlxGDL0+FReuiUmJkjSOInTQin19+LB6tjBDkYSok6mocFUnTSMu"
    "VB0d0ygldGKjXmw03hRICj2Uck1KqqYUZjSFzml0ITjYYihbVKmpSiOpy0pDbxK6Hc9Vf3EN1U8NjBozwqVUU22FN1BTV1WBrml0IxydT9cUwWQk"
    "GnagzOnrxs5qdA4hEpJUKdBdcS+fVzpkz/D+WpnvJD6tNGJxDhWO6I2uRCQWj4qA1IQeCLXsizB6MKveBbzrRCxSoetJNYqeaRxD6GWhN+FYNhzU"
    "Ov2KyvoA/7qypPukcRyhr8TxhH4a07RTZ9OrTJpNwhWxCceNKG+E0T8U5r8yEhMO+8WBE0LMLSxCCQdT4RcHBvg6Mr7TxhXFJRjoK+V3hkb0kRhk"
    "YTDhxDROIpzsxxAn39nOSL3QDdMVM3SpJXCKp9TCqYTT+LBr7jAlVDMBp6fEwlDC6cKPYYx2apy/xa83bV4z1sfmfY7IX17OztAcFs4kuDglw9qt"
    "aPVkmnDRBG8V17S2AsPTGEEYKXEWYVRL0FzRtB4aJ/tswmiNEziGcI6QOJcwlvmUFaSxgbOAcS34FQ/Yz6JWSTMdPWkkEzgvjfMJFzDlfm1Xkfni"
    "wjTchHKJCsJFFioJVey5O4OmGNG6pNmghlriVyvuLS2h+2YwnqCwYQ/be6QpEhZ6uC6kiXAyKnCxHzXOwmJnX3CJNiBbNS5wl+KygUXFG5dWwKNx"
    "cS8l1B5G2B9zDJ0R3sLNsIhK1YEJniL7J4OJhElpEKHOQj1hsuL+qyj7WJii2dG6NkfrUNJ9oL2Ny+xgPsJUjRHTCNMV9zf/IS4XFvyEK2wZd7Gb"
    "JBzjhDVEGhHwdPKMUsr7NFvyte0eqjdVPdFgmC1G3HK6hhmKe/dW+9lmQSUEJUKEsF25gKebRyjlPXI+erXiI2o0QqTRQGiU0AgRVkm+yysJM/MH"
    "BLdWJJRyIOpHrNW5VRETZiTEc0tPwyDEVT/g1OwZ171wAFaq0SjMNBIEKXxH8WFDOIZkM/PC2xcwaiLMkphNSFmYk8FVhKs1ZnONH9dqHVRfT0aI"
    "FkaBoC1U1UzhOq9ywa6rv96547X1GczNYB7h+vxrGVleDtzgVMp9M7Jha/dz0S/ZunV6J2Yfl7iRkLYL1TN3jVrVnCnkeFONCVhK+dQc3XFHdruW"
    "bekM4SaNW/Nmwi0WbiXcxid5Ih+ZwXzCAt5kPd/u1FoV7x22nhYS7rT1dBfh7jwF3tOqAu+1EfcR7rcRDxAW5SnwQVbgQ4SH80jfPedbZWXvq3iH"
    "W/oRwmIu3eD/a+nRgfE1vuoqLEnjUcJSiWWExywsJzwu8QThSdtxq/nJDRY71ArCUxqjnyY8Y+FZwsrC7CzN4DnCqubsrLbwPOEFr8QawlrvNXgx"
    "m6mgYZrGrEDInmF4yZuwsC6YX+ZQVvQOvOzHK842pLLe683g1TYOX8vX0ettGL1he9jQxuGb+R7e4tbbSHhbY0LvOHNNsKndJniXsFliC+E9C+/n"
    "cFvbxW0jfCDxIeEjCx/ncNvbxX1C+FTiM8LnFnbkcF+0i9tJ+FJiF2G3hT1Ccc8I1m4/uOJvC18RvrZv/c3hW3/rtbA3t9rHq++yX85JPcFfU9/z"
    "+oe89X5e/8geZbNcmwdokFMdsqWJn5QLV206tGTtgfkeZ05oSnnnZpYSP2fwC+HXwv99EsmodOAAz4Ahir50QZlU3HsPrV4XLx2ruBfuW7hq4egS"
    "ZcOQZbunDV39j5e19xvh93wPjaYQMxMO/OFsB3iQ8Kdw/QuUf6Mm"
)


def pickled_before():
    result = OPTIONS[2].valuation().market(FRAMES[1]).at(T0).compute()
    return [zub.OptionType.Put, zub.ExerciseStyle.European, F.Quarterly, DCC.THIRTY_360.GERMAN_ISDA, RATES[1], CURVE,
            zub.RateCurve.continuous(0.05, DCC.ACT_360), zub.VolSurface.flat(0.2, DCC.ACT_ACT.ISDA),
            zub.DividendSchedule(DIVIDENDS), FD, FD_LOG, TC.sinh(0.45),
            policy("put", "american", "call", "fdm", fdm_config=FD),
            zub.InstrumentPolicy().put().exercise_boundary(1e-10), OPTIONS[0], FRAMES[0], FRAMES[2], *CONFIGS[4:7],
            result, result.greeks]


def test_pickles_made_before_still_load():
    loaded = pickle.loads(zlib.decompress(base64.b64decode(PICKLED_BEFORE)))
    expected = pickled_before()
    assert [type(x) for x in loaded] == [type(x) for x in expected]
    assert [pickle.dumps(x) for x in loaded] == [pickle.dumps(x) for x in expected]
