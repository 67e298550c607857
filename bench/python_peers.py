"""Both commands beside the Python world's usual ways to split an image into
classes by intensity: scikit-learn's KMeans, OpenCV's kmeans, and
scikit-image's multi-Otsu thresholds with numpy.digitize. Accuracy on the
demo's synthetic scene of three known classes (examples/scenes/shapes_scene.m,
256 x 256, noise 20 to 50 grey levels), and one-thread times there and on
camera.png. Prints a table; not a test.

    build/python_venv/bin/python bench/python_peers.py [--runs 3]

Needs Debian's python3-sklearn, python3-opencv and python3-skimage; a peer
whose package is missing is left out.
"""
import os

# One thread for every peer, set before they load their thread pools.
for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[variable] = "1"

import argparse  # noqa: E402
import itertools  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import edgeseg  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
K = 3
NOISES = (20, 30, 40, 50)


def shapes_scene(noise, seed=5, size=256):
    """The demo's scene: background 0, a disc 1, a bar 2; primary means 50,
    125, 200, secondary 125, 50, 200, Gaussian noise on both."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[1:size + 1, 1:size + 1] * (256 / size)
    truth = np.zeros((size, size), np.int64)
    truth[np.hypot(x - 95, y - 128) < 70] = 1
    truth[(x > 170) & (x < 235) & (y > 30) & (y < 226)] = 2
    primary = np.array([50.0, 125, 200])[truth] + rng.normal(0, noise, truth.shape)
    secondary = np.array([125.0, 50, 200])[truth] + rng.normal(0, noise, truth.shape)
    return truth, primary, secondary


def fraction_right(labels, truth):
    """Pixels labelled right after the best matching of labels to classes."""
    counts = np.zeros((K + 1, K))
    np.add.at(counts, (np.minimum(labels, K).ravel(), truth.ravel()), 1)
    best = max(sum(counts[order[k], k] for k in range(K)) for order in itertools.permutations(range(K)))
    return best / truth.size


def camera():
    png = ROOT.parent / "shared" / "data" / "camera.png"
    octave = shutil.which("octave-cli")
    if not (png.exists() and octave):
        return None
    with tempfile.TemporaryDirectory() as folder:
        raw = Path(folder) / "camera.u8"
        script = f"f = fopen('{raw}', 'w'); fwrite(f, imread('{png}')', 'uint8'); fclose(f);"
        subprocess.run([octave, "--norc", "--quiet", "--eval", script], check=True)
        return np.fromfile(raw, np.uint8).reshape(512, 512).astype(np.float64)


def methods():
    found = []
    try:
        from sklearn.cluster import KMeans

        def sklearn_kmeans(primary, secondary):
            model = KMeans(n_clusters=K, n_init=3, random_state=0)
            return model.fit_predict(primary.reshape(-1, 1)).reshape(primary.shape)

        found.append(("scikit-learn KMeans", "K = 3, k-means++, 3 starts", sklearn_kmeans))
    except ImportError:
        pass
    try:
        import cv2

        cv2.setNumThreads(1)

        def opencv_kmeans(primary, secondary):
            criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 30, 1e-4)
            data = primary.reshape(-1, 1).astype(np.float32)
            _, labels, _ = cv2.kmeans(data, K, None, criteria, 3, cv2.KMEANS_PP_CENTERS)
            return labels.reshape(primary.shape)

        found.append(("OpenCV cv2.kmeans", "K = 3, k-means++, 3 attempts", opencv_kmeans))
    except ImportError:
        pass
    try:
        from skimage.filters import threshold_multiotsu

        def multiotsu(primary, secondary):
            return np.digitize(primary, threshold_multiotsu(primary, classes=K))

        found.append(("scikit-image threshold_multiotsu + digitize", "3 classes", multiotsu))
    except ImportError:
        pass
    found += [
        ("edgeseg.sorvik, plain", "settings=[0, 0, 1e-4, 30, 4, 3]",
         lambda p, s: edgeseg.sorvik(p, settings=[0, 0, 1e-4, 30, 4, K])),
        ("edgeseg.sorvik, edge-weighted", "settings=[5, 600, 1e-4, 30, 4, 3]",
         lambda p, s: edgeseg.sorvik(p, settings=[5, 600, 1e-4, 30, 4, K])),
        ("edgeseg.tamvel, both images", "settings=[1, 1e-4, 10000, 5, 30, 2, 4, 3]",
         lambda p, s: None if s is None else edgeseg.tamvel(p, s, settings=[1, 1e-4, 10000, 5, 30, 2, 4, K])),
    ]
    return found


def best_time(method, primary, secondary, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        method(primary, secondary)
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    runs = parser.parse_args().runs
    scenes = {noise: shapes_scene(noise) for noise in NOISES}
    photo = camera()
    header = " | ".join(f"noise {noise}" for noise in NOISES)
    print(f"| method | settings | {header} | time, noise 40 | time, camera.png |")
    print("|---|---|" + "---|" * (len(NOISES) + 2))
    for name, settings, method in methods():
        right = [fraction_right(method(primary, secondary), truth) for truth, primary, secondary in scenes.values()]
        _, primary, secondary = scenes[40]
        scene_time = best_time(method, primary, secondary, runs)
        photo_time = "—" if photo is None or name.startswith("edgeseg.tamvel") else \
            f"{best_time(method, photo, None, runs):.4f} s"
        cells = " | ".join(f"{100 * value:.2f}%" for value in right)
        print(f"| {name} | {settings} | {cells} | {scene_time:.4f} s | {photo_time} |")


if __name__ == "__main__":
    main()
