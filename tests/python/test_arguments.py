"""Bad arguments: TypeError or ValueError naming the argument and saying what
is expected, as the Octave commands' refusals do; and the arrays a call must
take without a copy."""
import inspect
import tracemalloc
import warnings

import numpy as np
import pytest

import edgeseg
import edgeseg.dask

IMAGE = np.arange(48, dtype=np.uint8).reshape(6, 8)
SORVIK = dict(class_count=2, window_size=3, edge_weight=10.0)
TAMVEL = dict(class_count=2, window_size=3, edge_weight=100.0)


@pytest.mark.parametrize(
    "image, channel_axis, words",
    [
        (np.zeros(5), None, "1 dimensions; expected 2 (rows, columns) or 3"),
        (np.zeros((2, 3, 4, 5)), None, "4 dimensions; expected 2 (rows, columns) or 3"),
        (np.zeros((2, 3)), -1, "with channel_axis expected 3"),
        (np.zeros((2, 3, 4)), 3, "channel_axis is 3, outside the 3 dimensions of image; expected -3 to 2"),
        (np.zeros((2, 3, 4, 5)), -5, "channel_axis is -5"),
    ],
)
def test_wrong_shapes_and_channel_axes_are_value_errors(image, channel_axis, words):
    with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")):
        edgeseg.sorvik(image, channel_axis=channel_axis, **SORVIK)


@pytest.mark.parametrize(
    "image, words",
    [
        (np.array([["a", "b"], ["c", "d"]]), "image has dtype <U1; expected bool, int8 to uint64"),
        (np.empty((2, 2), dtype=object), "image has dtype object"),
        (np.zeros((2, 2), dtype="datetime64[s]"), "image has dtype datetime64"),
    ],
)
def test_non_numeric_images_are_type_errors(image, words):
    with pytest.raises(TypeError, match=words):
        edgeseg.sorvik(image, **SORVIK)


@pytest.mark.parametrize(
    "keywords, error, words",
    [
        (dict(class_count=0), ValueError, "class_count: the class count is 0; expected a whole number from 1"),
        (dict(class_count=1.5), TypeError, "class_count is 1.5; expected a whole number"),
        (dict(class_count=True), TypeError, "class_count is True; expected a whole number"),
        (dict(window_size=np.float32(3.5)), TypeError, "window_size is 3.5; expected a whole number"),
        (dict(return_info="no"), TypeError, "return_info is 'no'; expected True or False"),
        (dict(return_info=1), TypeError, "return_info is 1; expected True or False"),
        (dict(progress=2), TypeError, "progress is 2; expected None, True"),
        (dict(exact_sums=2), TypeError, r"exact_sums is 2; expected True or False \(or 1 or 0\)"),
        (dict(class_count=2**25), ValueError, "class_count: the class count is 33554432; expected a whole"),
        (dict(edge_weight=np.inf), ValueError, "edge_weight: the edge weight is inf; expected a finite number"),
        (dict(tolerance=np.nan), ValueError, "tolerance: the tolerance is NaN"),
        (dict(window_size=50000), ValueError, "window_size: the window size is 50000"),
        (dict(max_iterations=2**40), ValueError, "max_iterations: the maximum number of iterations is"),
        (dict(class_count="3"), TypeError, "class_count is '3'; expected a real number"),
        (dict(edge_weight=1j), TypeError, "edge_weight is 1j; expected a real number"),
        (dict(class_count=None), TypeError, r"sorvik\(\) needs class_count"),
        (dict(settings=[3, 10, 0, 5, 1, 2]), TypeError, "either settings= or the named settings"),
        (dict(threads=-1), ValueError, "threads is -1; expected a whole number >= 0"),
        (dict(threads=1.5), TypeError, "threads is 1.5"),
        (dict(threads=True), TypeError, "threads is True"),
        (dict(channel_axis=True), TypeError, "channel_axis is True; expected None or an integer"),
    ],
)
def test_bad_settings_and_options_name_the_keyword(keywords, error, words):
    with pytest.raises(error, match=words):
        edgeseg.sorvik(IMAGE, **dict(SORVIK, **keywords))


def test_the_settings_vector_is_refused_by_index_and_as_the_octave_command_refuses_it():
    with pytest.raises(ValueError, match=r"settings\[5\] \(class_count\): the class count is 0;") as caught:
        edgeseg.sorvik(IMAGE, settings=[3, 10, 0, 5, 1, 0])
    assert caught.value.mnemonic == "badParameters" and caught.value.setting == 5
    with pytest.raises(ValueError, match="settings: the parameter vector holds 5 values; expected 6") as caught:
        edgeseg.sorvik(IMAGE, settings=[3, 10, 0, 5, 1])
    assert caught.value.mnemonic == "tooFewParameters"
    with pytest.raises(ValueError, match="The image and the settings may be swapped"):
        edgeseg.sorvik(np.zeros(6), settings=IMAGE)
    with pytest.raises(TypeError, match="settings has dtype <U1"):
        edgeseg.sorvik(IMAGE, settings=["3"] * 6)


@pytest.mark.parametrize("command, function", [
    ("sorvik", edgeseg.sorvik), ("tamvel", edgeseg.tamvel), ("sorvik", edgeseg.dask.sorvik),
    ("sorvik", edgeseg.Sorvik.__init__)])
