"""Repeated calls of every kind neither grow the process's memory nor keep
references to their arguments."""
import ctypes
import datetime as dt
import gc
import os
import sys

import pytest

import zub
from hostile import FloatLike, Hostile, Seq
from support import DCC, T0, config, frame, option, policy

SMALL_FD = config(policy("fdm", fdm_config=zub.FdmConfig(time_steps=5, grid_nodes=41)))
HUGE_GRID = config(policy("fdm", fdm_config=zub.FdmConfig(grid_nodes=2**40)))
NEW_YORK = dt.timezone(dt.timedelta(hours=-5))
EXPIRY = dt.datetime(2026, 1, 2, 10, 30, tzinfo=NEW_YORK)
DIVIDENDS = [(T0 + dt.timedelta(days=90), 1.5), (T0 + dt.timedelta(days=270), 1.5)]
TENORS = [zub.Tenor.months(6), zub.Tenor.years(1)]
RATES = [zub.InterestRate(0.03, zub.Compounding.continuous(), DCC.ACT_365_FIXED),
         zub.InterestRate(0.04, zub.Compounding.continuous(), DCC.ACT_365_FIXED)]
PUT, AMERICAN = zub.OptionType.Put, zub.ExerciseStyle.American
OPT, AM = option("put"), option("put", "american")
FRM, DIV_FRM = frame(), frame(dividends=DIVIDENDS)
BUILDER = OPT.valuation()
POLICY = zub.InstrumentPolicy().put().american().fdm(zub.FdmConfig(grid_nodes=51))
STRIKE, SPOT, TARGET = float("97.5"), float("101.25"), float("6.5")


def set_spot(frm, spot):
    frm.spot = spot


def write_while_held(frm, curve, held):
    held.append(frm.rate_curve)  # a getter result outlives the write
    frm.rate_curve = curve
    held.clear()


# (name, callable, arguments, exception the call raises or None, repetitions)
SCENARIOS = [
    ("construct option", zub.VanillaOption, (STRIKE, EXPIRY, PUT, AMERICAN), None, 10000),
    ("construct frame", zub.OptionMarketFrame,
     (SPOT, FRM.rate_curve, FRM.vol_surface, DIV_FRM.dividends, FRM.rate_curve), None, 10000),
    ("construct curve", zub.RateCurve.interpolated, (dt.date(2025, 1, 2), TENORS, RATES), None, 10000),
    ("construct schedule", zub.DividendSchedule, (DIVIDENDS,), None, 10000),
    ("construct fdm config", zub.FdmConfig, (10, 101, 4.0, zub.TransformConfig.sinh(0.3)), None, 10000),
    ("add policy", lambda c, p: c.add_policy(p), (zub.Config(), POLICY), None, 10000),
    ("read properties", lambda f, o: (f.spot, f.rate_curve, f.vol_surface, f.dividends, f.borrow_curve, o.strike,
                                      o.years_to_expiry(T0)), (DIV_FRM, OPT), None, 10000),
    ("write properties", set_spot, (frame(), SPOT), None, 10000),
    ("copy on write", write_while_held, (frame(), FRM.rate_curve, []), None, 10000),
    ("replace builder inputs", lambda b, f, c: b.market(f).config(c).at(T0).config(None).at(None),
     (BUILDER, FRM, SMALL_FD), None, 10000),
    ("analytic valuation", lambda o, f: repr(o.valuation().market(f).at(T0).compute().greeks.vega), (OPT, FRM), None,
     2000),
    ("fd valuation", lambda o, f: o.valuation().market(f).at(T0).compute().greeks.delta, (AM, DIV_FRM), None, 3000),
    ("analytic implied vol", lambda o, f, t: o.implied_vol().market(f).at(T0).price(t).calculate(),
     (OPT, FRM, TARGET), None, 10000),
    ("fd implied vol", lambda o, f, c, t: o.implied_vol().market(f).config(c).at(T0).price(t).calculate(),
     (AM, DIV_FRM, SMALL_FD, TARGET), None, 3000),
    ("wrong argument type", zub.VanillaOption, (STRIKE, EXPIRY, 0, AMERICAN), TypeError, 10000),
    ("hostile float", zub.VanillaOption, (FloatLike(float="raise"), EXPIRY, PUT, AMERICAN), Hostile, 10000),
    ("conversion error with cause", zub.VanillaOption, (FloatLike(float="x"), EXPIRY, PUT, AMERICAN), TypeError,
     3000),
    ("naive datetime", zub.VanillaOption, (STRIKE, dt.datetime(2026, 1, 2), PUT, AMERICAN), ValueError, 10000),
    ("hostile sequence", zub.DividendSchedule, (Seq(DIVIDENDS, fail_at=1),), Hostile, 10000),
    ("binding error", lambda f: f(1, 2), (zub.Tenor.days,), TypeError, 10000),
    ("internal failure", lambda t, d: t.advance(d), (zub.Tenor.months(-1), dt.date(2025, 1, 2)), BaseException,
     3000),
    ("curve error", zub.RateCurve.interpolated, (dt.date(2025, 1, 2), TENORS[::-1], RATES), ValueError, 10000),
    ("root not bracketed", lambda o, f: o.implied_vol().market(f).at(T0).price(-1.0).calculate(), (OPT, FRM),
     ValueError, 10000),
    ("absurd grid", lambda o, f, c: o.valuation().market(f).config(c).at(T0).compute(), (AM, FRM, HUGE_GRID),
     MemoryError, 10000),
]
IDS = [s[0] for s in SCENARIOS]


