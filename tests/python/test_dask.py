"""edgeseg.dask.sorvik: the labels of one edgeseg.sorvik call on the whole
volume, for every chunking, cluster, data kind and tolerance; after a worker
is killed mid-run; and on a volume larger than any worker's memory limit."""
import os
import signal

import dask
import dask.array as da
import numpy as np
import pytest
import zarr
from distributed import Client, LocalCluster

import edgeseg
import edgeseg.dask

SETTINGS = dict(class_count=3, window_size=5, edge_weight=300, max_iterations=12, last_plain_iteration=2)
TOLERANCES = (0.0, 1e-3)


def whole_volume():
    return np.random.default_rng(1).integers(0, 256, (11, 24, 30)).astype(np.uint8)


def float_volume():
    # Values far finer than the rest make the class sums round: they then
    # run through the slabs in order.
    volume = np.random.default_rng(2).normal(100, 40, (11, 24, 30)).astype(np.float32)
    volume[4, 5, 6] = 3e-20
    return volume


VOLUMES = {"whole": whole_volume(), "float": float_volume()}
CASES = [(kind, tolerance, exact) for kind in VOLUMES for tolerance in TOLERANCES for exact in (False, True)]


def expected(kind, tolerance, exact=False):
    return edgeseg.sorvik(VOLUMES[kind], tolerance=tolerance, exact_sums=exact, return_info=True, **SETTINGS)


def check_run(kind, tolerance, exact, planes_per_chunk, **options):
    volume = da.from_array(VOLUMES[kind], chunks=(planes_per_chunk, 13, 16))
    labels, info = edgeseg.dask.sorvik(volume, tolerance=tolerance, exact_sums=exact, return_info=True, **SETTINGS,
                                       **options)
    want_labels, want_info = expected(kind, tolerance, exact)
    assert labels.chunks[0][0] == min(planes_per_chunk, 11)
    np.testing.assert_array_equal(labels.compute(), want_labels)
    for field in ("centres", "energies", "counts"):
        np.testing.assert_array_equal(getattr(info, field), getattr(want_info, field))
    assert (info.iterations, info.converged) == (want_info.iterations, want_info.converged)


@pytest.mark.parametrize("kind,tolerance,exact", CASES)
def test_default_scheduler_gives_one_call_labels_for_every_chunking(kind, tolerance, exact):
    for planes in (1, 3, 7, 11):
        check_run(kind, tolerance, exact, planes, threads=2)


# Every cluster meets every chunking, and every data kind, tolerance and
# way of summing, in a pattern that keeps the clusters few.
@pytest.mark.parametrize("processes", [False, True], ids=["threads", "processes"])
@pytest.mark.parametrize("workers", [1, 2, 4])
def test_clusters_give_one_call_labels(processes, workers):
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=processes, dashboard_address=None) as cluster:
        with Client(cluster):
            for shift, planes in enumerate((1, 3, 7, 11)):
                check_run(*CASES[(2 * shift + workers + 4 * processes) % len(CASES)], planes)


def test_labels_written_to_zarr_and_progress_reported(tmp_path):
    out = zarr.open(str(tmp_path / "labels.zarr"), mode="w", shape=(11, 24, 30), chunks=(4, 24, 30), dtype="u1")
    reports = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster):
            written = edgeseg.dask.sorvik(da.from_array(VOLUMES["float"], chunks=3), tolerance=1e-3, out=out,
                                          progress=reports.append, **SETTINGS)
    assert written is out
    want_labels, want_info = expected("float", 1e-3)
    np.testing.assert_array_equal(out[:], want_labels)
    assert [report.energy for report in reports] == list(want_info.energies)
    assert reports[-1].last and reports[-1].converged == want_info.converged


def test_a_killed_worker_leaves_the_labels_unchanged(tmp_path):
    """A worker process killed after the third iteration: its nanny starts
    another, Dask rebuilds the lost slabs from their inputs and the run ends
    with the one-call labels."""
    volume = VOLUMES["whole"]
    want_labels = edgeseg.sorvik(volume, tolerance=0.0, **SETTINGS)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            pids = list(client.run(os.getpid).values())

            def kill_one(report):
                if report.iteration == 2:
                    os.kill(pids[0], signal.SIGKILL)

            labels = edgeseg.dask.sorvik(da.from_array(volume, chunks=2), tolerance=0.0, progress=kill_one, **SETTINGS)
            np.testing.assert_array_equal(labels.compute(), want_labels)
            assert pids[0] not in client.run(os.getpid).values()


def test_a_volume_larger_than_any_worker_memory_limit():
    """4 workers of 400 MiB each and a float32 volume of 420 MiB: every
    worker keeps its slabs' share, none is restarted for memory, and the
    labels are those of one call."""
    shape = (105, 1024, 1024)
    volume = da.random.RandomState(3).randint(0, 256, shape, chunks=(3, 1024, 1024)).astype(np.float32)
    settings = dict(class_count=2, window_size=3, edge_weight=200, tolerance=0.0, max_iterations=2,
                    last_plain_iteration=0)
    limit = 400 * 2**20
    assert volume.nbytes > limit
    with LocalCluster(n_workers=4, threads_per_worker=1, processes=True, memory_limit=limit,
                      dashboard_address=None) as cluster:
        with Client(cluster) as client:
            before = set(client.run(os.getpid).values())
            labels = edgeseg.dask.sorvik(volume, **settings)
            peaks = client.run(lambda: int(open("/proc/self/status").read().split("VmHWM:")[1].split()[0]) * 1024)
            assert set(client.run(os.getpid).values()) == before
            got = labels.astype(np.uint8).compute()
    print(f"peak worker memory: {sorted(round(peak / 2**20) for peak in peaks.values())} MiB of {limit / 2**20} MiB")
    assert max(peaks.values()) < limit
    with dask.config.set(scheduler="threads"):
        whole = volume.compute()
    np.testing.assert_array_equal(got, edgeseg.sorvik(whole, **settings, threads=2))


def test_refusals_come_before_any_work(monkeypatch):
    volume = da.zeros((4, 8, 8), chunks=2)
    with pytest.raises(TypeError):
        edgeseg.dask.sorvik(volume, class_count=2, window_size=3)
    with pytest.raises(ValueError, match="class_count"):
        edgeseg.dask.sorvik(volume, class_count=0, window_size=3, edge_weight=1)
    with pytest.raises(ValueError, match="dimensions"):
        edgeseg.dask.sorvik(da.zeros((2, 2, 2, 2)), class_count=2, window_size=3, edge_weight=1)
    with pytest.raises(ValueError, match="out"):
        edgeseg.dask.sorvik(volume, class_count=2, window_size=3, edge_weight=1, out=np.zeros((4, 8, 7)))
    monkeypatch.setattr(edgeseg.dask, "_worker_memory_limits", lambda: [2**20, 0])
    with pytest.raises(ValueError, match="memory limit"):
        edgeseg.dask.sorvik(da.zeros((2, 512, 512), chunks=1), class_count=2, window_size=3, edge_weight=1)
