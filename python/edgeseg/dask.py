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
  only the running value travels. The first slabs, whose energy entering is
  known, sum it as they are swept, as one call does. A slab whose terms are
  too small to move the sum is passed over, which leaves the same float.
  The energy is formed
  only where something reads it: from the last plain iteration on with a
  non-zero tolerance, or for ``return_info`` and ``progress``.

The step sequence of an iteration (sweep the slabs, combine their totals,
the next centres, the decision and the report) is the core's, the one a
single `edgeseg.sorvik` call runs; its tasks are in _dask_iterations.py.
"""
import time

import dask
import numpy as np
from dask import delayed

from . import _arguments, _cluster, _commands, _core, _dask_batches, _mask, _runs, _warnings
from ._dask_batches import sorvik_batch, tamvel, tamvel_batch
from ._dask_iterations import _as_int64, _finished, _first_states, _iterations, _Run, _stored, _survey

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
    RuntimeError
        A cluster on which no worker has run a task or had one to run for
        two minutes while the run waits (all paused for memory, none left,
        or all lost at once), saying which, instead of a wait for ever.

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
    if inside is not None and not bool(_cluster.computed(inside.any())[0]):
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
    found = _cluster.computed(*[delayed(_survey)(slab, thread_count) for slab in slabs])
    centres = _core.initial_centres([ranges for ranges, _ in found], parameters) if start is None else start
    run = _Run(parameters, thread_count, _core.sums_exact([survey for _, survey in found]), exact,
               bool(return_info or report), class_count, four.shape[3])
    states = dask.persist(*[delayed(_first_states)([slabs[i] for i in group], label_dtype)
                            for groups in runs for group in groups])
    outcomes = []
    for states, outcome in _iterations(slabs, runs, states, centres, run, limit, begun):
        centres = outcome.centres
        outcomes.append(outcome)
        if report:
            report(outcome.iteration, outcome.edge_phase, outcome.energy, outcome.changed, outcome.seconds,
                   outcome.last, outcome.converged, outcome.lines)
        if outcome.done:
            break
    result, counts = _labels(states, [group for groups in runs for group in groups], four, spatial, out,
                             run.class_count)
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
    slabs that one worker holds, each a list of groups of slabs (indices in
    plane order) that one task sweeps in turn. On a cluster the planes are
    split into one run a worker, of about as many planes each, so that the
    energy chain takes one link a worker and an iteration; a run's slabs
    stay there unless that worker is lost. A worker that runs one task at a
    time sweeps its run as one group; on more threads each slab is a group,
    so that they are swept side by side. In one process a task costs
    little, and each slab's link follows its sweep while the others' sweeps
    run."""
    blocks = four.to_delayed().ravel()
    parts = [None] * len(blocks) if inside is None else inside.to_delayed().ravel()
    stored = [delayed(_stored)(block, part) for block, part in zip(blocks, parts)]
    if client is None:
        return list(dask.persist(*stored)), [[[index]] for index in range(len(stored))]
    workers = client.scheduler_info()["workers"]
    names = sorted(workers)
    middles = np.cumsum(four.chunks[0]) - np.array(four.chunks[0]) / 2
    owner = np.minimum((middles * len(names) / four.shape[0]).astype(int), max(len(names) - 1, 0))
    runs, slabs = [], [None] * len(stored)
    for w, worker in enumerate(names):
        held = [int(i) for i in np.flatnonzero(owner == w)]
        if not held:
            continue
        one_at_a_time = workers[worker].get("nthreads", 1) == 1
        runs.append([held] if one_at_a_time else [[i] for i in held])
        pinned = dict(workers=[worker], allow_other_workers=True) if len(names) > 1 else {}
        for index, slab in zip(held, client.persist([stored[i] for i in held], **pinned)):
            slabs[index] = slab
    return slabs, runs


def _labels(states, groups, four, spatial, out, class_count):
    """The labels as int64, held on the workers, or written into `out`; and
    the number of pixels of each class."""
    import dask.array as da

    slabs = [(state, k) for state, group in zip(states, groups) for k in range(len(group))]
    finished = [delayed(_finished)(state, k, class_count, out is None) for state, k in slabs]
    if out is None:
        finished = dask.persist(*finished)
        pieces = [both[0] for both in finished]
    else:
        pieces = [delayed(_as_int64)(state, k) for state, k in slabs]
    result = da.concatenate([da.from_delayed(piece, shape=(planes,) + four.shape[1:3], dtype=np.int64)
                             for piece, planes in zip(pieces, four.chunks[0])], axis=0).reshape(spatial)
    if out is None:
        # Held on the workers before the slabs' states are let go: the
        # counts come back once every piece is in.
        result = result.persist()
        held = [delayed(np.shape)(piece) for piece in result.to_delayed().ravel()]
        counts = _cluster.computed(*[both[1] for both in finished], *held)[:len(finished)]
        return result, np.sum(counts, axis=0)
    counts = np.sum(_cluster.computed(*[both[1] for both in finished]), axis=0)
    # Whole chunks of `out` a task, so that no two tasks write one chunk.
    chunks = getattr(out, "chunks", None)
    _cluster.computed(da.store(result.rechunk(chunks) if chunks else result, out, lock=chunks is None, compute=False))
    return out, counts


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
