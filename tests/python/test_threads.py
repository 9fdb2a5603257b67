"""Pricing from several threads, and from a signal handler's point of view,
while the shared market frame and configuration are being rewritten.

Every property write replaces one field, so each state the objects pass
through is one choice per field; a result is consistent when it equals,
bit for bit, the result priced alone from one such state."""
import datetime as dt
import itertools
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

import zub
from support import DCC, T0, config, option, policy

SPOTS = (100.0, 104.0)
VOLS = (0.2, 0.3)
RATES = (0.05, 0.02)
DIVIDENDS = (None, [(T0 + dt.timedelta(days=100), 2.0)])
# Long enough for the engine to poll for signals a few times per solve.
FD = zub.FdmConfig(time_steps=200, grid_nodes=101)
METHODS = (policy("analytic"), policy("fdm", fdm_config=FD))
OPTIONS = (option("put", "american"), option("call", "european", strike=95.0))
TARGET = 16.0

FIELD_VALUES = {
    "spot": SPOTS,
    "vol_surface": [zub.VolSurface.flat(v, DCC.ACT_365_FIXED) for v in VOLS],
    "rate_curve": [zub.RateCurve.continuous(r, DCC.ACT_365_FIXED) for r in RATES],
    "dividends": [None if d is None else zub.DividendSchedule(d) for d in DIVIDENDS],
}


def shared_objects():
    frame = zub.OptionMarketFrame(SPOTS[0], FIELD_VALUES["rate_curve"][0], FIELD_VALUES["vol_surface"][0])
    return frame, config(METHODS[0])


def fingerprint(result):
    g = result.greeks
    return result.price, g.delta, g.gamma, g.theta, g.vega, g.rho


@pytest.fixture(scope="module")
def consistent():
    """Per option, the valuations and implied volatilities of every state."""
    values = {i: set() for i in range(len(OPTIONS))}
    vols = {i: set() for i in range(len(OPTIONS))}
    for spot, vol, rate, divs, method in itertools.product(
            SPOTS, FIELD_VALUES["vol_surface"], FIELD_VALUES["rate_curve"], FIELD_VALUES["dividends"], METHODS):
        frame = zub.OptionMarketFrame(spot, rate, vol, divs)
        cfg = config(method)
        for i, opt in enumerate(OPTIONS):
            values[i].add(fingerprint(opt.valuation().market(frame).config(cfg).at(T0).compute()))
            vols[i].add(opt.implied_vol().market(frame).config(cfg).at(T0).price(TARGET).calculate())
    return values, vols


def random_write(rng, frame, cfg, methods=METHODS):
    field = rng.choice([*FIELD_VALUES, "config"])
    if field == "config":
        cfg.add_policy(rng.choice(methods))
    else:
        setattr(frame, field, rng.choice(FIELD_VALUES[field]))


def price_and_check(rng, builders, frame, cfg, consistent, errors):
    values, vols = consistent
    i = rng.randrange(len(OPTIONS))
    if rng.random() < 0.5:
        got = fingerprint(builders[i].compute())
        ok = got in values[i]
    else:
        got = OPTIONS[i].implied_vol().market(frame).config(cfg).at(T0).price(TARGET).calculate()
        ok = got in vols[i]
    if not ok:
        errors.append(f"option {i}: {got} matches no consistent state")


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def test_threads_price_while_another_writes(consistent, fast_switching):
    frame, cfg = shared_objects()
    shared_builders = [opt.valuation().market(frame).config(cfg).at(T0) for opt in OPTIONS]
    errors, done = [], threading.Event()

    def guarded(body):
        def run():
            try:
                body()
            except BaseException as exc:  # noqa: BLE001 - any failure fails the test
                errors.append(repr(exc))
        return run

    def reader(seed):
        rng = random.Random(seed)
        own = [opt.valuation().market(frame).config(cfg).at(T0) for opt in OPTIONS]
        for _ in range(60):
            price_and_check(rng, rng.choice([own, shared_builders]), frame, cfg, consistent, errors)

    def writer():
        rng = random.Random(99)
        while not done.is_set():
            random_write(rng, frame, cfg)

    readers = [threading.Thread(target=guarded(lambda s=s: reader(s))) for s in range(3)]
    writing = threading.Thread(target=guarded(writer))
    writing.start()
    for t in readers:
        t.start()
    for t in readers:
        t.join()
    done.set()
    writing.join()
    assert errors == []


def test_signal_handler_writes_while_the_engine_runs(consistent):
    """The engines poll for signals, so a handler runs in the middle of a
    solve and rewrites the very objects being priced."""
    frame, cfg = shared_objects()
    cfg.add_policy(METHODS[1])
    builders = [opt.valuation().market(frame).config(cfg).at(T0) for opt in OPTIONS]
    rng, errors, writes = random.Random(7), [], []

    def handler(signum, stack):
        # Finite differences stay selected so that every solve polls.
        random_write(rng, frame, cfg, METHODS[1:])
        writes.append(signum)

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.0003, 0.0003)
    try:
        deadline = time.monotonic() + 20.0
        while len(writes) < 50 and time.monotonic() < deadline:
            price_and_check(rng, builders, frame, cfg, consistent, errors)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert errors == []
    assert len(writes) >= 50


