"""Config.implied_vol_solver and the exact search: the default search unchanged,
the rational inversion exact, the choice kept by pickling."""
import copy
import datetime as dt
import math
import pickle

import numpy as np
import pytest

import zub
import zub_batch as zb
from support import T0, config, frame, option, policy, value


KINDS = {"call": 0, "put": 1}


def solve(opt, frm, target, cfg=None):
    return opt.implied_vol().market(frm).config(cfg).at(T0).price(target).calculate()


CASES = [("call", 100.0, 365, 0.25), ("put", 80.0, 30, 0.6), ("call", 130.0, 730, 0.12), ("put", 100.0, 3650, 3.0),
         ("call", 100.0, 1, 0.004), ("put", 95.0, 90, 0.02), ("call", 400.0, 365, 1.5)]


@pytest.mark.parametrize("kind, strike, days, vol", CASES)
def test_exact_search_on_the_closed_form_is_exact(kind, strike, days, vol):
    opt = option(kind, "european", strike, days)
    target = value(opt, frame(vol=vol, q=0.01)).price
    exact = config().implied_vol_solver("exact")
    found = solve(opt, frame(q=0.01), target, exact)
    # The vol to the quote's own precision: 1e-13 plus what the closed form's rounding (a few ulps of its
    # two terms, S e^{-qT} and K e^{-rT}) moves it, over the vega.
    vega = value(opt, frame(vol=vol, q=0.01)).greeks.vega
    assert abs(found - vol) <= 1e-13 * vol + 4 * math.ulp(100.0 + strike) / vega
    # The same numbers through the arrays, whose default search this is.
    got = zb.implied_vol(frame(q=0.01), target, strike, T0 + dt.timedelta(days=days), KINDS[kind], 1,
                         valuation_time=T0)
    assert got["vol"].item() == found


def test_without_the_call_every_search_is_as_before_to_the_bit():
    # Brent on [0.1, 5.0] to 1e-4: the configured "brent" and the default agree to the bit, and neither is
    # the exact answer.
    opt = option("call", "european", 110.0, 200)
    target = value(opt, frame(vol=0.3)).price
    default = solve(opt, frame(), target)
    assert default == solve(opt, frame(), target, config().implied_vol_solver("brent"))
    assert default == solve(opt, frame(), target, config().implied_vol_solver("brent", 1e-4, 100, 0.1, 5.0))
    assert abs(default - 0.3) > 1e-9
    with pytest.raises(ValueError, match="Root is not bracketed"):
        solve(opt, frame(), value(opt, frame(vol=0.05)).price)


def test_exact_means_newton_for_the_boundary_method_and_brent_for_finite_differences():
    american = option("put", "american", 105.0, 300)
    boundary, grid = config(policy("exercise_boundary")), config(policy("fdm"))
    target = value(american, frame(vol=0.4), boundary).price
    newton = solve(american, frame(), target, boundary)
    assert solve(american, frame(), target, copy.copy(boundary).implied_vol_solver("exact")) == newton
    # Bisection asked for replaces the boundary method's Newton search.
    bisected = solve(american, frame(), target, copy.copy(boundary).implied_vol_solver("bisection", 1e-12))
    assert bisected != newton and bisected == pytest.approx(0.4, abs=1e-6)
    target = value(american, frame(vol=0.4), grid).price
    assert solve(american, frame(), target, copy.copy(grid).implied_vol_solver("exact")) == \
        solve(american, frame(), target, copy.copy(grid).implied_vol_solver("brent"))


def test_bounds_filter_the_exact_answer_and_the_settings_are_checked_at_calculate():
    opt = option("put", "european", 90.0, 100)
    target = value(opt, frame(vol=0.05)).price
    assert solve(opt, frame(), target, config().implied_vol_solver("exact")) == pytest.approx(0.05, rel=1e-13)
    with pytest.raises(ValueError, match=r"^Root is not bracketed. f\(low\) = .*, f\(high\) = "):
        solve(opt, frame(), target, config().implied_vol_solver("exact", low=0.1))
    for bad, text in [(("newton",), "method must be"), (("brent", -1.0), "tolerance must be"),
                      (("exact", None, None, 0.5, 0.2), "bounds must satisfy")]:
        cfg = config().implied_vol_solver(*bad)  # accepted here, refused when a search starts
        with pytest.raises(ValueError, match=text):
            solve(opt, frame(), target, cfg)
        got = zb.implied_vol(frame(), target, 90.0, T0 + dt.timedelta(days=100), 1, 1, valuation_time=T0, config=cfg,
                             messages=True)
        assert np.isnan(got["vol"].item()) and text in got["message"][0]
    with pytest.raises(TypeError, match="argument 'method'"):
        config().implied_vol_solver(3)


def test_pickling_keeps_the_solver_and_older_states_still_load():
    cfg = config(policy("fdm")).implied_vol_solver("bisection", 1e-6, 40, 0.05, 3.0)
    twin = pickle.loads(pickle.dumps(cfg))
    assert pickle.dumps(twin) == pickle.dumps(cfg)
    american = option("put", "american", 105.0, 300)
    target = value(american, frame(vol=0.4), cfg).price
    assert solve(american, frame(), target, twin) == solve(american, frame(), target, cfg)
    # States written before the field: the slots alone, and the slots with a bump.
    plain = zb._config([("fdm", None), ("fdm", None), ("unset", None), ("unset", None)])
    assert pickle.dumps(plain) == pickle.dumps(zub.Config())
    bumped = zb._config([("fdm", None), ("fdm", None), ("unset", None), ("unset", None)], 0.002)
    assert pickle.dumps(bumped) == pickle.dumps(zub.Config().fdm_vega_rho(0.002))
