"""Volatility surfaces: the SSVI and term-structure forms, fitting them to
quotes (statuses, de-Americanisation), the arbitrage check, pricing off them."""
import datetime as dt
import pickle

import numpy as np
import pytest

import zub
import zub_batch as zb
from support import DCC, T0, config, heston_calls, policy, value

DAYS = np.array([14, 61, 182, 365, 730])
T = DAYS / 365.0
R, Q = 0.03, 0.01
FORWARDS = 100.0 * np.exp((R - Q) * T)
# Slices meeting the no-arbitrage conditions: theta and psi rising, |d(rho psi)| <= d psi.
THETAS, PSIS, RHOS = 0.04 * T * (1 + 0.3 / (1 + T)), np.array([0.03, 0.06, 0.1, 0.14, 0.2]), np.full(5, -0.6)
EB = config(policy("american", "exercise_boundary"))


def ssvi(dcc=DCC.ACT_365_FIXED, thetas=THETAS, psis=PSIS, rhos=RHOS, t=T):
    return zub.VolSurface.ssvi(100.0, list(t), list(FORWARDS), list(thetas), list(psis), list(rhos), dcc)


def market(surface, dcc=DCC.ACT_365_FIXED):
    return zub.OptionMarketFrame(100.0, zub.RateCurve.continuous(R, dcc), surface, None,
                                 zub.RateCurve.continuous(Q, dcc))


def chain(per_expiry=15):
    """Calls and puts at each strike of each expiry: expiry, strike, type arrays."""
    rows = [(T0 + dt.timedelta(days=int(d)), k, kind) for d, f, t in zip(DAYS, FORWARDS, T)
            for k in f * np.exp(np.linspace(-2.2, 1.8, per_expiry) * 0.22 * np.sqrt(t)) for kind in (0, 1)]
    return [np.array(c) for c in zip(*rows)]


def test_a_chain_priced_off_an_arbitrage_free_surface_gives_it_back():
    expiry, strike, kind = chain()
    true = ssvi()
    price = zb.value(market(true), strike, expiry, kind, 1, valuation_time=T0)["price"]
    fit = zb.fit_surface(market(zub.VolSurface.flat(0.2, DCC.ACT_365_FIXED)), expiry, strike, kind, 1,
                         price=price, valuation_time=T0)
    assert set(zb.QUOTE_STATUS_NAMES[s] for s in fit["status"]) == {"USED", "IN_THE_MONEY"}
    np.testing.assert_allclose(fit["expiries"]["forward"], FORWARDS, rtol=1e-13)
    np.testing.assert_allclose(np.c_[fit["theta"], fit["psi"], fit["rho"]], np.c_[THETAS, PSIS, RHOS], rtol=1e-6)
    assert fit["rms"] < 1e-9 and zb.check_surface(fit["surface"])["ok"]
    assert fit["expiries"]["status"] == ["used"] * len(DAYS)
    # Between and beyond the expiries the fitted surface follows the true one too.
    for K, t in [(90.0, 0.1), (120.0, 0.7), (100.0, 3.0), (80.0, 0.01)]:
        assert fit["surface"].volatility(K, t) == pytest.approx(true.volatility(K, t), rel=1e-6)


def test_junk_quotes_are_dropped_with_their_reason():
    expiry, strike, kind = chain()
    price = zb.value(market(ssvi()), strike, expiry, kind, 1, valuation_time=T0)["price"]
    bid, ask = price - 0.01, price + 0.01
    call_itm = np.flatnonzero((kind == 0) & (strike < 95))[0]
    junk = {"CROSSED": 3, "NO_SOLUTION": 7, "INVALID_INPUT": 12, "BELOW_INTRINSIC": call_itm}
    bid[3], ask[3] = ask[3], bid[3]
    bid[7], ask[7] = 150.0, 151.0
    bid[call_itm], ask[call_itm] = 0.1, 0.2
    strike = strike.copy()
    strike[12] = np.nan
    fit = zb.fit_surface(market(ssvi()), expiry, strike, kind, 1, bid=bid, ask=ask, valuation_time=T0)
    for name, i in junk.items():
        assert zb.QUOTE_STATUS_NAMES[fit["status"][i]] == name
    assert fit["rms"] < 0.01


def test_a_heston_chain_with_noise_and_junk():
    days = np.array([7, 30, 91, 182, 365, 1095])
    rng = np.random.default_rng(5)
    expiry, strike, kind, price = [], [], [], []
    for d in days:
        t = d / 365
        f, disc = 100 * np.exp((R - Q) * t), np.exp(-R * t)
        ks = f * np.exp(np.linspace(-2.5, 1.8, 20) * 0.22 * np.sqrt(t))
        calls = heston_calls(f, disc, ks, t, v0=0.04, kappa=1.5, theta=0.05, sigma=0.6, rho=-0.7)
        for c in (0, 1):
            expiry += [T0 + dt.timedelta(days=int(d))] * len(ks)
            strike += list(ks)
            kind += [c] * len(ks)
            price += list(calls if c == 0 else calls - disc * (f - ks))
    expiry, strike, kind, price = map(np.array, (expiry, strike, kind, price))
    model = zb.implied_vol(market(ssvi()), price, strike, expiry, kind, 1, valuation_time=T0)["vol"]
    half = 0.01 + 0.02 * price
    mid = np.maximum(price + rng.normal(0, half), 0.001)
    bid, ask = mid - half, mid + half
    crossed, above = rng.choice(len(price), 12, replace=False).reshape(2, 6)
    bid[crossed], ask[crossed] = ask[crossed] + 0.05, bid[crossed]
    bid[above], ask[above] = 200.0, 201.0
    fit = zb.fit_surface(market(ssvi()), expiry, strike, kind, 1, bid=bid, ask=ask, valuation_time=T0)
    used = fit["status"] == 0
    assert np.sqrt(np.mean((fit["fitted_vol"] - model)[used] ** 2)) < 0.005
    assert [zb.QUOTE_STATUS_NAMES[s] for s in fit["status"][crossed]] == ["CROSSED"] * 6
    assert [zb.QUOTE_STATUS_NAMES[s] for s in fit["status"][above]] == ["NO_SOLUTION"] * 6
    assert zb.check_surface(fit["surface"], k=np.linspace(-2, 2, 201), t=np.linspace(0.005, 4, 200))["ok"]