# Two threads meet a lazily created class for the first time.  A garbage
# collection during its creation runs a finalizer that lets the other thread
# in (here: a gc callback that sleeps); that thread must neither wait for the
# first (which would hang the process with the interpreter lock held) nor end
# up with a second class object.
FIRST_USE_CHILD = """
import datetime as dt, gc, threading, time
import zub
UTC = dt.timezone.utc
opt = zub.VanillaOption(100.0, dt.datetime(2026, 1, 1, tzinfo=UTC), zub.OptionType.Put, zub.ExerciseStyle.European)
zub.Tenor.days(1).advance(dt.date(2024, 1, 1))  # the datetime types are imported on first use

def first_use():
    try:
        return {call}
    except BaseException as exc:
        return exc

armed, order, got, go = [False], [], {{}}, threading.Event()

def on_gc(phase, info):
    if phase == "start" and armed[0] and threading.current_thread() is threading.main_thread():
        armed[0] = False
        time.sleep(0.3)

def second():
    go.wait()
    got["second"] = type(first_use())
    order.append("second")

thread = threading.Thread(target=second)
thread.start()
gc.callbacks.append(on_gc)
go.set()
gc.set_threshold(1)
armed[0] = True
got["main"] = type(first_use())
order.append("main")
gc.set_threshold(700)
thread.join()
print(order, got["main"] is got["second"], got["main"].__name__)
"""


@pytest.mark.parametrize("call, name", [
    ("zub.Tenor.months(-1).advance(dt.date(2024, 1, 1))", "PanicException"),
    ("opt.implied_vol()", "ImpliedVolBuilder"),
])
def test_first_use_of_a_class_from_two_threads(call, name):
    child = subprocess.run([sys.executable, "-c", FIRST_USE_CHILD.format(call=call)], capture_output=True, text=True,
                           timeout=30)
    # 'second' finishing first shows that it ran while the first thread was
    # still creating the class.
    assert (child.returncode, child.stdout, child.stderr) == (0, f"['second', 'main'] True {name}\n", "")




# A daemon thread parked in a callback that zub made keeps taking the lock back;
# the interpreter ends it with a forced unwind once shutdown began (a finalizer sleeps).
EXIT_CHILD = """
import datetime as dt, threading, time
import zub
entered, when = threading.Event(), dt.datetime(2026, 1, 1, tzinfo=dt.timezone.utc)
def hold(*args):
    entered.set()
    while True:
        time.sleep(0.001)
Float, Zone = type("F", (), {"__float__": hold}), type("Z", (dt.tzinfo,), {"utcoffset": hold})
threading.Thread(target=lambda: %s, daemon=True).start()
entered.wait()
keeper = type("Keeper", (), {"__del__": lambda self: time.sleep(0.2)})()
"""


@pytest.mark.parametrize("call", [
    "zub.VanillaOption(Float(), when, zub.OptionType.Put, zub.ExerciseStyle.European)",
    "zub.DividendSchedule([(when, 1.0), (dt.datetime(2026, 1, 1, tzinfo=Zone()), 1.0)])",  # owns references meanwhile
    "zub.RateCurve.interpolated(dt.date(2025, 1, 1), type('S', (), {'__len__': hold, '__getitem__': hold})(), [])",
])
def test_exit_with_a_daemon_thread_inside_a_callback(call):
    child = subprocess.run([sys.executable, "-c", EXIT_CHILD % call], capture_output=True, text=True, timeout=30)
    assert (child.returncode, child.stderr) == (0, "")


# The first module creation lets a second thread in from the 10th collection
# it starts (of about 80), while it makes the classes.
MODULE_RACE_CHILD = """
import gc, importlib.util, threading, time
spec, got, go, starts = importlib.util.find_spec("zub"), {}, threading.Event(), []
def on_gc(phase, info):
    if phase == "start" and threading.current_thread() is threading.main_thread():
        starts.append(phase)
        if len(starts) == 10:
            go.set()
            time.sleep(0.3)
thread = threading.Thread(target=lambda: go.wait() and got.setdefault("second", spec.loader.create_module(spec)))
thread.start()
gc.callbacks.append(on_gc)
gc.set_threshold(1)
got["main"] = spec.loader.create_module(spec)
thread.join()
print(list(got), got["main"] is got["second"])
"""


def test_two_threads_creating_the_module_get_one_module():
    child = subprocess.run([sys.executable, "-c", MODULE_RACE_CHILD], capture_output=True, text=True, timeout=30)
    assert (child.returncode, child.stdout, child.stderr) == (0, "['second', 'main'] True\n", "")
