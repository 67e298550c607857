"""edgeseg.suggest_settings gives the settings and estimates of the Octave
function edgeseg_settings on the sample images, starts every class with
pixels, and refuses what the commands refuse."""
import numpy as np
import pytest

import edgeseg
from support import MEX_DIR, run_octave_cases
from test_parity import Case, read_samples

# The method is the same on both sides; only the order of sums may differ.
RELATIVE_TOLERANCE = 1e-9

SUGGEST_CASES = [
    ("camera", ["sample:image:camera.png"], 4),
    ("astronaut", ["sample:image:astronaut.png"], 5),
    ("brain_volume", ["sample:raw_volume:BrainProtonDensity3Slices.raw"], 3),
    ("brain_pair", ["sample:first_channel:BrainT1Slice.png", "sample:indexed_grey:BrainProtonDensitySlice.png"], 4),
]


@pytest.fixture(scope="module")
def octave_suggestions(tmp_path_factory):
    case_dir = tmp_path_factory.mktemp("suggest_cases")
    cases = [Case(name, "suggest", [classes], 1, sources=sources) for name, sources, classes in SUGGEST_CASES]
    (case_dir / "cases.txt").write_text("".join(case.line() + "\n" for case in cases))
    if not run_octave_cases(case_dir):
        pytest.skip(f"needs octave-cli and the Octave plug-ins in {MEX_DIR} (cmake --build build)")
    for case in cases:
        read_samples(case, case_dir)
        lines = (case_dir / (case.name + ".suggestion")).read_text().splitlines()
        case.expected = {name: np.array(values, dtype=np.float64) for name, *values in map(str.split, lines)}
    return cases


def suggest(case):
    secondary = {"secondary": case.logical[1]} if len(case.logical) == 2 else {}
    axis = -1 if case.has_channels else None
    return edgeseg.suggest_settings(case.logical[0], case.settings[-1], channel_axis=axis, **secondary)


def test_settings_and_estimates_are_edgeseg_settings(octave_suggestions):
    for case in octave_suggestions:
        found = suggest(case)
        settings, estimates = dict(found["settings"]), found["estimates"]
        # The suggested centres reach the commands as their starting centres.
        for keyword, name in (("initial_centres", "suggested_centres"),
                              ("secondary_initial_centres", "suggested_secondary_centres")):
            assert (keyword in settings) == (name in estimates), case.name
            if keyword in settings:
                assert settings.pop(keyword) is estimates[name], case.name
        flat = {**settings, **estimates}
        assert sorted(flat) == sorted(case.expected), case.name
        for name, value in flat.items():
            np.testing.assert_allclose(np.ravel(value), case.expected[name], rtol=RELATIVE_TOLERANCE, atol=1e-12,
                                       err_msg=f"{case.name}: {name}")


def test_the_suggestion_drives_the_commands_and_every_class_starts_with_pixels(octave_suggestions):
    pair = next(case for case in octave_suggestions if case.name == "brain_pair")
    found = suggest(pair)
    labels = edgeseg.tamvel(*pair.logical, **found["settings"])
    assert len(np.unique(labels)) > 1
    primary, secondary = (image.astype(np.float64).reshape(-1, 1) for image in pair.logical)
    estimates = found["estimates"]
    cost = ((primary - estimates["suggested_centres"].T) ** 2
            + found["settings"]["secondary_weight"] * (secondary - estimates["suggested_secondary_centres"].T) ** 2)
    assert np.all(np.bincount(cost.argmin(axis=1), minlength=4) > 0)
    colour = next(case for case in octave_suggestions if case.name == "astronaut")
    found = suggest(colour)
    assert edgeseg.sorvik(colour.logical[0], channel_axis=-1, **found["settings"]).shape == (512, 512)
    assert found["estimates"]["suggested_centres"].shape == (5, 3)


def test_refusals():
    image = np.arange(64.0).reshape(8, 8)
    for bad_count in (0, -1, 2.5, np.inf):
        with pytest.raises(ValueError, match="class_count"):
            edgeseg.suggest_settings(image, bad_count)
    for bad_count in ("3", None, True, 2 + 0j):
        with pytest.raises(TypeError, match="class_count"):
            edgeseg.suggest_settings(image, bad_count)
    for bad_image in (np.array([["a", "b"], ["c", "d"]]), {"a": 1}, None):
        with pytest.raises(TypeError):
            edgeseg.suggest_settings(bad_image, 2)
    with pytest.raises(ValueError):
        edgeseg.suggest_settings(np.zeros((0, 5)), 2)
    with pytest.raises(ValueError):
        edgeseg.suggest_settings(np.zeros((2, 3, 4, 5)), 2)
    colour = np.dstack([image, image])
    mismatches = [(image, None, np.zeros((8, 7))), (image, None, np.zeros((0, 8))), (colour, -1, np.zeros((8, 8, 1)))]
    for primary, axis, secondary in mismatches:
        with pytest.raises(ValueError, match="secondary"):
            edgeseg.suggest_settings(primary, 2, channel_axis=axis, secondary=secondary)
    with pytest.raises(TypeError):
        edgeseg.suggest_settings(image, 2, secondary="no image")


def test_a_colour_like_image_is_warned_of_once_unless_channel_axis_is_given(recwarn):
    rng = np.random.default_rng(2)
    colour = rng.normal(100, 20, (40, 50, 3))
    edgeseg.suggest_settings(colour, 2)
    assert [str(warning.message).split(",")[0] for warning in recwarn] == ["image is 40 x 50 x 3"]
    assert recwarn[0].filename == __file__
    recwarn.clear()
    edgeseg.suggest_settings(colour, 2, channel_axis=None, secondary=colour)
    edgeseg.suggest_settings(colour, 2, channel_axis=-1)
    assert len(recwarn) == 0
