"""What the Python tests share: the UTC helpers, the internal-failure
exception type, and options, market frames and a reference Black-Scholes
for the execution tests."""
import datetime as dt
import math

import numpy as np

import zub

UTC = dt.timezone.utc
DCC = zub.DayCountConvention
T0 = dt.datetime(2025, 1, 2, 15, 30, tzinfo=UTC)
_PANIC_TYPE = None


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


def panic_type():
    """The internal-failure exception type, caught from a call known to raise it."""
    global _PANIC_TYPE
    if _PANIC_TYPE is None:
        try:
            zub.Tenor.months(-1).advance(dt.date(2024, 1, 1))
        except BaseException as exc:  # noqa: BLE001 - the exact type is wanted
            _PANIC_TYPE = type(exc)
        else:
            raise AssertionError("negative month tenor did not fail")
    return _PANIC_TYPE

STYLES = {"american": zub.ExerciseStyle.American, "european": zub.ExerciseStyle.European}
TYPES = {"call": zub.OptionType.Call, "put": zub.OptionType.Put}


def option(kind="put", style="european", strike=100.0, days=365):
    """An option expiring `days` days after T0 (T = days / 365 exactly)."""
    return zub.VanillaOption(strike, T0 + dt.timedelta(days=days), TYPES[kind], STYLES[style])


def frame(spot=100.0, r=0.05, vol=0.2, q=None, dividends=None, curve=None, vol_dcc=None):
    curve = curve or zub.RateCurve.continuous(r, DCC.ACT_365_FIXED)
    surface = zub.VolSurface.flat(vol, vol_dcc or DCC.ACT_365_FIXED)
    borrow = None if q is None else zub.RateCurve.continuous(q, DCC.ACT_365_FIXED)
    divs = None if dividends is None else zub.DividendSchedule(dividends)
    return zub.OptionMarketFrame(spot, curve, surface, divs, borrow)


def config(*policies):
    c = zub.Config()
    for p in policies:
        c.add_policy(p)
    return c


def value(opt, frm, cfg=None, at=T0):
    return opt.valuation().market(frm).config(cfg).at(at).compute()


def norm_cdf(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def black_scholes(kind, S, K, T, sigma, r, q=0.0):
    """Price and Greeks of a European option; theta per year, vega and rho per unit."""
    s = math.sqrt(T)
    d1 = (math.log(S / K) + (r - q + 0.5 * sigma * sigma) * T) / (sigma * s)
    d2 = d1 - sigma * s
    pdf = math.exp(-0.5 * d1 * d1) / math.sqrt(2.0 * math.pi)
    dr, dq = math.exp(-r * T), math.exp(-q * T)
    common = {"gamma": dq * pdf / (S * sigma * s), "vega": S * dq * pdf * s}
    decay = -S * dq * pdf * sigma / (2.0 * s)
    if kind == "call":
        return dict(common,
                    price=S * dq * norm_cdf(d1) - K * dr * norm_cdf(d2),
                    delta=dq * norm_cdf(d1),
                    theta=decay + q * S * dq * norm_cdf(d1) - r * K * dr * norm_cdf(d2),
                    rho=K * T * dr * norm_cdf(d2))
    return dict(common,
                price=K * dr * norm_cdf(-d2) - S * dq * norm_cdf(-d1),
                delta=dq * (norm_cdf(d1) - 1.0),
                theta=decay - q * S * dq * norm_cdf(-d1) + r * K * dr * norm_cdf(-d2),
                rho=-K * T * dr * norm_cdf(-d2))


def policy(*steps, fdm_config=None):
    """InstrumentPolicy with the named chain steps applied; 'fdm' uses fdm_config."""
    p = zub.InstrumentPolicy()
    for step in steps:
        p = p.fdm(fdm_config) if step == "fdm" else getattr(p, step)()
    return p


def heston_calls(F, D, K, T, v0, kappa, theta, sigma, rho):
    """European calls under Heston's model on forward F with discount factor D, by Lewis's
    formula (the characteristic function in Albrecher's stable form, trapezoid rule): to a
    few 1e-6 in price for the chains of the tests."""
    u = np.linspace(1e-8, 200.0, 8001)[:, None]
    z = u - 0.5j
    b = kappa - rho * sigma * 1j * z
    d = np.sqrt(b * b + sigma * sigma * (1j * z + z * z))
    g = (b - d) / (b + d)
    e = np.exp(-d * T)
    cf = np.exp(kappa * theta / sigma**2 * ((b - d) * T - 2 * np.log((1 - g * e) / (1 - g)))
                + v0 / sigma**2 * (b - d) * (1 - e) / (1 - g * e))
    x = np.log(F / np.asarray(K))[None, :]
    integral = np.trapezoid((np.exp(1j * u * x) * cf).real / (u * u + 0.25), u[:, 0], axis=0)
    return D * (F - np.sqrt(F * np.asarray(K)) / np.pi * integral)
