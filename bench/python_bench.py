"""The Python call's time against the same call through the C++ API, and two
Python threads each running a call against the same calls one after the
other. Not a test: it prints figures, the best of several runs taken in turns.

    build/python_venv/bin/python bench/python_bench.py [--build build] [--runs 5]

The C++ side is build/bench/api_call_time (cmake --build build --target
api_call_time); the image is camera.png from ../shared/data, decoded by
octave-cli, where both are there, and a synthetic image of its size
otherwise.
"""
import argparse
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import edgeseg

ROOT = Path(__file__).resolve().parents[1]
CAMERA_SETTINGS = [5, 2, 0, 30, 4, 4]  # sorvik_bench's grey case: every iteration runs
VOLUME_SETTINGS = [5, 2, 0, 6, 1, 3]  # and its volume case


def camera_image(work):
    png = ROOT.parent / "shared" / "data" / "camera.png"
    octave = shutil.which("octave-cli")
    if png.exists() and octave:
        raw = work / "camera.u8"
        script = f"f = fopen('{raw}', 'w'); fwrite(f, imread('{png}')', 'uint8'); fclose(f);"
        subprocess.run([octave, "--norc", "--quiet", "--eval", script], check=True)
        return np.fromfile(raw, np.uint8).reshape(512, 512).astype(np.float32), "camera.png"
    return synthetic((512, 512), 1), "synthetic 512 x 512"


def synthetic(shape, seed):
    """Whole numbers in three smooth regions with noise, as a photograph has."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.linspace(0, 1, n) for n in shape], indexing="ij")
    regions = (np.sin(6 * grids[-1]) + np.cos(5 * grids[-2]) > 0).astype(np.float32) * 90 + 40 * grids[-1]
    return np.clip(np.round(regions + rng.normal(0, 20, shape)), 0, 255).astype(np.float32)


def cpp_seconds(program, raw, image, settings, threads):
    planes, rows, columns = (1,) + image.shape if image.ndim == 2 else image.shape
    command = [str(program), str(raw), str(planes), str(rows), str(columns), str(threads), "1"]
    output = subprocess.run(command + [repr(float(value)) for value in settings], check=True, capture_output=True,
                            text=True).stdout
    return float(output.split()[0])


def python_seconds(image, settings, threads):
    start = time.perf_counter()
    edgeseg.sorvik(image, settings=settings, threads=threads)
    return time.perf_counter() - start


def overhead(program, work, name, image, settings, runs, threads):
    raw = work / f"{name}.f32"
    image.tofile(raw)
    python, cpp = [], []
    for _ in range(runs):
        python.append(python_seconds(image, settings, threads))
        cpp.append(cpp_seconds(program, raw, image, settings, threads))
    best_python, best_cpp = min(python), min(cpp)
    print(f"| {name} | {threads} | {best_cpp:.4f} s | {best_python:.4f} s | {100 * (best_python / best_cpp - 1):+.1f}% |")


def side_by_side(image, settings, runs):
    def two_at_once():
        calls = [threading.Thread(target=edgeseg.sorvik, args=(image,), kwargs=dict(settings=settings))
                 for _ in range(2)]
        start = time.perf_counter()
        for call in calls:
            call.start()
        for call in calls:
            call.join()
        return time.perf_counter() - start

    def one_after_the_other():
        start = time.perf_counter()
        for _ in range(2):
            edgeseg.sorvik(image, settings=settings)
        return time.perf_counter() - start

    serial, parallel = [], []
    for _ in range(runs):
        serial.append(one_after_the_other())
        parallel.append(two_at_once())
    print(f"two calls one after the other: {min(serial):.4f} s; in two Python threads at once: {min(parallel):.4f} s; "
          f"speed-up {min(serial) / min(parallel):.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build")
    parser.add_argument("--runs", type=int, default=5)
    arguments = parser.parse_args()
    program = arguments.build / "bench" / "api_call_time"
    if not program.exists():
        sys.exit(f"{program} is missing: cmake --build {arguments.build} --target api_call_time")
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        camera, source = camera_image(work)
        volume = synthetic((64, 512, 512), 2)
        print(f"Python {sys.version.split()[0]}, numpy {np.__version__}; grey image: {source}; best of {arguments.runs}")
        print("| case | threads | C++ API call | Python call | Python beyond C++ |")
        print("|---|---|---|---|---|")
        for threads in (1, 2):
            overhead(program, work, "camera 512 x 512, K=4 w=5 N=30", camera, CAMERA_SETTINGS, arguments.runs, threads)
            overhead(program, work, "volume 512 x 512 x 64, K=3 w=5 N=6", volume, VOLUME_SETTINGS, arguments.runs,
                     threads)
        side_by_side(camera, CAMERA_SETTINGS, arguments.runs)


if __name__ == "__main__":
    main()
