"""What a call tells besides its labels (return_info, progress) and how it
stops: an exception in the progress callable, and Ctrl-C."""
import re
import signal
import subprocess
import sys

import dask.array as da
import numpy as np
import pytest

import edgeseg
import edgeseg.dask

RNG = np.random.default_rng(8)
IMAGE = (np.where(np.arange(48) < 20, 60.0, 150.0) + RNG.normal(0, 30, (40, 48))).astype(np.float32)
SETTINGS = dict(class_count=3, window_size=5, edge_weight=400, max_iterations=40)


@pytest.mark.parametrize("pair", [False, True], ids=["sorvik", "tamvel"])
def test_info_and_progress_tell_the_run_that_made_the_labels(pair):
    reports = []
    images = (IMAGE, 255 - IMAGE) if pair else (IMAGE,)
    command = edgeseg.tamvel if pair else edgeseg.sorvik
    plain = command(*images, **SETTINGS)
    labels, info = command(*images, **SETTINGS, return_info=True, progress=reports.append)
    assert np.array_equal(labels, plain)
    assert info.iterations == len(reports) == len(info.energies) > 5
    assert [report.iteration for report in reports] == list(range(info.iterations))
    assert [report.last for report in reports] == [False] * (info.iterations - 1) + [True]
    assert reports[-1].converged == info.converged
    assert np.array_equal(info.energies, [report.energy for report in reports]) and info.energy == info.energies[-1]
    assert not reports[3].edge_phase and reports[5].edge_phase  # last plain iteration 4
    assert np.array_equal(info.counts, np.bincount(labels.ravel(), minlength=3))
    # Centres are kept as floats: the class means, rounded once.
    for k in np.flatnonzero(info.counts):
        assert info.centres[k, 0] == pytest.approx(IMAGE[labels == k].astype(np.float64).mean(), rel=1e-7)
        if pair:
            secondary = images[1][labels == k].astype(np.float64).mean()
            assert info.secondary_centres[k, 0] == pytest.approx(secondary, rel=1e-7)
    assert (info.secondary_centres is None) != pair


def _closing_words(info, tolerance):
    """The closing line, built from the run's energies by hand."""
    count = info.iterations
    if info.converged:
        return (f"sorvik: converged after {count} iterations: the squared change of the energy fell below tolerance x "
                "the previous energy.")
    if tolerance == 0:
        return (f"sorvik: stopped after {count} iterations, the limit: tolerance 0 runs every iteration, with no "
                "convergence test.")
    if count <= 5:  # iterations 0 to 4 are plain
        return (f"sorvik: stopped after {count} iterations, the limit, before any convergence test: the test applies "
                "from the iteration after the last plain one.")
    previous, last = np.float32(info.energies[-2]), np.float32(info.energies[-1])
    change = float(last) - float(previous)
    return (f"sorvik: stopped after {count} iterations, the limit, without converging: the last change of the energy "
            f"squared, {change * change:.3g}, was not below tolerance x the previous energy, "
            f"{np.float32(tolerance):.3g} x {previous:.9g} = {float(np.float32(tolerance)) * float(previous):.3g}.")


@pytest.mark.parametrize("tolerance, iterations", [(0, 40), (1e-4, 3), (1e-4, 8), (1e-4, 40)],
                         ids=["tolerance_0", "all_plain", "limit", "converged"])
def test_progress_true_prints_a_line_an_iteration_and_why_the_run_ended(capsys, tolerance, iterations):
    settings = dict(SETTINGS, tolerance=tolerance, max_iterations=iterations)
    _, info = edgeseg.sorvik(IMAGE, **settings, return_info=True, progress=True)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == info.iterations + 1
    assert lines[0].startswith("sorvik: iteration 1, plain phase: energy ")
    assert lines[-1] == _closing_words(info, tolerance)
    assert info.converged == (iterations == 40 and tolerance > 0)
    if info.iterations > 5:
        assert lines[5].startswith("sorvik: iteration 6, edge phase: energy ")
    # The distributed driver prints the same lines, and a callable gets them
    # with each report, but for the seconds.
    edgeseg.dask.sorvik(da.from_array(IMAGE[None], chunks=1), **settings, progress=np.True_)
    assert [_without_seconds(line) for line in capsys.readouterr().out.splitlines()] == list(
        map(_without_seconds, lines))
    reports = []
    edgeseg.sorvik(IMAGE, **settings, progress=reports.append)
    assert [_without_seconds(line) for report in reports for line in report.lines.splitlines()] == list(
        map(_without_seconds, lines))


def _without_seconds(line):
    return re.sub(r", [0-9.]+ s$", "", line)


def test_an_exception_in_progress_stops_the_call_and_is_raised():
    def stop_at_third(report):
        if report.iteration == 2:
            raise LookupError("seen enough")

    with pytest.raises(LookupError, match="seen enough"):
        edgeseg.sorvik(IMAGE, **dict(SETTINGS, max_iterations=10**6), tolerance=0, progress=stop_at_third)
    with pytest.raises(TypeError, match="progress is 3"):
        edgeseg.sorvik(IMAGE, **SETTINGS, progress=3)


