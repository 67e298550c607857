"""The slabs of edgeseg.dask.sorvik as the workers hold them, and the tasks
of its iterations: the sweeps, a group of consecutive slabs a task; the
energy chain through them in plane order; and each iteration's end, formed
where the totals were gathered, which the next iteration's sweeps start
from."""
import time
from dataclasses import dataclass
from typing import Optional

import dask
import numpy as np
from dask import delayed

from . import _cluster, _core


@dataclass
class _Slab:
    """A slab as a worker keeps it: its image in float32, the value every
    element becomes for the sweep, as (channels, planes, rows, columns) in C
    order, the layout the sweep reads in place; and its part of the mask,
    (planes, rows, columns, 1) of uint8, or None."""

    image: np.ndarray
    inside: Optional[np.ndarray] = None

    def __setstate__(self, fields):
        self.__dict__.update(_aligned(fields))


def _aligned(fields):
    """An object's fields with each array aligned for its element type.
    Arrays that come from another worker may lie at any byte offset of the
    message that brought them; the extension reads only aligned ones."""
    return {name: np.require(value, requirements="A") if isinstance(value, np.ndarray) else value
            for name, value in fields.items()}


def _stored(block, inside=None):
    # A block read from another worker may be unaligned, as above.
    image = np.require(np.moveaxis(block, -1, 0), np.float32, ["C", "A"])
    return _Slab(image, None if inside is None else np.require(inside, np.uint8, ["C", "A"])[..., None])


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

    def __setstate__(self, fields):
        self.__dict__.update(_aligned(fields))

    def __sizeof__(self):
        # What Dask counts of a worker's memory, and may spill.
        arrays = (self.labels, self.terms)
        return object.__sizeof__(self) + sum(array.nbytes for array in arrays if array is not None)


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


def _sweep(slab, before, centres, run, iteration, want_terms, entering=None):
    """The slab swept from its state before, into a new state. With
    `entering`, the totals of every slab before it, the sweep continues
    them, summing the energy as it goes: the link runs inside the sweep and
    no terms are kept. The state before is left as it is: Dask may read it
    again, to rebuild what a lost worker held."""
    labels = np.empty_like(before.labels)
    terms, totals = _core.sweep_slab_totals(_as_four_axes(slab.image), before.labels, labels, centres, run.parameters,
                                            iteration, run.threads, want_terms, run.any_order, run.exact, slab.inside,
                                            entering)
    return _SlabState(labels, terms, None if terms is None else _core.term_bounds(terms), totals)


def _sweep_group(images, before, ended, run, iteration, want_terms, entering):
    """A group of consecutive slabs swept one after another in one task,
    their new states in plane order, from the centres of the iteration
    before's end (_Ended); none where that end stopped the run, which leaves
    the states as they were. With `entering` (see _sweep) each continues
    the totals of the one before."""
    if ended.done:
        return before
    after = []
    for slab, state in zip(images, before):
        after.append(_sweep(slab, state, ended.centres, run, iteration, want_terms, entering))
        entering = None if entering is None else after[-1].totals
    return after


def _totals_of(held):
    """The totals a group's states end with, or the totals themselves."""
    return held[-1].totals if isinstance(held, list) else held


def _link(before, images, groups):
    """The totals continued through one worker's consecutive slabs in plane
    order: one link of the chain, where the slabs live. A slab whose terms
    cannot move the energy is passed over (the same float, to the bit: see
    _core.link_leaves_energy). Where the slabs' own sums do not add up in
    any order, the sums run through their pixels."""
    before = _totals_of(before)
    for slab, state in zip(images, [state for group in groups for state in group]):
        moves = state.terms is not None and not _core.link_leaves_energy(before.energy, *state.bounds)
        before = _core.continue_slab(before, state.totals, _as_four_axes(slab.image), state.labels,
                                     state.terms if moves else None)
    return before


def _all_totals(*groups):
    """Every slab's totals, from groups of states or of totals (_own_totals)."""
    return [state.totals if isinstance(state, _SlabState) else state for group in groups for state in group]


def _own_totals(group):
    """The totals of a group's states, without their labels and terms: what
    a task on another worker needs of them, a few numbers instead of
    megabytes to move."""
    return [state.totals for state in group]


def _chained(run, want_energy):
    """Whether the sweep's totals run through the slabs in plane order."""
    return not (run.exact or (run.any_order and not want_energy))


