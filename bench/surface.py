"""Volatility surfaces from quotes: zub's SSVI fit against a known smile.

Chains come from a stochastic-volatility model with a known smile (QuantLib's
analytic Heston engine): 12 expiries from a week to three years, 40 strikes
each, calls and puts, quoted with bid and ask; the mid carries noise of half
a typical spread and 5 % of the quotes are junk (crossed, below intrinsic, or
above the price of infinite volatility).  The same smiles quoted as American
options (each strike's European Heston vol priced by the exercise-boundary
method at the model's carry) test the de-Americanisation.

Run as a script for the table; `run()` returns its rows for bench/run.py.
"""
from __future__ import annotations

import datetime as dt
import time

import numpy as np
import QuantLib as ql

import zub
import zub_batch as zb

UTC = dt.timezone.utc
ACT365 = zub.DayCountConvention.ACT_365_FIXED
TODAY = dt.datetime(2025, 1, 2, 21, tzinfo=UTC)
SPOT, RATE, CARRY = 100.0, 0.03, 0.01
DAYS = np.array([7, 14, 30, 61, 91, 122, 182, 273, 365, 547, 730, 1095])
HESTON = dict(v0=0.04, kappa=1.5, theta=0.05, sigma=0.6, rho=-0.7)
STRIKES = 40
EB = zub.Config().add_policy(zub.InstrumentPolicy().american().exercise_boundary())
KINDS = ("crossed", "below intrinsic", "above maximum")


def frame() -> zub.OptionMarketFrame:
    return zub.OptionMarketFrame(SPOT, zub.RateCurve.continuous(RATE, ACT365), zub.VolSurface.flat(0.2, ACT365),
                                 None, zub.RateCurve.continuous(CARRY, ACT365))


def heston_chain():
    """Expiries, strikes, types (0 call, 1 put), the model's European prices and vols, and the forwards."""
    ql.Settings.instance().evaluationDate = ql.Date(2, 1, 2025)
    day = ql.Actual365Fixed()
    today = ql.Date(2, 1, 2025)
    rate = ql.YieldTermStructureHandle(ql.FlatForward(today, RATE, day))
    carry = ql.YieldTermStructureHandle(ql.FlatForward(today, CARRY, day))
    process = ql.HestonProcess(rate, carry, ql.QuoteHandle(ql.SimpleQuote(SPOT)), HESTON["v0"], HESTON["kappa"],
                               HESTON["theta"], HESTON["sigma"], HESTON["rho"])
    engine = ql.AnalyticHestonEngine(ql.HestonModel(process), 1e-12, 10000)
    expiry, strike, kind, price = [], [], [], []
    for d in DAYS:
        T = d / 365.0
        F = SPOT * np.exp((RATE - CARRY) * T)
        width = 0.22 * np.sqrt(T)
        for K in F * np.exp(np.linspace(-2.5 * width, 1.8 * width, STRIKES)):
            for t in (0, 1):
                option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call if t == 0 else ql.Option.Put, K),
                                          ql.EuropeanExercise(today + int(d)))
                option.setPricingEngine(engine)
                expiry.append(np.datetime64("2025-01-02T21:00") + np.timedelta64(int(d), "D"))
                strike.append(K), kind.append(t), price.append(option.NPV())
    expiry, strike, kind, price = np.array(expiry), np.array(strike), np.array(kind, np.uint8), np.array(price)
    vol = zb.implied_vol(frame(), price, strike, expiry, kind, 1, valuation_time=TODAY)["vol"]
    T = (expiry - np.datetime64("2025-01-02T21:00")) / np.timedelta64(365, "D")
    return dict(expiry=expiry, strike=strike, kind=kind, price=price, vol=vol,
                forward=SPOT * np.exp((RATE - CARRY) * T))


def noise(price, rng):
    """Half a spread (2 cents plus 4 % of the price) and a noise of that size on the mid."""
    half = 0.01 + 0.02 * price
    return rng.normal(0.0, half), half


def junk(size, rng, share=0.05):
    """Each quote's junk kind (an index into KINDS), -1 for a good quote."""
    kind = np.full(size, -1)
    chosen = rng.choice(size, int(share * size), replace=False)
    kind[chosen] = rng.integers(0, 3, chosen.size)
    return kind


def quotes(chain, price, shift, half, spoilt=None):
    """Bid and ask around price + shift, with the spoilt quotes made junk of their kind."""
    mid = np.maximum(price + shift, 0.001)
    bid, ask = mid - half, mid + half
    if spoilt is None:
        return bid, ask
    T = (chain["expiry"] - np.datetime64("2025-01-02T21:00")) / np.timedelta64(365, "D")
    D, call = np.exp(-RATE * T), chain["kind"] == 0
    intrinsic = D * np.maximum(np.where(call, chain["forward"] - chain["strike"], chain["strike"] - chain["forward"]), 0)
    limit = D * np.where(call, chain["forward"], chain["strike"])
    crossed, above = spoilt == 0, spoilt == 2
    below = (spoilt == 1) & (intrinsic > 0.1)  # only a quote in the money can be below its intrinsic value
    bid[crossed], ask[crossed] = ask[crossed] + 0.05, bid[crossed]
    bid[below], ask[below] = 0.5 * intrinsic[below], 0.5 * intrinsic[below] + 0.01
    bid[above], ask[above] = limit[above] * 1.01, limit[above] * 1.02
    spoilt[(spoilt == 1) & ~below] = -1
    return bid, ask