def test_keywords_take_the_core_settings_table(command, function):
    table = edgeseg._core.settings_table(command)
    keywords = inspect.signature(function).parameters
    for name, default, _ in table:
        assert keywords[name].default == default and type(keywords[name].default) is type(default), name
    if function is edgeseg.sorvik:
        # The table's order is the settings vector's: its defaults, given as
        # the vector, are the named call's, and named defaults beside
        # settings= are no conflict.
        named = dict(SORVIK, tolerance=1e-4)
        vector = [named.get(name, default) for name, default, _ in table]
        assert np.array_equal(edgeseg.sorvik(IMAGE, settings=vector, max_iterations=30), edgeseg.sorvik(IMAGE, **named))


def test_whole_numbers_and_flags_take_their_usual_spellings():
    labels = edgeseg.sorvik(IMAGE, **SORVIK)
    for spelling in [dict(class_count=2.0, window_size=np.int16(3)), dict(exact_sums=0, return_info=np.False_),
                     dict(progress=False, max_iterations=30.0)]:
        assert np.array_equal(edgeseg.sorvik(IMAGE, **dict(SORVIK, **spelling)), labels), spelling
    # The settings vector truncates, as the Octave command does.
    assert np.array_equal(edgeseg.sorvik(IMAGE, settings=[3.7, 10, 1e-4, 30, 4, 2.5]), labels)


def test_a_colour_like_image_without_channel_axis_is_warned_about():
    import dask.array as da

    colour = np.random.default_rng(3).integers(0, 255, (40, 48, 3)).astype(np.uint8)
    with pytest.warns(UserWarning, match="40 x 48 x 3, which looks like a colour image.*channel_axis=-1") as caught:
        grey = edgeseg.sorvik(colour, **SORVIK)
    assert caught[0].filename == __file__
    with pytest.warns(UserWarning, match="images is 40 x 48 x 3, which looks like a colour image"):
        edgeseg.dask.sorvik_batch(da.from_array(colour), **SORVIK)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.array_equal(edgeseg.sorvik(colour, channel_axis=None, **SORVIK), grey)
        edgeseg.Sorvik(channel_axis=None, **SORVIK).fit(colour)
        edgeseg.sorvik(colour[:, :, :2], **SORVIK)  # two channels: no colour image
        edgeseg.sorvik(np.arange(5760.0).reshape(3, 40, 48), **SORVIK)  # a grey volume


def test_images_the_core_refuses_carry_the_octave_fault_name():
    with pytest.raises(ValueError, match="the image is 0 x 5 x 1") as caught:
        edgeseg.sorvik(np.zeros((0, 5)), **SORVIK)
    assert caught.value.mnemonic == "emptyImage"
    # Extents past the image container's, refused before anything is allocated.
    huge = np.broadcast_to(np.float32(1), (2**31, 2))
    with pytest.raises(ValueError, match="too large for the image container") as caught:
        edgeseg.sorvik(huge, **SORVIK)
    assert caught.value.mnemonic == "tooLarge"
    with pytest.raises(ValueError, match="the secondary image is 6 x 7 x 1") as caught:
        edgeseg.tamvel(IMAGE, IMAGE[:, :7], **TAMVEL)
    assert caught.value.mnemonic == "geometryMismatch"
    with pytest.raises(ValueError, match="expected the primary's 6 x 8 x 1 with at least 2 channels"):
        edgeseg.tamvel(np.dstack([IMAGE, IMAGE]), IMAGE[..., None], channel_axis=-1, **TAMVEL)


def test_an_image_of_no_channels_gets_labels_all_zero_as_in_octave():
    labels = edgeseg.sorvik(np.zeros((3, 4, 0)), channel_axis=2, **SORVIK)
    assert labels.shape == (3, 4) and not labels.any()


def test_complex_images_warn_as_numpy_does_and_use_the_real_part():
    with pytest.warns(edgeseg._arguments.ComplexWarning, match="image is complex"):
        labels = edgeseg.sorvik(IMAGE + 7j, **SORVIK)
    assert np.array_equal(labels, edgeseg.sorvik(IMAGE, **SORVIK))


def test_float32_c_ordered_images_and_volumes_are_not_copied():
    # numpy reports its allocations to tracemalloc: a call may allocate the
    # int64 labels, but no copy of the image beside them.
    for shape in [(512, 512), (16, 256, 256)]:
        image = np.random.default_rng(0).random(shape, dtype=np.float32)
        tracemalloc.start()
        edgeseg.sorvik(image, class_count=2, window_size=0, edge_weight=0, max_iterations=1)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        assert peak < image.size * 8 + image.nbytes // 2, shape


def test_inputs_are_not_changed():
    image = np.random.default_rng(1).normal(size=(3, 9, 9))
    before = image.copy()
    edgeseg.tamvel(image, image, **TAMVEL)
    assert np.array_equal(image, before)


def test_byte_swapped_and_misaligned_images_and_masks_are_read_as_copies():
    # Float32 four bytes off a vector's alignment is read in place, without
    # a copy, by kernels that must not assume more.
    def at_odd_address(array, offset=1):  # as np.memmap gives a raw file with an odd header
        moved = np.empty(array.nbytes + offset, np.uint8)[offset:].view(array.dtype).reshape(array.shape)
        moved[...] = array
        return moved

    image = (IMAGE * 50).astype(np.uint16)
    mask = np.arange(image.size).reshape(image.shape) % 7 != 0
    expected = edgeseg.sorvik(image, **SORVIK, mask=mask)
    floats = image.astype(np.float32)
    for given in (at_odd_address(image), image.astype(">u2"), at_odd_address(floats), at_odd_address(floats, 4)):
        assert np.array_equal(edgeseg.sorvik(given, **SORVIK, mask=at_odd_address(mask.astype(np.int32))), expected)
