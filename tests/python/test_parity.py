"""The labels of edgeseg equal those of the Octave commands, bit for bit: on
the sample images and on random arrays of every dtype and shape class, for
both commands, with one and two threads, in every memory layout.

One octave-cli run computes every case's labels through the plug-ins of the
CMake build (build/mex, or EDGESEG_MEX_DIR).
"""
import warnings

import numpy as np
import pytest

import edgeseg
from support import MEX_DIR, layouts, run_octave_cases

# numpy dtype, the Octave class holding the same values, and how the raw
# file stores them (float16 has no Octave class: every float16 is a single).
DTYPES = {
    "bool": "logical",
    "int8": "int8",
    "uint8": "uint8",
    "int16": "int16",
    "uint16": "uint16",
    "int32": "int32",
    "uint32": "uint32",
    "int64": "int64",
    "uint64": "uint64",
    "float16": "single",
    "float32": "single",
    "float64": "double",
    "complex64": "single",
    "complex128": "double",
}
OCTAVE_DTYPES = {"logical": np.uint8, "single": np.float32, "double": np.float64}

# Spatial shape and channels of each shape class (channels None: grey).
SHAPE_CLASSES = {
    "grey": ((13, 17), None),
    "channels": ((11, 9), 3),
    "volume": ((4, 9, 10), None),
    "volume_channels": ((3, 8, 7), 2),
    "row": ((1, 23), None),
    "column": ((19, 1), 2),
}


