"""edgeseg.dask.sorvik on a cluster against the one-process call. Not a test:
it prints figures, the best of several runs.

    python bench/dask_bench.py [--scheduler ADDRESS] [--runs 3]

Without --scheduler it starts process-based local clusters of one and of two
one-thread workers. With the address of a running scheduler it measures that
cluster as it is, with all its workers, unchanged otherwise.

Figures:
- the direct call and the run on one worker, on a 512 x 512 x 64 volume in
  slabs of 8 planes, the slabs already in the workers' memory;
- the run on two one-thread workers against one;
- the scheduler's time per iteration for 8, 64 and 512 slabs of one small
  plane each: without the energy (tolerance 0), with it through the slabs
  in order (tolerance > 0), and with exact sums;
- the serial part per iteration: the energy chain's pass over its terms
  (ns a pixel, in this process) and its cost per slab on the cluster, and
  the same runs with exact sums, which have none;
- each worker's peak memory against its slabs' share.
"""
import argparse
import os
import statistics
import time

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait

import edgeseg
import edgeseg._core
import edgeseg.dask

# Window 5, weight 2, every one of 6 iterations run, the last 4 with the
# edge term: the C++ benchmark's volume case.
VOLUME_SETTINGS = [5, 2, 0, 6, 1, 3]
CHAINED_SETTINGS = [5, 2, 1e-30, 6, 1, 3]  # a tolerance that never passes but asks for every energy


def synthetic(shape, seed):
    """Whole numbers in smooth regions with noise, as a microscope gives."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.linspace(0, 1, n) for n in shape], indexing="ij")
    regions = (np.sin(6 * grids[-1]) + np.cos(5 * grids[-2]) > 0).astype(np.float32) * 90 + 40 * grids[-1]
    return np.clip(np.round(regions + rng.normal(0, 20, shape)), 0, 255).astype(np.uint8)


def best(measure, runs):
    return min(measure() for _ in range(runs))


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def cluster_seconds(client, volume, settings, planes_per_slab, runs, exact=False):
    """The best run time with the slabs in the workers' memory before it starts."""
    held = client.persist(da.from_array(volume, chunks=(planes_per_slab,) + volume.shape[1:]))
    wait(held)
    seconds = best(lambda: timed(lambda: wait(edgeseg.dask.sorvik(held, settings=settings, exact_sums=exact))), runs)
    del held
    return seconds


def iteration_seconds(settings, slabs, runs, exact=False):
    """The time an iteration adds, on slabs of one 16 x 16 plane: the best
    run of 8 iterations less the best of 2, over 6."""
    volume = da.from_array(synthetic((slabs, 16, 16), 3), chunks=(1, 16, 16))

    def run(iterations):
        changed = list(settings)
        changed[3] = iterations
        return best(lambda: timed(lambda: edgeseg.dask.sorvik(volume, settings=changed, exact_sums=exact)), runs)

    return (run(8) - run(2)) / 6


def peak_memory(client):
    """Each worker's peak resident memory (Linux: VmHWM, which a new process
    starts afresh, unlike getrusage's maximum, which survives exec)."""
    return client.run(lambda: int(open("/proc/self/status").read().split("VmHWM:")[1].split()[0]) * 1024)


def chain_ns_per_pixel(runs):
    terms = np.random.default_rng(4).random(1 << 24, dtype=np.float32) * 1600
    return best(lambda: timed(lambda: edgeseg._core.continue_energy(terms, 0.0)), runs) / terms.size * 1e9


def report_cluster(client, name, volume, runs):
    workers = len(client.scheduler_info()["workers"])
    baseline = peak_memory(client)
    seconds = cluster_seconds(client, volume, VOLUME_SETTINGS, 8, runs)
    peaks = peak_memory(client)
    share = volume.size * (4 + 1) / workers  # image (float32) and labels (uint8) per worker
    print(f"{name}: {workers} worker(s): {seconds:.3f} s; peak memory per worker "
          f"{', '.join(f'{peaks[w] / 2**20:.0f} (from {baseline[w] / 2**20:.0f})' for w in sorted(peaks))} MiB, "
          f"slabs' share {share / 2**20:.0f} MiB")
    chained = cluster_seconds(client, volume, CHAINED_SETTINGS, 8, runs)
    exact = cluster_seconds(client, volume, CHAINED_SETTINGS, 8, runs, exact=True)
    print(f"  with every energy formed: {chained:.3f} s through the slabs in order, {exact:.3f} s with exact sums")
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786)")
    parser.add_argument("--runs", type=int, default=3)
    arguments = parser.parse_args()
    runs = arguments.runs

    volume = synthetic((64, 512, 512), 1)
    direct = best(lambda: timed(lambda: edgeseg.sorvik(volume, settings=VOLUME_SETTINGS)), runs)
    print(f"512 x 512 x 64, {VOLUME_SETTINGS}: direct call, one thread: {direct:.3f} s")
    print(f"energy chain in this process: {chain_ns_per_pixel(runs):.2f} ns a pixel")

    if arguments.scheduler:
        clusters = [(f"cluster at {arguments.scheduler}", lambda: Client(arguments.scheduler))]
    else:
        def local(workers):
            return lambda: Client(LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                               dashboard_address=None))
        clusters = [("local", local(1)), ("local", local(2))]

    times = []
    for name, connect in clusters:
        with connect() as client:
            times.append(report_cluster(client, name, volume, runs))
            for slabs in (8, 64, 512):
                chained = iteration_seconds(CHAINED_SETTINGS, slabs, runs)
                free = iteration_seconds(VOLUME_SETTINGS, slabs, runs)
                exact = iteration_seconds(CHAINED_SETTINGS, slabs, runs, exact=True)
                print(f"  {slabs} slabs of 16 x 16: {free * 1e3:.1f} ms an iteration without the energy, "
                      f"{chained * 1e3:.1f} ms with it through the slabs in order "
                      f"({(chained - free) / slabs * 1e3:.2f} ms a slab), {exact * 1e3:.1f} ms with exact sums")
        if not arguments.scheduler:
            time.sleep(1)  # the cluster's processes are gone before the next starts
    print(f"one worker / direct call: {times[0] / direct:.2f}x")
    if len(times) > 1:
        print(f"two one-thread workers against one: {times[0] / times[1]:.2f}x faster")


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main()
