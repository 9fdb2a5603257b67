"""The stub package against the built module, and the examples under mypy --strict."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import zub
from readme_blocks import ROOT, tour

pytestmark = pytest.mark.packaging

STUB_SOURCE = ROOT / "python" / "zub-stubs" / "__init__.pyi"
BATCH_STUB_SOURCE = ROOT / "python" / "zub_batch-stubs" / "__init__.pyi"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
BATCH_ALLOWLIST = Path(__file__).with_name("stubtest_batch_allowlist.txt")

# The three classes that the module does not bind, exposed under their own names
# so that stubtest can compare them with the stubs too.
EXPOSING_MODULE = """\
import datetime as _dt

from zub import *
import zub as _zub

ActAct = _zub.DayCountConvention.ACT_ACT
Thirty360 = _zub.DayCountConvention.THIRTY_360
ImpliedVolBuilder = type(_zub.VanillaOption(
    1.0, _dt.datetime(2030, 1, 1, tzinfo=_dt.timezone.utc), _zub.OptionType.Call, _zub.ExerciseStyle.European
).implied_vol())
__all__ = list(_zub.__all__)
"""


def run(args, **env):
    proc = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT,
                          env={**os.environ, **env})
    return proc.returncode, proc.stdout + proc.stderr


def installed_stub():
    site = Path(zub.__file__).resolve().parent
    return site / "zub-stubs" / "__init__.pyi"


def test_installed_stubs_are_the_source_stubs():
    installed = installed_stub()
    assert installed.is_file(), f"no stub package beside {zub.__file__}"
    assert installed.read_bytes() == STUB_SOURCE.read_bytes(), "stale install: reinstall zub (make install)"


def test_stubtest_passes(tmp_path):
    (tmp_path / "zub_exposed.py").write_text(EXPOSING_MODULE)
    (tmp_path / "zub_exposed.pyi").write_bytes(STUB_SOURCE.read_bytes())
    code, out = run(["mypy.stubtest", "zub", "zub_exposed", "--allowlist", str(ALLOWLIST),
                     "--mypy-config-file", os.devnull],
                    PYTHONPATH=str(tmp_path), MYPYPATH=str(tmp_path))
    assert code == 0, out


def test_batch_stubtest_passes(tmp_path):
    (tmp_path / "zub_batch.pyi").write_bytes(BATCH_STUB_SOURCE.read_bytes())
    code, out = run(["mypy.stubtest", "zub_batch", "--allowlist", str(BATCH_ALLOWLIST),
                     "--mypy-config-file", os.devnull], MYPYPATH=str(tmp_path))
    assert code == 0, out


def test_examples_and_readme_tour_pass_mypy_strict(tmp_path):
    snippet = tmp_path / "readme_tour.py"
    snippet.write_text(tour()[0])
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert len(examples) >= 4
    code, out = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "--config-file", os.devnull,
                     *examples, str(snippet)])
    assert code == 0, out


def test_stubs_catch_a_misuse(tmp_path):
    # mypy reads the types from the stubs, not from the untyped extension: a
    # builder chain keeps its type and an optional Greek must be checked for None.
    probe = tmp_path / "probe.py"
    probe.write_text(
        "import zub\n"
        "def vega(b: zub.ValuationBuilder) -> float:\n"
        "    return b.config(None).at(None).compute().greeks.vega\n"
    )
    code, out = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "--config-file", os.devnull,
                     str(probe)])
    assert code == 1
    assert "Incompatible return value type" in out and ("float | None" in out or "Optional[float]" in out), out


BATCH_CALLS = """\
import datetime as dt
import numpy as np
import zub, zub_batch

def total(frame: zub.OptionMarketFrame, names: list[str]) -> float:
    t = dt.datetime(2030, 1, 1, tzinfo=dt.timezone.utc)
    a = zub_batch.value(frame, [90.0, 100.0], t, "P", "american", messages=True)
    b = zub_batch.value(frame, 100.0, t, np.array(["c", "PuT"]), names)
    c = zub_batch.implied_vol(frame, 5.0, 100.0, t, zub.OptionType.Put, 1)
    ok: zub_batch.StatusCode = zub_batch.OK
    print(a.get("message"), b["status"] == ok)
    return float(a["price"].sum() + b["delta"][0] + c["vol"][0])
"""


def test_batch_stubs_catch_a_misspelt_key_and_a_string_code(tmp_path):
    # Results are TypedDicts and single codes Literals: mypy passes the calls
    # above and reports the two planted mistakes, and nothing else.
    (tmp_path / "zub_batch.pyi").write_bytes(BATCH_STUB_SOURCE.read_bytes())
    good, bad = tmp_path / "good.py", tmp_path / "bad.py"
    good.write_text(BATCH_CALLS)
    bad.write_text(BATCH_CALLS.replace('t, "P", "american"', 't, "1", "american"').replace('a["price"]', 'a["prices"]'))
    code, out = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "--config-file", os.devnull,
                     str(good), str(bad)], MYPYPATH=str(tmp_path))
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert code == 1 and len(errors) == 2 and all(e.startswith(str(bad)) for e in errors), out
    assert "Literal['1']" in errors[0] and 'no key "prices"' in errors[1], out
