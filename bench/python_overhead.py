"""A Python call of edgeseg.sorvik against the Octave command on the same
pixels, settings and thread count. Not a test: it prints figures.

    EDGESEG_MEX_DIR=build/mex build/venv/bin/python bench/python_overhead.py [--rounds 3] [--runs 7]

Each round runs the Octave command `runs` times in one octave-cli (after one
call to warm it up), then the Python call as often; the rounds alternate, so
that a change of the machine's load falls on both. The figure of each is its
best call over every round, timed around the call alone (tic/toc in Octave,
perf_counter in Python): the image is read once before. The processor
time of each call is taken too (cputime, process_time): on a machine shared
with other work the wall clock counts the time the call waited for a core,
the processor time only what it ran. The image is camera.png from
EDGESEG_DATA_DIR (default ../shared/data), as uint8.

Both run the same instructions in the call (callgrind: 2,028 million in
either); the Python layer adds about 10 microseconds. What is left, about 1%
of processor time here, is the memory: a Python process gives the call's
4 MB back to the system when it ends (the C library trims the top of its
heap), so every call touches about 1000 fresh pages, which Octave's heap
keeps. MALLOC_MMAP_THRESHOLD_=33554432 MALLOC_TRIM_THRESHOLD_=268435456 in
the environment keeps them in a Python process too, for a comparison.
"""
import argparse
import os
import subprocess
import time
from pathlib import Path

import numpy as np
from PIL import Image

import edgeseg

ROOT = Path(__file__).resolve().parents[1]
# window 5, edge weight 2, tolerance 0 (every iteration runs), 30 iterations,
# last plain iteration 4, 4 classes.
SETTINGS = [5, 2, 0, 30, 4, 4]


def octave_seconds(mex_dir, png, runs, threads):
    """The Octave command's (wall, processor) seconds of each call, one
    octave-cli for all of them."""
    vector = " ".join(repr(float(value)) for value in SETTINGS)
    script = (
        f"addpath('{mex_dir}'); I = imread('{png}'); s = [{vector}];"
        f"L = Sorvik(I, s, 'threads', {threads});"
        f"for r = 1:{runs}, c = cputime; t = tic; L = Sorvik(I, s, 'threads', {threads});"
        f" printf('%.9f %.9f\\n', toc(t), cputime - c); end"
    )
    output = subprocess.run(["octave-cli", "--norc", "--quiet", "--eval", script], check=True,
                            capture_output=True, text=True).stdout
    return [tuple(map(float, line.split())) for line in output.splitlines()]


def python_seconds(image, runs, threads):
    edgeseg.sorvik(image, settings=SETTINGS, threads=threads)
    seconds = []
    for _ in range(runs):
        start, processor = time.perf_counter(), time.process_time()
        edgeseg.sorvik(image, settings=SETTINGS, threads=threads)
        seconds.append((time.perf_counter() - start, time.process_time() - processor))
    return seconds


def best(calls):
    """The least wall and the least processor time, in milliseconds."""
    return tuple(1000 * min(call[i] for call in calls) for i in (0, 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--threads", type=int, default=1)
    arguments = parser.parse_args()
    mex_dir = Path(os.environ.get("EDGESEG_MEX_DIR", ROOT / "build" / "mex")).resolve()
    png = Path(os.environ.get("EDGESEG_DATA_DIR", ROOT.parent / "shared" / "data")).resolve() / "camera.png"
    image = np.asarray(Image.open(png))
    octave, python = [], []
    for round_number in range(arguments.rounds):
        octave_round = octave_seconds(mex_dir, png, arguments.runs, arguments.threads)
        python_round = python_seconds(image, arguments.runs, arguments.threads)
        octave += octave_round
        python += python_round
        print("round {}: Octave {:.1f} ms ({:.1f} ms processor), Python {:.1f} ms ({:.1f} ms processor)".format(
            round_number + 1, *best(octave_round), *best(python_round)))
    (octave_wall, octave_processor), (python_wall, python_processor) = best(octave), best(python)
    print(f"camera {image.shape[0]} x {image.shape[1]}, settings {SETTINGS}, threads {arguments.threads}, best of "
          f"{arguments.rounds} x {arguments.runs}: Octave {octave_wall:.1f} ms, Python {python_wall:.1f} ms "
          f"({100 * (python_wall / octave_wall - 1):+.1f}%); processor time Octave {octave_processor:.1f} ms, "
          f"Python {python_processor:.1f} ms ({100 * (python_processor / octave_processor - 1):+.1f}%)")


if __name__ == "__main__":
    main()
