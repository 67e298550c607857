"""Segmentation of Dask arrays: volumes larger than one machine, and batches.

sorvik
    Segments a volume held as a Dask array, slabs of whole planes spread
    over the workers, with the labels of one `edgeseg.sorvik` call on the
    whole volume, bit for bit, for every chunking and worker count.
sorvik_batch, tamvel_batch
    Segment many independent 2-D images (or pairs) stacked in one Dask
    array, each on its own.
tamvel
    Segments a volume pair as one task on one worker (see its notes).

The iterations run on the active scheduler: a ``distributed.Client`` when
one exists, otherwise Dask's default. Dask schedules the work, moves the
data and recovers from lost workers; this module only says what to
compute.

How a distributed run keeps the one-machine labels: a pixel's window stays
in its own plane, so given the centres the slabs of one sweep are
independent. What ties them together is summed over the whole volume:

- the centre sums. Where every sum of the volume's values is exact in
  double (whole-number data, as 8- and 16-bit sensors give, which a survey
  of the slabs proves at the start), the slabs' own sums are added in any
  order. Otherwise they run through the slabs one after another in plane
  order, as one pass does: a short serial pass over each slab.
- the energy, a float sum of every pixel's term in raster order, which the
  convergence test reads. It runs through the slabs' terms one after
  another, where the slabs live: on a cluster each worker holds one run of
  consecutive slabs, and continues the sum through all of them in one task;
  only the running value travels. A slab whose terms are too small to move
  the sum is passed over, which leaves the same float. The energy is formed
  only where something reads it: from the last plain iteration on with a
  non-zero tolerance, or for ``return_info`` and ``progress``.

The step sequence of an iteration (sweep the slabs, combine their totals,
the next centres, the decision and the report) is the core's, the one a
single `edgeseg.sorvik` call runs.
"""
import time
from dataclasses import dataclass
from typing import Optional

import dask
import numpy as np
from dask import delayed

from . import _arguments, _cluster, _commands, _core, _dask_batches, _mask, _runs, _warnings
from ._dask_batches import sorvik_batch, tamvel, tamvel_batch

__all__ = ["sorvik", "sorvik_batch", "tamvel_batch", "tamvel"]

# Bytes a pixel of a slab costs its worker besides its image (4 a channel,
# and the input's own elements while it is read) and its labels (1 to 4,
# twice while a sweep makes the next): the energy terms (4), the labels
# widened to float for the sweep (4) and the int64 labels handed back (8).
_SWEEP_BYTES = 4 + 4 + 8


def _label_dtype(class_count, masked=False):
    """The narrowest type that holds every class index: unsigned, or signed
    with a mask, for the -1 outside."""
    if masked:
        if class_count <= 1 << 7:
            return np.int8
        return np.int16 if class_count <= 1 << 15 else np.int32
    if class_count <= 1 << 8:
        return np.uint8
    return np.uint16 if class_count <= 1 << 16 else np.uint32


@dataclass
class _Slab:
    """A slab as a worker keeps it: its image in float32, the value every
    element becomes for the sweep, as (channels, planes, rows, columns) in C
    order, the layout the sweep reads in place; and its part of the mask,
    (planes, rows, columns, 1) of uint8, or None."""

    image: np.ndarray
    inside: Optional[np.ndarray] = None


def _stored(block, inside=None):
    image = np.ascontiguousarray(np.moveaxis(block, -1, 0), dtype=np.float32)
    return _Slab(image, None if inside is None else np.ascontiguousarray(inside, dtype=np.uint8)[..., None])


def _as_four_axes(stored):
    return np.moveaxis(stored, 0, -1)


def _survey(slab, threads):
    return _core.slab_survey(_as_four_axes(slab.image), threads, slab.inside)


@dataclass
class _SlabState:
    """What a worker keeps of a slab between iterations: its labels, the
    last sweep's energy terms and their lowest and highest (None where not
    formed), and what that sweep adds to its iteration (None before the
    first)."""

    labels: np.ndarray
    terms: Optional[np.ndarray] = None
    bounds: Optional[tuple] = None
    totals: Optional[object] = None  # _core.SweepTotals


