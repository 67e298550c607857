"""The energy chain of edgeseg.dask.sorvik: its serial pass per iteration,
through every slab's terms (before) and with the links that cannot move the
sum passed over (after). Not a test: it prints figures, the best of several
interleaved timings of each link.

    python bench/dask_chain.py [--exponents 26 27 28] [--runs 3] [--iterations 5]

For volumes of 2^26 to 2^28 voxels (512 x 512 planes, slabs of 8), on the
benchmark's data (whole numbers from 0 to 255) and on the same data with NaN
pixels outside a disc in every plane (a scanner's field of view) and in the
first eighth of the planes (a padded stack), it runs Sorvik's iterations slab
by slab in this process as the driver's steps do, and times each slab's link
right after its sweep: continuing the float energy through its terms, and
the same link asking first whether the slab's lowest and highest terms can
move it. Both
give the same float, checked to the bit.
"""
import argparse
import os
import time

import numpy as np

import edgeseg._core as core

# Window 5, weight 2, tolerance 1e-4 (every energy formed), class count 3;
# iterations and the last plain iteration set from the command line.
SETTINGS = [5, 2, 1e-4, 5, 0, 3]
SIDE, SLAB = 512, 8


def slab_of(first, planes, kind, padding):
    """Planes first .. first + planes of the benchmark's synthetic volume
    (smooth regions with noise, whole numbers 0..255), as float32
    (planes, rows, columns, 1); with kind "nan", NaN outside a disc and in
    the volume's first `padding` planes."""
    rng = np.random.default_rng(first)
    y, x = np.meshgrid(np.linspace(0, 1, SIDE), np.linspace(0, 1, SIDE), indexing="ij")
    regions = (np.sin(6 * x) + np.cos(5 * y) > 0).astype(np.float32) * 90 + 40 * x
    noisy = regions + rng.normal(0, 20, (planes, SIDE, SIDE))
    slab = np.clip(np.round(noisy), 0, 255).astype(np.float32)
    if kind == "nan":
        slab[:, (x - 0.5) ** 2 + (y - 0.5) ** 2 > 0.25] = np.nan
        slab[: max(0, padding - first)] = np.nan
    return slab[..., None]


def link_seconds(terms, bounds, energy, runs):
    """The best time of the plain link and of the skipping one, taken in
    turns (each first every other time), and the energy both give."""
    best = {"plain": float("inf"), "skipping": float("inf")}
    links = {"plain": lambda: core.continue_energy(terms, energy),
             "skipping": lambda: energy if core.link_leaves_energy(energy, *bounds) else
             core.continue_energy(terms, energy)}
    found = {}
    for run in range(runs):
        for name in ("plain", "skipping") if run % 2 == 0 else ("skipping", "plain"):
            start = time.perf_counter()
            found[name] = links[name]()
            best[name] = min(best[name], time.perf_counter() - start)
    if np.float32(found["plain"]).tobytes() != np.float32(found["skipping"]).tobytes():
        raise SystemExit(f"a skipped link changed the energy: {found['skipping']!r} against {found['plain']!r}")
    return best["plain"], best["skipping"], found["plain"]


def run_volume(planes, kind, settings, runs, threads):
    """Per iteration: (plain ms, skipping ms, share of terms skipped, energy)."""
    padding = planes // 8 if kind == "nan" else 0
    starts = range(0, planes, SLAB)
    labels = [np.zeros((SLAB, SIDE, SIDE), np.uint8) for _ in starts]
    centres = core.initial_centres([core.slab_survey(slab_of(z, SLAB, kind, padding), threads)[0] for z in starts], settings)
    previous = core.initial_energy()
    found = []
    for iteration in range(core.iteration_limit(settings)):
        sums, counts, energy, plain, skipping, skipped = [0.0] * len(centres), [0] * 3, 0.0, 0.0, 0.0, 0
        for index, z in enumerate(starts):
            after = np.empty_like(labels[index])
            terms, own = core.sweep_slab_totals(slab_of(z, SLAB, kind, padding), labels[index], after, centres,
                                                settings, iteration, threads, True, True, False)
            labels[index], own_sums, own_counts = after, own.sums, own.counts
            bounds = core.term_bounds(terms)
            skipped += terms.size if core.link_leaves_energy(energy, *bounds) else 0
            seconds = link_seconds(terms, bounds, energy, runs)
            plain, skipping, energy = plain + seconds[0], skipping + seconds[1], seconds[2]
            sums = [a + b for a, b in zip(sums, own_sums)]
            counts = [a + b for a, b in zip(counts, own_counts)]
        whole = core.SweepTotals(3, 1)
        whole.sums, whole.counts, whole.energy = sums, counts, energy
        end = core.finish_iteration(whole, centres, settings, iteration, previous, 0.0)
        centres, energy = end.centres, end.energy
        previous = energy
        found.append((plain * 1e3, skipping * 1e3, skipped / (planes * SIDE * SIDE), energy))
        if end.done:
            break
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exponents", type=int, nargs="+", default=[26, 27, 28])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--iterations", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2, help="threads of each slab's sweep")
    arguments = parser.parse_args()
    settings = list(SETTINGS)
    settings[3] = arguments.iterations
    print(f"settings {settings}, slabs of {SLAB} planes of {SIDE} x {SIDE}, best of {arguments.runs} interleaved")
    for exponent in arguments.exponents:
        planes = (1 << exponent) // (SIDE * SIDE)
        for kind in ("whole", "nan"):
            for iteration, (plain, skipping, share, energy) in enumerate(
                    run_volume(planes, kind, settings, arguments.runs, arguments.threads)):
                print(f"2^{exponent} voxels, {kind:5}, iteration {iteration}: chain {plain:7.1f} ms before, "
                      f"{skipping:7.1f} ms after ({100 * share:5.1f}% of the terms passed over); energy {energy:.7g}")


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main()
