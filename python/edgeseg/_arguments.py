"""Argument handling shared by both commands and their Dask drivers: images
to four axes, settings to the commands' vectors, thread counts and flags,
and the core's refusals named by keyword.
"""
import functools
import operator
import warnings
from dataclasses import dataclass

import numpy as np

from . import _core

# numpy 1.25 moved its warnings to numpy.exceptions; 1.24 (Debian 12) keeps
# them at the top level.
ComplexWarning = getattr(np, "exceptions", np).ComplexWarning


_ACCEPTED_KINDS = "biuf"
_DTYPE_LIST = "bool, int8 to uint64, float16, float32, float64 (complex: its real part)"


class _NoChannelAxisGiven:
    """The default of ``channel_axis``: no channel axis, as None, except
    that a 3-D image that looks like a colour image is warned about. Only
    an explicit None says "grey" without a warning."""

    def __repr__(self):
        return "None"

    def __reduce__(self):  # copies and pickles stay the one default
        return "NOT_GIVEN"


NOT_GIVEN = _NoChannelAxisGiven()

# A last axis of 3 or 4 (RGB, RGBA) at most this fraction of each other axis
# looks like a colour image's channels rather than a grey volume's columns.
_COLOUR_CHANNELS = (3, 4)
_COLOUR_EXTENT_RATIO = 4


@dataclass(frozen=True)
class AxisLayout:
    """How an argument's axes read: the dimensions it may have without and
    with a channel axis, the axes a channel axis may not be, and what each
    refusal says is expected."""

    grey_dimensions: tuple
    channel_dimensions: tuple
    grey_expected: str
    channel_expected: str
    colour_hint: str
    leading_axis: str = ""  # an axis the channels cannot be (a stack's images)


IMAGE_AXES = AxisLayout(
    (2, 3), (3, 4),
    "2 (rows, columns) or 3 (planes, rows, columns), or 3 or 4 with channel_axis for an image with channels",
    "3 (rows, columns, channels) or 4 (planes, rows, columns, channels)",
    "pass channel_axis=-1 if its last axis holds the channels of a colour image",
)
STACK_AXES = AxisLayout(
    (3,), (4,),
    "3 (images, rows, columns), or 4 with channel_axis for images with channels",
    "4 (images, rows, columns, channels), the channels anywhere but axis 0",
    "a stack of colour images is (images, rows, columns, channels) with channel_axis=-1",
    leading_axis="images",
)


def real_part(array, argument, stacklevel):
    """The real part of a complex numpy or Dask array, with numpy's
    ComplexWarning. `stacklevel`, here and below, counts as for warnings.warn
    called in the function itself."""
    if array.dtype.kind != "c":
        return array
    warnings.warn(
        f"{argument} is complex; its imaginary part is discarded, as numpy does when it casts complex to real.",
        ComplexWarning,
        stacklevel=stacklevel,
    )
    return array.real


def channel_axis_of(shape, channel_axis, argument, layout, stacklevel):
    """The channel axis of an array of `shape` as an index from 0, or None
    for a grey one; refuses dimensions and axes `layout` does not take, and
    warns (UserWarning) of a colour-like grey array when channel_axis was
    not given."""
    ndim = len(shape)
    if channel_axis is None or channel_axis is NOT_GIVEN:
        if ndim not in layout.grey_dimensions:
            raise ValueError(f"{argument} has {ndim} dimensions; expected {layout.grey_expected}.")
        if channel_axis is NOT_GIVEN and _looks_like_colour(shape):
            warnings.warn(
                f"{argument} is {' x '.join(map(str, shape))}, which looks like a colour image, and is read as grey "
                f"along every axis; {layout.colour_hint}, or pass channel_axis=None to keep it without this warning.",
                UserWarning,
                stacklevel=stacklevel,
            )
        return None
    try:
        if isinstance(channel_axis, (bool, np.bool_)):
            raise TypeError  # False is no "no channels", nor True an axis
        axis = operator.index(channel_axis)
    except TypeError:
        raise TypeError(f"channel_axis is {channel_axis!r}; expected None or an integer.") from None
    if ndim not in layout.channel_dimensions:
        raise ValueError(f"{argument} has {ndim} dimensions; with channel_axis expected {layout.channel_expected}.")
    if layout.leading_axis and (not -ndim <= axis < ndim or axis % ndim == 0):
        raise ValueError(
            f"channel_axis is {axis}; expected 1 to {ndim - 1} or {1 - ndim} to -1: axis 0 of {argument} counts the "
            f"{layout.leading_axis}."
        )
    if not -ndim <= axis < ndim:
        raise ValueError(
            f"channel_axis is {axis}, outside the {ndim} dimensions of {argument}; expected {-ndim} to {ndim - 1}."
        )
    return axis % ndim


