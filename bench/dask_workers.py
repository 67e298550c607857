"""edgeseg.dask.sorvik on one and on two one-thread workers against the
direct call, with every energy formed. Not a test: it prints figures, the
best of several interleaved rounds.

    python bench/dask_workers.py [--rounds 3] [--tolerance 1e-4]

The volume is the benchmark's 512 x 512 x 64 uint8 (bench/dask_bench.py), in
slabs of 8 planes already held by the workers. Both clusters live through
all rounds, and each round times the direct call, the one-worker run and
the two-worker run in turn, so that a change of the machine's load reaches
all three.
"""
import argparse
import os
import time

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait

import edgeseg
import edgeseg.dask

from dask_bench import synthetic


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--tolerance", type=float, default=1e-4)
    parser.add_argument("--iterations", type=int, default=6)
    arguments = parser.parse_args()
    # Window 5, weight 2, the last plain iteration 1, 3 classes: the C++ benchmark's volume case.
    settings = [5, 2, arguments.tolerance, arguments.iterations, 1, 3]
    volume = synthetic((64, 512, 512), 1)
    clusters = [LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None)
                for n in (1, 2)]
    clients = [Client(cluster, set_as_default=False) for cluster in clusters]
    held = [client.persist(da.from_array(volume, chunks=(8, 512, 512))) for client in clients]
    for client, chunks in zip(clients, held):
        wait(chunks)
    load = os.getloadavg()[0]
    best = {"direct": float("inf"), "one worker": float("inf"), "two workers": float("inf")}
    want = edgeseg.sorvik(volume, settings=settings)
    for _ in range(arguments.rounds):
        seconds, _ = timed(lambda: edgeseg.sorvik(volume, settings=settings))
        best["direct"] = min(best["direct"], seconds)
        for name, client, chunks in zip(("one worker", "two workers"), clients, held):
            with client.as_current():
                seconds, _ = timed(lambda: edgeseg.dask.sorvik(chunks, settings=settings))
                best[name] = min(best[name], seconds)
    with clients[1].as_current():
        labels = edgeseg.dask.sorvik(held[1], settings=settings).compute()
    assert np.array_equal(labels, want), "the workers' labels differ from the direct call's"
    print(f"512 x 512 x 64 uint8, settings {settings}, slabs of 8 planes, best of {arguments.rounds} rounds; "
          f"load average {load:.1f} before, {os.getloadavg()[0]:.1f} after")
    for name, seconds in best.items():
        print(f"  {name}: {seconds:.3f} s")
    print(f"  one worker / direct call: {best['one worker'] / best['direct']:.2f}x; "
          f"two workers against one: {best['one worker'] / best['two workers']:.2f}x faster")
    for client, cluster in zip(clients, clusters):
        client.close()
        cluster.close()


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main()
