"""Batches and Tamvel volumes over Dask arrays give the labels of the
one-image calls, whatever the chunking and the scheduler, and refuse bad
input when the call is made."""
import doctest
import subprocess
import sys
import warnings

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import edgeseg  # noqa: E402
from edgeseg import _dask_batches as batches  # noqa: E402
from edgeseg._arguments import ComplexWarning  # noqa: E402
from support import DATA_DIR  # noqa: E402

SORVIK = dict(class_count=3, window_size=5, edge_weight=300)
TAMVEL = dict(class_count=3, window_size=5, edge_weight=10000)
CORNERS = [(40, 40), (100, 60), (140, 100), (20, 110), (90, 10), (150, 20), (60, 117)]
# Along axis 0: one image a chunk, three (the last chunk short), all; rows
# and columns cut into pieces that the call merges into whole images.
CHUNKINGS = [(1, -1, -1), (3, 24, 40), (-1, 64, 17)]


def brain_volume():
    """The three proton-density slices, (planes, rows, columns), uint8."""
    return np.fromfile(DATA_DIR / "BrainProtonDensity3Slices.raw", np.uint8).reshape(3, 217, 181)


@pytest.fixture(scope="module")
def stacks():
    """Seven 64 x 64 crops: grey ones (of each slice in turn), colour ones
    (the three slices as channels) and the secondaries of the grey ones (the
    same crops of the next slice)."""
    volume = brain_volume()
    grey = np.stack([volume[k % 3, r:r + 64, c:c + 64] for k, (r, c) in enumerate(CORNERS)])
    following = np.stack([volume[(k + 1) % 3, r:r + 64, c:c + 64] for k, (r, c) in enumerate(CORNERS)])
    colour = np.stack([np.moveaxis(volume[:, r:r + 64, c:c + 64], 0, -1) for r, c in CORNERS])
    return grey, following, colour


@pytest.fixture(scope="module", params=["threads", "distributed"])
def compute(request):
    """Computes a Dask array on Dask's threaded scheduler, or on a two-worker
    cluster in this process."""
    if request.param == "threads":
        yield lambda array: array.compute(scheduler="threads")
        return
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        yield lambda array: client.compute(array).result()


def chunked(array, chunking):
    return da.from_array(array, chunks=chunking + (-1,) * (array.ndim - len(chunking)))


# Batches


@pytest.mark.parametrize("chunking", CHUNKINGS)
def test_sorvik_batch_grey_and_colour(stacks, compute, chunking):
    grey, _, colour = stacks
    for images, stack, axis in [(grey, chunked(grey, chunking), None),
                                (colour, chunked(colour, chunking), -1),
                                (colour, chunked(np.moveaxis(colour, -1, 1), chunking[:1] + (2,) + chunking[1:]), 1)]:
        labels = batches.sorvik_batch(stack, channel_axis=axis, **SORVIK)
        assert labels.dtype == np.int64 and labels.shape == grey.shape
        assert labels.chunks == (stack.chunks[0], (64,), (64,))
        expected = [edgeseg.sorvik(image, channel_axis=None if axis is None else -1, **SORVIK) for image in images]
        np.testing.assert_array_equal(compute(labels), np.stack(expected))


def test_sorvik_batch_masks_and_centres(stacks, compute):
    grey, _, colour = stacks
    masks = grey > 40  # the background outside
    masks[2, :, :40] = False
    for images, axis, centres in [(grey, None, [30, 90, 150]), (colour, -1, [[30, 40, 50], [90, 80, 70], [150] * 3])]:
        for given in (masks, chunked(masks, (3, 32, 32))):
            labels = compute(batches.sorvik_batch(chunked(images, (2, 32, 32)), channel_axis=axis, mask=given,
                                                  initial_centres=centres, **SORVIK))
            expected = [edgeseg.sorvik(image, channel_axis=axis, mask=mask, initial_centres=centres, **SORVIK)
                        for image, mask in zip(images, masks)]
            np.testing.assert_array_equal(labels, np.stack(expected))
    assert (labels == -1).any()
    with pytest.raises(ValueError, match="mask has shape"):
        batches.sorvik_batch(chunked(grey, (2,)), mask=masks[0], **SORVIK)
    with pytest.raises(ValueError, match="centres") as refused:
        batches.sorvik_batch(chunked(grey, (2,)), initial_centres=[1, 2], **SORVIK)
    assert refused.value.mnemonic == "badCentres"
    masks[3] = False
    with pytest.raises(ValueError, match="no pixel inside"):
        compute(batches.sorvik_batch(chunked(grey, (2,)), mask=masks, **SORVIK))