def _looks_like_colour(shape):
    return (len(shape) == 3 and shape[-1] in _COLOUR_CHANNELS
            and min(shape[:2]) >= _COLOUR_EXTENT_RATIO * shape[-1])


def as_elements(image, argument, stacklevel=3):
    """The image as an ndarray whose elements the extension reads in place.

    bool, every integer width, float32 and float64 pass unchanged, whatever
    their memory order. float16 and long double become float32 (every
    float16 is a float32; a long double is rounded once, to the nearest
    float, as the commands read every value); complex input gives its real
    part, with numpy's ComplexWarning. A byte-swapped, misaligned or oddly
    strided array is copied.
    """
    array = real_part(np.asarray(image), argument, stacklevel + 1)
    if array.dtype.kind not in _ACCEPTED_KINDS:
        raise TypeError(f"{argument} has dtype {array.dtype}; expected {_DTYPE_LIST}.")
    if array.dtype.kind == "f" and array.dtype not in (np.float32, np.float64):
        array = array.astype(np.float32)
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if not array.flags.aligned or any(stride % array.itemsize for stride in array.strides):
        array = np.array(array, order="C")  # a new array, aligned (ascontiguousarray keeps a contiguous one)
    return array


def four_axes(array, channel_axis, argument, stacklevel=3):
    """(planes, rows, columns, channels) views of an image, and its spatial shape.

    Without channel_axis: (rows, columns) is a grey image, (planes, rows,
    columns) a grey volume. With it: (rows, columns, channels) and (planes,
    rows, columns, channels), the channel axis anywhere. The core's width is
    the columns, its height the rows, its depth the planes: an Octave array of
    rows x columns x depth x channels holding the same pixels gives the same
    labels.
    """
    axis = channel_axis_of(array.shape, channel_axis, argument, IMAGE_AXES, stacklevel + 1)
    if axis is None:
        return array[(None,) * (3 - array.ndim) + (Ellipsis, None)], array.shape
    moved = np.moveaxis(array, axis, -1)
    spatial = moved.shape[:-1]
    return (moved if moved.ndim == 4 else moved[None]), spatial


def centre_table(centres, argument):
    """Starting centres as the extension takes them: None, or a C-contiguous
    float64 (K, C) array; a 1-D sequence is K centres of one channel. The
    core checks the shape against the call and refuses NaN or infinity."""
    if centres is None:
        return None
    array = np.asarray(centres)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{argument} has dtype {array.dtype}; expected real numbers, one row per class.")
    if array.ndim not in (1, 2):
        raise ValueError(f"{argument} has shape {array.shape}; expected (class_count, channels).")
    return np.ascontiguousarray(array.reshape(len(array), -1) if array.ndim == 1 else array, dtype=np.float64)


def thread_count(threads):
    """The threads of a call: 1, the caller's only; 0, one for every core the
    process may run on; n, n threads (at most the core's largest thread
    count, 256). The labels do not depend on it."""
    if isinstance(threads, (bool, np.bool_)):
        raise TypeError(f"threads is {threads!r}; expected a whole number >= 0.")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads is {threads!r}; expected a whole number >= 0 (an int).") from None
    if count < 0:
        raise ValueError(
            f"threads is {count}; expected a whole number >= 0 (1: the caller's thread, 0: every core the process "
            f"may run on, n: n threads, at most {_core.largest_thread_count})."
        )
    if count == 0:
        count = _core.every_core()
    return max(1, min(count, _core.largest_thread_count))


@functools.lru_cache(maxsize=None)
def settings_table(command):
    """(keyword, default or None, whole number) of each setting of `command`
    ("sorvik" or "tamvel"), in the settings vector's order: the core's table.
    A whole-number setting counts or measures in pixels or iterations: by
    keyword a fraction is refused; the settings vector truncates it, as the
    Octave command does."""
    return tuple((name, default, whole) for name, default, whole in _core.settings_table(command))


