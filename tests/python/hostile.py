"""Hostile arguments, argument strategies and a forked runner for the robustness tests.

Every call under test runs in a forked child (`isolated`), so a crash, a
sanitizer report or a hang fails the test instead of taking the run down.
"""
import datetime as dt
import os
import pickle
import select
import signal
import time
import traceback
import zoneinfo

from hypothesis import strategies as st

import zub
from support import DCC, T0, UTC, panic_type


class Hostile(Exception):
    """Raised by the hostile objects below; calls must let it through unchanged."""


# ---------------------------------------------------------------------------
# Objects whose conversion protocols misbehave

def _raise():
    raise Hostile("hostile")


class Protocol:
    """An object whose __float__ / __index__ / __len__ follow `plan`:
    a value to return, or the string "raise"."""

    def __init__(self, **plan):
        self.plan = plan

    def _do(self, name):
        v = self.plan[name]
        if v == "raise":
            _raise()
        return v

    def __repr__(self):
        return f"Protocol({self.plan})"


class FloatLike(Protocol):
    def __float__(self):
        return self._do("float")


class IndexLike(Protocol):
    def __index__(self):
        return self._do("index")


class ClassRaises:
    """isinstance() against a foreign class asks for __class__, which fails."""

    @property
    def __class__(self):
        _raise()


class Seq(Protocol):
    """A sequence through __getitem__, with a hostile __len__ and an optional
    element that raises."""

    def __init__(self, items, length="raise", fail_at=None):
        super().__init__(len=length)
        self.items, self.fail_at = list(items), fail_at

    def __len__(self):
        return self._do("len")

    def __getitem__(self, i):
        if i == self.fail_at:
            _raise()
        return self.items[i]


FLOAT_ACTIONS = ["raise", "1.5", None, 2.5, float("nan"), 10**400, Protocol()]
INDEX_ACTIONS = ["raise", 1.5, None, 7, -(2**70), 2**100, True]
LEN_ACTIONS = ["raise", "x", -1, 2**62, 2**100, 0, 1]

protocol_objects = st.one_of(
    st.builds(lambda a: FloatLike(float=a), st.sampled_from(FLOAT_ACTIONS)),
    st.builds(lambda a: IndexLike(index=a), st.sampled_from(INDEX_ACTIONS)),
    st.builds(ClassRaises),
)


# ---------------------------------------------------------------------------
# Dates, datetimes, time zones

def _zones():
    fixed = [UTC, dt.timezone(dt.timedelta(hours=23, minutes=59)), dt.timezone(-dt.timedelta(hours=23, minutes=59)),
             dt.timezone(dt.timedelta(minutes=-1)), dt.timezone(dt.timedelta(hours=5, minutes=45)),
             dt.timezone(dt.timedelta(0), "UTC but not timezone.utc")]
    named = []
    for key in ("UTC", "Pacific/Kiritimati", "Pacific/Pago_Pago", "America/St_Johns", "Asia/Kathmandu",
                "Australia/Lord_Howe", "America/New_York", "Europe/London", "Etc/GMT+12"):
        try:
            named.append(zoneinfo.ZoneInfo(key))
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            pass
    return fixed + named


class EvilTz(dt.tzinfo):
    """A zone whose methods misbehave as `plan` says ("raise" or a value)."""

    def __init__(self, offset="raise", eq="raise"):
        self.offset, self.eq = offset, eq

    def utcoffset(self, d):
        if self.offset == "raise":
            _raise()
        return self.offset

    def dst(self, d):
        return None

    def tzname(self, d):
        return "evil"

    def __eq__(self, other):
        if self.eq == "raise":
            _raise()
        return self.eq

    __hash__ = object.__hash__


ZONES = _zones()
EVIL_ZONES = [EvilTz(offset, eq) for offset in ("raise", dt.timedelta(hours=30), 5, None, dt.timedelta(hours=1))
              for eq in ("raise", True)]

EDGE_NAIVE = [dt.datetime.min, dt.datetime.max, dt.datetime(1970, 1, 1), dt.datetime(1969, 12, 31, 23, 59, 59, 999999),
              dt.datetime(1969, 12, 31, 23, 59, 58, 500000), dt.datetime(1, 1, 1, 0, 0, 0, 1),
              dt.datetime(9999, 12, 31, 23, 59, 59), dt.datetime(2038, 1, 19, 3, 14, 8),
              dt.datetime(2000, 2, 29, 12), dt.datetime(2024, 11, 3, 1, 30, fold=1)]