# A runner that starts the tests in the background may pass Ctrl-C on as
# ignored, and Python then installs no KeyboardInterrupt handler: the child
# takes the one an interactive session has.
LONG_CALL = """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
import numpy as np, edgeseg
volume = np.random.default_rng(0).normal(100, 30, (16, 256, 256)).astype(np.float32)
print("calling", flush=True)
edgeseg.sorvik(volume, class_count=3, window_size=5, edge_weight=500, tolerance=0, max_iterations=10**9)
"""
FIRST_CALL = """
import numpy as np, edgeseg
image = np.random.default_rng(9).normal(100, 30, (40, 48))
print(" ".join(map(str, edgeseg.sorvik(image, class_count=3, window_size=5, edge_weight=400).ravel())))
"""


def test_ctrl_c_ends_a_long_call_with_keyboard_interrupt_and_a_fresh_process_computes_again():
    # The call would run for days; the limit is only there so that a call
    # that ignores the signal fails the test instead of hanging it.
    process = subprocess.Popen([sys.executable, "-c", LONG_CALL], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    assert process.stdout.readline().strip() == "calling"
    try:
        process.wait(timeout=0.5)
    except subprocess.TimeoutExpired:
        pass
    process.send_signal(signal.SIGINT)
    try:
        _, errors = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode != 0 and "KeyboardInterrupt" in errors, errors
    fresh = subprocess.run([sys.executable, "-c", FIRST_CALL], capture_output=True, text=True, check=True)
    image = np.random.default_rng(9).normal(100, 30, (40, 48))
    expected = edgeseg.sorvik(image, class_count=3, window_size=5, edge_weight=400)
    assert fresh.stdout.split() == [str(value) for value in expected.ravel()]


def test_the_estimator_gives_the_commands_labels_and_info():
    model = edgeseg.Sorvik(**SETTINGS).set_params(threads=2)
    labels = model.fit_predict(IMAGE)
    expected, info = edgeseg.sorvik(IMAGE, **SETTINGS, return_info=True)
    assert np.array_equal(labels, expected) and model.labels_ is labels
    assert np.array_equal(model.cluster_centers_, info.centres) and model.n_iter_ == info.iterations
    assert np.array_equal(model.counts_, info.counts) and model.converged_ == info.converged
    assert model.get_params()["threads"] == 2
    with pytest.raises(ValueError, match="no parameter 'n_clusters'"):
        model.set_params(n_clusters=3)


def test_the_estimator_takes_a_mask_in_fit_and_centres_as_a_parameter():
    inside = np.hypot(*np.mgrid[-20:20, -24:24]) < 18
    centres = [[50.0], [110.0], [170.0]]
    model = edgeseg.Sorvik(**SETTINGS, initial_centres=centres)
    expected, info = edgeseg.sorvik(IMAGE, **SETTINGS, mask=inside, initial_centres=centres, return_info=True)
    assert np.array_equal(model.fit_predict(IMAGE, mask=inside), expected) and (expected == -1).any()
    assert np.array_equal(model.counts_, info.counts) and np.array_equal(model.cluster_centers_, info.centres)
    assert np.array_equal(model.fit(np.ma.masked_array(IMAGE, ~inside)).labels_, expected)
    assert "mask" not in model.get_params() and model.get_params()["initial_centres"] is centres
    unmasked = edgeseg.sorvik(IMAGE, **SETTINGS, initial_centres=centres)
    assert np.array_equal(model.fit_predict(IMAGE), unmasked)  # the mask was not kept
    with pytest.raises(ValueError) as refused:
        model.fit(IMAGE, mask=inside[:, 1:])
    assert refused.value.mnemonic == "geometryMismatch"
    with pytest.raises(ValueError) as refused:
        model.set_params(initial_centres=centres[:2]).fit(IMAGE)
    assert refused.value.mnemonic == "badCentres"


def test_exact_sums_give_one_labelling_for_every_thread_count():
    exact = edgeseg.sorvik(IMAGE, **SETTINGS, exact_sums=True)
    for threads in (2, 4):
        assert np.array_equal(edgeseg.sorvik(IMAGE, **SETTINGS, exact_sums=True, threads=threads), exact)
    # Whole numbers and no energy test: then nothing is summed otherwise.
    whole, settings = IMAGE.clip(0, 255).astype(np.uint8), dict(SETTINGS, tolerance=0)
    assert np.array_equal(edgeseg.sorvik(whole, **settings, exact_sums=True), edgeseg.sorvik(whole, **settings))
    with pytest.raises(TypeError):
        edgeseg.tamvel(IMAGE, IMAGE, **SETTINGS, exact_sums=True)
