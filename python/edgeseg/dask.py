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

from . import _arguments, _cluster, _commands, _core, _runs, _warnings
from ._dask_batches import sorvik_batch, tamvel, tamvel_batch

__all__ = ["sorvik", "sorvik_batch", "tamvel_batch", "tamvel"]

# Bytes a pixel of a slab costs its worker besides its image (4 a channel,
# and the input's own elements while it is read) and its labels (1 to 4,
# twice while a sweep makes the next): the energy terms (4), the labels
# widened to float for the sweep (4) and the int64 labels handed back (8).
_SWEEP_BYTES = 4 + 4 + 8


def _label_dtype(class_count):
    """The narrowest unsigned type that holds every class index."""
    if class_count <= 1 << 8:
        return np.uint8
    return np.uint16 if class_count <= 1 << 16 else np.uint32


def _stored(block):
    """A slab as a worker keeps it: float32, the value every element becomes
    for the sweep, as (channels, planes, rows, columns) in C order, the
    layout the sweep reads in place."""
    return np.ascontiguousarray(np.moveaxis(block, -1, 0), dtype=np.float32)


def _as_four_axes(stored):
    return np.moveaxis(stored, 0, -1)


def _survey(stored, threads):
    return _core.slab_survey(_as_four_axes(stored), threads)


# What a worker keeps of a slab between iterations: [labels, the last
# sweep's energy terms (or None), its summary: (class sums, class counts,
# labels changed, exact energy, exact class sums), None where not formed].
def _first_state(stored, label_dtype):
    return [np.zeros(stored.shape[1:], label_dtype), None, None]


def _sweep(stored, before, centres, class_count, parameters, iteration, threads, want_terms, want_sums, exact):
    # The terms before are read by then: let them go before the new ones come.
    before[1] = None
    labels = np.empty_like(before[0])
    terms, *summary = _core.sweep_slab(_as_four_axes(stored), before[0], labels, centres, class_count, parameters,
                                       iteration, threads, want_terms, want_sums, exact)
    return [labels, terms, tuple(summary)]


def _summaries(*states):
    return [state[2] for state in states]


def _add_summary(totals, summary):
    """Adds a slab's own sums, counts and changed labels to the totals of the
    slabs before it: exact in any order where the run sums in any order."""
    energy, sums, counts, changed = totals
    own_sums, own_counts, own_changed = summary[:3]
    if own_sums is not None:
        sums = [a + b for a, b in zip(sums, own_sums)]
        counts = [a + b for a, b in zip(counts, own_counts)]
    return energy, sums, counts, changed + own_changed


def _continue_energy(totals, state):
    """The totals continued through one more slab, in plane order: the
    energy through its terms, with its own sums added."""
    energy, sums, counts, changed = _add_summary(totals, state[2])
    return _core.continue_energy(state[1], energy), sums, counts, changed


def _continue_totals(totals, stored, state):
    """The totals continued through one more slab in raster order: the
    energy through its terms (where formed), the sums through its pixels."""
    energy, sums, counts, changed = totals
    energy, sums, counts = _core.continue_totals(_as_four_axes(stored), state[0], state[1], energy, sums, counts)
    return energy, sums, counts, changed + state[2][2]


def _exact_totals(summaries, class_count, channels, any_order):
    """The totals from the slabs' exact sums, merged and rounded once; where
    the double sums are exact anyway, those."""
    totals = (0.0, [0.0] * (class_count * channels), [0] * class_count, 0)
    for summary in summaries:
        totals = _add_summary(totals, summary)
    energies = [summary[3] for summary in summaries if summary[3] is not None]
    exact = [summary for summary in summaries if summary[4] is not None]
    energy, sums, counts = _core.round_exact(energies, [summary[4] for summary in exact],
                                             [summary[1] for summary in exact], class_count, channels)
    return (energy,) + (totals[1:3] if any_order else (sums, counts)) + totals[3:]


def _class_counts(state, class_count):
    return np.bincount(state[0].ravel(), minlength=class_count)[:class_count]