def settings_layout(command):
    """(keyword, default or None) of each setting of `command`, in order."""
    return tuple((name, default) for name, default, _ in settings_table(command))


def setting_defaults(command):
    """Gives the decorated function's setting keywords (written as None in
    its definition) the defaults of `command`'s table, so that its signature
    and help show them."""
    defaults = dict(settings_layout(command))

    def with_defaults(function):
        function.__kwdefaults__ = {keyword: defaults.get(keyword, value)
                                   for keyword, value in function.__kwdefaults__.items()}
        return function
    return with_defaults


def _setting_value(value, name, whole):
    """One setting as the float32 the commands read it as."""
    if isinstance(value, (complex, np.complexfloating)) or not isinstance(value, (int, float, np.number, np.bool_)):
        raise TypeError(f"{name} is {value!r}; expected a real number.")
    if whole:
        fraction = isinstance(value, (float, np.floating)) and np.isfinite(value) and value != np.floor(value)
        if isinstance(value, (bool, np.bool_)) or fraction:
            raise TypeError(f"{name} is {value!r}; expected a whole number (an int).")
    with np.errstate(over="ignore"):
        try:
            return float(np.float32(value))
        except OverflowError:
            # A Python int beyond the double range: an infinity, as the
            # same number in an Octave double would be.
            return float("inf") if value > 0 else float("-inf")


def flag(value, name, numbers=False):
    """A yes-or-no option as a bool: True or False (numpy's too), and with
    `numbers` 0 and 1 as well, as the Octave command takes them."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if numbers and isinstance(value, (int, np.integer)) and value in (0, 1):
        return bool(value)
    raise TypeError(f"{name} is {value!r}; expected True or False{' (or 1 or 0)' if numbers else ''}.")


def _is_default(value, default):
    return value is default or (np.isscalar(value) and value == default)


def settings_vector(command, named, settings):
    """The command's settings vector from keyword arguments, or from settings=.

    `named` holds the setting keywords as given (None: not given). With
    settings=, a keyword left at its default is not counted as given.
    """
    table = settings_table(command)
    defaults = dict(settings_layout(command))
    given = {name: value for name, value in named.items()
             if value is not None and not (settings is not None and _is_default(value, defaults[name]))}
    if settings is not None:
        if given:
            raise TypeError(
                f"{command}() takes either settings= or the named settings, not both; got settings and "
                f"{', '.join(sorted(given))}."
            )
        return _vector_as_given(command, settings, len(table))
    missing = [name for name, default, _ in table if default is None and name not in given]
    if missing:
        raise TypeError(
            f"{command}() needs {', '.join(missing)} (no default: see the docstring's notes), or settings= with "
            "the Octave command's settings vector."
        )
    return [_setting_value(given.get(name, default), name, whole) for name, default, whole in table]


def _vector_as_given(command, settings, length):
    """settings= as the floats of the settings vector, truncated by the core."""
    vector = np.asarray(settings)
    if vector.dtype.kind not in _ACCEPTED_KINDS:
        raise TypeError(f"settings has dtype {vector.dtype}; expected a vector of real numbers.")
    if not _core.is_settings_vector(vector.shape):
        image_names = "image" if command == "sorvik" else "primary and secondary"
        raise ValueError(
            f"settings has shape {vector.shape}; expected a vector of at least {length} numbers. The "
            f"{image_names} and the settings may be swapped."
        )
    with np.errstate(over="ignore"):  # beyond the float range: infinities, refused where they must be
        return [float(value) for value in vector.reshape(-1).astype(np.float32)]


def name_setting(error, by_vector, layout):
    """A refusal of a setting, with the keyword (or settings index) that
    holds it, from the position the extension gives as `setting`. It also
    carries the keyword (None for the settings vector as a whole) and the
    core's own words as data, `keyword` and `reason`, for a host that names
    the setting its own way."""
    index = getattr(error, "setting", None)
    mnemonic = getattr(error, "mnemonic", None)
    keyword = None
    if index is not None:
        keyword = layout[index][0]
        where = f"settings[{index}] ({keyword})" if by_vector else keyword
    elif mnemonic == "tooFewParameters":
        where = "settings"
    else:
        return error
    renamed = ValueError(f"{where}: {error}")
    renamed.mnemonic, renamed.setting, renamed.keyword, renamed.reason = mnemonic, index, keyword, str(error)
    return renamed
