import importlib
import inspect
import pathlib
import struct
import subprocess
import sys

import pytest

import zub

NAMES = [
    "Compounding", "DayCountConvention", "Frequency", "InterestRate", "VanillaOption",
    "OptionMarketFrame", "Tenor", "RateCurve", "VolSurface", "FdmConfig", "Config",
    "OptionType", "ExerciseStyle", "ValuationBuilder", "OptionResult", "Greeks",
    "InstrumentPolicy", "PeriodCalculator", "DividendSchedule", "TransformConfig",
]


def test_registry_order_and_hidden_names():
    assert zub.__all__ == NAMES
    for name in NAMES:
        cls = getattr(zub, name)
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__module__ == "builtins"
    for hidden in ("ImpliedVolBuilder", "ActAct", "Thirty360", "PanicException"):
        assert not hasattr(zub, hidden)
    assert zub.__doc__ == ""


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("zub")
    try:
        again = importlib.import_module("zub")
        assert again is first
    finally:
        sys.modules["zub"] = first


@pytest.mark.parametrize("name", [
    "Compounding", "DayCountConvention", "Frequency", "Tenor", "RateCurve", "VolSurface",
    "OptionType", "ExerciseStyle", "OptionResult", "Greeks", "PeriodCalculator",
])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError) as info:
        getattr(zub, name)()
    assert str(info.value) == f"cannot create 'builtins.{name}' instances"


def test_holder_classes_without_constructor():
    for holder, name in ((zub.DayCountConvention.ACT_ACT, "ActAct"), (zub.DayCountConvention.THIRTY_360, "Thirty360")):
        assert holder.__name__ == name
        with pytest.raises(TypeError, match=f"cannot create 'builtins.{name}' instances"):
            holder()


def test_class_attributes_are_created_once():
    dcc = zub.DayCountConvention
    assert dcc.ACT_360 is dcc.ACT_360
    assert dcc.ACT_ACT.ISDA is dcc.ACT_ACT.ISDA
    assert zub.OptionType.Call is zub.OptionType.Call
    assert zub.Frequency.Monthly is zub.Frequency.Monthly


@pytest.mark.parametrize("obj, text", [
    (zub.VanillaOption, "(strike, expiry_time, option_type, exercise_style)"),
    (zub.InterestRate, "(rate, compounding, dcc)"),
    (zub.OptionMarketFrame, "(spot, rate_curve, vol_surface, dividends=None, borrow_curve=None)"),
    (zub.DividendSchedule, "(raw_divs)"),
    (zub.VanillaOption.years_to_expiry, "(self, /, valuation_date=None)"),
    (zub.Tenor.days, "(n)"),
    (zub.PeriodCalculator.year_fraction, "(start, end, convention)"),
    (zub.RateCurve.interpolated, "(reference_date, tenors, rates)"),
])
def test_text_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


def test_docs_are_only_signatures():
    assert not zub.VanillaOption.__doc__
    assert zub.VanillaOption.__text_signature__ == "(strike, expiry_time, option_type, exercise_style)"
    assert zub.Tenor.days.__doc__ is None


def test_panic_exception_is_not_an_exception(PanicException):
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__module__ != "zub"
    with pytest.raises(BaseException) as info:
        try:
            zub.Tenor.years(-1).advance(__import__("datetime").date(2024, 1, 1))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    assert type(info.value) is PanicException
    assert str(info.value) == "`NaiveDate + Months` out of range"


def test_sub_interpreters_are_refused():
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interp = subinterpreters.create()
    try:
        with pytest.raises(Exception) as info:
            subinterpreters.run_string(interp, "import zub")
        assert "sub-interpreters" in str(info.value)
    finally:
        subinterpreters.destroy(interp)



@pytest.mark.parametrize("cls, attr", [(zub.Tenor, "__module__"), (zub.DayCountConvention, "ACT_360"),
                                       (zub.DayCountConvention.ACT_ACT, "ISDA"), (zub.OptionType, "Put")])
def test_class_attributes_cannot_be_rebound_or_deleted(cls, attr):
    before = getattr(cls, attr)
    pytest.raises(TypeError, setattr, cls, attr, b"x")
    pytest.raises(TypeError, delattr, cls, attr)
    assert getattr(cls, attr) is before


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads an ELF shared object")
def test_the_shared_object_exports_only_its_init_function():
    data = pathlib.Path(zub.__file__).read_bytes()  # ELF64, little-endian
    shoff, (shentsize, shnum) = struct.unpack_from("<Q", data, 0x28)[0], struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    _, _, _, _, offset, size, link, _, _, entsize = next(s for s in sections if s[1] == 11)  # SHT_DYNSYM
    exported, strings = [], sections[link][4]
    for name, info, _, shndx in (struct.unpack_from("<IBBH", data, p) for p in range(offset, offset + size, entsize)):
        if shndx != 0 and info >> 4 != 0:  # defined, not local
            exported.append(data[strings + name:data.index(b"\0", strings + name)])
    assert exported == [b"PyInit_zub"]


# A forked child makes the k-th allocation of the first module creation fail,
# then imports and uses the classes; k = 0, 1, ... until 100 in a row succeed.
FAILED_IMPORT_CHILD = """
import datetime as dt, importlib.util, os, _testcapi
spec, k, clean = importlib.util.find_spec("zub"), 0, 0
while clean < 100:
    if (pid := os.fork()) == 0:
        _testcapi.set_nomemory(k, k + 1)
        try:
            failed = spec.loader.create_module(spec) is None
        except MemoryError:
            failed = True
        _testcapi.remove_mem_hooks()
        import zub
        dcc, day = zub.DayCountConvention, dt.date(2024, 1, 1)
        for c in (dcc.ACT_360, dcc.ACT_ACT.ISDA, dcc.THIRTY_360.US_ISDA, zub.OptionType.Put, zub.Frequency.Annual):
            assert type(c) is getattr(zub, type(c).__name__) and len(zub.__all__) == 20
            zub.PeriodCalculator.days_between(day, day, c) if type(c) is dcc else None
        os._exit(0 if failed else 7)
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    assert status in (0, 7), (k, status)
    clean, k = (clean + 1 if status == 7 else 0), k + 1
"""


def test_a_failed_first_import_leaves_nothing_half_made():
    pytest.importorskip("_testcapi")
    child = subprocess.run([sys.executable, "-c", FAILED_IMPORT_CHILD], capture_output=True, text=True, timeout=300)
    assert (child.returncode, child.stderr) == (0, "")
