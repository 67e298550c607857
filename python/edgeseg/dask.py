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
  another, where the slabs live; only the running value travels. It is
  formed only where something reads it: from the last plain iteration on
  with a non-zero tolerance, or for ``return_info`` and ``progress``.
"""
import time

import dask
import numpy as np
from dask import delayed

from . import _arguments, _commands, _core, _runs
from ._dask_batches import sorvik_batch, tamvel, tamvel_batch

__all__ = ["sorvik", "sorvik_batch", "tamvel_batch", "tamvel"]

# Bytes a plane pixel costs a worker while its slab is swept, besides the
# image as stored: the labels kept (up to 4 bytes, twice while a sweep
# makes the next), the energy terms (4), the labels widened to float and
# the image converted to float (4 a channel) for the sweep, and the int64
# labels handed back (8).
_SWEEP_BYTES = 4 + 4 + 4 + 4 + 8


def _label_dtype(class_count):
    """The narrowest unsigned type that holds every class index."""
    if class_count <= 1 << 8:
        return np.uint8
    return np.uint16 if class_count <= 1 << 16 else np.uint32


def _stored(block):
    """A slab as a worker keeps it: (channels, planes, rows, columns) in C
    order, so that float32 data is swept in place; floats as float32 (the
    value every float becomes for the sweep), integers in their own type."""
    if block.dtype == np.bool_:
        block = block.view(np.uint8)
    elif block.dtype.kind == "f" and block.dtype != np.float32:
        block = block.astype(np.float32)
    return np.ascontiguousarray(np.moveaxis(block, -1, 0))


def _as_four_axes(stored):
    return np.moveaxis(stored, 0, -1)


def _survey(stored, threads):
    return _core.slab_survey(_as_four_axes(stored), threads)


def _zero_labels(stored, label_dtype):
    return np.zeros(stored.shape[1:], label_dtype)


def _sweep(stored, before, centres, class_count, parameters, iteration, threads, want_terms, want_sums):
    after = np.empty_like(before)
    terms, sums, counts, changed = _core.sweep_slab(_as_four_axes(stored), before, after, centres, class_count,
                                                    parameters, iteration, threads, want_terms, want_sums)
    return after, terms, (sums, counts, changed)


def _continue_energy(terms, energy):
    return _core.continue_energy(terms, energy)


def _continue_totals(stored, labels, terms, totals):
    energy, sums, counts = totals
    return _core.continue_totals(_as_four_axes(stored), labels, terms, energy, sums, counts)


def _class_counts(labels, class_count):
    return np.bincount(labels.ravel(), minlength=class_count)[:class_count]


def _as_int64(labels):
    return labels.astype(np.int64)


def _worker_memory_limits():
    """The memory limits of the active cluster's workers, in bytes (0 where
    a worker has none); empty without a distributed client."""
    try:
        from distributed import default_client

        client = default_client()
    except (ImportError, ValueError):
        return []
    return [info.get("memory_limit") or 0 for info in client.scheduler_info()["workers"].values()]


def _slab_chunks(volume, label_dtype, itemsize):
    """Plane chunks for the slabs: the volume's own, split where a slab would
    take more than a quarter of the smallest worker memory limit. A plane
    that cannot fit a worker at all is refused."""
    planes, rows, columns, channels = volume.shape
    plane_bytes = rows * columns * (channels * (itemsize + 4) + 2 * np.dtype(label_dtype).itemsize + _SWEEP_BYTES)
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


def sorvik(
    volume,
    *,
    class_count=None,
    window_size=None,
    edge_weight=None,
    tolerance=1e-4,
    max_iterations=30,
    last_plain_iteration=4,
    settings=None,
    channel_axis=None,
    threads=1,
    return_info=False,
    progress=None,
    out=None,
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
    out : zarr.Array, optional
        Writes the labels into this array (of the volume's spatial shape,
        any integer dtype wide enough for the classes) once the run has
        ended, each slab by the worker that holds it, and returns `out`.
        Nothing is written when the run fails.

    Returns
    -------
    labels : dask.array.Array of int64
        The labels, one chunk per slab, computed and held on the workers
        (`out` instead, when given).
    info : edgeseg.RunInfo
        With ``return_info=True``.

    Raises
    ------
    TypeError, ValueError
        As `edgeseg.sorvik` raises them, and ValueError when one plane needs
        more than half of a worker's memory limit, or `out` has another
        shape.

    Notes
    -----
    Each worker holds its slabs' images as stored (float data as float32,
    integers in their own type) and their labels (1 byte a pixel up to 256
    classes); while it sweeps a slab, about 24 bytes more a pixel of that
    slab (and 4 a pixel and channel for integer data).

    The driver holds the centres and a few numbers per slab per iteration.
    A lost worker's slabs are rebuilt by Dask from their input and the
    centres of every iteration, which the graph keeps.
    """
    import dask.array as da

    named = dict(window_size=window_size, edge_weight=edge_weight, class_count=class_count)
    named = _commands._explicit(named, settings, tolerance=(tolerance, 1e-4), max_iterations=(max_iterations, 30),
                                last_plain_iteration=(last_plain_iteration, 4))
    parameters = _arguments.settings_vector("sorvik", _commands.SORVIK_SETTINGS, named, settings)
    thread_count = _arguments.thread_count(threads)
    try:
        limit = _core.iteration_limit(parameters)
    except ValueError as error:
        raise _commands._refused(error, settings, _commands.SORVIK_SETTINGS) from None
    report = _runs.progress_callback(progress, "sorvik")
    array = volume if isinstance(volume, da.Array) else da.asarray(volume)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"volume has dtype {array.dtype}; expected bool, int8 to uint64, float16, float32, float64.")
    four, spatial = _arguments.four_axes(array, channel_axis, "volume")
    if 0 in four.shape:
        raise ValueError(f"volume has the shape {array.shape}; expected at least one pixel.")
    if out is not None and tuple(out.shape) != tuple(spatial):
        raise ValueError(f"out has the shape {tuple(out.shape)}; expected the volume's spatial shape {spatial}.")
    class_count = int(parameters[5])
    label_dtype = _label_dtype(class_count)
    itemsize = 4 if four.dtype.kind == "f" else four.dtype.itemsize
    four = four.rechunk({1: -1, 2: -1, 3: -1})
    four = four.rechunk({0: _slab_chunks(four, label_dtype, itemsize)})

    begun = time.perf_counter()
    slabs = dask.persist(*[delayed(_stored)(block) for block in four.to_delayed().ravel()])
    found = dask.compute(*[delayed(_survey)(slab, thread_count) for slab in slabs])
    centres = _core.initial_centres([ranges for ranges, _ in found], parameters)
    any_order = _core.sums_exact([survey for _, survey in found])
    labels = dask.persist(*[delayed(_zero_labels)(slab, label_dtype) for slab in slabs])

    energy = _core.initial_energy()
    energies, converged, iterations = [], False, 0
    for iteration in range(limit):
        want_energy = bool(return_info or report) or _core.energy_needed(parameters, iteration)
        swept = [delayed(_sweep, nout=3)(slab, before, centres, class_count, parameters, iteration, thread_count,
                                         want_energy, any_order) for slab, before in zip(slabs, labels)]
        if any_order:
            chain = 0.0
            for _, terms, _ in swept:
                chain = delayed(_continue_energy)(terms, chain) if want_energy else chain
        else:
            chain = (0.0, [0.0] * len(centres), [0] * class_count)
            for slab, (after, terms, _) in zip(slabs, swept):
                chain = delayed(_continue_totals)(slab, after, terms if want_energy else None, chain)
        labels, (chain, owns) = dask.persist([after for after, _, _ in swept], (chain, [own for _, _, own in swept]))
        chain, owns = dask.compute(chain, owns)
        if any_order:
            sums = [sum(column) for column in zip(*[own[0] for own in owns])]
            counts = [sum(column) for column in zip(*[own[1] for own in owns])]
            swept_energy = chain
        else:
            swept_energy, sums, counts = chain
        previous = energy
        centres, energy, converged, done = _core.next_centres(sums, counts, swept_energy if want_energy else 0.0,
                                                              centres, class_count, parameters, iteration, previous)
        iterations = iteration + 1
        energies.append(energy)
        if report:
            edge_phase = iteration > parameters[4] and int(parameters[0]) > 0
            report(iteration, edge_phase, energy, sum(own[2] for own in owns), time.perf_counter() - begun, done,
                   converged)
        if done:
            break

    pieces = [da.from_delayed(delayed(_as_int64)(piece), shape=piece_shape, dtype=np.int64)
              for piece, piece_shape in zip(labels, [(p,) + four.shape[1:3] for p in four.chunks[0]])]
    result = da.concatenate(pieces, axis=0).reshape(spatial) if pieces else None
    info = None
    if return_info:
        counts = np.sum(dask.compute(*[delayed(_class_counts)(piece, class_count) for piece in labels]), axis=0)
        info = _runs.run_info(dict(class_count=class_count, channels=four.shape[3], centres=centres,
                                   secondary_centres=[], iterations=iterations, converged=converged,
                                   energies=energies, counts=counts), pair=False)
    if out is not None:
        # Whole chunks of `out` a task, so that no two tasks write one chunk.
        chunks = getattr(out, "chunks", None)
        da.store(result.rechunk(chunks) if chunks else result, out, lock=chunks is None)
        result = out
    else:
        result = result.persist()
    return (result, info) if return_info else result