@dataclass(frozen=True)
class _Run:
    """What every iteration of one run shares."""

    parameters: list
    threads: int
    any_order: bool  # the slabs' own centre sums add up in any order
    exact: bool
    every_energy: bool  # return_info or progress reads every iteration's energy
    class_count: int
    channels: int


def _sweep(slab, before, centres, run, iteration, want_terms):
    # The terms before are read by then: let them go before the new ones come.
    before.terms = None
    labels = np.empty_like(before.labels)
    terms, totals = _core.sweep_slab_totals(_as_four_axes(slab.image), before.labels, labels, centres, run.parameters,
                                            iteration, run.threads, want_terms, run.any_order, run.exact, slab.inside)
    return _SlabState(labels, terms, None if terms is None else _core.term_bounds(terms), totals)


def _link(before, images, states):
    """The totals continued through one worker's consecutive slabs in plane
    order: one link of the chain, where the slabs live. A slab whose terms
    cannot move the energy is passed over (the same float, to the bit: see
    _core.link_leaves_energy). Where the slabs' own sums do not add up in
    any order, the sums run through their pixels."""
    for slab, state in zip(images, states):
        moves = state.terms is not None and not _core.link_leaves_energy(before.energy, *state.bounds)
        before = _core.continue_slab(before, state.totals, _as_four_axes(slab.image), state.labels,
                                     state.terms if moves else None)
    return before


def _all_totals(*states):
    return [state.totals for state in states]


def _sweep_totals(slabs, runs, swept, run, want_energy):
    """What gathers the sweep's totals: either a task that collects every
    slab's own, or the chain in plane order, a link a run of slabs."""
    if run.exact or (run.any_order and not want_energy):
        return [delayed(_all_totals)(*swept)]
    totals = _core.SweepTotals(run.class_count, run.channels)
    for held in runs:
        totals = delayed(_link)(totals, [slabs[i] for i in held], [swept[i] for i in held])
    return [totals]


def _iteration(slabs, runs, states, centres, run, iteration, previous, begun):
    """One iteration over the held slabs: their new states, and the core's
    decision and report."""
    want_energy = run.every_energy or _core.energy_needed(run.parameters, iteration)
    swept = [delayed(_sweep)(slab, state, centres, run, iteration, want_energy) for slab, state in zip(slabs, states)]
    # The states before stay referenced until the new ones are in.
    swept, found = dask.persist(swept, _sweep_totals(slabs, runs, swept, run, want_energy))
    found = _results(found)
    totals = _core.combine_slabs(found[0] if isinstance(found[0], list) else found, run.class_count, run.channels)
    return swept, _core.finish_iteration(totals, centres, run.parameters, iteration, previous,
                                         time.perf_counter() - begun)


def _first_state(slab, label_dtype):
    """Labels 0 inside, and -1 outside from the start, as a whole call has
    them: the first sweep changes none there."""
    labels = np.zeros(slab.image.shape[1:], label_dtype)
    if slab.inside is not None:
        labels[slab.inside[..., 0] == 0] = -1
    return _SlabState(labels)


def _class_counts(state, class_count):
    labels = state.labels.ravel()
    return np.bincount(labels[labels >= 0], minlength=class_count)[:class_count]


def _as_int64(state):
    return state.labels.astype(np.int64)


def _results(persisted):
    """The values of persisted delayed objects, in order. On a cluster they
    are gathered directly: computing them again would resubmit a graph."""
    client = _cluster.active_client()
    if client is None:
        return dask.compute(*persisted)
    from distributed import Future

    return client.gather([Future(item.key, client) for item in persisted])


def _worker_memory_limits():
    """The memory limits of the active cluster's workers, in bytes (0 where
    a worker has none); empty without a distributed client."""
    client = _cluster.active_client()
    if client is None:
        return []
    return [info.get("memory_limit") or 0 for info in client.scheduler_info()["workers"].values()]