def test_tamvel_batch_masks_and_centres(stacks, compute):
    grey, following, colour = stacks
    masks = grey > 40
    starts = dict(initial_centres=[30, 90, 150], secondary_initial_centres=[[20], [100], [180]])
    for given in (masks, chunked(masks, (3, 32, 32))):
        labels = batches.tamvel_batch(chunked(grey, (2, 32, 32)), chunked(following, (3,)), mask=given, **starts,
                                      **TAMVEL)
        expected = [edgeseg.tamvel(first, second, mask=mask, **starts, **TAMVEL)
                    for first, second, mask in zip(grey, following, masks)]
        np.testing.assert_array_equal(compute(labels), np.stack(expected))
    # Blocks of numpy.ma masked arrays mask their pixels as the mask does.
    hidden = da.from_array(np.ma.masked_array(grey, ~masks), chunks=(2, -1, -1))
    np.testing.assert_array_equal(compute(batches.tamvel_batch(hidden, chunked(following, (2,)), **starts, **TAMVEL)),
                                  np.stack(expected))
    # Colour pairs whose secondary centres name the secondary's extra channel.
    wider = np.concatenate([colour, grey[..., None]], axis=-1)
    centres = dict(initial_centres=[[40, 40], [100, 100], [160, 160]],
                   secondary_initial_centres=np.array([[40], [100], [160]]).repeat(4, axis=1))
    labels = batches.tamvel_batch(chunked(colour[..., :2], (3,)), chunked(wider, (2,)), channel_axis=-1, mask=masks,
                                  **centres, **TAMVEL)
    expected = [edgeseg.tamvel(first, second, channel_axis=-1, mask=mask, **centres, **TAMVEL)
                for first, second, mask in zip(colour[..., :2], wider, masks)]
    np.testing.assert_array_equal(compute(labels), np.stack(expected))
    with pytest.raises(ValueError, match="mask has shape"):
        batches.tamvel_batch(chunked(grey, (2,)), chunked(following, (2,)), mask=masks[:, :5], **TAMVEL)
    with pytest.raises(ValueError, match="centres"):
        batches.tamvel_batch(chunked(grey, (2,)), chunked(following, (2,)), secondary_initial_centres=[[1, 2]],
                             **TAMVEL)


@pytest.mark.parametrize("chunking", CHUNKINGS)
def test_tamvel_batch(stacks, compute, chunking):
    grey, following, colour = stacks
    labels = batches.tamvel_batch(chunked(grey, chunking), chunked(following, (2, 32, 32)), **TAMVEL)
    assert labels.chunks[0] == chunked(grey, chunking).chunks[0]
    expected = [edgeseg.tamvel(first, second, **TAMVEL) for first, second in zip(grey, following)]
    np.testing.assert_array_equal(compute(labels), np.stack(expected))
    # Colour pairs, the secondaries with a channel more than the primaries.
    wider = np.concatenate([colour, grey[..., None]], axis=-1)
    labels = batches.tamvel_batch(chunked(colour[..., :2], chunking), chunked(wider, chunking), channel_axis=-1,
                                  settings=[1, 1e-4, 10000, 5, 30, 2, 4, 3])
    pairs = zip(colour[..., :2], wider)
    expected = [edgeseg.tamvel(first, second, channel_axis=-1, **TAMVEL) for first, second in pairs]
    np.testing.assert_array_equal(compute(labels), np.stack(expected))


