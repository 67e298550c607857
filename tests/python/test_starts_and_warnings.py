"""Starting centres and the warnings of a run's end: the spread's own
centres change no label, the suggested centres fill every class of an
anti-correlated pair, and a run warns only when it ended badly."""
import warnings

import dask.array as da
import numpy as np
import pytest
from PIL import Image

import edgeseg
import edgeseg.dask
from support import DATA_DIR


def sample(name):
    return np.asarray(Image.open(DATA_DIR / name).convert("L")).astype(np.float64)


@pytest.fixture(scope="module")
def proton_density():
    return sample("BrainProtonDensitySlice.png")


@pytest.fixture(scope="module")
def brain_slice():
    """The first of the three proton-density slices, as the .raw file holds it."""
    volume = np.fromfile(DATA_DIR / "BrainProtonDensity3Slices.raw", np.uint8).reshape(3, 217, 181)
    return volume[0]


def run(call, *args, **keywords):
    """The call's result and the edgeseg warnings it raised, by class name."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call(*args, **keywords)
    return result, [w.category.__name__ for w in caught if w.category.__module__.startswith("edgeseg")]


@pytest.mark.filterwarnings("ignore::edgeseg.ConvergenceWarning")
def test_the_spreads_own_centres_give_the_same_labels(proton_density):
    settings = dict(class_count=3, window_size=5, edge_weight=40)
    _, start = edgeseg.sorvik(proton_density, max_iterations=0, return_info=True, **settings)
    expected = edgeseg.sorvik(proton_density, **settings)
    assert np.array_equal(edgeseg.sorvik(proton_density, initial_centres=start.centres, **settings), expected)
    assert np.array_equal(edgeseg.sorvik(proton_density, initial_centres=start.centres.ravel(), threads=3,
                                         **settings), expected)
    t1 = sample("BrainT1Slice.png")
    pair = dict(class_count=3, window_size=5, edge_weight=10000)
    _, start = edgeseg.tamvel(t1, proton_density, max_iterations=0, return_info=True, **pair)
    expected = edgeseg.tamvel(t1, proton_density, **pair)
    given = edgeseg.tamvel(t1, proton_density, initial_centres=start.centres,
                           secondary_initial_centres=start.secondary_centres, **pair)
    assert np.array_equal(given, expected)
    # Either table alone: the other image keeps its spread.
    assert np.array_equal(edgeseg.tamvel(t1, proton_density, initial_centres=start.centres, **pair), expected)
    assert np.array_equal(edgeseg.tamvel(t1, proton_density, secondary_initial_centres=start.secondary_centres,
                                         **pair), expected)


def test_an_anticorrelated_pair_empties_classes_unless_it_starts_from_the_suggestion(proton_density):
    inverted = 255 - proton_density
    settings = dict(class_count=4, window_size=5, edge_weight=10000)
    labels, found = run(edgeseg.tamvel, proton_density, inverted, **settings)
    assert found == ["EmptyClassWarning"] and np.bincount(labels.ravel(), minlength=4)[[0, 3]].sum() == 0
    with pytest.warns(edgeseg.EmptyClassWarning, match="classes 0 and 3 of 4 ended with no pixel.*starting centres") as caught:
        edgeseg.tamvel(proton_density, inverted, **settings)
    assert caught[0].filename == __file__
    suggestion = edgeseg.suggest_settings(proton_density, 4, secondary=inverted)["settings"]
    labels, found = run(edgeseg.tamvel, proton_density, inverted, **dict(suggestion, **settings))
    assert found == [] and np.all(np.bincount(labels.ravel(), minlength=4) > 0)


def test_a_run_stopped_by_the_limit_warns_and_one_that_converges_does_not(brain_slice):
    suggestion = edgeseg.suggest_settings(brain_slice, 5)["settings"]
    with pytest.warns(edgeseg.ConvergenceWarning, match="after 30 iterations.*tolerance x the previous energy"):
        labels, info = edgeseg.sorvik(brain_slice, return_info=True, **suggestion)
    assert not info.converged and info.iterations == 30
    (_, info), found = run(edgeseg.sorvik, brain_slice, return_info=True, **dict(suggestion, max_iterations=60))
    assert info.converged and found == []
    # Fixed-length runs by choice stay quiet: tolerance 0, and no tested iteration.
    for quiet in (dict(tolerance=0), dict(last_plain_iteration=29), dict(last_plain_iteration=40),
                  dict(last_plain_iteration=-1, max_iterations=1)):
        assert run(edgeseg.sorvik, brain_slice, **dict(suggestion, **quiet))[1] == []
    # The warning changes nothing else, and filters silence it.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        warnings.simplefilter("ignore", edgeseg.ConvergenceWarning)
        assert np.array_equal(edgeseg.sorvik(brain_slice, **suggestion), labels)
    assert issubclass(edgeseg.ConvergenceWarning, UserWarning) and issubclass(edgeseg.EmptyClassWarning, UserWarning)


def test_dask_takes_starting_centres_and_warns_as_one_call(brain_slice):
    suggestion = edgeseg.suggest_settings(brain_slice, 5)["settings"]
    expected, _ = run(edgeseg.sorvik, brain_slice, **suggestion)
    volume = da.from_array(brain_slice[None], chunks=(1, -1, -1))
    with pytest.warns(edgeseg.ConvergenceWarning, match="after 30 iterations"):
        labels = edgeseg.dask.sorvik(volume, **suggestion)
    assert np.array_equal(labels.compute()[0], expected)


def test_refusals():
    image = np.arange(48.0).reshape(6, 8)
    settings = dict(class_count=3, window_size=3, edge_weight=1)
    refused = [
        ([[1, 2], [3, 4], [5, 6]], "are 3 x 2 \\(classes x channels\\); expected 3 x 1", None),
        ([1, 2], "have 2 rows; expected 3", 5),
        ([1, np.nan, 3], "hold nan for class 1", None),
        ([1, 2, 1e39], "single precision", None),
        (np.ones((3, 1, 1)), "shape", None),
    ]
    for centres, words, setting in refused:
        with pytest.raises(ValueError, match=words) as caught:
            edgeseg.sorvik(image, initial_centres=centres, **settings)
        assert getattr(caught.value, "setting", None) == setting
    with pytest.raises(TypeError, match="initial_centres"):
        edgeseg.sorvik(image, initial_centres=["a", "b", "c"], **settings)
    pair = dict(settings, edge_weight=100)
    with pytest.raises(ValueError, match="secondary starting centres are 3 x 2") as caught:
        edgeseg.tamvel(image, image, secondary_initial_centres=np.ones((3, 2)), **pair)
    assert caught.value.mnemonic == "badCentres"
    with pytest.raises(ValueError, match="badCentres|starting centres"):
        edgeseg.dask.sorvik(image, initial_centres=[1, 2], **settings)