naive_datetimes = st.one_of(st.datetimes(), st.sampled_from(EDGE_NAIVE))
aware_datetimes = st.one_of(
    st.datetimes(timezones=st.sampled_from(ZONES)),
    st.builds(lambda d, z: d.replace(tzinfo=z), st.sampled_from(EDGE_NAIVE), st.sampled_from(ZONES)),
)
# Near the reference instant, where pricing has something to do.
near_datetimes = st.builds(lambda days, secs, z: (T0 + dt.timedelta(days=days, seconds=secs)).astimezone(z),
                           st.integers(-800, 800), st.integers(-86400, 86400), st.sampled_from(ZONES))


class EvilDatetime(dt.datetime):
    """A datetime whose utcoffset / timestamp / astimezone / fields follow
    `plan`: "raise", or a value to return instead."""

    plan = {}

    def _do(self, name, default):
        if name not in self.plan:
            return default()
        v = self.plan[name]
        if v == "raise":
            _raise()
        return v

    def utcoffset(self):
        return self._do("utcoffset", super().utcoffset)

    def timestamp(self):
        return self._do("timestamp", super().timestamp)

    def astimezone(self, tz=None):
        return self._do("astimezone", lambda: dt.datetime.astimezone(self, tz))

    @property
    def year(self):
        return self._do("year", lambda: dt.datetime.year.__get__(self))

    @property
    def microsecond(self):
        return self._do("microsecond", lambda: dt.datetime.microsecond.__get__(self))

    @property
    def tzinfo(self):
        return self._do("tzinfo", lambda: dt.datetime.tzinfo.__get__(self))


def _evil(base, plan):
    d = EvilDatetime.combine(base.date(), base.timetz())
    d.plan = plan
    return d


EVIL_VALUES = {
    "utcoffset": ["raise", None, 5, dt.timedelta(hours=1)],
    "timestamp": ["raise", "x", float("nan"), float("inf"), -float("inf"), 1e300, -1e300, 8e12, -8e12, 10**400,
                  FloatLike(float="raise"), 2**63, -(2**63) - 1],
    "astimezone": ["raise", 5, None, dt.datetime(2020, 1, 1), dt.datetime(2020, 1, 1, tzinfo=ZONES[1]),
                   dt.date(2020, 1, 1)],
    "year": ["raise", "x", 10**30, -(10**30), 0, 10000, 262143, -262144],
    "microsecond": ["raise", -1, 10**6, 2**40],
    "tzinfo": ["raise", None, 5, ZONES[1]],
}

evil_datetimes = st.builds(
    _evil, st.one_of(aware_datetimes, naive_datetimes),
    st.dictionaries(st.sampled_from(sorted(EVIL_VALUES)),
                    st.sampled_from(sorted(EVIL_VALUES)).flatmap(lambda k: st.sampled_from(EVIL_VALUES[k])),
                    max_size=2),
)
evil_zone_datetimes = st.builds(lambda d, z: d.replace(tzinfo=z), naive_datetimes, st.sampled_from(EVIL_ZONES))


class EvilDate(dt.date):
    """A date whose year is a property that misbehaves."""

    plan = "raise"

    @property
    def year(self):
        if self.plan == "raise":
            _raise()
        return self.plan


def _evil_date(d, plan):
    e = EvilDate(d.year, d.month, d.day)
    e.plan = plan
    return e


any_dates = st.one_of(st.dates(), naive_datetimes, aware_datetimes,
                      st.builds(_evil_date, st.dates(), st.sampled_from(EVIL_VALUES["year"])))
any_datetimes = st.one_of(aware_datetimes, naive_datetimes, evil_datetimes, evil_zone_datetimes, st.dates())


# ---------------------------------------------------------------------------
# Module objects, numbers and junk

def sample_objects():
    """One instance of every class of the module, and the classes themselves."""
    rate = zub.InterestRate(0.05, zub.Compounding.continuous(), DCC.ACT_365_FIXED)
    curve = zub.RateCurve.flat(rate)
    surface = zub.VolSurface.flat(0.2, DCC.ACT_365_FIXED)
    option = zub.VanillaOption(100.0, T0 + dt.timedelta(days=365), zub.OptionType.Put, zub.ExerciseStyle.European)
    frame = zub.OptionMarketFrame(100.0, curve, surface)
    result = option.valuation().market(frame).at(T0).compute()
    return [
        zub.Compounding.simple(), DCC.ACT_360, DCC.ACT_ACT, DCC.THIRTY_360.US_ISDA, zub.Frequency.Monthly, rate,
        option, frame, zub.Tenor.days(1), curve, surface, zub.FdmConfig(), zub.Config(), zub.OptionType.Call,
        zub.ExerciseStyle.American, option.valuation(), result, result.greeks, zub.InstrumentPolicy(),
        zub.DividendSchedule([]), zub.TransformConfig.log(), option.implied_vol(),
    ] + [getattr(zub, name) for name in zub.__all__]


SAMPLES = sample_objects()
module_objects = st.sampled_from(SAMPLES)

