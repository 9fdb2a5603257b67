"""Price a book of options on a Dask cluster with zub_batch.

The book is never held in one place: each partition (strikes, expiries,
types, styles and spots) is made and priced on a worker, and only what the
caller asks for comes back (here the book's total value and delta).  The
market frame and the configuration are zub objects sent to every worker
once (importing zub_batch makes them picklable).

Run `python examples/cluster_book.py [options] [partitions]` once zub and
the optional group zub[cluster] are installed.  Workers times threads per
worker stay within the machine's cores.
"""
from __future__ import annotations

import datetime as dt
import os
import sys
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

import zub
import zub_batch

UTC = dt.timezone.utc
VALUATION = dt.datetime(2025, 1, 2, 21, 0, tzinfo=UTC)
Floats = npt.NDArray[np.float64]


class Market(NamedTuple):
    """What every partition is priced against."""
    frame: zub.OptionMarketFrame
    config: zub.Config


class Partition(NamedTuple):
    strike: Floats
    expiry: npt.NDArray[np.datetime64]
    option_type: npt.NDArray[np.int8]
    exercise_style: npt.NDArray[np.int8]
    spot: Floats


def make_market(spot: float, rate: float, vol: float, grid_nodes: int, time_steps: int) -> Market:
    """A flat market, American options on a grid of the given size."""
    act365 = zub.DayCountConvention.ACT_365_FIXED
    frame = zub.OptionMarketFrame(spot, zub.RateCurve.continuous(rate, act365), zub.VolSurface.flat(vol, act365))
    config = zub.Config()
    config.add_policy(zub.InstrumentPolicy().american().fdm(zub.FdmConfig(grid_nodes=grid_nodes,
                                                                           time_steps=time_steps)))
    return Market(frame, config)


def make_partition(seed: int, size: int) -> Partition:
    """One slice of the book: a mix of calls and puts, American and European."""
    rng = np.random.default_rng(seed)
    days = rng.integers(7, 720, size).astype("timedelta64[D]")
    return Partition(
        strike=rng.uniform(50.0, 150.0, size).round(1),
        expiry=np.datetime64("2025-01-03T21:00", "s") + days,
        option_type=rng.integers(0, 2, size).astype(np.int8),
        exercise_style=rng.integers(0, 2, size).astype(np.int8),
        spot=rng.uniform(90.0, 110.0, size),
    )


def price_partition(part: Partition, market: Market, threads: int) -> zub_batch.ValueResult:
    """Price and Greeks of one partition, as the single-process call gives them."""
    return zub_batch.value(market.frame, part.strike, part.expiry, part.option_type, part.exercise_style,
                           valuation_time=VALUATION, config=market.config, spot=part.spot, threads=threads)


def price_seed(seed: int, size: int, market: Market, threads: int) -> zub_batch.ValueResult:
    """Make partition `seed` on the worker and price it there."""
    return price_partition(make_partition(seed, size), market, threads)


def book_totals(seed: int, size: int, market: Market, threads: int) -> Floats:
    """Total value and delta of the options of one partition priced OK, and
    the count of those that were not: all that travels back."""
    result = price_seed(seed, size, market, threads)
    ok = result["status"] == zub_batch.OK
    return np.array([result["price"][ok].sum(), result["delta"][ok].sum(), (~ok).sum()])


def main(options: int = 1_000_000, partitions: int = 16) -> None:
    from dask.distributed import Client, LocalCluster

    cores = len(os.sched_getaffinity(0))
    workers = max(1, min(4, cores))
    threads = max(1, cores // workers)          # zub_batch threads inside each worker
    market = make_market(spot=100.0, rate=0.03, vol=0.25, grid_nodes=101, time_steps=10)
    size = -(-options // partitions)
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True)  # type: ignore[no-untyped-call]
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        shipped = client.scatter(market, broadcast=True)
        futures = [client.submit(book_totals, seed, size, shipped, threads) for seed in range(partitions)]
        totals = sum(f.result() for f in futures)
    print(f"{partitions * size} options on {workers} workers x {threads} threads: "
          f"value {totals[0]:.2f}, delta {totals[1]:.2f}, not priced {int(totals[2])} (expired or refused)")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
