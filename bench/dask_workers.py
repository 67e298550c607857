"""edgeseg.dask.sorvik on one and on two one-thread workers against the
direct call, with every energy formed. Not a test: it prints figures, the
best of several interleaved rounds.

    python bench/dask_workers.py [--rounds 3] [--tolerance 1e-4]

The volume is the benchmark's 512 x 512 x 64 uint8 (bench/dask_bench.py), in
slabs of 8 planes already held by the workers. The two clusters stay up
side by side, and each round runs every case once, in turn, so that a
change of the machine's speed reaches all of them. For scale, the direct
call also runs on two threads (what two cores give this work within one
process), and the two workers' run reports how many of the machine's cores
it kept busy, the client's and the scheduler's time included (both run in
this process).
"""
import argparse
import contextlib
import os
import time
import warnings

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import edgeseg
import edgeseg.dask

from dask_bench import synthetic


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def processor_seconds(client=None):
    """This process's processor time, or with a client the sum of its
    workers': what the work costs, whatever else the machine runs."""
    if client is None:
        return time.process_time()
    return sum(client.run(lambda: sum(os.times()[:2])).values())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--tolerance", type=float, default=1e-4)
    parser.add_argument("--iterations", type=int, default=6)
    arguments = parser.parse_args()
    warnings.simplefilter("ignore", edgeseg.ConvergenceWarning)  # six iterations stop at the limit by design
    # Window 5, weight 2, the last plain iteration 1, 3 classes: the C++ benchmark's volume case.
    settings = [5, 2, arguments.tolerance, arguments.iterations, 1, 3]
    volume = synthetic((64, 512, 512), 1)
    want = edgeseg.sorvik(volume, settings=settings)
    best, processor, own = {}, {}, {}
    # Both clusters stay up, so that each round runs every case in turn: the
    # machine's speed drifts by a fifth within minutes, and cases timed in
    # different minutes would carry that drift into their ratios.
    clusters = {}
    for workers in (1, 2):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster, set_as_default=False)
        client.wait_for_workers(workers)
        with running_on(client):
            held = da.from_array(volume, chunks=(8, 512, 512)).persist()
            labels = edgeseg.dask.sorvik(held, settings=settings).compute()  # the chunks are in memory after it
        assert np.array_equal(labels, want), "the workers' labels differ from the direct call's"
        clusters[workers] = cluster, client, held
    load = os.getloadavg()[0]
    calls = [("direct", lambda: edgeseg.sorvik(volume, settings=settings), None),
             *[(f"{workers} worker(s)", on_cluster(client, held, settings), client)
               for workers, (_, client, held) in clusters.items()],
             ("direct, 2 threads", lambda: edgeseg.sorvik(volume, settings=settings, threads=2), None)]
    rounds = []  # each round's seconds by case
    for _ in range(arguments.rounds):
        rounds.append({})
        for name, call, on in calls:
            before, driver = processor_seconds(on), time.process_time()
            rounds[-1][name] = timed(call)[0]
            best[name] = min(best.get(name, float("inf")), rounds[-1][name])
            processor[name] = min(processor.get(name, float("inf")), processor_seconds(on) - before)
            if on is not None:  # the client and the scheduler run in this process
                own[name] = min(own.get(name, float("inf")), time.process_time() - driver)
    print(f"load average {load:.1f} before, {os.getloadavg()[0]:.1f} after", flush=True)
    for cluster, client, _ in clusters.values():
        client.close()
        cluster.close()
    print(f"512 x 512 x 64 uint8, settings {settings}, slabs of 8 planes, best of {arguments.rounds} rounds, every "
          "case once a round, in turn")
    for name, seconds in best.items():
        print(f"  {name}: {seconds:.3f} s, processor time {processor[name]:.3f} s (the workers' for a cluster)"
              + (f", and {own[name]:.3f} s for the client and the scheduler" if name in own else ""))
    print(f"  one worker / direct call: {best['1 worker(s)'] / best['direct']:.2f}x; two workers against one: "
          f"{best['1 worker(s)'] / best['2 worker(s)']:.2f}x faster")
    print(f"  the median of the rounds' own ratios: one worker / direct call "
          f"{median_ratio(rounds, '1 worker(s)', 'direct'):.2f}x, two workers against one "
          f"{median_ratio(rounds, '1 worker(s)', '2 worker(s)'):.2f}x faster, two threads against one "
          f"{median_ratio(rounds, 'direct', 'direct, 2 threads'):.2f}x faster")
    print(f"  processor time, one worker / direct call: {processor['1 worker(s)'] / processor['direct']:.2f}x")
    print(f"  the direct call on two threads: {best['direct'] / best['direct, 2 threads']:.2f}x faster than on one")
    busy = (processor["2 worker(s)"] + own["2 worker(s)"]) / best["2 worker(s)"]
    print(f"  while two workers ran, {busy:.2f} of the machine's {os.cpu_count()} cores were busy with the run")


def median_ratio(rounds, over, under):
    """The median over the rounds of case `over`'s seconds / case `under`'s."""
    return float(np.median([times[over] / times[under] for times in rounds]))


@contextlib.contextmanager
def running_on(client):
    """Dask's work on `client`'s cluster, whatever client is the default."""
    with client.as_current(), dask.config.set(scheduler=client.get):
        yield


def on_cluster(client, held, settings):
    """A run of edgeseg.dask.sorvik on `client`'s cluster."""
    def run():
        with running_on(client):
            return edgeseg.dask.sorvik(held, settings=settings)
    return run


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main()