def random_values(rng, dtype, shape):
    """Values that fill much of the dtype's range, in two clusters, with NaN
    and infinities among the floats."""
    dtype = np.dtype(dtype)
    if dtype == bool:
        return rng.random(shape) < 0.4
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        low, high = int(info.min), int(info.max)
        halves = rng.random(shape) < 0.5
        lower = rng.integers(low, low // 2 + high // 2, size=shape, dtype=dtype, endpoint=True)
        upper = rng.integers(low // 4 + high // 4 * 3, high, size=shape, dtype=dtype, endpoint=True)
        return np.where(halves, lower, upper)
    real = np.where(rng.random(shape) < 0.5, 20.0, 70.0) + rng.normal(0, 15, shape)
    if dtype.kind == "c":
        return (real + 1j * rng.normal(0, 50, shape)).astype(dtype)
    values = real.astype(dtype)
    if values.size > 4 and dtype != np.float16:
        flat = values.reshape(-1)
        flat[rng.integers(0, flat.size, 3)] = [np.nan, np.inf, -np.inf]
    return values


def settings_for(command, values, rng):
    """Settings that run both phases, with an edge weight on the data's scale."""
    finite = np.real(values).astype(np.float64)
    finite = finite[np.isfinite(finite)]
    spread = float(finite.max() - finite.min()) if finite.size else 1.0
    weight = float(np.float32(max(spread, 1.0) ** 2 * rng.uniform(0.005, 0.05)))
    classes = int(rng.integers(2, 5))
    window = int(rng.choice([3, 4, 5, 7]))
    if command == "sorvik":
        return [window, weight, 1e-4, 12, 2, classes]
    return [float(rng.uniform(0.2, 2)), 1e-4, weight * 4, window, 12, float(rng.choice([1.5, 2, -3])), 2, classes]


class Case:
    def __init__(self, name, command, settings, threads, images=None, sources=None):
        self.name, self.command, self.settings, self.threads = name, command, settings, threads
        self.images = images or []  # (P, M, N, C) arrays as the tests give them
        self.has_channels = False
        self.sources = sources or ["raw"] * (1 if command == "sorvik" else 2)

    def line(self):
        first = self.images[0] if self.images else None
        cls, is_complex, extents = "uint8", 0, (0, 0, 0, 0)
        if first is not None:
            cls = DTYPES[first.dtype.name]
            is_complex = int(first.dtype.kind == "c")
            planes, rows, columns, channels = first.shape
            extents = (rows, columns, planes, channels)
        values = " ".join(repr(float(np.float32(value))) for value in self.settings)
        return (
            f"{self.name} {self.command} {','.join(self.sources)} {cls} {is_complex} "
            f"{' '.join(map(str, extents))} {self.threads} {len(self.settings)} {values}"
        )


def write_raw(path, four, cls):
    """A (P, M, N, C) array as Octave's rows x columns x depth x channels."""
    octave_order = np.transpose(four, (1, 2, 0, 3))
    stored = OCTAVE_DTYPES.get(cls, four.dtype)
    with open(path, "wb") as out:
        parts = [octave_order.real, octave_order.imag] if four.dtype.kind == "c" else [octave_order]
        for part in parts:
            out.write(np.asarray(part).astype(stored).tobytes(order="F"))


def read_octave(path, dtype, rows, columns, depth, channels):
    values = np.fromfile(path, dtype=dtype)
    return np.transpose(values.reshape((rows, columns, depth, channels), order="F"), (2, 0, 1, 3))


def random_cases(rng):
    cases = []
    for dtype in DTYPES:
        for shape_name, (spatial, channels) in SHAPE_CLASSES.items():
            for command in ("sorvik", "tamvel"):
                if command == "tamvel" and shape_name in ("row", "column") and dtype not in ("uint8", "float64"):
                    continue
                shape = spatial + ((channels,) if channels else ())
                images = [random_values(rng, dtype, shape)]
                if command == "tamvel":
                    images.append(random_values(rng, dtype, shape))
                threads = 1 + len(cases) % 2
                case = Case(f"{command}_{dtype}_{shape_name}", command, settings_for(command, images[0], rng), threads)
                case.logical = images
                case.has_channels = channels is not None
                case.images = [four_axes(image, case.has_channels) for image in images]
                cases.append(case)
    return cases


def four_axes(image, has_channels):
    if not has_channels:
        image = image[..., None]
    return image if image.ndim == 4 else image[None]


SAMPLE_CASES = [
    ("camera", "sorvik", ["sample:image:camera.png"], [5, 600, 1e-4, 30, 4, 4]),
    ("coins", "sorvik", ["sample:image:coins.png"], [5, 1000, 1e-4, 30, 4, 2]),
    ("astronaut", "sorvik", ["sample:image:astronaut.png"], [3, 800, 1e-4, 20, 3, 5]),
    ("brain_volume", "sorvik", ["sample:raw_volume:BrainProtonDensity3Slices.raw"], [5, 300, 1e-4, 30, 4, 3]),
    (
        "brain_pair",
        "tamvel",
        ["sample:first_channel:BrainT1Slice.png", "sample:indexed_grey:BrainProtonDensitySlice.png"],
        [1, 1e-4, 10000, 5, 30, 2, 4, 3],
    ),
]


@pytest.fixture(scope="module")
def octave_results(tmp_path_factory):
    case_dir = tmp_path_factory.mktemp("octave_cases")
    rng = np.random.default_rng(20)
    cases = random_cases(rng)
    for name, command, sources, settings in SAMPLE_CASES:
        for threads in (1, 2):
            cases.append(Case(f"{name}_{threads}", command, settings, threads, sources=sources))
    for case in cases:
        for image, suffix in zip(case.images, (".in", ".in2")):
            write_raw(case_dir / (case.name + suffix), image, DTYPES[image.dtype.name])
    (case_dir / "cases.txt").write_text("".join(case.line() + "\n" for case in cases))
    if not run_octave_cases(case_dir):
        pytest.skip(f"needs octave-cli and the Octave plug-ins in {MEX_DIR} (cmake --build build)")
    for case in cases:
        read_samples(case, case_dir)
        planes, rows, columns, _ = case.images[0].shape
        case.expected = read_octave(case_dir / (case.name + ".labels"), np.float64, rows, columns, planes, 1)[..., 0]
        case.info = [np.array(line.split(), dtype=np.float64) for line in
                     (case_dir / (case.name + ".info")).read_text().splitlines()]
    return cases


def read_samples(case, case_dir):
    """A case's sample images as Octave read them: (P, M, N, C) in case.images,
    and as the tests give them in case.logical."""
    if case.sources[0] == "raw":
        return
    case.images = [read_sample(case_dir, case.name + suffix) for suffix in (".in", ".in2")[: len(case.sources)]]
    case.has_channels = case.images[0].shape[3] > 1
    case.logical = [image[0] if image.shape[0] == 1 else image for image in case.images]
    case.logical = [image if case.has_channels else image[..., 0] for image in case.logical]


def read_sample(case_dir, stem):
    cls, *extents = (case_dir / (stem + ".shape")).read_text().split()
    dtype = {"uint8": np.uint8, "double": np.float64, "single": np.float32}[cls]
    rows, columns, depth, channels = map(int, extents)
    return read_octave(case_dir / stem, dtype, rows, columns, depth, channels)


def segment(case, images, channel_axis, threads):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", edgeseg._arguments.ComplexWarning)
        if case.command == "sorvik":
            return edgeseg.sorvik(images[0], settings=case.settings, channel_axis=channel_axis, threads=threads)
        return edgeseg.tamvel(images[0], images[1], settings=case.settings, channel_axis=channel_axis, threads=threads)


def test_every_case_in_every_layout_and_thread_count_gives_octaves_labels(octave_results):
    mismatches = []
    for case in octave_results:
        expected = case.expected if case.images[0].shape[0] > 1 else case.expected[0]
        variants = [list(layouts(image, case.has_channels)) for image in case.logical]
        for index, (layout_name, _, channel_axis) in enumerate(variants[0]):
            images = [variant[index][1] for variant in variants]
            for threads in (1, 2):
                labels = segment(case, images, channel_axis, threads)
                assert labels.dtype == np.int64
                if labels.shape != expected.shape or not np.array_equal(labels, expected):
                    mismatches.append(f"{case.name}, {layout_name}, {threads} threads")
    assert not mismatches, "labels differ from Octave's: " + "; ".join(mismatches)


def test_the_run_info_is_the_octave_commands(octave_results):
    mismatches = []
    for case in octave_results:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", edgeseg._arguments.ComplexWarning)
            command = edgeseg.sorvik if case.command == "sorvik" else edgeseg.tamvel
            axis = -1 if case.has_channels else None
            _, info = command(*case.logical, settings=case.settings, channel_axis=axis, return_info=True)
        expected = case.info
        found = [np.array([info.iterations, info.converged]), info.energies, info.counts, info.centres.ravel()]
        if case.command == "tamvel":
            found.append(info.secondary_centres.ravel())
        same = len(found) == len(expected) and all(
            np.array_equal(mine, theirs, equal_nan=True) for mine, theirs in zip(found, expected))
        if not same:
            mismatches.append(case.name)
    assert not mismatches, "info differs from Octave's: " + ", ".join(mismatches)


def test_sample_images_are_segmented_into_every_class(octave_results):
    # Guards the parity above against cases that compare trivial labels.
    for case in octave_results:
        if case.sources[0] != "raw":
            assert len(np.unique(case.expected)) == case.settings[-1], case.name


def test_named_settings_give_the_vectors_labels(octave_results):
    camera = next(case for case in octave_results if case.name == "camera_1")
    window, weight, tolerance, iterations, last_plain, classes = camera.settings
    labels = edgeseg.sorvik(
        camera.logical[0],
        class_count=classes,
        window_size=window,
        edge_weight=weight,
        tolerance=tolerance,
        max_iterations=iterations,
        last_plain_iteration=last_plain,
    )
    assert np.array_equal(labels, camera.expected[0])
    pair = next(case for case in octave_results if case.name == "brain_pair_2")
    secondary_weight, tolerance, weight, window, iterations, band, last_plain, classes = pair.settings
    labels = edgeseg.tamvel(
        *pair.logical,
        class_count=classes,
        window_size=window,
        edge_weight=weight,
        secondary_weight=secondary_weight,
        band_sigma=band,
        threads=0,
    )
    assert np.array_equal(labels, pair.expected[0])