def test_batch_options_and_dtypes(stacks):
    grey, _, _ = stacks
    floats = grey.astype(np.float32) / 255
    settings = dict(SORVIK, edge_weight=300 / 65025, tolerance=0, threads=2)
    labels = batches.sorvik_batch(chunked(floats, (2, -1, -1)), **settings)
    np.testing.assert_array_equal(labels.compute(), np.stack([edgeseg.sorvik(image, **settings) for image in floats]))
    with pytest.warns(ComplexWarning):
        labels = batches.sorvik_batch(chunked(grey + 5j, (4, -1, -1)), **SORVIK)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ComplexWarning)  # once, when the call is made; not a block at a time
        np.testing.assert_array_equal(labels.compute(), batches.sorvik_batch(chunked(grey, (4,)), **SORVIK).compute())


def test_refusals_when_the_call_is_made(stacks):
    grey, _, colour = stacks
    stack, colours = chunked(grey, (3, -1, -1)), chunked(colour, (2,))
    volume = chunked(colour[:3, :32, :32, 0], (1,))
    refusals = [
        (TypeError, "dask.array.Array", lambda: batches.sorvik_batch(grey, **SORVIK)),
        (ValueError, "3 dimensions", lambda: batches.sorvik_batch(stack, channel_axis=-1, **SORVIK)),
        (ValueError, "4 dimensions", lambda: batches.sorvik_batch(colours, **SORVIK)),
        (ValueError, "counts the images", lambda: batches.sorvik_batch(colours, channel_axis=0, **SORVIK)),
        (TypeError, "channel_axis", lambda: batches.sorvik_batch(colours, channel_axis=True, **SORVIK)),
        (ValueError, "class_count", lambda: batches.sorvik_batch(stack, **dict(SORVIK, class_count=0))),
        (TypeError, "edge_weight", lambda: batches.sorvik_batch(stack, class_count=2, window_size=3)),
        (TypeError, "return_info", lambda: batches.sorvik_batch(stack, return_info=True, **SORVIK)),
        (TypeError, "dtype", lambda: batches.sorvik_batch(stack.astype("m8[s]"), **SORVIK)),
        (ValueError, "at least one pixel", lambda: batches.sorvik_batch(stack[:, :0], **SORVIK)),
        (TypeError, "progress", lambda: batches.tamvel_batch(stack, stack, progress=True, **TAMVEL)),
        (ValueError, "band_sigma", lambda: batches.tamvel_batch(stack, stack, **dict(TAMVEL, band_sigma=np.nan))),
        (ValueError, "6 x 64 x 64", lambda: batches.tamvel_batch(stack, stack[:6], **TAMVEL)),
        (ValueError, "2 channels", lambda: batches.tamvel_batch(colours, colours[..., :2], channel_axis=-1, **TAMVEL)),
        # Volumes: refused without the warning of a run.
        (TypeError, "dask.array.Array", lambda: batches.tamvel(volume.compute(), volume, **TAMVEL)),
        (ValueError, "secondary image is 3 x 32 x 31", lambda: batches.tamvel(volume, volume[..., 1:], **TAMVEL)),
        (ValueError, "at least 3 channels", lambda: batches.tamvel(volume, volume[:2], channel_axis=0, **TAMVEL)),
        (ValueError, "5 dimensions", lambda: batches.tamvel(volume[None, None], volume[None, None], **TAMVEL)),
        (ValueError, "window_size", lambda: batches.tamvel(volume, volume, **dict(TAMVEL, window_size=1e6))),
    ]
    for error, words, call in refusals:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(error, match=words):
                call()


# Tamvel volumes