def _as_int64(state):
    return state[0].astype(np.int64)


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
    plane_bytes = rows * columns * (channels * (volume.dtype.itemsize + 4) + 2 * np.dtype(label_dtype).itemsize +
                                    _SWEEP_BYTES)
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
        any integer dtype wide enough for the classes) once the run has
        ended, each slab by the worker that holds it, and returns `out`.
        Nothing is written when the run fails.
    initial_centres : (K, C) array_like, optional
        As for `edgeseg.sorvik`.

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
        As `edgeseg.sorvik` raises them (its warnings too, from the run's
        end), and ValueError when one plane needs
        more than half of a worker's memory limit, or `out` has another
        shape.
    ImportError
        A worker of the active distributed client that cannot import
        edgeseg at this version, checked before any work.

    Notes
    -----
    Each worker holds its slabs' images as float32 (4 bytes a pixel and
    channel, whatever the input's dtype) and their labels (1 byte a pixel up
    to 256 classes, 2 up to 65536); where the energy is formed, 4 bytes a
    pixel more for its terms; and while it sweeps a slab, about 5 bytes more
    a pixel of that slab.

    The driver holds the centres and a few numbers per slab per iteration.
    A lost worker's slabs are rebuilt by Dask from their input and the
    centres of every iteration, which the graph keeps.
    """
    import dask.array as da

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
    array = volume if isinstance(volume, da.Array) else da.asarray(volume)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"volume has dtype {array.dtype}; expected bool, int8 to uint64, float16, float32, float64.")
    four, spatial = _arguments.four_axes(array, channel_axis, "volume")
    if 0 in four.shape:
        raise ValueError(f"volume has the shape {array.shape}; expected at least one pixel.")
    if out is not None and tuple(out.shape) != tuple(spatial):
        raise ValueError(f"out has the shape {tuple(out.shape)}; expected the volume's spatial shape {spatial}.")
    class_count = int(parameters[5])
    start = _arguments.centre_table(initial_centres, "initial_centres")
    if start is not None:
        start = _core.sorvik_start(start, parameters, four.shape[3])
    label_dtype = _label_dtype(class_count)
    four = four.rechunk({1: -1, 2: -1, 3: -1})
    four = four.rechunk({0: _slab_chunks(four, label_dtype)})

    client = _cluster.checked_client()
    begun = time.perf_counter()
    slabs = dask.persist(*[delayed(_stored)(block) for block in four.to_delayed().ravel()])
    if client is not None and len(slabs) > 1:
        # Dask places neighbouring chunks together; the slabs are spread over
        # the workers by their size instead, and each slab's work follows it.
        from distributed import Future, wait

        futures = [Future(slab.key, client) for slab in slabs]
        wait(futures)
        client.rebalance(futures)
    found = dask.compute(*[delayed(_survey)(slab, thread_count) for slab in slabs])
    centres = _core.initial_centres([ranges for ranges, _ in found], parameters) if start is None else start
    any_order = _core.sums_exact([survey for _, survey in found])
    states = dask.persist(*[delayed(_first_state)(slab, label_dtype) for slab in slabs])

    energy = previous = _core.initial_energy()
    energies, converged, iterations = [], False, 0
    for iteration in range(limit):
        want_energy = bool(return_info or report) or _core.energy_needed(parameters, iteration)
        swept = [delayed(_sweep)(slab, before, centres, class_count, parameters, iteration, thread_count, want_energy,
                                 any_order, exact) for slab, before in zip(slabs, states)]
        # A task a slab for its sweep, and either one that gathers their
        # summaries or a task a slab for its link in the chain that runs
        # through the slabs in plane order.
        totals = (0.0, [0.0] * len(centres), [0] * class_count, 0)
        chained = not exact and (want_energy or not any_order)
        if not chained:
            found = [delayed(_summaries)(*swept)]
        else:
            for slab, state in zip(slabs, swept):
                totals = (delayed(_continue_energy)(totals, state) if any_order else
                          delayed(_continue_totals)(totals, slab, state))
            found = [totals]
        # The states before stay referenced until the new ones are in.
        swept, found = dask.persist(swept, found)
        found = _results(found)
        found = found if chained else found[0]
        states = swept
        if exact:
            totals = _exact_totals(found, class_count, four.shape[3], any_order)
        for summary in () if chained or exact else found:
            totals = _add_summary(totals, summary)
        swept_energy, sums, counts, changed = found[0] if chained else totals
        previous = energy
        centres, energy, converged, done = _core.next_centres(sums, counts, swept_energy, centres, class_count,
                                                              parameters, iteration, previous)
        iterations = iteration + 1
        energies.append(energy)
        if report:
            # As the core reads them: the last plain iteration truncated, as a cast does.
            tested = iteration > int(parameters[4])
            edge_phase = tested and int(parameters[0]) > 0
            seconds = time.perf_counter() - begun
            lines = _core.progress_text("sorvik", iteration, edge_phase, energy, changed, seconds, done, converged,
                                        previous, parameters[2], tested)
            report(iteration, edge_phase, energy, changed, seconds, done, converged, lines)
        if done:
            break

    pieces = [da.from_delayed(delayed(_as_int64)(state), shape=(planes,) + four.shape[1:3], dtype=np.int64)
              for state, planes in zip(states, four.chunks[0])]
    result = da.concatenate(pieces, axis=0).reshape(spatial) if pieces else None
    info = None
    counts = np.sum(dask.compute(*[delayed(_class_counts)(state, class_count) for state in states]), axis=0)
    _warnings.emit_all(_core.run_warnings([int(count) for count in counts], iterations, converged,
                                          int(parameters[4]), parameters[2], energy, previous))
    if return_info:
        info = _runs.run_info(dict(class_count=class_count, channels=four.shape[3], centres=centres,
                                   secondary_centres=[], iterations=iterations, converged=converged,
                                   energies=energies, counts=counts), pair=False)
    if out is not None:
        # Whole chunks of `out` a task, so that no two tasks write one chunk.
        chunks = getattr(out, "chunks", None)
        da.store(result.rechunk(chunks) if chunks else result, out, lock=chunks is None)
        result = out
    else:
        # Held on the workers before the slabs' states are let go.
        result = result.persist()
        dask.compute(*[delayed(np.shape)(piece) for piece in result.to_delayed().ravel()])
    return (result, info) if return_info else result
