"""Argument handling shared by both commands: images to four axes, settings
to the commands' vectors, thread counts, and the core's refusals named by
keyword.
"""
import operator
import os
import warnings

import numpy as np

# numpy 1.25 moved its warnings to numpy.exceptions; 1.24 (Debian 12) keeps
# them at the top level.
ComplexWarning = getattr(np, "exceptions", np).ComplexWarning

LARGEST_THREAD_COUNT = 256

# The core names a setting in words; the message gains the keyword.
_SETTING_PHRASES = {
    "the window size": "window_size",
    "the edge weight": "edge_weight",
    "the tolerance": "tolerance",
    "the maximum number of iterations": "max_iterations",
    "the last plain iteration": "last_plain_iteration",
    "the class count": "class_count",
    "the secondary weight": "secondary_weight",
    "the band smoothing scale": "band_sigma",
}

_ACCEPTED_KINDS = "biuf"
_DTYPE_LIST = "bool, int8 to uint64, float16, float32, float64 (complex: its real part)"


def as_elements(image, argument):
    """The image as an ndarray whose elements the extension reads in place.

    bool, every integer width, float32 and float64 pass unchanged, whatever
    their memory order. float16 and long double become float32 (every
    float16 is a float32; a long double is rounded once, to the nearest
    float, as the commands read every value); complex input gives its real
    part, with numpy's ComplexWarning. A byte-swapped, misaligned or oddly
    strided array is copied.
    """
    array = np.asarray(image)
    if array.dtype.kind == "c":
        warnings.warn(
            f"{argument} is complex; its imaginary part is discarded, as numpy does when it casts complex to real.",
            ComplexWarning,
            stacklevel=3,  # the caller of sorvik() or tamvel()
        )
        array = array.real
    if array.dtype.kind not in _ACCEPTED_KINDS:
        raise TypeError(f"{argument} has dtype {array.dtype}; expected {_DTYPE_LIST}.")
    if array.dtype.kind == "f" and array.dtype not in (np.float32, np.float64):
        array = array.astype(np.float32)
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if not array.flags.aligned or any(stride % array.itemsize for stride in array.strides):
        array = np.ascontiguousarray(array)
    return array


def four_axes(array, channel_axis, argument):
    """(planes, rows, columns, channels) views of an image, and its spatial shape.

    Without channel_axis: (rows, columns) is a grey image, (planes, rows,
    columns) a grey volume. With it: (rows, columns, channels) and (planes,
    rows, columns, channels), the channel axis anywhere. The core's width is
    the columns, its height the rows, its depth the planes: an Octave array of
    rows x columns x depth x channels holding the same pixels gives the same
    labels.
    """
    if channel_axis is None:
        if array.ndim not in (2, 3):
            raise ValueError(
                f"{argument} has {array.ndim} dimensions; expected 2 (rows, columns) or 3 (planes, rows, columns), "
                "or 3 or 4 with channel_axis for an image with channels."
            )
        spatial = array.shape
        return array[(None,) * (3 - array.ndim) + (Ellipsis, None)], spatial
    try:
        if isinstance(channel_axis, (bool, np.bool_)):
            raise TypeError  # False is no "no channels", nor True an axis
        axis = operator.index(channel_axis)
    except TypeError:
        raise TypeError(f"channel_axis is {channel_axis!r}; expected None or an integer.") from None
    if array.ndim not in (3, 4):
        raise ValueError(
            f"{argument} has {array.ndim} dimensions; with channel_axis expected 3 (rows, columns, channels) or 4 "
            "(planes, rows, columns, channels)."
        )
    if not -array.ndim <= axis < array.ndim:
        raise ValueError(
            f"channel_axis is {axis}, outside the {array.ndim} dimensions of {argument}; expected "
            f"{-array.ndim} to {array.ndim - 1}."
        )
    moved = np.moveaxis(array, axis, -1)
    spatial = moved.shape[:-1]
    return (moved if moved.ndim == 4 else moved[None]), spatial


def thread_count(threads):
    """The threads of a call: 1, the caller's only; 0, one for every core the
    process may run on; n, n threads (at most 256). The labels do not depend
    on it."""
    if isinstance(threads, (bool, np.bool_)):
        raise TypeError(f"threads is {threads!r}; expected a whole number >= 0.")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads is {threads!r}; expected a whole number >= 0 (an int).") from None
    if count < 0:
        raise ValueError(
            f"threads is {count}; expected a whole number >= 0 (1: the caller's thread, 0: every core the process "
            "may run on, n: n threads, at most 256)."
        )
    if count == 0:
        count = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return max(1, min(count, LARGEST_THREAD_COUNT))


def _setting_value(value, name):
    """One setting as the float32 the commands read it as."""
    if isinstance(value, (complex, np.complexfloating)) or not isinstance(value, (int, float, np.number, np.bool_)):
        raise TypeError(f"{name} is {value!r}; expected a real number.")
    with np.errstate(over="ignore"):
        try:
            return float(np.float32(value))
        except OverflowError:
            # A Python int beyond the double range: an infinity, as the
            # same number in an Octave double would be.
            return float("inf") if value > 0 else float("-inf")


def settings_vector(command, layout, named, settings):
    """The command's settings vector from keyword arguments, or from settings=.

    `layout` lists (keyword, default) in the vector's order, None where the
    setting has no default. `named` holds the keywords as given (None: not
    given).
    """
    given = {name: value for name, value in named.items() if value is not None}
    if settings is not None:
        if given:
            raise TypeError(
                f"{command}() takes either settings= or the named settings, not both; got settings and "
                f"{', '.join(sorted(given))}."
            )
        vector = np.asarray(settings)
        if vector.dtype.kind not in _ACCEPTED_KINDS:
            raise TypeError(f"settings has dtype {vector.dtype}; expected a vector of real numbers.")
        if sum(extent != 1 for extent in vector.shape) > 1 and vector.size:
            image_names = "image" if command == "sorvik" else "primary and secondary"
            raise ValueError(
                f"settings has shape {vector.shape}; expected a vector of at least {len(layout)} numbers. The "
                f"{image_names} and the settings may be swapped."
            )
        with np.errstate(over="ignore"):  # beyond the float range: infinities, refused where they must be
            return [float(value) for value in vector.reshape(-1).astype(np.float32)]
    missing = [name for name, default in layout if default is None and name not in given]
    if missing:
        raise TypeError(
            f"{command}() needs {', '.join(missing)} (no default: see the docstring's notes), or settings= with "
            "the Octave command's settings vector."
        )
    return [_setting_value(given.get(name, default), name) for name, default in layout]


def name_setting(error, by_vector, layout):
    """A refusal of a setting, with the keyword (or settings index) that holds it."""
    message = str(error)
    for phrase, keyword in _SETTING_PHRASES.items():
        if message.startswith(phrase + " "):
            where = keyword
            if by_vector:
                index = [name for name, _ in layout].index(keyword)
                where = f"settings[{index}] ({keyword})"
            renamed = ValueError(f"{where}: {message}")
            renamed.mnemonic = getattr(error, "mnemonic", None)
            return renamed
    if message.startswith("the parameter vector"):
        renamed = ValueError("settings: " + message)
        renamed.mnemonic = getattr(error, "mnemonic", None)
        return renamed
    return error