def test_tamvel_volume_runs_on_one_worker(compute):
    volume = brain_volume()[:, 60:160, 40:140]
    secondary = 255 - volume
    expected, expected_info = edgeseg.tamvel(volume, secondary, return_info=True, **TAMVEL)
    told = "one task on one worker.*gradients across neighbouring planes.*about 527.3 KiB"
    with pytest.warns(UserWarning, match=told) as record:
        labels = batches.tamvel(chunked(volume, (1, 40, 64)), chunked(secondary, (2, 100, 30)), **TAMVEL)
    # Once, for the caller's line: 2 x 30000 input bytes, 30000 voxels of 2 float channels and a label.
    assert [warning.filename for warning in record if warning.category is UserWarning] == [__file__]
    assert labels.chunks == ((3,), (100,), (100,)) and labels.dtype == np.int64
    np.testing.assert_array_equal(compute(labels), expected)

    # Channels first, and a secondary with a channel more.
    colour, wider = np.stack([volume, secondary]), np.stack([secondary, volume, volume])
    with pytest.warns(UserWarning, match="one worker"):
        labels = batches.tamvel(chunked(colour, (1, 1, 50)), chunked(wider, (2,)), channel_axis=0, **TAMVEL)
    np.testing.assert_array_equal(compute(labels), edgeseg.tamvel(colour, wider, channel_axis=0, **TAMVEL))

    with pytest.warns(UserWarning, match="one worker"):
        labels, info = batches.tamvel(chunked(volume, (1,)), chunked(secondary, (1,)), return_info=True, **TAMVEL)
    np.testing.assert_array_equal(labels.compute(), expected)
    assert info.iterations == expected_info.iterations
    np.testing.assert_array_equal(info.centres, expected_info.centres)
    np.testing.assert_array_equal(info.secondary_centres, expected_info.secondary_centres)


def test_tamvel_volume_masks_and_centres(compute):
    volume = brain_volume()[:, 60:160, 40:140]
    secondary = 255 - volume
    mask = np.broadcast_to(np.hypot(*np.mgrid[-50:50, -50:50]) < 45, volume.shape)  # a cylinder
    starts = dict(initial_centres=[160, 180, 220], secondary_initial_centres=[95, 75, 35])
    expected = edgeseg.tamvel(volume, secondary, mask=mask, **starts, **TAMVEL)
    hidden = da.from_array(np.ma.masked_array(volume, ~mask), chunks=(1, -1, -1))
    for primary, given in [(chunked(volume, (1,)), mask), (chunked(volume, (2, 50)), chunked(mask, (1, 50, 50))),
                           (hidden, None)]:
        # 2 x 30000 input bytes, 30000 voxels of 2 float channels and a label, and the mask's 2 x 30000 bytes.
        with pytest.warns(UserWarning, match="one worker.*about 585.9 KiB" if given is not None else "one worker"):
            labels = batches.tamvel(primary, chunked(secondary, (2,)), mask=given, **starts, **TAMVEL)
        np.testing.assert_array_equal(compute(labels), expected)
    with pytest.raises(ValueError, match="centres"):
        batches.tamvel(chunked(volume, (1,)), chunked(secondary, (1,)), initial_centres=[1, 2], **TAMVEL)


def test_dask_drivers_refuse_a_mask_as_the_one_call_does():
    import edgeseg.dask

    volume = brain_volume()[:, :40, :50]
    calls = [(edgeseg.sorvik, edgeseg.dask.sorvik, SORVIK, 1), (edgeseg.tamvel, batches.tamvel, TAMVEL, 2)]
    masks = [np.ones((3, 40, 51), bool), np.ones((40, 50), bool), np.ones((2, 3, 40, 50), bool),
             np.ones((3, 40, 50), complex)]
    for mask in masks:
        for one_call, driver, settings, images in calls:
            with pytest.raises((ValueError, TypeError)) as direct:
                one_call(*[volume] * images, mask=mask, **settings)
            for given in (mask, da.from_array(mask, chunks=1)):
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    with pytest.raises(direct.type) as refused:
                        driver(*[chunked(volume, (1,))] * images, mask=given, **settings)
                assert str(refused.value) == str(direct.value)
                assert getattr(refused.value, "mnemonic", None) == getattr(direct.value, "mnemonic", None)
    assert direct.type is TypeError
    unknown = da.ones(volume.shape, bool, chunks=1)[da.from_array(np.ones(3, bool))]
    with pytest.raises(ValueError, match="unknown extents"):
        edgeseg.dask.sorvik(chunked(volume, (1,)), mask=unknown, **SORVIK)


# The module


def test_recipe_and_lazy_import(tmp_path):
    assert doctest.testmod(batches).failed == 0
    imported = subprocess.run([sys.executable, "-c", "import edgeseg, sys; print('dask' in sys.modules)"],
                              capture_output=True, text=True, check=True, cwd=tmp_path)
    assert imported.stdout.strip() == "False"
