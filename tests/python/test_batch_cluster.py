"""The cluster recipe: partitions priced by Dask workers in other processes."""
import sys

import cloudpickle
import numpy as np
from dask.distributed import Client, LocalCluster

import zub_batch
from readme_blocks import ROOT

sys.path.insert(0, str(ROOT / "examples"))
import cluster_book  # noqa: E402

FIELDS = ("price", "delta", "gamma", "theta", "vega", "rho", "status")


def test_two_worker_processes_match_one_process_bit_for_bit():
    cloudpickle.register_pickle_by_value(cluster_book)
    market = cluster_book.make_market(spot=100.0, rate=0.03, vol=0.25, grid_nodes=31, time_steps=5)
    partitions, size = 8, 12_500
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        shipped = client.scatter(market, broadcast=True)
        futures = [client.submit(cluster_book.price_seed, seed, size, shipped, 1) for seed in range(partitions)]
        remote = [f.result() for f in futures]
        assert len({w["pid"] for w in client.run(lambda: {"pid": __import__("os").getpid()}).values()}) == 2
    parts = [cluster_book.make_partition(seed, size) for seed in range(partitions)]
    book = cluster_book.Partition(*(np.concatenate(column) for column in zip(*parts)))
    assert (book.exercise_style == 0).mean() > 0.4 and (book.exercise_style == 1).mean() > 0.4
    local = zub_batch.value(market.frame, book.strike, book.expiry, book.option_type, book.exercise_style,
                            valuation_time=cluster_book.VALUATION, config=market.config, spot=book.spot)
    assert len(local["price"]) >= 100_000 and (local["status"] == zub_batch.OK).all()
    for field in FIELDS:
        assert np.concatenate([r[field] for r in remote]).tobytes() == local[field].tobytes(), field