def fit(chain, style, bid, ask, mask=None):
    mask = np.ones(bid.size, bool) if mask is None else mask
    start = time.perf_counter()
    result = zb.fit_surface(frame(), chain["expiry"][mask], chain["strike"][mask], chain["kind"][mask], style,
                            bid=bid[mask], ask=ask[mask], valuation_time=TODAY, config=EB)
    return result, time.perf_counter() - start


def american_prices(chain):
    """Each strike's European Heston vol priced as an American option (exercise boundary)."""
    return zb.value(frame(), chain["strike"], chain["expiry"], chain["kind"], 0, valuation_time=TODAY,
                    vol=chain["vol"], config=EB)["price"]


def dense_check(surface):
    return zb.check_surface(surface, k=np.linspace(-3, 3, 601), t=np.linspace(1 / 365, 6, 400))


def rms(x):
    return float(np.sqrt(np.mean(np.square(x))))


def measure(seed=1):
    """The accuracy rows: a dict of measured numbers."""
    chain = heston_chain()
    rng = np.random.default_rng(seed)
    shift, half = noise(chain["price"], rng)
    spoilt = junk(chain["price"].size, rng)
    bid, ask = quotes(chain, chain["price"], shift, half, spoilt)
    european, seconds = fit(chain, 1, bid, ask)
    used = european["status"] == 0
    out = dict(quotes=used.size, used=int(used.sum()), fit_ms=seconds * 1e3,
               model_rms=rms(european["fitted_vol"][used] - chain["vol"][used]),
               junk=int((spoilt >= 0).sum()), junk_dropped=int((european["status"][spoilt >= 0] != 0).sum()),
               junk_statuses={KINDS[k]: sorted({zb.QUOTE_STATUS_NAMES[s] for s in european["status"][spoilt == k]})
                              for k in range(3)},
               clean_dropped=int((european["status"][spoilt < 0] != 0).sum()),
               arbitrage_free=bool(dense_check(european["surface"])["ok"]))

    am = american_prices(chain)
    start = time.perf_counter()
    eq = zb.european_equivalents(frame(), chain["expiry"], chain["strike"], chain["kind"], 0, price=am,
                                 valuation_time=TODAY, config=EB)
    ok = eq["status"] == 0
    out.update(deam_ms=(time.perf_counter() - start) * 1e3, deam_used=int(ok.sum()),
               deam_vol_error=float(np.max(np.abs(eq["vol"][ok] - chain["vol"][ok]))),
               carry_error_bp=float(np.max(np.abs(eq["expiries"]["carry"] - CARRY)) * 1e4))

    # The same noise on the American and the European chain (no junk), each
    # fitted on its own: the forwards from noisy parity, the carry from noisy
    # call/put pairs.
    eu_all, _ = fit(chain, 1, *quotes(chain, chain["price"], shift, half))
    am_all, _ = fit(chain, 0, *quotes(chain, am, shift, half))
    both = (eu_all["status"] == 0) & (am_all["status"] == 0)
    out.update(american_carry_error_bp=float(np.max(np.abs(am_all["expiries"]["carry"] - CARRY)) * 1e4))
    out.update(american_fit_gap=rms(am_all["fitted_vol"][both] - eu_all["fitted_vol"][both]))
    return out


def report():
    m = measure()
    print(f"European chain: {m['used']} of {m['quotes']} quotes used, fit {m['fit_ms']:.1f} ms, "
          f"RMS against the model {m['model_rms'] * 100:.3f} vol points")
    print(f"  junk dropped: {m['junk_dropped']} of {m['junk']}, statuses {m['junk_statuses']}; "
          f"clean quotes dropped: {m['clean_dropped']}; arbitrage on a dense grid: "
          f"{'none' if m['arbitrage_free'] else 'FOUND'}")
    print(f"American chain, noise-free: de-Americanised vols within {m['deam_vol_error']:.1e} of the European ones "
          f"({m['deam_used']} quotes, {m['deam_ms']:.0f} ms), implied carry within {m['carry_error_bp']:.3f} bp")
    print(f"American chain with noise: fit within {m['american_fit_gap'] * 100:.3f} vol points RMS of the European fit, "
          f"implied carry within {m['american_carry_error_bp']:.2f} bp")


if __name__ == "__main__":
    report()
