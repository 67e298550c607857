"""Masks in Python: what a masked call promises, how a numpy masked array
combines with `mask`, the refusals, and the Octave command's labels for the
same masked call."""
import os
import re
import shutil
import subprocess
import warnings

import numpy as np
import pytest

import edgeseg
from support import MEX_DIR, ROOT

SETTINGS = dict(class_count=3, window_size=5, edge_weight=300, max_iterations=12)


def scene(rng, shape=(40, 50)):
    rows, columns = np.indices(shape[-2:])
    truth = (rows // 14 + columns // 17) % 3
    return np.broadcast_to(truth * 60.0, shape) + rng.normal(0, 12, shape)


def disc(shape):
    rows, columns = np.indices(shape)
    return (rows - shape[0] / 2) ** 2 + (columns - shape[1] / 2) ** 2 < (min(shape) / 2.5) ** 2


def test_outside_is_minus_one_and_its_values_change_no_label_inside():
    rng = np.random.default_rng(3)
    image, mask = scene(rng), disc((40, 50))
    labels = edgeseg.sorvik(image, mask=mask, **SETTINGS)
    assert np.array_equal(labels == -1, ~mask)
    changed = np.where(mask, image, rng.choice([np.nan, np.inf, -1e9, 5e3], image.shape))
    for threads in (1, 3):
        assert np.array_equal(edgeseg.sorvik(changed, mask=mask, threads=threads, **SETTINGS), labels)
    _, info = edgeseg.sorvik(image, mask=mask, return_info=True, **SETTINGS)
    assert info.counts.sum() == mask.sum()


def test_a_mask_with_every_pixel_inside_is_no_mask_in_any_dtype():
    rng = np.random.default_rng(4)
    image = scene(rng, (3, 20, 24))
    plain = edgeseg.sorvik(image, **SETTINGS)
    for every in (np.ones(image.shape, bool), np.full(image.shape, 7, np.int16), np.full(image.shape, 0.5)):
        assert np.array_equal(edgeseg.sorvik(image, mask=every, **SETTINGS), plain)


def test_a_masked_array_masks_pixels_masked_in_any_channel_and_combines_with_mask():
    rng = np.random.default_rng(5)
    colour = np.stack([scene(rng), scene(rng)], axis=-1)
    inside = disc((40, 50))
    hidden = np.zeros(colour.shape, bool)
    hidden[:5, :, 1] = True  # the first rows, in the second channel only
    masked = np.ma.masked_array(colour, mask=hidden)
    expected = edgeseg.sorvik(colour, mask=np.all(~hidden, axis=-1), channel_axis=-1, **SETTINGS)
    assert np.array_equal(edgeseg.sorvik(masked, channel_axis=-1, **SETTINGS), expected)
    both = edgeseg.sorvik(masked, mask=inside, channel_axis=-1, **SETTINGS)
    assert np.array_equal(both == -1, ~(inside & np.all(~hidden, axis=-1)))
    # A masked array without any masked pixel is the plain array.
    assert np.array_equal(edgeseg.sorvik(np.ma.masked_array(colour), channel_axis=-1, **SETTINGS),
                          edgeseg.sorvik(colour, channel_axis=-1, **SETTINGS))


@pytest.mark.parametrize(
    "mask, error, mnemonic",
    [
        (np.ones((50, 40), bool), ValueError, "geometryMismatch"),
        (np.ones((2, 40, 50), bool), ValueError, "geometryMismatch"),
        (np.zeros((40, 50), bool), ValueError, "emptyMask"),
        (np.ones((40, 50), complex), TypeError, None),
        (np.full((40, 50), "in"), TypeError, None),
        (np.full((40, 50), None), TypeError, None),
    ],
)
def test_masks_of_another_shape_without_a_pixel_inside_or_not_real_are_refused(mask, error, mnemonic):
    image = scene(np.random.default_rng(6))
    with pytest.raises(error) as caught:
        edgeseg.sorvik(image, mask=mask, **SETTINGS)
    if mnemonic:
        assert caught.value.mnemonic == mnemonic
    # The same with a masked array's mask to combine with.
    with pytest.raises(error):
        edgeseg.sorvik(np.ma.masked_array(image, mask=~disc((40, 50))), mask=mask, **SETTINGS)


def test_a_masked_run_starts_where_told_and_warns_of_classes_empty_inside():
    rng = np.random.default_rng(5)
    image, mask = scene(rng), disc((40, 50))
    image[~mask] = rng.choice([-1e9, 5e3], image.shape)[~mask]
    _, start = edgeseg.sorvik(image, mask=mask, return_info=True, **dict(SETTINGS, max_iterations=0))
    assert image[mask].min() < start.centres.min() and start.centres.max() < image[mask].max()
    labels = edgeseg.sorvik(image, mask=mask, **SETTINGS)
    assert np.array_equal(edgeseg.sorvik(image, mask=mask, initial_centres=start.centres, **SETTINGS), labels)
    # The outside would fill the last class; inside, nothing comes near it.
    far = np.where(mask, image, 5e3)
    settings = dict(class_count=2, window_size=3, edge_weight=1, max_iterations=1, initial_centres=[0, 5e3])
    with pytest.warns(edgeseg.EmptyClassWarning):
        _, info = edgeseg.sorvik(far, mask=mask, return_info=True, **settings)
    assert info.counts.tolist() == [mask.sum(), 0]
    with warnings.catch_warnings():
        warnings.simplefilter("error", edgeseg.EmptyClassWarning)
        edgeseg.sorvik(far, **settings)


TAMVEL_SETTINGS = [1, 1e-4, 10000, 5, 15, 2, 2, 2]


def test_tamvel_masks_both_images_and_takes_a_masked_array_as_either():
    rng = np.random.default_rng(8)
    primary = scene(rng)
    secondary = 200 - primary + rng.normal(0, 10, primary.shape)
    mask = disc((40, 50))
    labels = edgeseg.tamvel(primary, secondary, settings=TAMVEL_SETTINGS, mask=mask)
    assert np.array_equal(labels == -1, ~mask)
    strangers = rng.choice([np.nan, np.inf, -1e9], primary.shape)
    for threads in (1, 3):
        changed = edgeseg.tamvel(np.where(mask, primary, strangers), np.where(mask, secondary, strangers[::-1]),
                                 settings=TAMVEL_SETTINGS, mask=mask, threads=threads)
        assert np.array_equal(changed, labels)
    hidden = np.ma.masked_array(secondary, mask=~mask)
    assert np.array_equal(edgeseg.tamvel(primary, hidden, settings=TAMVEL_SETTINGS), labels)
    with pytest.raises(ValueError) as caught:
        edgeseg.tamvel(primary, secondary, settings=TAMVEL_SETTINGS, mask=mask.T)
    assert caught.value.mnemonic == "geometryMismatch"


def readme_blocks(language):
    readme = (ROOT / "README.md").read_text()
    start = readme.index("\n## Masks\n")
    return re.findall(rf"```{language}\n(.*?)```", readme[start:readme.index("\n## ", start + 1)], re.S)


def test_the_readme_s_masked_call_runs_in_python():
    (block,) = readme_blocks("python")
    namespace = {}
    exec(compile(block, "README.md", "exec"), namespace)
    labels, brain = namespace["labels"], namespace["brain"]
    assert np.array_equal(labels == -1, ~brain) and np.array_equal(namespace["same"], labels)
    assert set(np.unique(labels[brain])) == {0, 1}


OCTAVE_CALL = """
f = fopen(fullfile(d, 'image'), 'r'); I = reshape(fread(f, Inf, 'double=>double'), {rows}, {columns}); fclose(f);
f = fopen(fullfile(d, 'mask'), 'r'); M = reshape(fread(f, Inf, 'uint8=>logical'), {rows}, {columns}); fclose(f);
L = Sorvik(I, [5 300 1e-4 12 2 3], "mask", M);
f = fopen(fullfile(d, 'labels'), 'w'); fwrite(f, L, 'double'); fclose(f);
T = Tamvel(I, 200 - I, [1 1e-4 10000 5 15 2 2 2], "mask", double(M));
f = fopen(fullfile(d, 'pair_labels'), 'w'); fwrite(f, T, 'double'); fclose(f);
"""


def test_octave_gives_the_same_masked_labels_for_both_commands(tmp_path):
    octave = shutil.which("octave-cli")
    if octave is None or not (MEX_DIR / "Sorvik.mex").exists():
        pytest.skip(f"needs octave-cli and the Octave plug-ins in {MEX_DIR}")
    image, mask = scene(np.random.default_rng(7)), disc((40, 50))
    (tmp_path / "image").write_bytes(image.astype(np.float64).tobytes(order="F"))
    (tmp_path / "mask").write_bytes(mask.astype(np.uint8).tobytes(order="F"))
    script = f"addpath('{MEX_DIR}'); d = '{tmp_path}';" + OCTAVE_CALL.format(rows=40, columns=50)
    script += readme_blocks("octave")[0]
    environment = dict(os.environ)
    environment.pop("LD_PRELOAD", None)
    subprocess.run([octave, "--norc", "--no-history", "--quiet", "--eval", script], env=environment, check=True)
    expected = np.fromfile(tmp_path / "labels", dtype=np.float64).reshape((40, 50), order="F")
    labels = edgeseg.sorvik(image, settings=[5, 300, 1e-4, 12, 2, 3], mask=mask)
    assert np.array_equal(labels, expected)
    assert (labels == -1).sum() == (~mask).sum()
    pair = np.fromfile(tmp_path / "pair_labels", dtype=np.float64).reshape((40, 50), order="F")
    assert np.array_equal(edgeseg.tamvel(image, 200 - image, settings=TAMVEL_SETTINGS, mask=mask), pair)


def test_the_suggestion_inside_a_mask_is_edgeseg_settings_and_ignores_the_outside(tmp_path):
    rng = np.random.default_rng(11)
    image, mask = scene(rng, (60, 70)), disc((60, 70))
    image[~mask] = rng.choice([-1e4, 9e3], image.shape)[~mask]
    found = edgeseg.suggest_settings(image, 3, mask=mask)
    changed = np.where(mask, image, 0.0)
    again = edgeseg.suggest_settings(changed, 3, mask=mask)
    assert found["settings"]["edge_weight"] == again["settings"]["edge_weight"]
    inside = image[mask]
    assert inside.min() <= found["estimates"]["suggested_centres"].min() <= inside.max()
    octave = shutil.which("octave-cli")
    if octave is None or not (MEX_DIR / "Sorvik.mex").exists():
        pytest.skip(f"needs octave-cli and the Octave plug-ins in {MEX_DIR}")
    (tmp_path / "image").write_bytes(image.tobytes(order="F"))
    (tmp_path / "mask").write_bytes(mask.astype(np.uint8).tobytes(order="F"))
    script = (f"addpath('{MEX_DIR}'); d = '{tmp_path}'; f = fopen([d '/image']); I = reshape(fread(f, Inf, "
              "'double'), 60, 70); fclose(f); f = fopen([d '/mask']); M = reshape(fread(f, Inf, 'uint8'), 60, 70); "
              "fclose(f); [s, est] = edgeseg_settings(I, 3, 'mask', M); f = fopen([d '/found'], 'w'); "
              "fwrite(f, [s.edge_weight; est.noise_sd; est.class_spacing; est.suggested_centres(:)], 'double'); "
              "fclose(f);")
    environment = dict(os.environ)
    environment.pop("LD_PRELOAD", None)
    subprocess.run([octave, "--norc", "--no-history", "--quiet", "--eval", script], env=environment, check=True)
    expected = np.fromfile(tmp_path / "found", dtype=np.float64)
    estimates = found["estimates"]
    python = np.concatenate([[found["settings"]["edge_weight"], estimates["noise_sd"], estimates["class_spacing"]],
                             estimates["suggested_centres"].ravel()])
    np.testing.assert_allclose(python, expected, rtol=1e-9)
