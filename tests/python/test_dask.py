"""edgeseg.dask.sorvik: the labels of one edgeseg.sorvik call on the whole
volume, for every chunking, cluster, data kind and tolerance; after a worker
is killed mid-run; and on a volume larger than any worker's memory limit."""
import dataclasses
import os
import re
import signal
import warnings

import dask
import dask.array as da
import numpy as np
import pytest
import zarr
from distributed import Client, LocalCluster
from distributed.core import Status

import edgeseg
import edgeseg._core
import edgeseg.dask
from edgeseg._arguments import ComplexWarning

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


def test_killed_workers_leave_the_labels_unchanged_or_end_the_run_without_a_wait_for_ever(monkeypatch):
    """A worker process killed after the third and another after the fifth
    iteration: their nannies start others, Dask rebuilds the lost slabs and
    states from what the other workers hold, moving them between workers,
    and the run ends with the one-call labels. Then every worker killed at
    once, on the same cluster: Dask's scheduler may rebuild the run, or leave
    its first tasks to no worker once new workers have started; either way
    the call returns, with the one-call labels or a RuntimeError that says
    what happened."""
    volume = VOLUMES["whole"]
    want_labels = edgeseg.sorvik(volume, tolerance=0.0, **SETTINGS)
    with LocalCluster(n_workers=3, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            pids = list(client.run(os.getpid).values())

            def kill_one(report):
                if report.iteration in (2, 4):
                    os.kill(pids[report.iteration // 2 - 1], signal.SIGKILL)

            labels = edgeseg.dask.sorvik(da.from_array(volume, chunks=1), tolerance=0.0, progress=kill_one, **SETTINGS)
            np.testing.assert_array_equal(labels.compute(), want_labels)
            assert not set(pids[:2]) & set(client.run(os.getpid).values())

            monkeypatch.setattr(edgeseg._cluster, "STALL_SECONDS", 3.0)
            monkeypatch.setattr(edgeseg._cluster, "LOOK_SECONDS", 0.5)
            pids = list(client.run(os.getpid).values())

            def kill_all(report):
                if report.iteration == 2:
                    for pid in pids:
                        os.kill(pid, signal.SIGKILL)

            try:
                labels = edgeseg.dask.sorvik(da.from_array(volume, chunks=1), tolerance=0.0, progress=kill_all,
                                             **SETTINGS).compute()
            except RuntimeError as error:
                assert "every worker was lost at once" in str(error)
            else:
                np.testing.assert_array_equal(labels, want_labels)


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


def test_a_cluster_that_runs_nothing_ends_the_run_with_an_error(monkeypatch):
    """Workers paused (as for memory) run no task: the run raises, saying
    so, instead of waiting for ever; once they resume, runs go on."""
    monkeypatch.setattr(edgeseg._cluster, "STALL_SECONDS", 2.0)
    monkeypatch.setattr(edgeseg._cluster, "LOOK_SECONDS", 0.25)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, memory_limit=0,
                      dashboard_address=None) as cluster:
        with Client(cluster) as client:
            client.run(lambda dask_worker: setattr(dask_worker, "status", Status.paused))
            with pytest.raises(RuntimeError, match="all 2 workers have been paused"):
                edgeseg.dask.sorvik(da.from_array(VOLUMES["whole"], chunks=3), **SETTINGS)
            client.run(lambda dask_worker: setattr(dask_worker, "status", Status.running))
            check_run("whole", 0.0, False, 3)


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


def nan_volume():
    # A first plane of NaN pixels (a term of 1e8 each) lifts the energy so
    # far that the small terms of the planes after it cannot move it: their
    # links are passed over.
    volume = np.random.default_rng(3).integers(0, 20, (11, 24, 30)).astype(np.float32)
    volume[0] = np.nan
    return volume


def without_seconds(report):
    return dataclasses.replace(report, seconds=0, lines=re.sub(r"[0-9.]+ s\b", "- s", report.lines))


# Settings vectors [window, weight, tolerance, iterations, last plain, classes].
@pytest.mark.parametrize("volume,settings,exact", [
    (whole_volume(), [5, 300, 1e-4, 6, -0.5, 3], False),
    (whole_volume() + 1j * float_volume(), [5, 300, 1e-4, 6, -0.5, 3], False),
    (float_volume(), [5, 300, 1e-3, 12, 2, 3], False),
    (float_volume(), [5, 300, 1e-3, 12, 2, 3], True),
    (nan_volume(), [3, 1, 1e-6, 8, 1, 2], False),
    (whole_volume(), [0, 300, 1e-4, 5, 1, 3], False),
    (whole_volume(), [5, 300, 0, 4, 10, 3], False),
    (whole_volume(), [5, 300, 1e-4, 0, 4, 3], False),
], ids=["plain-to-minus-half", "complex", "float", "float-exact", "nan", "no-window", "never-tested", "no-iteration"])
def test_progress_reports_equal_the_one_call(volume, settings, exact):
    reports, want_reports = [], []
    with warnings.catch_warnings(record=True) as want_warned:
        warnings.simplefilter("always")
        want_labels = edgeseg.sorvik(volume, settings=settings, exact_sums=exact, progress=want_reports.append)
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        labels = edgeseg.dask.sorvik(da.from_array(volume, chunks=3), settings=settings, exact_sums=exact,
                                     progress=reports.append)
    # The same warnings (a complex volume's, a run's end), at the caller's line.
    assert [(type(w.message), str(w.message).replace("volume", "image")) for w in warned] == [
        (type(w.message), str(w.message)) for w in want_warned]
    assert ComplexWarning in [type(w.message) for w in warned] or not np.iscomplexobj(volume)
    assert all(w.filename == __file__ for w in warned)
    np.testing.assert_array_equal(labels.compute(), want_labels)
    assert list(map(without_seconds, reports)) == list(map(without_seconds, want_reports))


def test_a_passed_over_link_leaves_the_energy_to_the_bit():
    """Terms that move the energy less than half the gap to either
    neighbouring float leave it as it is, in any order; at that bound some
    term moves it."""
    leaves, rng = edgeseg._core.link_leaves_energy, np.random.default_rng(5)
    for energy in np.float32([1, 2.0**30, 1 + 2.0**-23, 12345.678, -7.5e9, -4.0, 3.4e38]):
        towards_zero = np.abs(energy) - np.nextafter(np.abs(energy), np.float32(0))
        away = np.nextafter(np.abs(energy), np.float32(np.inf)) - np.abs(energy)
        away = towards_zero if np.isinf(away) else away
        below, above = (towards_zero, away) if energy > 0 else (away, towards_zero)
        lowest, highest = (np.nextafter(-gap / np.float32(2), np.float32(0)) for gap in (below, -above))
        assert leaves(energy, lowest, highest)
        assert not leaves(energy, -below / np.float32(2), highest) and not leaves(energy, lowest, above / np.float32(2))
        terms = np.float32(rng.choice([lowest, highest, 0, lowest / 2, highest / 2], 4096))
        assert np.float32(edgeseg._core.continue_energy(terms, energy)).tobytes() == energy.tobytes()
        assert edgeseg._core.term_bounds(terms) == (lowest, highest)
    # The gaps either side differ at a power of two: the sum stops growing
    # there first, and three quarters of the gap above moves it down.
    assert leaves(2.0, 0, 0.75 * 2.0**-23) and edgeseg._core.continue_energy(np.float32([-0.75 * 2.0**-23]), 2.0) != 2
    # An odd last bit and a term of half the gap: the tie goes to the even neighbour.
    assert edgeseg._core.continue_energy(np.float32([2.0**-24]), 1 + 2.0**-23) != np.float32(1 + 2.0**-23)
    # The bounds are found in vector lanes and a tail: every position counts.
    for count in (1, 7, 8, 9, 40):
        terms = rng.normal(0, 1e3, count).astype(np.float32)
        assert edgeseg._core.term_bounds(terms) == (terms.min(), terms.max())
        for place in range(count):
            assert np.isnan(edgeseg._core.term_bounds(np.where(np.arange(count) == place, np.nan, terms))).all()
    for energy, bounds in ((0.0, (0, 0)), (np.inf, (0, 1)), (np.nan, (0, 0)), (1e10, (np.nan, np.nan))):
        assert not leaves(energy, *bounds)


def volume_mask():
    """A block in the middle of every plane, planes 3 to 5 wholly outside."""
    inside = np.zeros((11, 24, 30), bool)
    inside[:, 4:20, 5:25] = True
    inside[3:6] = False
    return inside


def reports_of(run, *args, **options):
    """What a run returns, and its progress reports and warnings."""
    reports = []
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        found = run(*args, progress=reports.append, return_info=True, **options)
    return found, (list(map(without_seconds, reports)), [str(warning.message) for warning in warned])


@pytest.mark.parametrize("kind,exact,workers", [("whole", False, 0), ("float", False, 0), ("float", True, 0),
                                                ("float", False, 2)])
def test_masked_run_gives_one_masked_call_labels_and_reports(kind, exact, workers):
    if workers:
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            with Client(cluster):
                return check_masked_run(kind, exact)
    check_masked_run(kind, exact)


def check_masked_run(kind, exact):
    inside = volume_mask()
    settings = dict(SETTINGS, tolerance=1e-3, exact_sums=exact)
    (want, want_info), want_reports = reports_of(edgeseg.sorvik, VOLUMES[kind], mask=inside, **settings)
    assert want.min() == -1 and (want[3:6] == -1).all()
    for planes in (1, 3, 7):
        volume = da.from_array(VOLUMES[kind], chunks=(planes, 13, 16))
        # A mask in other chunks, numpy or Dask, is cut as the slabs are.
        for mask in (inside, da.from_array(inside, chunks=(5, 24, 7))):
            (labels, info), reports = reports_of(edgeseg.dask.sorvik, volume, mask=mask, **settings)
            assert labels.dtype == np.int64
            np.testing.assert_array_equal(labels.compute(), want)
            np.testing.assert_array_equal(info.counts, want_info.counts)
            np.testing.assert_array_equal(info.centres, want_info.centres)
            assert reports == want_reports


def test_masked_volume_and_refused_masks():
    inside, volume = volume_mask(), VOLUMES["whole"]
    hidden = np.ma.masked_array(volume, ~inside)
    want = edgeseg.sorvik(hidden, **SETTINGS)
    np.testing.assert_array_equal(edgeseg.dask.sorvik(hidden, **SETTINGS).compute(), want)
    half = np.ones_like(inside)
    half[:, :12] = False
    np.testing.assert_array_equal(edgeseg.dask.sorvik(hidden, mask=da.from_array(half), **SETTINGS).compute(),
                                  edgeseg.sorvik(hidden, mask=half, **SETTINGS))
    np.testing.assert_array_equal(edgeseg.dask.sorvik(volume, mask=np.ones_like(inside), **SETTINGS).compute(),
                                  edgeseg.sorvik(volume, **SETTINGS))
    for mask in (np.zeros_like(inside), da.zeros(inside.shape, dtype=bool)):
        with pytest.raises(ValueError, match="no pixel inside") as refused:
            edgeseg.dask.sorvik(volume, mask=mask, **SETTINGS)
        assert refused.value.mnemonic == "emptyMask"
    for mask in (inside[0], da.from_array(inside[:5])):
        with pytest.raises(ValueError, match="the mask is .* expected the image's 24 x 30 x 11") as refused:
            edgeseg.dask.sorvik(volume, mask=mask, **SETTINGS)
        assert refused.value.mnemonic == "geometryMismatch"
    with pytest.raises(TypeError, match="signed"):
        edgeseg.dask.sorvik(volume, mask=inside, out=zarr.zeros(inside.shape, dtype=np.uint8), **SETTINGS)
    with pytest.raises(TypeError, match="mask has dtype"):
        edgeseg.dask.sorvik(volume, mask=da.from_array(np.full(inside.shape, "x")), **SETTINGS)
