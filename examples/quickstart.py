"""Price a small book of equity options with zub and print it as a table.

Run with `make demo`, or `python examples/quickstart.py` once zub is installed.
"""
import datetime as dt
from typing import Optional

import zub

UTC = dt.timezone.utc
ACT365 = zub.DayCountConvention.ACT_365_FIXED
CALL, PUT = zub.OptionType.Call, zub.OptionType.Put
AMERICAN, EUROPEAN = zub.ExerciseStyle.American, zub.ExerciseStyle.European

today = dt.datetime(2025, 1, 2, 21, 0, tzinfo=UTC)        # valuation instant
expiry = dt.datetime(2026, 1, 2, 21, 0, tzinfo=UTC)       # one year later


def fmt(x: Optional[float]) -> str:
    return "      -" if x is None else f"{x:9.4f}"


# --- market data -------------------------------------------------------------
flat_rate = zub.RateCurve.continuous(0.05, ACT365)
vol = zub.VolSurface.flat(0.20, ACT365)
plain = zub.OptionMarketFrame(100.0, flat_rate, vol)

dividends = zub.DividendSchedule([
    (dt.datetime(2025, 3, 14, 10, tzinfo=dt.timezone(dt.timedelta(hours=-4))), 1.0),
    (dt.datetime(2025, 9, 12, 10, tzinfo=dt.timezone(dt.timedelta(hours=-4))), 1.0),
])
with_divs = zub.OptionMarketFrame(100.0, flat_rate, vol, dividends)

curve = zub.RateCurve.interpolated(
    today.date(),
    [zub.Tenor.months(3), zub.Tenor.months(6), zub.Tenor.years(1), zub.Tenor.years(2)],
    [zub.InterestRate(r, zub.Compounding.continuous(), ACT365) for r in (0.043, 0.045, 0.048, 0.050)],
)
on_curve = zub.OptionMarketFrame(100.0, curve, vol)

analytic = zub.Config().add_policy(zub.InstrumentPolicy().analytic())
fine_fdm = zub.Config().add_policy(zub.InstrumentPolicy().fdm(zub.FdmConfig(time_steps=200, grid_nodes=401)))

# --- the book ----------------------------------------------------------------
book = [
    ("European call", 100.0, CALL, EUROPEAN, plain, None),
    ("European put", 100.0, PUT, EUROPEAN, plain, None),
    ("European put, FD 401x200", 100.0, PUT, EUROPEAN, plain, fine_fdm),
    ("American put, FD default", 100.0, PUT, AMERICAN, plain, None),
    ("American put, FD 401x200", 100.0, PUT, AMERICAN, plain, fine_fdm),
    ("American call, formula", 100.0, CALL, AMERICAN, plain, analytic),
    ("American put, 2 dividends", 100.0, PUT, AMERICAN, with_divs, fine_fdm),
    ("American call, 2 dividends", 100.0, CALL, AMERICAN, with_divs, fine_fdm),
    ("European call on curve", 105.0, CALL, EUROPEAN, on_curve, None),
]

print(f"valuation {today:%Y-%m-%d %H:%M} UTC, expiry {expiry:%Y-%m-%d}, spot 100, vol 20%, r 5%\n")
print(f"{'option':28}{'strike':>7}{'price':>10}{'delta':>10}{'gamma':>10}{'theta':>10}{'vega':>10}{'rho':>10}")
for name, strike, kind, style, frame, config in book:
    option = zub.VanillaOption(strike, expiry, kind, style)
    builder = option.valuation().market(frame).at(today)
    if config is not None:
        builder.config(config)
    result = builder.compute()
    g = result.greeks
    print(f"{name:28}{strike:7.1f} {fmt(result.price)} {fmt(g.delta)} {fmt(g.gamma)} {fmt(g.theta)} "
          f"{fmt(g.vega)} {fmt(g.rho)}")

print(f"\nyears to expiry: {zub.VanillaOption(100.0, expiry, CALL, EUROPEAN).years_to_expiry(today):.6f}")
print(f"zero rate of the curve at 1y: {curve.zero_rate(1.0):.4%}")

# --- implied volatility round trip --------------------------------------------
print("\nimplied volatility round trip (price at a known vol, then solve for it back):")
for name, kind, style, frame in (("European call", CALL, EUROPEAN, plain), ("American put", PUT, AMERICAN, plain)):
    option = zub.VanillaOption(100.0, expiry, kind, style)
    trial = zub.OptionMarketFrame(100.0, flat_rate, zub.VolSurface.flat(0.27, ACT365))
    target = option.valuation().market(trial).at(today).compute().price
    implied = option.implied_vol().market(frame).at(today).price(target).calculate()
    print(f"  {name:14} price at 27.00% = {target:8.4f}  ->  implied vol {implied:.4%}")
