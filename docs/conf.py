"""The API reference, built by `make docs` from the type stubs that ship with
the wheel: they hold the documentation (the compiled modules carry none), so
the build reads them as text and needs no compiled module."""
import shutil
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "build" / "docs" / "stubs"

# The stub packages are named after the modules with "-stubs"; AutoAPI takes a
# module's name from its file, so each is read as `<module>.pyi`.
STUBS.mkdir(parents=True, exist_ok=True)
for module in ("zub", "zub_batch"):
    shutil.copyfile(ROOT / "python" / f"{module}-stubs" / "__init__.pyi", STUBS / f"{module}.pyi")

project = "zub"
release = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
copyright = "The zub authors"

extensions = ["autoapi.extension"]
autoapi_dirs = [str(STUBS)]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_options = ["members", "undoc-members", "show-module-summary"]
autoapi_member_order = "bysource"
# `name` in a docstring is code, linked where it names something documented.
default_role = "py:obj"

html_theme = "furo"
html_title = f"zub {release}"

# Classes the stubs declare though the module does not bind them: values of
# other classes' attributes (DayCountConvention.ACT_ACT, .THIRTY_360) and the
# type VanillaOption.implied_vol() returns.  They are documented all the same.
UNBOUND = {"zub.ActAct", "zub.Thirty360", "zub.ImpliedVolBuilder"}


def keep_unbound(app, what, name, obj, skip, options):
    return False if name in UNBOUND else None


def setup(app):
    app.connect("autoapi-skip-member", keep_unbound)
