"""Absurd finite-difference settings: MemoryError, a documented failure, a
value, or KeyboardInterrupt on Ctrl-C; never a crash or a hang.  Each case
runs in a forked child."""
import math
import os
import resource

import numpy as np
import pytest

import zub
import zub_batch
from hostile import check_isolated, isolated
from support import T0, config, frame, option, panic_type, policy

FdmConfig, TransformConfig = zub.FdmConfig, zub.TransformConfig
NODES_PANIC = "TridiagonalOperator requires at least 3 elements, found "


def valuation(settings, kind="put", style="american"):
    return option(kind, style).valuation().market(frame()).config(config(policy("fdm", fdm_config=settings))).at(T0)


def implied_vol(settings, kind="put", style="american"):
    cfg = config(policy("fdm", fdm_config=settings))
    return option(kind, style).implied_vol().market(frame()).config(cfg).at(T0).price(9.0)


def outcome(call):
    """What call() did, as a picklable value: a price, or the exception's type and text."""
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001
        return type(exc).__name__, str(exc)
    return "value", result if isinstance(result, float) else result.price


RUNS = {"compute": lambda s: valuation(s).compute, "calculate": lambda s: implied_vol(s).calculate}


@pytest.mark.parametrize("run", RUNS)
@pytest.mark.parametrize("nodes", [2**40, 2**40 + 1, 2**63, 2**64 - 1])
def test_grids_that_cannot_fit_raise_memory_error(run, nodes):
    assert isolated(lambda: outcome(RUNS[run](FdmConfig(grid_nodes=nodes))), timeout=20) == ("MemoryError", "")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan's reserved memory defeats the limit")
def test_memory_that_runs_out_inside_a_solve_is_a_memory_error():
    """The grid passes the up-front size check; an allocation of the solve fails."""
    def run():
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        settings = FdmConfig(time_steps=1, grid_nodes=20_000_001)
        got = zub_batch.value(frame(), 100.0, np.datetime64("2026-01-02"), 1, 0, valuation_time=T0,
                              config=config(policy("fdm", fdm_config=settings)), threads=1)
        return outcome(valuation(settings).compute), zub_batch.STATUS_NAMES[got["status"][()]]
    assert isolated(run, timeout=120) == (("MemoryError", ""), "ENGINE_FAILURE")


@pytest.mark.parametrize("run", RUNS)
@pytest.mark.parametrize("nodes, found", [(0, 1), (1, 1)])
def test_one_node_is_an_internal_failure(run, nodes, found):
    kind, text = isolated(lambda: outcome(RUNS[run](FdmConfig(grid_nodes=nodes))))
    assert (kind, text) == (panic_type().__name__, NODES_PANIC + str(found))


# Pins the odd-grid rule at its smallest: two nodes become three.
def test_two_nodes_are_made_three():
    two, three = (isolated(lambda n=n: outcome(valuation(FdmConfig(grid_nodes=n)).compute)) for n in (2, 3))
    assert two == three and two[0] == "value"


@pytest.mark.parametrize("width", [-4.0, -math.inf, math.nan, math.inf, 0.0, 1e308, 5e-324])
@pytest.mark.parametrize("transform", [TransformConfig.log(), TransformConfig.sinh(0.3), TransformConfig.sinh(0.0),
                                       TransformConfig.sinh(-0.3), TransformConfig.sinh(math.nan)],
                         ids=["log", "sinh", "sinh0", "sinh-neg", "sinh-nan"])
def test_degenerate_grid_widths_still_return_a_result(width, transform):
    """Nothing validates the width or alpha: the engine returns whatever
    numbers the grid gives (often NaN), as a result object."""
    settings = FdmConfig(time_steps=20, grid_nodes=51, grid_std_devs=width, transform=transform)
    check_isolated(valuation(settings).compute, lambda r: type(r) is zub.OptionResult and type(r.price) is float)


def test_nan_width_gives_nan_prices():
    kind, price = isolated(lambda: outcome(valuation(FdmConfig(grid_std_devs=math.nan)).compute))
    assert kind == "value" and math.isnan(price)


def interrupted(call):
    """Calls `call` in the child; reports whether Ctrl-C ended it inside."""
    entered = []

    def body():
        try:
            entered.append(True)
            call()
        except KeyboardInterrupt:
            return "interrupted" if entered else "interrupted before the call"
        return "finished"
    return body


@pytest.mark.parametrize("make", [valuation, implied_vol], ids=["compute", "calculate"])
@pytest.mark.parametrize("settings", [
    dict(time_steps=10**12), dict(time_steps=2**64 - 1), dict(time_steps=10**12, grid_nodes=10**6 + 1),
    dict(time_steps=10**12, grid_nodes=3),
], ids=["1e12-steps", "max-steps", "1e12-steps-1e6-nodes", "1e12-steps-3-nodes"])
def test_ctrl_c_ends_endless_solves(make, settings):
    builder = make(FdmConfig(**settings))
    run = builder.compute if make is valuation else builder.calculate
    assert isolated(interrupted(run), timeout=3.0, interrupt_after=0.5) == "interrupted"
