"""The array entry points of zub_batch against the object API, element by element."""
import copy
import datetime as dt
import os
import resource
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import zub
import zub_batch as zb
from hostile import isolated
from support import DCC, T0, UTC, config, frame, policy

CALL, PUT = zub.OptionType.Call, zub.OptionType.Put
AMERICAN, EUROPEAN = zub.ExerciseStyle.American, zub.ExerciseStyle.European
SMALL_FD = zub.FdmConfig(time_steps=20, grid_nodes=51)
FIELDS = ("price", "delta", "gamma", "theta", "vega", "rho")


def book(n, seed=7):
    """n options mixing type, style, strike and expiry (some already expired)."""
    rng = np.random.default_rng(seed)
    strike = rng.uniform(60.0, 140.0, n).round(2)
    seconds = rng.integers(-5 * 86400, 800 * 86400, n)
    expiry = np.datetime64(T0.replace(tzinfo=None), "s") + seconds.astype("timedelta64[s]")
    return strike, expiry, rng.integers(0, 2, n), rng.integers(0, 2, n)


def object_option(strike, expiry, kind, style):
    when = expiry.astype("datetime64[us]").astype(dt.datetime).replace(tzinfo=UTC)
    return zub.VanillaOption(float(strike), when, (CALL, PUT)[kind], (AMERICAN, EUROPEAN)[style])


def outcome(call):
    """What the object API gives: the value, or (exception type, message)."""
    try:
        return call()
    except (ValueError, BaseException) as exc:  # noqa: BLE001 - panics derive from BaseException
        return type(exc).__name__, str(exc)


def fingerprint(r):
    g = r.greeks
    return tuple(np.nan if v is None else v for v in (r.price, g.delta, g.gamma, g.theta, g.vega, g.rho))


def same_bits(a, b):
    return np.array(a, dtype=np.float64).tobytes() == np.array(b, dtype=np.float64).tobytes()


MARKETS = {
    "flat": lambda: frame(),
    "dividends and borrow": lambda: frame(spot=104.0, r=0.03, q=0.01,
                                           dividends=[(T0 + dt.timedelta(days=90), 1.5)]),
    "carry above rate": lambda: frame(r=0.02, q=0.05),  # American calls through the mirror put
}
CONFIGS = {"default grid": None, "small grid": config(policy("fdm", fdm_config=SMALL_FD)),
           "exercise boundary": config(policy("exercise_boundary")),
           "small grid, vega and rho": config(policy("fdm", fdm_config=SMALL_FD)).fdm_vega_rho()}


