"""Property tests: any shape from 1 x 1 up to odd-sized volumes, any dtype and
memory layout gives the labels of the same values as a C-ordered float32
array, for any thread count; and whatever the arguments, a call returns
labels or raises TypeError or ValueError."""
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import edgeseg
from support import layouts

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64, np.float16,
          np.float32, np.float64, np.complex64, np.complex128]
FAST = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@st.composite
def images(draw, with_secondary=False):
    """An image of any shape class with its channel flag, and the settings."""
    has_channels = draw(st.booleans())
    volume = draw(st.booleans())
    spatial = tuple(draw(st.integers(1, 3 if volume and axis == 0 else 13)) for axis in range(3 if volume else 2))
    shape = spatial + ((draw(st.integers(1, 4)),) if has_channels else ())
    dtype = draw(st.sampled_from(DTYPES))
    elements = hnp.from_dtype(np.dtype(dtype), allow_nan=True, allow_infinity=True) if np.dtype(dtype).kind in "fc" \
        else hnp.from_dtype(np.dtype(dtype))
    arrays = [draw(hnp.arrays(dtype, shape, elements=elements)) for _ in range(2 if with_secondary else 1)]
    window = draw(st.integers(-1, 7))
    weight = draw(st.floats(0, 1e6))
    iterations = draw(st.integers(0, 8))
    last_plain = draw(st.integers(-1, 4))
    classes = draw(st.integers(1, 5))
    if with_secondary:
        band = draw(st.sampled_from([0.05, 1.0, 2.0, -5.0]))
        parameters = [draw(st.floats(0, 4)), 1e-4, weight, window, iterations, band, last_plain, classes]
    else:
        parameters = [window, weight, 1e-4, iterations, last_plain, classes]
    return arrays, has_channels, parameters


def call(arrays, parameters, channel_axis, threads):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if len(arrays) == 1:
            return edgeseg.sorvik(arrays[0], settings=parameters, channel_axis=channel_axis, threads=threads)
        return edgeseg.tamvel(*arrays, settings=parameters, channel_axis=channel_axis, threads=threads)


def as_float32(array):
    with np.errstate(over="ignore"):  # beyond the float range: infinities, as the commands read them
        return np.ascontiguousarray(np.real(array).astype(np.float32))


@pytest.mark.parametrize("pair", [False, True], ids=["sorvik", "tamvel"])
def test_every_dtype_and_layout_gives_the_labels_of_its_float32_values(pair):
    @FAST
    @given(images(with_secondary=pair), st.integers(1, 3))
    def check(case, threads):
        arrays, has_channels, parameters = case
        axis = -1 if has_channels else None
        expected = call([as_float32(array) for array in arrays], parameters, axis, 1)
        spatial = arrays[0].shape[:-1] if has_channels else arrays[0].shape
        assert expected.shape == spatial and expected.dtype == np.int64
        assert expected.min() >= 0 and expected.max() < parameters[-1]
        variants = [list(layouts(array, has_channels)) for array in arrays]
        for index, (name, _, channel_axis) in enumerate(variants[0]):
            labels = call([variant[index][1] for variant in variants], parameters, channel_axis, threads)
            assert np.array_equal(labels, expected), name

    check()


anything = st.one_of(
    st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(allow_nan=True), st.text(max_size=3),
    st.complex_numbers(max_magnitude=10), st.lists(st.floats(-10, 10), max_size=9),
)


@FAST
@given(
    st.integers(0, 5).flatmap(lambda ndim: hnp.arrays(np.float32, hnp.array_shapes(min_dims=ndim, max_dims=ndim,
                                                                                      min_side=0, max_side=4))),
    st.one_of(st.none(), st.integers(-6, 6), anything),
    # Not max_iterations: with a tolerance of 0, 2**31 - 1 iterations all run.
    st.dictionaries(st.sampled_from(["class_count", "window_size", "edge_weight", "tolerance",
                                     "last_plain_iteration", "threads", "settings"]), anything, max_size=4),
)
def test_any_arguments_give_labels_or_a_documented_error(image, channel_axis, keywords):
    arguments = dict(class_count=2, window_size=3, edge_weight=1.0)
    arguments.update(keywords)
    try:
        labels = edgeseg.sorvik(image, channel_axis=channel_axis, **arguments)
    except (TypeError, ValueError) as error:
        assert str(error)
        return
    assert labels.dtype == np.int64
    assert labels.shape == (image.shape if channel_axis is None else tuple(np.delete(image.shape, channel_axis)))