def _sweep_totals(slabs, runs, swept, run, want_energy):
    """What the iteration's end gathers the sweep's totals from: every
    slab's own, or the chain in plane order: the first group's totals (it
    continued the chain as it swept) and then a link for each run's other
    groups, the last of which the end makes itself (_end), where those
    groups were swept. On one worker the end's task takes the groups' states
    directly, so that no task stands between the sweeps and the end; across
    workers, only the totals of a group's states move, each taken from them
    by a small task where they were swept."""
    across = len(runs) > 1
    if not _chained(run, want_energy):
        return [delayed(_own_totals)(group) for group in swept] if across else swept
    totals, first, last_link = delayed(_totals_of)(swept[0]) if across else swept[0], 0, None
    for groups in runs:
        rest = [(first + n, group) for n, group in enumerate(groups) if first + n > 0]
        if rest:
            totals = totals if last_link is None else delayed(_link)(*last_link)
            last_link = (totals, [slabs[i] for _, group in rest for i in group], [swept[n] for n, _ in rest])
        first += len(groups)
    return [totals] if last_link is None else list(last_link)


@dataclass(frozen=True)
class _Ended:
    """An iteration's end as the workers need it: the sweep's totals, the
    next centres, the energy and whether the run stops here."""

    totals: object  # _core.SweepTotals, None before the first iteration
    centres: list
    energy: float
    done: bool = False


def _end(before, run, iteration, chained, *found):
    """The end of an iteration, from what _sweep_totals gives: the core's
    decision, which the driver makes again from the same totals for its
    report. Chained, `found` is the chain's totals, or the last link still
    to make (the totals before it, the slabs and their groups). After an
    end that stopped the run there is none."""
    if before.done:
        return before
    if chained:
        slabs = [_totals_of(found[0]) if len(found) == 1 else _link(*found)]
    else:
        slabs = _all_totals(*found)
    totals = _core.combine_slabs(slabs, run.class_count, run.channels)
    outcome = _core.finish_iteration(totals, before.centres, run.parameters, iteration, before.energy, 0.0)
    return _Ended(totals, outcome.centres, outcome.energy, outcome.done)


def _iteration(slabs, runs, states, before, run, iteration):
    """One iteration over the held slabs, a task a group of them, from the
    end of the one before (an _Ended, or its task): their new states and
    this iteration's end, held where they were formed. The workers go on to
    the next iteration's sweeps without waiting for the driver, which
    submits them while it reads this end. Where the totals are chained, the
    first group (whose energy entering is known: none) continues them as it
    sweeps, so that no link follows it."""
    want_energy = run.every_energy or _core.energy_needed(run.parameters, iteration)
    entering = _core.SweepTotals(run.class_count, run.channels) if _chained(run, want_energy) else None
    swept = []
    for group, held in zip([group for groups in runs for group in groups], states):
        swept.append(delayed(_sweep_group)([slabs[i] for i in group], held, before, run, iteration, want_energy,
                                           entering if not swept else None))
    found = _sweep_totals(slabs, runs, swept, run, want_energy)
    return dask.persist(swept, delayed(_end)(before, run, iteration, _chained(run, want_energy), *found))


def _iterations(slabs, runs, states, centres, run, limit, begun):
    """The run's iterations, each as its new states and the driver's end of
    it, until one stops the run. On a cluster the next iteration is
    submitted before this one's end is read (its sweeps leave the states as
    they are where this end stops the run), so that the workers need not
    wait for the driver between iterations."""
    ahead = _cluster.active_client() is not None
    before = _Ended(None, centres, _core.initial_energy())
    pending = _iteration(slabs, runs, states, before, run, 0) if limit > 0 else None
    for iteration in range(limit):
        (states, ended), known = pending, before
        if ahead and iteration + 1 < limit:
            pending = _iteration(slabs, runs, states, ended, run, iteration + 1)
        outcome = _outcome(ended, known, run, iteration, begun)
        yield states, outcome
        if outcome.done:
            return
        before = _Ended(None, outcome.centres, outcome.energy)
        if not ahead and iteration + 1 < limit:
            pending = _iteration(slabs, runs, states, before, run, iteration + 1)


def _outcome(ended, before, run, iteration, begun):
    """The driver's end of an iteration, from the totals its workers
    gathered: the same decision, with the report and its seconds."""
    ended = _cluster.results([ended])[0]
    return _core.finish_iteration(ended.totals, before.centres, run.parameters, iteration, before.energy,
                                  time.perf_counter() - begun)


def _first_states(images, label_dtype):
    """Labels 0 inside, and -1 outside from the start, as a whole call has
    them: the first sweep changes none there."""
    states = []
    for slab in images:
        states.append(_SlabState(np.zeros(slab.image.shape[1:], label_dtype)))
        if slab.inside is not None:
            states[-1].labels[slab.inside[..., 0] == 0] = -1
    return states


def _finished(group, index, class_count, widen):
    """A slab's labels as int64 (None without `widen`) and its class counts,
    from its group's states."""
    labels, counts = _core.finished_labels(group[index].labels, class_count, widen)
    return labels, np.array(counts, np.int64)


def _as_int64(group, index):
    return _finished(group, index, 0, True)[0]
