"""Price, delta, gamma and theta against spot for an American and a European put
with one cash dividend, both by finite differences, and the put's value across the
ex-date.  Writes greeks_vs_spot.png into $ZUB_EXAMPLES_OUT (build/examples
unless set).

Run with `make examples`, or `python examples/greeks_vs_spot.py` once zub and
matplotlib are installed (`pip install ".[examples]"`).
"""
from __future__ import annotations

import datetime as dt
import os
from pathlib import Path
from typing import Callable, Optional

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402

import zub  # noqa: E402

UTC = dt.timezone.utc
ACT365 = zub.DayCountConvention.ACT_365_FIXED
OUT = Path(os.environ.get("ZUB_EXAMPLES_OUT", "build/examples")) / "greeks_vs_spot.png"

TODAY = dt.datetime(2025, 1, 2, 21, 0, tzinfo=UTC)
EXPIRY = TODAY + dt.timedelta(days=365)
EX_DATE = TODAY + dt.timedelta(days=182)
STRIKE, RATE, VOL, DIVIDEND = 100.0, 0.05, 0.25, 3.0

RATES = zub.RateCurve.continuous(RATE, ACT365)
SURFACE = zub.VolSurface.flat(VOL, ACT365)
SCHEDULE = zub.DividendSchedule([(EX_DATE, DIVIDEND)])

# Every kind of option on a fine grid.  The closed form takes no discrete
# dividends, so the European put is priced by finite differences too.
FINE_FD = zub.Config().add_policy(zub.InstrumentPolicy().fdm(zub.FdmConfig(time_steps=200, grid_nodes=401)))

AMERICAN = zub.VanillaOption(STRIKE, EXPIRY, zub.OptionType.Put, zub.ExerciseStyle.American)
EUROPEAN = zub.VanillaOption(STRIKE, EXPIRY, zub.OptionType.Put, zub.ExerciseStyle.European)


def value(option: zub.VanillaOption, spot: float, at: dt.datetime = TODAY,
          dividends: Optional[zub.DividendSchedule] = SCHEDULE) -> zub.OptionResult:
    frame = zub.OptionMarketFrame(spot, RATES, SURFACE, dividends)
    config = FINE_FD if dividends is not None else None  # None: the European formula
    return option.valuation().market(frame).config(config).at(at).compute()


def main() -> None:
    spots = [60.0 + 0.5 * i for i in range(161)]
    curves = {
        "American put": [value(AMERICAN, s) for s in spots],
        "European put": [value(EUROPEAN, s) for s in spots],
        "European put, no dividend (formula)": [value(EUROPEAN, s, dividends=None) for s in spots],
    }
    styles = {"American put": "C3", "European put": "C0", "European put, no dividend (formula)": "0.55"}

    fig, axes = plt.subplots(2, 3, figsize=(15, 8.5), layout="constrained")
    panels: list[tuple[Axes, str, Callable[[zub.OptionResult], float]]] = [
        (axes[0, 0], "price", lambda r: r.price),
        (axes[0, 1], "delta", lambda r: r.greeks.delta),
        (axes[1, 0], "gamma", lambda r: r.greeks.gamma),
        (axes[1, 1], "theta (per year)", lambda r: r.greeks.theta),
    ]
    for ax, label, pick in panels:
        for name, results in curves.items():
            dashed = name.endswith("(formula)")
            ax.plot(spots, [pick(r) for r in results], color=styles[name], lw=1.2 if dashed else 1.8,
                    ls="--" if dashed else "-", label=name)
        ax.axvline(STRIKE, color="0.8", lw=0.8, zorder=0)
        ax.set_xlabel("spot")
        ax.set_ylabel(label)
        ax.set_title(f"{label} against spot")
        ax.grid(alpha=0.3)
    axes[0, 0].plot(spots, [max(STRIKE - s, 0.0) for s in spots], color="k", lw=0.8, ls=":", label="exercise value")
    axes[0, 0].legend(fontsize=8)

    premium = [a.price - e.price for a, e in zip(curves["American put"], curves["European put"])]
    ax = axes[0, 2]
    ax.plot(spots, premium, color="C2", lw=1.8)
    ax.axvline(STRIKE, color="0.8", lw=0.8, zorder=0)
    ax.set_xlabel("spot")
    ax.set_ylabel("American - European price")
    ax.set_title("early-exercise premium")
    ax.grid(alpha=0.3)

    # At a fixed spot the value drops at the ex-date by about the dividend's
    # effect: before it the put still gains from the coming fall in the stock.
    days = list(range(0, 361, 2))
    when = [TODAY + dt.timedelta(days=d) for d in days]
    ax = axes[1, 2]
    for name, option in (("American put", AMERICAN), ("European put", EUROPEAN)):
        ax.plot(days, [value(option, STRIKE, at=t).price for t in when], color=styles[name], lw=1.8, label=name)
    ax.axvline(182, color="0.5", lw=0.8, ls="--", label=f"ex-date (dividend {DIVIDEND:g})")
    ax.set_xlabel("valuation date (days from today)")
    ax.set_ylabel("price at spot = strike")
    ax.set_title("value at the money through time")
    ax.legend(fontsize=8)
    ax.grid(alpha=0.3)

    fig.suptitle(f"Puts struck at {STRIKE:g}, one year, r {RATE:.0%}, vol {VOL:.0%}, "
                 f"dividend {DIVIDEND:g} in six months; finite differences 401 nodes x 200 steps")
    OUT.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(OUT, dpi=110)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