def _slab_chunks(volume, label_dtype):
    """Plane chunks for the slabs: the volume's own, split where a slab would
    take more than a quarter of the smallest worker memory limit. A plane
    that cannot fit a worker at all is refused."""
    planes, rows, columns, channels = volume.shape
    masked = np.dtype(label_dtype).kind == "i"  # and then a byte a pixel for the mask
    plane_bytes = rows * columns * (channels * (volume.dtype.itemsize + 4) + 2 * np.dtype(label_dtype).itemsize +
                                    _SWEEP_BYTES + masked)
    limits = [limit for limit in _worker_memory_limits() if limit > 0]
    if not limits:
        return volume.chunks[0]
    budget = min(limits) // 4
    if plane_bytes > min(limits) // 2:
        raise ValueError(
            f"one plane of {rows} x {columns} pixels with {channels} channel(s) needs about "
            f"{plane_bytes / 2**20:.1f} MiB on a worker while it is segmented, more than half the smallest worker "
            f"memory limit ({min(limits) / 2**20:.1f} MiB); give the workers more memory (dask worker "
            "--memory-limit)."
        )
    most = max(1, budget // plane_bytes)
    chunks = []
    for size in volume.chunks[0]:
        pieces = -(-size // most)
        chunks += [size // pieces + (1 if i < size % pieces else 0) for i in range(pieces)]
    return tuple(chunks)


@_arguments.setting_defaults("sorvik")
def sorvik(
    volume,
    *,
    class_count=None,
    window_size=None,
    edge_weight=None,
    tolerance=None,
    max_iterations=None,
    last_plain_iteration=None,
    settings=None,
    channel_axis=_arguments.NOT_GIVEN,
    threads=1,
    return_info=False,
    progress=None,
    exact_sums=False,
    out=None,
    initial_centres=None,
    mask=None,
):
    """Segment a Dask array with `edgeseg.sorvik`, slabs of planes spread over the workers.

    The labels are bit for bit those of ``edgeseg.sorvik`` on the whole
    array in one process, for every chunking and every number of workers.

    Parameters
    ----------
    volume : dask.array.Array or array_like
        (planes, rows, columns), (rows, columns), or either with a channel
        axis named by `channel_axis`, in any dtype `edgeseg.sorvik` takes;
        lazily backed by zarr, TIFF or anything else. Its chunks along the
        planes become the slabs; chunks across rows or columns are merged
        into whole planes, and a slab too large for a quarter of the
        smallest worker memory limit is split.
    class_count, window_size, edge_weight, tolerance, max_iterations, last_plain_iteration, settings, channel_axis
        As for `edgeseg.sorvik`.
    threads : int, optional
        Threads each slab's sweep may use on its worker (1 by default, 0
        for all cores of the worker's machine).
    return_info : bool, optional
        Also return what the run found, as `edgeseg.sorvik` does.
    progress : callable or bool, optional
        As for `edgeseg.sorvik`, called in this process after every
        iteration.
    exact_sums : bool, optional
        As for `edgeseg.sorvik`: the energy and the centre sums exact and
        rounded once, so that the slabs' sums are added in any order and
        nothing runs through the slabs one after another. The labels are
        then those of ``edgeseg.sorvik(..., exact_sums=True)``.
    out : zarr.Array, optional
        Writes the labels into this array (of the volume's spatial shape,
        any integer dtype wide enough for the classes, signed with a mask)
        once the run has ended, each slab by the worker that holds it, and
        returns `out`. Nothing is written when the run fails.
    initial_centres : (K, C) array_like, optional
        As for `edgeseg.sorvik`.
    mask : dask.array.Array or array_like of bool, optional
        As for `edgeseg.sorvik`: the pixels to segment, of the volume's
        spatial shape, True (non-zero) inside; pixels outside get the label
        -1. A ``numpy.ma`` masked array as `volume` masks its masked pixels,
        combined with `mask` where both are given. It is chunked as the
        slabs, and each slab's part goes with it. The labels are those of
        ``edgeseg.sorvik(..., mask=mask)``.

    Returns
    -------
    labels : dask.array.Array of int64
        The labels, -1 outside the mask, one chunk per slab, computed and held on the workers
        (`out` instead, when given).
    info : edgeseg.RunInfo
        With ``return_info=True``.

    Raises
    ------
    TypeError, ValueError
        As `edgeseg.sorvik` raises them (its warnings too, from the run's
        end); ValueError when one plane needs more than half of a worker's
        memory limit, `out` has another shape, or `mask` another shape than
        the volume's or no pixel inside (checked before any work, which
        reads the mask once); TypeError for an `out` of unsigned dtype with
        a mask.
    ImportError
        A worker of the active distributed client that cannot import
        edgeseg at this version, checked before any work.

    Notes
    -----
    Each worker holds its slabs' images as float32 (4 bytes a pixel and
    channel, whatever the input's dtype) and their labels (1 byte a pixel up
    to 256 classes, 2 up to 65536; with a mask, 1 byte up to 128 classes, 2
    up to 32768, and the mask's 1 byte a pixel); where the energy is formed, 4 bytes a
    pixel more for its terms; and while it sweeps a slab, about 5 bytes more
    a pixel of that slab.

    The driver holds the centres and a few numbers per slab per iteration.
    A lost worker's slabs are rebuilt by Dask from their input and the
    centres of every iteration, which the graph keeps.
    """
    named = dict(window_size=window_size, edge_weight=edge_weight, tolerance=tolerance, max_iterations=max_iterations,
                 last_plain_iteration=last_plain_iteration, class_count=class_count)
    parameters = _arguments.settings_vector("sorvik", named, settings)
    thread_count = _arguments.thread_count(threads)
    try:
        limit = _core.iteration_limit(parameters)
    except ValueError as error:
        raise _commands._refused(error, settings, _commands.SORVIK_SETTINGS) from None
    report = _runs.progress_callback(progress, "sorvik")
    return_info = _arguments.flag(return_info, "return_info")
    exact = _arguments.flag(exact_sums, "exact_sums", numbers=True)
    four, spatial = _volume_axes(np.ma.getdata(volume) if np.ma.isMaskedArray(volume) else volume, channel_axis, out)
    _dask_batches.refuse_mask_geometry(_commands.sorvik, mask, spatial, settings=parameters)
    inside = _mask.lazy_pixels_inside(volume, mask, channel_axis, spatial)
    if inside is not None and not bool(inside.any().compute()):
        _refuse_empty_mask(parameters)
    if inside is not None and out is not None and np.dtype(out.dtype).kind != "i":
        raise TypeError(f"out has dtype {out.dtype}; with a mask the labels are -1 outside it: expected a signed "
                        "integer dtype.")
    class_count = int(parameters[5])
    start = _arguments.centre_table(initial_centres, "initial_centres")
    if start is not None:
        start = _core.sorvik_start(start, parameters, four.shape[3])
    label_dtype = _label_dtype(class_count, inside is not None)
    four = four.rechunk({1: -1, 2: -1, 3: -1})
    four = four.rechunk({0: _slab_chunks(four, label_dtype)})
    if inside is not None:
        inside = inside.rechunk((four.chunks[0], -1, -1))

    begun = time.perf_counter()
    slabs, runs = _held_slabs(four, inside, _cluster.checked_client())
    found = dask.compute(*[delayed(_survey)(slab, thread_count) for slab in slabs])
    centres = _core.initial_centres([ranges for ranges, _ in found], parameters) if start is None else start
    run = _Run(parameters, thread_count, _core.sums_exact([survey for _, survey in found]), exact,
               bool(return_info or report), class_count, four.shape[3])
    states = dask.persist(*[delayed(_first_state)(slab, label_dtype) for slab in slabs])
    previous, outcomes = _core.initial_energy(), []
    for iteration in range(limit):
        states, outcome = _iteration(slabs, runs, states, centres, run, iteration, previous, begun)
        centres, previous = outcome.centres, outcome.energy
        outcomes.append(outcome)
        if report:
            report(outcome.iteration, outcome.edge_phase, outcome.energy, outcome.changed, outcome.seconds,
                   outcome.last, outcome.converged, outcome.lines)
        if outcome.done:
            break
    result = _labels(states, four, spatial, out)
    counts = np.sum(dask.compute(*[delayed(_class_counts)(state, run.class_count) for state in states]), axis=0)
    _warn_of_ending(counts, parameters, outcomes)
    return (result, _run_info(counts, run, centres, outcomes)) if return_info else result


def _volume_axes(volume, channel_axis, out):
    """The volume as a Dask array of (planes, rows, columns, channels), and
    its spatial shape; complex input gives its real part, with numpy's
    ComplexWarning, as edgeseg.sorvik does."""
    import dask.array as da

    array = volume if isinstance(volume, da.Array) else da.asarray(volume)
    _dask_batches._require_known_shape(array, "volume")
    array = _arguments.real_part(array, "volume", 4)
    four, spatial = _arguments.four_axes(array, channel_axis, "volume", stacklevel=4)
    if 0 in four.shape:
        raise ValueError(f"volume has the shape {array.shape}; expected at least one pixel.")
    if out is not None and tuple(out.shape) != tuple(spatial):
        raise ValueError(f"out has the shape {tuple(out.shape)}; expected the volume's spatial shape {spatial}.")
    return four, spatial


def _refuse_empty_mask(parameters):
    """The core's refusal of a mask without a pixel inside, as one call on
    the whole volume gives it (a slab's part of the mask may be empty)."""
    _commands.sorvik(np.zeros((1, 1), np.float32), settings=[float(value) for value in parameters],
                     mask=np.zeros((1, 1), bool))


def _held_slabs(four, inside, client):
    """The slabs, held where they are swept, and the runs of consecutive
    slabs (lists of indices in plane order) that one worker holds. On a
    cluster the planes are split into one run a worker, of about as many
    planes each, so that the energy chain takes one link a worker and an
    iteration; a run's slabs stay there unless that worker is lost. In one
    process a task costs little, and each slab's link follows its sweep
    while the others' sweeps run."""
    blocks = four.to_delayed().ravel()
    parts = [None] * len(blocks) if inside is None else inside.to_delayed().ravel()
    stored = [delayed(_stored)(block, part) for block, part in zip(blocks, parts)]
    if client is None:
        return list(dask.persist(*stored)), [[index] for index in range(len(stored))]
    workers = sorted(client.scheduler_info()["workers"])
    if len(workers) < 2 or len(stored) < 2:
        return list(dask.persist(*stored)), [list(range(len(stored)))]
    middles = np.cumsum(four.chunks[0]) - np.array(four.chunks[0]) / 2
    owner = np.minimum((middles * len(workers) / four.shape[0]).astype(int), len(workers) - 1)
    runs = [list(np.flatnonzero(owner == w)) for w in range(len(workers)) if np.any(owner == w)]
    slabs = [None] * len(stored)
    for held, worker in zip(runs, workers):
        for index, slab in zip(held, client.persist([stored[i] for i in held], workers=[worker],
                                                    allow_other_workers=True)):
            slabs[index] = slab
    return slabs, runs


def _labels(states, four, spatial, out):
    """The labels as int64, held on the workers, or written into `out`."""
    import dask.array as da

    pieces = [da.from_delayed(delayed(_as_int64)(state), shape=(planes,) + four.shape[1:3], dtype=np.int64)
              for state, planes in zip(states, four.chunks[0])]
    result = da.concatenate(pieces, axis=0).reshape(spatial)
    if out is not None:
        # Whole chunks of `out` a task, so that no two tasks write one chunk.
        chunks = getattr(out, "chunks", None)
        da.store(result.rechunk(chunks) if chunks else result, out, lock=chunks is None)
        return out
    # Held on the workers before the slabs' states are let go.
    result = result.persist()
    dask.compute(*[delayed(np.shape)(piece) for piece in result.to_delayed().ravel()])
    return result


def _warn_of_ending(counts, parameters, outcomes):
    """The warnings of edgeseg.sorvik at the end of the same run."""
    last = outcomes[-1] if outcomes else None
    energy = last.energy if last else _core.initial_energy()
    _warnings.emit_all(_core.run_warnings([int(count) for count in counts], parameters, len(outcomes),
                                          bool(last and last.converged), energy,
                                          last.previous_energy if last else energy))


def _run_info(counts, run, centres, outcomes):
    return _runs.run_info(dict(class_count=run.class_count, channels=run.channels, centres=centres,
                               secondary_centres=[], iterations=len(outcomes),
                               converged=bool(outcomes and outcomes[-1].converged),
                               energies=[outcome.energy for outcome in outcomes], counts=counts), pair=False)