@pytest.mark.parametrize("surface, kind", [
    (ssvi(psis=[0.5, 0.6, 0.7, 0.8, 0.9], rhos=[-0.9] * 5), "butterfly"),   # psi^2 (1 + |rho|) > 4 theta
    (ssvi(thetas=THETAS[::-1].copy()), "calendar"),                          # theta falling
    (zub.VolSurface.term_structure(dt.date(2025, 1, 2), [zub.Tenor.months(3), zub.Tenor.years(1)], [0.4, 0.1],
                                   DCC.ACT_365_FIXED), "calendar"),
    (ssvi(psis=[3.0] * 5, rhos=[0.9] * 5, thetas=[5.0, 6, 7, 8, 9]), "wing"),  # slope psi (1 + rho) / 2 > 2
])
def test_the_check_finds_arbitrage_built_in(surface, kind):
    found = zb.check_surface(surface)
    assert not found["ok"] and kind in found["kind"]


def test_american_quotes_give_back_their_european_vols_and_carry():
    expiry, strike, kind = chain(per_expiry=9)
    surface = ssvi()
    t = (expiry - T0) / dt.timedelta(days=365)
    vol = np.array([surface.volatility(k, x) for k, x in zip(strike, t)])
    american = zb.value(market(surface), strike, expiry, kind, 0, valuation_time=T0, vol=vol, config=EB)["price"]
    eq = zb.european_equivalents(market(zub.VolSurface.flat(0.2, DCC.ACT_365_FIXED)), expiry, strike, kind, 0,
                                 price=american, valuation_time=T0, config=EB)
    used = eq["status"] == 0
    assert used.sum() >= len(strike) // 2
    np.testing.assert_allclose(eq["vol"][used], vol[used], atol=1e-7)
    np.testing.assert_allclose(eq["expiries"]["carry"], Q, atol=1e-7)
    european = zb.value(market(surface), strike, expiry, kind, 1, valuation_time=T0)["price"]
    np.testing.assert_allclose(eq["european_price"][used], european[used], rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("style, cfg", [(1, None), (0, EB), (0, None)])
def test_both_apis_price_off_the_surface_at_its_own_horizon(style, cfg):
    # Act/360: the surface's horizon differs from the Actual/365 time to expiry.
    surface = ssvi(dcc=DCC.ACT_360)
    frm = market(surface, DCC.ACT_360)
    strikes = np.array([80.0, 100.0, 125.0])
    expiry = T0 + dt.timedelta(days=200)
    vols = np.array([surface.volatility(k, 200 / 360) for k in strikes])
    off_surface = zb.value(frm, strikes, expiry, 1, style, valuation_time=T0, config=cfg)
    looked_up = zb.value(frm, strikes, expiry, 1, style, valuation_time=T0, config=cfg, vol=vols)
    np.testing.assert_array_equal(off_surface["price"], looked_up["price"])
    option = zub.VanillaOption(125.0, expiry, zub.OptionType.Put,
                               [zub.ExerciseStyle.American, zub.ExerciseStyle.European][style])
    assert value(option, frm, cfg).price == off_surface["price"][2]


@pytest.mark.parametrize("surface, dcc", [
    (ssvi(), DCC.ACT_365_FIXED),
    (zub.VolSurface.term_structure(dt.date(2025, 1, 2), [zub.Tenor.months(3), zub.Tenor.years(2)], [0.3, 0.2],
                                   DCC.ACT_360), DCC.ACT_360),
])
def test_surfaces_pickle_to_the_same_volatilities(surface, dcc):
    again = pickle.loads(pickle.dumps(market(surface, dcc))).vol_surface
    points = [(k, t) for k in (60.0, 100.0, 160.0) for t in (0.0, 0.02, 0.5, 1.7, 4.0)]
    assert [again.volatility(*p) for p in points] == [surface.volatility(*p) for p in points]


@pytest.mark.parametrize("args, message", [
    ((100.0, [1.0, 0.5], [100.0, 100.0], [0.04, 0.05], [0.1, 0.1], [0.0, 0.0]), "increasing"),
    ((100.0, [1.0], [100.0], [0.04], [0.1], [1.0]), "rhos"),
    ((100.0, [1.0], [100.0, 101.0], [0.04], [0.1], [0.0]), "one length"),
])
def test_ssvi_refuses_a_surface_it_cannot_define(args, message):
    with pytest.raises(ValueError, match=message):
        zub.VolSurface.ssvi(*args, DCC.ACT_365_FIXED)


def test_an_empty_chain_is_refused_or_answered_empty():
    empty = np.array([], dtype="datetime64[us]"), np.array([]), np.array([], dtype=np.uint8)
    with pytest.raises(ValueError, match="no quote"):
        zb.fit_surface(market(ssvi()), *empty, 1, price=np.array([]), valuation_time=T0)
    eq = zb.european_equivalents(market(ssvi()), *empty, 1, bid=np.array([]), ask=np.array([]), valuation_time=T0)
    assert eq["vol"].shape == (0,) and eq["expiries"]["status"] == []