def call(fn, args, raises):
    if raises is None:
        fn(*args)
        return
    try:
        fn(*args)
    except raises:
        return
    raise AssertionError(f"expected {raises.__name__}")


def under_asan():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out and not got back (glibc)."""
    info = ctypes.CDLL(None).mallinfo2
    info.restype = MallInfo2
    m = info()
    return m.uordblks + m.hblkhd


def footprint():
    gc.collect()
    return sys.getallocatedblocks(), malloc_in_use()


@pytest.mark.skipif(under_asan(), reason="ASan keeps freed memory in quarantine; LeakSanitizer covers this run")
@pytest.mark.parametrize("name, fn, args, raises, reps", SCENARIOS, ids=IDS)
def test_memory_does_not_grow(name, fn, args, raises, reps):
    for _ in range(reps // 4):
        call(fn, args, raises)
    blocks, heap = footprint()
    for _ in range(reps):
        call(fn, args, raises)
    blocks_after, heap_after = footprint()
    # A leak of one object or one small allocation per call would grow these
    # by `reps` blocks or by at least 32 * reps bytes.
    assert blocks_after - blocks < reps // 100, "Python objects kept"
    assert heap_after - heap < 4 * reps, "C heap grew"


@pytest.mark.parametrize("name, fn, args, raises, reps", SCENARIOS, ids=IDS)
def test_argument_references_are_released(name, fn, args, raises, reps):
    objects = list(args) + [item for a in args if isinstance(a, list) for item in a]
    objects += [part for item in objects if isinstance(item, tuple) for part in item]
    call(fn, args, raises)  # first call: caches, and builders taking their references
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(min(reps, 100)):
        call(fn, args, raises)
    assert [sys.getrefcount(o) for o in objects] == before


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(under_asan(), reason="ASan keeps freed memory in quarantine")
def test_resident_memory_is_flat_over_a_mixed_workload():
    def round_of_everything():
        for _, fn, args, raises, reps in SCENARIOS:
            for _ in range(max(reps // 50, 1)):
                call(fn, args, raises)

    for _ in range(3):
        round_of_everything()
    gc.collect()
    start = rss_bytes()
    for _ in range(20):
        round_of_everything()
    gc.collect()
    assert rss_bytes() - start < 2 * 1024 * 1024
