"""The named Sorvik steps of edgeseg._core against one whole call: a driver
that sweeps slabs, chains or combines their totals and ends each iteration
with finish_iteration gets the call's labels and progress reports."""
import pickle
import re

import numpy as np
import pytest

import edgeseg
from edgeseg import _core


def _volume(fractions=False):
    values = np.random.default_rng(1).integers(0, 200, size=(5, 24, 18)).astype(np.float32)
    if fractions:
        # Sums that could round: they then run through the slabs in order.
        values = values * np.float32(0.37) + np.float32(3e-6)
    values[2, 3, 4] = np.nan
    return values


def _by_steps(volume, settings, exact, entering=False):
    slabs = [np.ascontiguousarray(volume[first:first + 2])[..., None] for first in range(0, len(volume), 2)]
    surveys = [_core.slab_survey(slab, 1) for slab in slabs]
    centres = _core.initial_centres([ranges for ranges, _ in surveys], settings)
    any_order = _core.sums_exact([survey for _, survey in surveys])
    labels = [np.zeros(slab.shape[:3], np.uint8) for slab in slabs]
    energy, ends = _core.initial_energy(), []
    for iteration in range(_core.iteration_limit(settings)):
        whole, own = _core.SweepTotals(int(settings[5]), 1), []
        for s, slab in enumerate(slabs):
            after = np.empty_like(labels[s])
            if entering:
                # Each sweep continues the totals of the slabs before it.
                _, whole = _core.sweep_slab_totals(slab, labels[s], after, centres, settings, iteration, 1, True,
                                                   any_order, False, None, whole)
                labels[s] = after
                continue
            terms, totals = _core.sweep_slab_totals(slab, labels[s], after, centres, settings, iteration, 1, True,
                                                    any_order, exact)
            labels[s], totals = after, pickle.loads(pickle.dumps(totals))
            own.append(totals)
            if not exact:
                whole = _core.continue_slab(whole, totals, slab, after, terms)
        if exact:
            whole = _core.combine_slabs(own, int(settings[5]), 1)
        end = _core.finish_iteration(whole, centres, settings, iteration, energy, 0.0)
        assert end.edge_phase == _core.sorvik_edge_phase(settings, iteration)
        centres, energy = end.centres, end.energy
        ends.append(end)
        if end.done:
            break
    return np.concatenate(labels), ends


@pytest.mark.parametrize("settings, exact, entering, fractions", [([5, 0.3, 1e-4, 12, -0.5, 3], False, False, False),
                                                                ([3, 0.5, 1e-3, 8, 1, 4], True, False, False),
                                                                ([1, 0.5, 0, 4, -1, 2], False, False, False),
                                                                ([5, 0.3, 1e-4, 12, 1, 3], False, False, True),
                                                                ([5, 0.3, 1e-4, 12, 1, 3], False, True, True),
                                                                ([3, 0.5, 1e-3, 8, -0.5, 4], False, True, False)])
def test_steps_give_the_labels_and_reports_of_one_call(settings, exact, entering, fractions):
    volume, reports = _volume(fractions), []
    expected = edgeseg.sorvik(volume, settings=settings, exact_sums=exact, progress=reports.append)
    labels, ends = _by_steps(volume, [float(value) for value in settings], exact, entering)
    np.testing.assert_array_equal(labels, expected)
    fields = ("iteration", "edge_phase", "energy", "changed", "last", "converged")
    assert [tuple(getattr(end, field) for field in fields) for end in ends] == \
        [tuple(getattr(report, field) for field in fields) for report in reports]
    assert [re.sub(r"[0-9.]+ s$", "", end.lines, flags=re.M) for end in ends] == \
        [re.sub(r"[0-9.]+ s$", "", report.lines, flags=re.M) for report in reports]


def test_finished_labels_widen_and_count_every_kept_type():
    for dtype in (np.uint8, np.int8, np.int16, np.uint16, np.int32):
        labels = np.array([[[0, 2, 1], [2, 2, 0]]], dtype)
        if np.dtype(dtype).kind == "i":
            labels[0, 0, 0] = -1  # outside a mask: no class
        wide, counts = _core.finished_labels(labels, 3, True)
        assert wide.dtype == np.int64 and wide.shape == labels.shape
        np.testing.assert_array_equal(wide, labels.astype(np.int64))
        assert counts == [int(np.sum(labels == k)) for k in range(3)]
        assert _core.finished_labels(labels, 2, False) == (None, counts[:2])


def _at_odd_address(array):
    """A copy of the array one byte into a buffer: unaligned, as an array
    read from a message between Dask workers can be."""
    raw = np.empty(array.nbytes + 1, np.uint8)
    moved = raw[1:].view(array.dtype).reshape(array.shape)
    moved[...] = array
    assert array.itemsize == 1 or not moved.flags.aligned
    return moved


def test_unaligned_arrays_are_refused_or_copied_and_slabs_from_other_workers_come_aligned():
    from edgeseg._dask_iterations import _SlabState, _stored

    slab = np.arange(2 * 4 * 4, dtype=np.float32).reshape(2, 4, 4, 1)
    with pytest.raises(ValueError, match="slab lies at a byte address"):
        _core.slab_survey(_at_odd_address(slab), 1)
    labels = np.zeros((2, 4, 4), np.uint16)
    with pytest.raises(ValueError, match="labels lies at a byte address"):
        _core.finished_labels(_at_odd_address(labels), 3, True)
    terms = np.float32([0.5, 2, 1e8])
    assert _core.continue_energy(_at_odd_address(terms), 1.0) == _core.continue_energy(terms, 1.0)
    assert _core.term_bounds(_at_odd_address(terms)) == _core.term_bounds(terms)
    # Pickled as Dask moves them, their arrays out of band at odd addresses.
    for held in (_stored(slab), _SlabState(labels, terms)):
        buffers = []
        data = pickle.dumps(held, protocol=5, buffer_callback=buffers.append)
        moved = pickle.loads(data, buffers=[_at_odd_address(np.frombuffer(b.raw(), np.uint8)) for b in buffers])
        for name, array in vars(moved).items():
            if isinstance(array, np.ndarray):
                assert array.flags.aligned and np.array_equal(array, getattr(held, name))