INT_EDGES = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1,
             2**64 - 1, 2**64, 2**40, 10**12, 10**100, -(10**100)]
big_ints = st.one_of(st.integers(), st.sampled_from(INT_EDGES))

junk = st.one_of(
    st.none(), st.booleans(), big_ints, st.floats(), st.text(max_size=3), st.binary(max_size=3),
    st.lists(st.integers(), max_size=2), st.tuples(st.integers()), st.dictionaries(st.text(max_size=1), st.integers(),
                                                                                     max_size=1),
    st.frozensets(st.integers(), max_size=2), st.just(object()), st.just(dt.timedelta(days=1)), st.just(zub),
    st.builds(lambda xs: (x for x in xs), st.lists(st.integers(), max_size=2)),
    module_objects, protocol_objects, st.dates(), naive_datetimes,
)


def mixed(valid, weight=3):
    """Mostly `valid` values, the rest anything at all."""
    return st.one_of(*([valid] * weight), junk)


floats = mixed(st.one_of(st.floats(), st.integers(-(10**20), 10**20),
                         st.builds(lambda v: IndexLike(index=v), st.integers()),
                         st.builds(lambda v: FloatLike(float=v), st.floats())))
counts = mixed(big_ints)


def instances(cls):
    return mixed(st.sampled_from([o for o in SAMPLES if type(o) is cls]))


def sequence_of(items):
    """Lists, tuples, ranges, hostile sequences and non-sequences of `items`."""
    lists = st.lists(items, max_size=4)
    return st.one_of(
        lists, lists.map(tuple),
        st.builds(Seq, lists, st.sampled_from(LEN_ACTIONS), st.one_of(st.none(), st.integers(0, 4))),
        st.sampled_from(["ab", "", range(0), range(3), {1, 2}, {"a": 1}, 5, None]),
        lists.map(lambda xs: iter(xs)),
    )


# ---------------------------------------------------------------------------
# Running one call in a child

ALLOWED = (TypeError, ValueError, OverflowError, Hostile)


def verdict(call, returns, panics=(), memory=False):
    """Runs call(); None when it returned a value that `returns` accepts or
    raised a permitted exception, else a description of what went wrong.

    Permitted: TypeError, ValueError, OverflowError, the hostile objects' own
    error, PanicException whose message starts with one of `panics`, and
    MemoryError when `memory`."""
    try:
        value = call()
    except ALLOWED as exc:
        return None if str(exc) or isinstance(exc, Hostile) else f"{type(exc).__name__} without a message"
    except MemoryError:
        return None if memory else "MemoryError"
    except BaseException as exc:  # noqa: BLE001
        if isinstance(exc, panic_type()) and panics and str(exc).startswith(tuple(panics)):
            return None
        return f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}"
    if returns(value):
        return None
    return f"returned {type(value).__qualname__}: {value!r}"


def isolated(fn, timeout=60.0, interrupt_after=None):
    """fn() in a forked child; returns its (picklable) result.  Fails with
    AssertionError when the child crashes, exits abnormally or hangs.  With
    `interrupt_after`, the child gets SIGINT (Ctrl-C) after that many seconds
    and then has `timeout` seconds left to finish."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # A forked child under AddressSanitizer first copies every page of its
        # parent's quarantine that its own frees recycle: seconds after a
        # suite has freed a lot.
        timeout *= 3
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        status = 0
        try:
            os.close(read_end)
            try:
                payload = ("ok", fn())
            except BaseException:  # noqa: BLE001
                payload = ("error", traceback.format_exc())
            data = pickle.dumps(payload)
            while data:
                data = data[os.write(write_end, data):]
        except BaseException:  # noqa: BLE001
            status = 3
        finally:
            os._exit(status)
    os.close(write_end)
    chunks, deadline = [], time.monotonic() + timeout
    if interrupt_after is not None:
        deadline += interrupt_after
    try:
        while True:
            if interrupt_after is not None and not select.select([read_end], [], [], interrupt_after)[0]:
                os.kill(pid, signal.SIGINT)
                deadline, interrupt_after = time.monotonic() + timeout, None
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                raise AssertionError(f"call did not finish within {timeout} s")
            chunk = os.read(read_end, 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(read_end)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        raise AssertionError(f"call crashed with signal {signal.Signals(os.WTERMSIG(status)).name}")
    if os.WEXITSTATUS(status) != 0 or not chunks:
        raise AssertionError(f"child exited with status {os.WEXITSTATUS(status)} (see its stderr)")
    kind, value = pickle.loads(b"".join(chunks))
    if kind == "error":
        raise AssertionError("the check itself failed in the child:\n" + value)
    return value


def check_isolated(call, returns, panics=(), memory=False, timeout=60.0):
    problem = isolated(lambda: verdict(call, returns, panics, memory), timeout)
    assert problem is None, problem
