"""Fit a volatility surface to an option chain and price off it.

A chain of bid/ask quotes (calls and puts, 8 expiries, 30 strikes each) is
made from a known smile with noise and a few junk quotes; zub_batch fits an
SSVI surface free of static arbitrage, says what became of every quote,
checks the surface, and prices a book off it.  The pictures (smiles against
the quotes, the surface as a heat map, the residuals) go to
$ZUB_EXAMPLES_OUT (build/examples unless set).
"""
import datetime as dt
import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import zub
import zub_batch as zb

OUT = Path(os.environ.get("ZUB_EXAMPLES_OUT", "build/examples")) / "vol_surface.png"
UTC = dt.timezone.utc
ACT365 = zub.DayCountConvention.ACT_365_FIXED
TODAY = dt.datetime(2025, 1, 2, 21, tzinfo=UTC)
SPOT, RATE, CARRY = 100.0, 0.04, 0.015
DAYS = np.array([9, 30, 63, 94, 185, 366, 548, 730])

rates = zub.RateCurve.continuous(RATE, ACT365)
borrow = zub.RateCurve.continuous(CARRY, ACT365)
frame = zub.OptionMarketFrame(SPOT, rates, zub.VolSurface.flat(0.2, ACT365), None, borrow)

# --- a chain quoted off a known smile ----------------------------------------
T = DAYS / 365
forwards = SPOT * np.exp((RATE - CARRY) * T)
thetas = 0.045 * T + 0.0004 * np.sqrt(T)
psis = 0.5 * np.sqrt(thetas)  # rising, with psi/theta falling: no calendar arbitrage
truth = zub.VolSurface.ssvi(SPOT, list(T), list(forwards), list(thetas), list(psis), [-0.65] * len(T), ACT365)
rng = np.random.default_rng(11)
rows = [(TODAY + dt.timedelta(days=int(d)), round(f * np.exp(k), 1), c)
        for d, f, t in zip(DAYS, forwards, T) for k in np.linspace(-2.4, 1.8, 30) * 0.2 * np.sqrt(t) for c in "CP"]
expiry = np.array([r[0] for r in rows])
strike = np.array([r[1] for r in rows])
kind = np.array([r[2] for r in rows])
fair = zb.value(zub.OptionMarketFrame(SPOT, rates, truth, None, borrow), strike, expiry, kind, "european",
                valuation_time=TODAY)["price"]
half = 0.01 + 0.015 * fair
mid = np.maximum(fair + rng.normal(0, half / 2), 0.005)
bid, ask = np.maximum(mid - half, 0.0), mid + half
junk = rng.choice(strike.size, 12, replace=False)
bid[junk[:6]], ask[junk[:6]] = ask[junk[:6]] + 0.1, bid[junk[:6]]   # crossed
bid[junk[6:]], ask[junk[6:]] = SPOT * 1.2, SPOT * 1.3              # no volatility reaches these

# --- the fit ---------------------------------------------------------------------
fit = zb.fit_surface(frame, expiry, strike, kind, "european", bid=bid, ask=ask, valuation_time=TODAY)
names = np.array(zb.QUOTE_STATUS_NAMES)
print("quotes:", dict(zip(*np.unique(names[fit["status"]], return_counts=True))))
print(f"fit: {fit['iterations']} iterations, RMS {fit['rms'] * 100:.2f} vol points over the quotes used")
print("forwards implied by parity:", np.round(fit["expiries"]["forward"], 3))
check = zb.check_surface(fit["surface"])
print("static arbitrage:", "none" if check["ok"] else sorted(set(check["kind"])))

# --- pricing off the fitted surface ----------------------------------------------
market = zub.OptionMarketFrame(SPOT, rates, fit["surface"], None, borrow)
book = zb.value(market, [90.0, 100.0, 110.0], TODAY + dt.timedelta(days=120), "put", "american",
                valuation_time=TODAY, config=zub.Config().add_policy(zub.InstrumentPolicy().american()
                                                                     .exercise_boundary()))
print("American puts 90/100/110, 120 days, off the surface:", np.round(book["price"], 4))

# --- pictures ----------------------------------------------------------------------
used = fit["status"] == 0
t_quote = np.array([(e - TODAY).days / 365 for e in expiry])
fwd = np.interp(t_quote, T, forwards)
k_quote = np.log(strike / fwd)
fig = plt.figure(figsize=(13, 8.5))
grid = fig.add_gridspec(2, 3)
ax = fig.add_subplot(grid[0, :2])
for j, (t, f) in enumerate(zip(T, forwards)):
    mine = used & np.isclose(t_quote, t)
    colour = matplotlib.colormaps["viridis"](j / len(T))
    ks = np.linspace(k_quote[mine].min(), k_quote[mine].max(), 100)
    ax.plot(ks, [fit["surface"].volatility(f * np.exp(k), t) for k in ks], color=colour, label=f"{DAYS[j]} d")
    ax.plot(k_quote[mine], fit["vol"][mine], ".", color=colour, ms=3)
ax.set(xlabel="log-forward moneyness k", ylabel="implied vol", title="Fitted smiles and the quotes used")
ax.legend(ncol=2, fontsize=8)

ax = fig.add_subplot(grid[0, 2])
ks, ts = np.linspace(-0.5, 0.4, 90), np.linspace(0.02, 2.2, 90)
heat = [[fit["surface"].volatility(SPOT * np.exp((RATE - CARRY) * t + k), t) for k in ks] for t in ts]
image = ax.pcolormesh(ks, ts, heat, shading="auto", cmap="magma")
fig.colorbar(image, ax=ax, label="vol")
ax.set(xlabel="k", ylabel="years", title="The surface")

ax = fig.add_subplot(grid[1, :])
ax.scatter(t_quote[used], (fit["fitted_vol"] - fit["vol"])[used] * 100, s=4, c=k_quote[used], cmap="coolwarm")
ax.axhline(0, color="grey", lw=0.5)
ax.set(xlabel="years to expiry", ylabel="fitted - quoted (vol points)",
       title="Residuals (colour: moneyness); junk and in-the-money twins left out")
fig.tight_layout()
OUT.parent.mkdir(parents=True, exist_ok=True)
fig.savefig(OUT, dpi=100)
print(f"wrote {OUT}")