@pytest.mark.parametrize("market", MARKETS)
@pytest.mark.parametrize("cfg", CONFIGS)
@pytest.mark.parametrize("overrides", [False, True])
def test_valuation_matches_object_api_bit_for_bit(market, cfg, overrides):
    frm, c = MARKETS[market](), CONFIGS[cfg]
    n = 40 if cfg == "default grid" else 120
    strike, expiry, kind, style = book(n)
    expiry[n // 2:] = np.datetime64("2025-08-01")  # a chain, whose grids share their nodes
    rng = np.random.default_rng(3)
    spot = rng.uniform(80, 120, n) if overrides else None
    vol = rng.uniform(0.05, 1.5, n) if overrides else None  # high sigma sqrt(T): calls through the mirror put
    got = zb.value(frm, strike, expiry, kind, style, valuation_time=T0, config=c, spot=spot, vol=vol, messages=True)
    for i in range(n):
        f = frm
        if overrides:
            f = zub.OptionMarketFrame(spot[i], frm.rate_curve, zub.VolSurface.flat(vol[i], DCC.ACT_365_FIXED),
                                      frm.dividends, frm.borrow_curve)
        opt = object_option(strike[i], expiry[i], kind[i], style[i])
        want = outcome(lambda: fingerprint(opt.valuation().market(f).config(c).at(T0).compute()))
        if isinstance(want[0], str):
            assert got["status"][i] != zb.OK and got["message"][i] == want[1]
            assert np.isnan([got[k][i] for k in FIELDS]).all()
        else:
            assert got["status"][i] == zb.OK and same_bits([got[k][i] for k in FIELDS], want), i


@pytest.mark.parametrize("market", MARKETS)
@pytest.mark.parametrize("cfg", CONFIGS)
@pytest.mark.parametrize("overrides", [False, True])
def test_implied_vol_matches_object_api_bit_for_bit(market, cfg, overrides):
    frm, c, n = MARKETS[market](), CONFIGS[cfg], 80
    strike, expiry, kind, style = book(n, seed=11)
    style[: n // 2] = 0  # American calls and puts whose searches share finite-difference trials
    rng = np.random.default_rng(5)
    spot = rng.uniform(90, 110, n) if overrides else None
    # Quotes made at volatilities across the bracket take searches of different
    # lengths; every fourth is arbitrary (at the exercise value, not bracketed).
    target = zb.value(frm, strike, expiry, kind, style, valuation_time=T0, config=c, spot=spot,
                      vol=rng.uniform(0.11, 3.0, n))["price"]
    target[::4] = rng.uniform(0.0, 30.0, n)[::4]
    target[1::10] = 500.0
    got = zb.implied_vol(frm, target, strike, expiry, kind, style, valuation_time=T0, config=c, spot=spot,
                         messages=True)
    assert {zb.OK, zb.NOT_BRACKETED, zb.AT_EXERCISE_VALUE} <= set(got["status"])
    # The arrays' default search is the object API's exact one.
    c = copy.copy(c or zub.Config()).implied_vol_solver("exact")
    for i in range(n):
        f = frm if spot is None else zub.OptionMarketFrame(spot[i], frm.rate_curve, frm.vol_surface, frm.dividends,
                                                           frm.borrow_curve)
        opt = object_option(strike[i], expiry[i], kind[i], style[i])
        want = outcome(lambda: opt.implied_vol().market(f).config(c).at(T0).price(target[i]).calculate())
        if got["status"][i] == zb.AT_EXERCISE_VALUE:
            continue  # the object API converges on the lower bound here instead
        if isinstance(want, tuple):
            assert got["message"][i] == want[1]
        else:
            assert got["status"][i] == zb.OK and same_bits(got["vol"][i], want), i


def test_statuses_say_what_the_object_api_raises():
    mismatched = frame(vol_dcc=DCC.ACT_360)
    exp = np.array(["2026-01-02", "2020-01-01", "NaT"], dtype="datetime64[D]")
    v = zb.value(frame(), 100.0, exp, [0, 0, 0], [1, 1, 1], valuation_time=T0, messages=True)
    assert list(v["status"]) == [zb.OK, zb.EXPIRED, zb.INVALID_INPUT]
    assert zb.value(mismatched, 100.0, exp[0], 0, 1, valuation_time=T0)["status"] == zb.DAY_COUNT_MISMATCH
    codes = zb.value(frame(), 100.0, exp[0], [0, 2], [5, 1], valuation_time=T0)["status"]
    assert list(codes) == [zb.INVALID_INPUT, zb.INVALID_INPUT]
    naive = [dt.datetime(2026, 1, 2), T0 + dt.timedelta(days=30)]
    v = zb.value(frame(), 100.0, naive, CALL, EUROPEAN, valuation_time=T0, messages=True)
    assert list(v["status"]) == [zb.INVALID_INPUT, zb.OK]
    assert v["message"][0] == "Expiry must have a timezone specified (e.g. New York or UTC)"
    iv = zb.implied_vol(frame(), [1e-9, 1e9], 100.0, exp[0], 0, 1, valuation_time=T0)
    assert list(iv["status"]) == [zb.AT_EXERCISE_VALUE, zb.NOT_BRACKETED]
    assert zb.STATUS_NAMES[zb.NOT_CONVERGED] == "NOT_CONVERGED"


def test_implied_vol_below_ten_percent_exact_and_bounds_filter_it():
    frm = frame(vol=0.08)
    price = zb.value(frm, [95.0, 100.0, 105.0], T0 + dt.timedelta(days=60), 0, 1, valuation_time=T0)["price"]
    calm = frame()
    default = zb.implied_vol(calm, price, [95.0, 100.0, 105.0], T0 + dt.timedelta(days=60), 0, 1, valuation_time=T0)
    assert (default["status"] == zb.OK).all() and np.allclose(default["vol"], 0.08, rtol=1e-13, atol=0)
    above = zb.implied_vol(calm, price, [95.0, 100.0, 105.0], T0 + dt.timedelta(days=60), 0, 1, valuation_time=T0,
                           low=0.1, messages=True)
    assert (above["status"] == zb.NOT_BRACKETED).all() and np.isnan(above["vol"]).all()
    assert above["message"][1].startswith("Root is not bracketed. f(low) = ")


@pytest.mark.parametrize("args, error, text", [
    (dict(strike=["a"]), TypeError, "argument 'strike'"),
    (dict(strike=np.ones(3), option_type=np.zeros(4, dtype=int)), ValueError, "could not be broadcast"),
    (dict(option_type=[0.5]), TypeError, "argument 'option_type'"),
    (dict(exercise_style=[CALL]), TypeError, "argument 'exercise_style'"),
    (dict(expiry=[1.0]), TypeError, "argument 'expiry'"),
    (dict(expiry=np.array(["2026-01"], dtype="datetime64[M]")), TypeError, "no fixed length"),
    (dict(strike=np.broadcast_to(1.0, (2**32 + 1, 1)), spot=np.broadcast_to(1.0, (1, 2**32 - 1))), ValueError,
     "more elements than an array can hold"),
    (dict(threads=0), ValueError, "threads"),
    (dict(threads=2**70), ValueError, "threads must be between 1 and 1024"),
    (dict(market_frame=None), TypeError, "OptionMarketFrame"),
])
def test_bad_arguments_raise_at_once(args, error, text):
    call = dict(market_frame=frame(), strike=100.0, expiry=T0 + dt.timedelta(days=30), option_type=0,
                exercise_style=1, valuation_time=T0)
    with pytest.raises(error, match=text):
        zb.value(**{**call, **args})


def test_strided_broadcast_and_byte_swapped_inputs_read_the_right_elements():
    strike = np.linspace(80.0, 120.0, 12).reshape(3, 4)
    exp = np.array(["2025-06-01", "2026-06-01", "2027-06-01"], dtype="datetime64[D]")[:, None]
    got = zb.value(frame(), strike[:, ::2], exp.astype(">M8[D]"), 1, 1, valuation_time=T0)["price"]
    dense = zb.value(frame(), np.ascontiguousarray(strike[:, ::2]), np.repeat(exp, 2, axis=1), [[1]], 1,
                     valuation_time=T0)["price"]
    assert got.shape == (3, 2) and same_bits(got, dense)


@pytest.mark.parametrize("dtype", ["i1", "u2", ">i4", "u8", "?"])
def test_codes_of_every_integer_type_read_as_their_int64_cast(dtype):
    codes = np.repeat(np.array([0, 1, 2, -1, 255, 2**40 + 1, 2**63 - 1, 1]).astype(dtype), 2)[::2]
    got, want = (zb.value(frame(), 100.0, T0 + dt.timedelta(days=90), c, c, valuation_time=T0)
                 for c in (codes, codes.astype(np.int64)))
    assert same_bits(got["price"], want["price"]) and (got["status"] == want["status"]).all()


@pytest.mark.parametrize("unit", ["D", "m", "s", "us", "ns"])
def test_scalars_read_as_one_element_arrays_of_them(unit):
    for when in ("2025-06-20T13:37:21.123456789", "NaT", "1990-01-01"):
        expiry = np.datetime64(when, unit)
        alone = [zb.value(frame(), 95.0, expiry, 1, 0, valuation_time=T0) for _ in range(2)]  # the second remembered
        array = zb.value(frame(), np.array([95.0]), np.array([expiry]), np.array([1]), np.array([0]), valuation_time=T0)
        assert all(a[k].tobytes() == array[k].tobytes() for a in alone for k in array), when


# Beyond 2^53 microseconds (after 2255) the constructor's timestamp float is
# coarser than a microsecond and rounds some expiries up to the next second.
@pytest.mark.parametrize("year", [4000, 5000])
def test_far_expiries_are_read_as_the_option_constructor_reads_them(year):
    when = [dt.datetime(year, 6, 1, 12, 0, 5, us, tzinfo=UTC) for us in range(999980, 1000000)]
    got = zb.value(frame(), 100.0, np.array([w.replace(tzinfo=None) for w in when], "M8[us]"), 1, 1,
                   valuation_time=T0)["price"]
    assert same_bits(got, [object_option(100.0, np.datetime64(w.replace(tzinfo=None)), 1, 1).valuation()
                           .market(frame()).at(T0).compute().price for w in when])


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan's reserved memory defeats the limit")
def test_a_call_runs_on_the_threads_the_system_can_start():
    def run():
        room = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE") + (200 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (room, room))
        got = zb.value(frame(), np.linspace(80.0, 120.0, 2000), T0 + dt.timedelta(days=90), 1, 0,
                       valuation_time=T0, threads=1024)
        return int((got["status"] == zb.OK).sum())
    assert isolated(run, timeout=120) == 2000


@pytest.mark.parametrize("threads", [1, 2, 7])
def test_thread_count_changes_no_bit(threads):
    strike, expiry, kind, style = book(300)
    c = CONFIGS["small grid"]
    one = zb.value(frame(), strike, expiry, kind, style, valuation_time=T0, config=c, threads=1)
    many = zb.value(frame(), strike, expiry, kind, style, valuation_time=T0, config=c, threads=threads)
    assert all(same_bits(one[k], many[k]) for k in FIELDS)
    assert zb.default_threads() == len(os.sched_getaffinity(0))


def run_script(code, timeout=60):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)


SLOW_BOOK = """
import datetime as dt, numpy as np, zub, zub_batch as zb
UTC = dt.timezone.utc
T0 = dt.datetime(2025, 1, 2, tzinfo=UTC)
DCC = zub.DayCountConvention.ACT_365_FIXED
frm = zub.OptionMarketFrame(100.0, zub.RateCurve.continuous(0.05, DCC), zub.VolSurface.flat(0.2, DCC))
cfg = zub.Config()
cfg.add_policy(zub.InstrumentPolicy().fdm(zub.FdmConfig(time_steps=400, grid_nodes=401)))
slow = lambda threads=None: zb.value(frm, np.full(100000, 100.0), T0 + dt.timedelta(days=365), 1, 0,
                                    valuation_time=T0, config=cfg, threads=threads)
slow_iv = lambda threads=None: zb.implied_vol(frm, 8.0, np.full(100000, 100.0), T0 + dt.timedelta(days=365), 1, 0,
                                              valuation_time=T0, config=cfg, threads=threads)
"""


# One thread runs on the calling thread itself, which polls from inside the work.
@pytest.mark.parametrize("call", ["slow()", "slow_iv()", "slow(1)", "slow_iv(1)"])
def test_ctrl_c_ends_a_batch_within_100_ms(call):
    code = SLOW_BOOK + f"""
import os, signal, threading, time
sent = []
def interrupt():
    time.sleep(0.3)
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt).start()
try:
    {call}
except KeyboardInterrupt:
    print(time.perf_counter() - sent[0])
"""
    proc = run_script(code)
    assert proc.returncode == 0, proc.stderr
    assert float(proc.stdout) < 0.1


def test_forked_child_gets_working_threads():
    code = SLOW_BOOK + """
import os
small = lambda: zb.value(frm, np.linspace(80, 120, 64), T0 + dt.timedelta(days=90), 1, 0, valuation_time=T0,
                         config=cfg, threads=2)["price"]
before = small()
pid = os.fork()
if pid == 0:
    os._exit(0 if small().tobytes() == before.tobytes() else 3)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""
    proc = run_script(code)
    assert proc.stdout.strip() == "0", proc.stderr


# The handler forks while the workers hold chunks; the child either raises
# or finishes the call on its own thread, with the bits of one thread.
@pytest.mark.parametrize("child_raises", [False, True])
def test_child_forked_by_a_signal_handler_inside_a_call_leaves_it(child_raises):
    code = SLOW_BOOK + f"""
import os, signal, time
strike = np.linspace(80, 120, 160)
book = lambda threads: zb.value(frm, strike, T0 + dt.timedelta(days=365), 1, 0, valuation_time=T0, config=cfg,
                                threads=threads)["price"]
want, forked = book(1), []
def fork(*_):
    if not forked:
        forked.append(os.fork())
        if forked[0] == 0 and {child_raises}:
            raise SystemExit(5)
signal.signal(signal.SIGALRM, fork)
signal.setitimer(signal.ITIMER_REAL, 0.05)
try:
    got = book(2)
except SystemExit as e:
    os._exit(e.code)
if forked[0] == 0:
    os._exit(0 if got.tobytes() == want.tobytes() else 3)
for _ in range(400):
    pid, status = os.waitpid(forked[0], os.WNOHANG)
    if pid:
        print(os.waitstatus_to_exitcode(status))
        break
    time.sleep(0.05)
else:
    os.kill(forked[0], signal.SIGKILL)
    print("hung")
"""
    assert run_script(code).stdout.strip() == ("5" if child_raises else "0")


# Each hook frees the strikes' memory (a resize to fewer elements) once the
# strikes are staged; the call reads the array as the hook left it.
@pytest.mark.parametrize("hook", ["threads=Hook()", "messages=Hook()", "out=Out()", "spot=Hook()",
                                  "valuation_time=dt.datetime(2025, 1, 2, tzinfo=Zone())",
                                  "expiry=[dt.datetime(2026, 1, 2, tzinfo=Zone())]"])
def test_a_hook_resizing_an_input_does_not_free_what_the_call_reads(hook):
    code = SLOW_BOOK + f"""
strike = np.full(300_000, 100.0)
shrink = lambda: strike.resize(10, refcheck=False)
class Hook:
    __index__ = lambda self: shrink() or 1
    __bool__ = lambda self: shrink() or True
    __array__ = lambda self, dtype=None, copy=None: shrink() or np.array(100.0)
class Out(dict):
    items = lambda self: shrink() or super().items()
class Zone(dt.tzinfo):
    utcoffset = lambda self, d: shrink() or dt.timedelta(0)
args = dict(expiry=T0 + dt.timedelta(days=365), option_type=1, exercise_style=1)
args.update({hook})
print(zb.value(frm, strike, **args)["price"].shape)
"""
    proc = run_script(code)
    assert (proc.returncode, proc.stdout.strip()) == (0, "(10,)"), proc.stderr


def test_a_finaliser_resizing_an_input_does_not_free_what_the_call_reads():
    # The collector runs on every allocation, and the garbage it finds frees
    # the strikes; a float32 vol is converted (allocated) while the views are
    # taken.  Refused (the strikes shrank first) or priced: never a crash.
    code = SLOW_BOOK + """
import gc
strike = np.full(400_000, 100.0)
class Trap:
    def __del__(self):
        strike.resize(1, refcheck=False)
        [np.full(1000, 7.0) for _ in range(2000)]
trap = Trap()
trap.cycle = trap
del trap
gc.set_threshold(1)
try:
    r = zb.value(frm, strike, T0 + dt.timedelta(days=365), 0, 1, valuation_time=T0, threads=1,
                 vol=np.full(400_000, 0.2, np.float32))
    print("priced", np.unique(r["price"]).size)
except ValueError:
    print("refused")
"""
    proc = run_script(code)
    assert proc.returncode == 0 and proc.stdout.strip() in ("priced 1", "refused"), proc.stderr


@pytest.mark.parametrize("threads", [None, 1])
def test_daemon_thread_in_a_batch_at_exit_ends_cleanly(threads):
    code = SLOW_BOOK + f"""
import threading, time
threading.Thread(target=slow, args=({threads},), daemon=True).start()
time.sleep(0.3)
print("exiting")
"""
    proc = run_script(code, timeout=30)
    assert (proc.returncode, proc.stdout.strip(), proc.stderr) == (0, "exiting", "")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan keeps freed memory in quarantine")
def test_a_kept_output_holds_only_its_own_memory():
    def resident():
        return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    n, kept = 500_000, []
    call = lambda: zb.value(frame(), np.full(n, 100.0), T0 + dt.timedelta(days=90), 1, 1, valuation_time=T0)
    for _ in range(3):  # the allocator settles
        kept.append(call()["status"])
    before = resident()
    for _ in range(8):
        kept.append(call()["status"])
    assert resident() - before < 8 * n * 4  # the status 1 byte an option, all outputs 49


def test_given_outputs_are_filled_in_place_with_the_allocated_bits():
    strike, expiry, kind, style = (a.reshape(10, 10) for a in book(100))  # one expired
    args = dict(valuation_time=T0, config=CONFIGS["small grid"])
    want = zb.value(frame(), strike, expiry, kind, style, **args)
    given = {"price": np.full((10, 10), 7.0), "rho": np.full((10, 10), 7.0), "status": np.full((10, 10), 99, np.uint8)}
    got = zb.value(frame(), strike, expiry, kind, style, **args, out=given)
    assert all(got[k] is a for k, a in given.items()) and (want["status"] == zb.EXPIRED).sum() == 1
    assert all(same_bits(got[k], want[k]) for k in FIELDS) and (got["status"] == want["status"]).all()
    iv_want = zb.implied_vol(frame(), want["price"], strike, expiry, kind, style, **args)
    vol = np.full((10, 10), 7.0)
    iv = zb.implied_vol(frame(), want["price"], strike, expiry, kind, style, **args, out={"vol": vol})
    assert iv["vol"] is vol and same_bits(vol, iv_want["vol"]) and (iv["status"] == iv_want["status"]).all()


def read_only(a):
    a.flags.writeable = False
    return a


STRIKES, SHARED = np.linspace(90.0, 120.0, 4), np.empty(6)


@pytest.mark.parametrize("out, error, text", [
    ([np.empty(4)], TypeError, "out must be a mapping"),
    ({"vol": np.empty(4)}, ValueError, "unknown output 'vol'"),
    ({"price": [0.0] * 4}, TypeError, "output 'price' must be a writable float64 array, got 'list'"),
    ({"price": np.empty(4, np.float32)}, TypeError, "output 'price' must be float64, got float32"),
    ({"status": np.empty(4)}, TypeError, "output 'status' must be uint8, got float64"),
    ({"price": read_only(np.empty(4))}, ValueError, "output 'price' is read-only"),
    ({"price": np.empty(3)}, ValueError, r"output 'price' has shape \(3,\), expected \(4,\)"),
    ({"delta": np.empty(8)[::2]}, ValueError, "output 'delta' is not C-contiguous"),
    ({"price": np.frombuffer(bytearray(40), np.uint8)[1:33].view(np.float64)}, ValueError, "'price' is not aligned"),
    ({"price": STRIKES}, ValueError, "output 'price' overlaps the memory of input 'strike'"),
    ({"price": SHARED[:4], "rho": SHARED[2:]}, ValueError, "output 'rho' overlaps the memory of output 'price'"),
])
def test_bad_outputs_raise_before_any_work(out, error, text):
    untouched = np.full(4, 7.0)
    refs = sys.getrefcount(untouched)
    out = {"theta": untouched, **out} if isinstance(out, dict) else out
    with pytest.raises(error, match=text):
        zb.value(frame(), STRIKES, T0 + dt.timedelta(days=30), 0, 1, valuation_time=T0, out=out)
    assert (untouched == 7.0).all() and sys.getrefcount(untouched) == refs + isinstance(out, dict)


@pytest.mark.parametrize("strike, spot, vol, message", [
    (np.nan, 100.0, 0.2, "strike must be finite and positive, got NaN"),
    (-1.0, 100.0, 0.2, "strike must be finite and positive, got -1"),
    (100.0, np.nan, 0.2, "spot must be finite and positive, got NaN"),
    (100.0, 0.0, 0.2, "spot must be finite and positive, got 0"),
    (100.0, 100.0, -0.1, "volatility must be finite and positive, got -0.1"),
    (100.0, 100.0, 0.0, "volatility must be finite and positive, got 0"),
    (100.0, 100.0, np.inf, "volatility must be finite and positive, got inf"),
])
def test_ok_means_finite_numbers_and_bad_inputs_say_which(strike, spot, vol, message):
    expiry = np.datetime64("2026-01-02")
    for style in (0, 1):
        got = zb.value(frame(), [strike], expiry, 1, style, valuation_time=T0, spot=[spot], vol=[vol], messages=True)
        assert got["status"][0] == zb.INVALID_INPUT and got["message"][0] == message
        assert np.isnan([got[k][0] for k in FIELDS]).all()
    if not message.startswith("volatility"):  # the search takes no volatility
        got = zb.implied_vol(frame(), [5.0, np.nan], [strike] * 2, expiry, 1, 0, valuation_time=T0, spot=[spot] * 2,
                             messages=True)
        assert list(got["status"]) == [zb.INVALID_INPUT] * 2 and got["message"][0] == message
    assert zb.implied_vol(frame(), [np.nan], [100.0], expiry, 1, 0, valuation_time=T0,
                          messages=True)["message"][0] == "target price must be finite, got NaN"


def test_american_calls_with_a_cash_dividend_round_trip_above_their_dividend_aware_floor():
    expiry = np.datetime64((T0 + dt.timedelta(days=730)).replace(tzinfo=None), "s")
    paid = [(T0 + dt.timedelta(days=200), 3.0)]
    for strike in (50.0, 80.0, 100.0, 120.0):
        for vol in (0.1, 0.25, 0.5, 0.9):
            quote = zb.value(frame(dividends=paid, vol=vol), [strike], expiry, 0, 0, valuation_time=T0)["price"]
            got = zb.implied_vol(frame(dividends=paid), quote, [strike], expiry, 0, 0, valuation_time=T0)
            assert got["status"][0] == zb.OK and got["vol"][0] == pytest.approx(vol, abs=1e-3), (strike, vol)


@pytest.mark.parametrize("change", ["zub.__all__.reverse()", "zub.__all__.append('Extra')", "zub.__all__.pop()"])
def test_import_refuses_a_zub_whose_classes_differ_from_the_registry(change):
    r = run_script(f"import zub; {change}\ntry:\n import zub_batch\nexcept ImportError as e: print(e)")
    assert r.stdout.strip() == "zub does not register the classes this zub_batch was built for", r.stderr


TEXT_CODES = {
    "letters": (["C", "p", "c"], ["european", "european", "American"]),
    "any case": (["CALL", "Put", "call"], ["EUROPEAN", "european", "aMeRiCaN"]),
    "numpy str arrays": (np.array(["c", "P", "C"]), np.array(["european", "European", "american"])),
    "object arrays with members": (np.array([CALL, "put", "c"], dtype=object), np.array(["european"] * 2 + [AMERICAN])),
    "pandas categoricals": ("categorical", "categorical"),
}


@pytest.mark.parametrize("kinds, styles", TEXT_CODES.values(), ids=TEXT_CODES.keys())
def test_types_and_styles_as_texts_price_as_their_codes(kinds, styles):
    pd = pytest.importorskip("pandas")
    expected_kinds, expected_styles = [0, 1, 0], [1, 1, 0]
    if isinstance(kinds, str):
        kinds = pd.Categorical(["C", "P", "C"])
        styles = pd.Series(["european", "european", "american"], dtype="category")
    strikes, expiry = np.array([90.0, 110.0, 100.0]), T0 + dt.timedelta(days=200)
    expected = zb.value(frame(), strikes, expiry, expected_kinds, expected_styles, valuation_time=T0)
    got = zb.value(frame(), strikes, expiry, kinds, styles, valuation_time=T0)
    assert all(same_bits(got[k], expected[k]) for k in (*FIELDS, "status"))


def test_texts_naming_no_code_and_missing_categories():
    pd = pytest.importorskip("pandas")
    with pytest.raises(ValueError, match="'cal' names no option type"):
        zb.value(frame(), 100.0, T0 + dt.timedelta(days=30), "cal", 1, valuation_time=T0)
    r = zb.value(frame(), 100.0, T0 + dt.timedelta(days=30), pd.Categorical(["C", None]), "european",
                 valuation_time=T0)
    assert list(r["status"]) == [zb.OK, zb.INVALID_INPUT]


def test_a_frame_of_the_result_shows_status_names():
    pd = pytest.importorskip("pandas")
    args = (frame(), [100.0, -1.0], T0 + dt.timedelta(days=30), 0, 1)
    plain = zb.value(*args, valuation_time=T0)
    named = zb.value(*args, valuation_time=T0, status_names=True)
    assert list(named) == [*plain, "status_name"] and named["status"].dtype == np.uint8
    assert list(pd.DataFrame(named)["status_name"]) == ["OK", "INVALID_INPUT"]
