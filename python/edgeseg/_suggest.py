"""edgeseg.suggest_settings: settings for sorvik and tamvel measured from the
image itself, by the method of the Octave function edgeseg_settings."""
import numbers
import warnings

import numpy as np

from . import _arguments, _warnings
from ._commands import SORVIK_SETTINGS, TAMVEL_SETTINGS, sorvik

SUGGESTED_WINDOW = 5
DISC_PIXELS = 21  # pixels of the disc of diameter 5: the 5 x 5 block without corners
# For Gaussian noise of standard deviation s the high-pass residual has
# standard deviation 6 s (the root of the sum of the mask's squares), and
# the median absolute deviation of a Gaussian is 0.6745 of its deviation.
RESIDUAL_GAIN = 6.0
MAD_PER_SD = 0.6745
# Tamvel's penalty is scaled by an edge indicator well below 1 even in flat
# noisy regions: the ratio of the two commands' weights at the same noise.
TAMVEL_WEIGHT_FACTOR = 50 / 3


def suggest_settings(image, class_count, *, channel_axis=_arguments.NOT_GIVEN, secondary=None,
                     secondary_channel_axis=None, mask=None):
    """Suggest settings for `sorvik` (or, with `secondary`, `tamvel`) from the image itself.

    Measures the noise of the image and how far apart its classes lie, and
    returns the keywords of a call with a window of 5, the edge weight of the
    formula in `sorvik`'s notes, and the default tolerance and iterations.
    The values are those of the Octave function ``edgeseg_settings`` on the
    same pixels.

    The noise standard deviation s is the median absolute deviation of the
    image filtered with the high-pass mask [1 -2 1; -2 4 -2; 1 -2 1] (which
    removes flat regions and linear ramps), over every plane and channel,
    scaled to a standard deviation; edges are few, so the median ignores
    them, and non-finite residuals are left out. The class spacing d is the
    median over the classes of a plain clustering (`sorvik` with the edge
    term off) of the distance from a class's centre to the nearest other
    centre. The edge weight is 4 * d * s / (n - 1), with n = 21 pixels in
    the disc of window 5. For `tamvel` the weight is 50/3 times that, and
    the secondary weight is (s of the primary / s of the secondary)**2,
    which gives both images an equal say.

    Parameters
    ----------
    image : (M, N[, C]) or (P, M, N[, C]) array_like
        The image or volume, with the axes and dtypes `sorvik` takes (a 3-D
        array without `channel_axis` is a volume). With `secondary`, the
        primary image of `tamvel`.
    class_count : int
        K, the number of classes.
    channel_axis : int or None, optional
        The axis of `image` that holds the channels; None (the default) for
        grey. Left out, a colour-like 3-D image is warned of, as `sorvik`
        does; an explicit None reads it as grey without a warning.
    secondary : array_like, optional
        Tamvel's secondary image: the image's rows, columns and planes, and
        at least its channels (those beyond are not read).
    secondary_channel_axis : int or None, optional
        The channel axis of `secondary`; None takes `channel_axis`.
    mask : array_like of bool, optional
        The pixels to measure, as `sorvik` takes it (True inside; a numpy
        masked array's own mask counts too): the noise, the classes and the
        starting centres are measured inside only.

    Returns
    -------
    suggestion : dict
        ``"settings"``: the keywords to pass, as in
        ``edgeseg.sorvik(image, **suggestion["settings"])`` or
        ``edgeseg.tamvel(image, secondary, **suggestion["settings"])``,
        the suggested starting centres included (``initial_centres`` and,
        with `secondary`, ``secondary_initial_centres``).
        ``"estimates"``: what they were computed from: ``noise_sd`` (s;
        the primary's with `secondary`, and then ``secondary_noise_sd``),
        ``class_spacing`` (d), ``centres`` (the plain clustering's class
        centres, K x C), ``disc_pixels`` (n), and ``suggested_centres``
        (K x C): starting centres from the data's own distribution, the
        (k + 1/2)/K quantiles along its first principal axis, so that every
        class starts with pixels; with `secondary` they lie in the metric of
        tamvel's cost and ``suggested_secondary_centres`` holds their
        secondary part.

    Raises
    ------
    TypeError
        An image that is no array of real numbers, or a class count that is
        no number.
    ValueError
        A class count that is not a whole number >= 1 (or beyond what the
        commands take), an empty image, axes the commands refuse, or a
        secondary image of another geometry.

    Examples
    --------
    >>> import numpy as np
    >>> import edgeseg
    >>> rng = np.random.default_rng(1)
    >>> truth = np.repeat([[0, 1]], 32, axis=1).repeat(64, axis=0)
    >>> image = np.where(truth == 1, 160.0, 50.0) + rng.normal(0, 40, truth.shape)
    >>> suggestion = edgeseg.suggest_settings(image, 2)
    >>> sorted(suggestion["settings"])
    ['class_count', 'edge_weight', 'initial_centres', 'last_plain_iteration', 'max_iterations', 'tolerance', 'window_size']
    >>> labels = edgeseg.sorvik(image, **suggestion["settings"])
    >>> bool((labels == truth).mean() > 0.99)
    True
    """
    count = _class_count(class_count)
    primary = _four_axes(image, channel_axis, "image")  # warns once of a colour-like image
    given_axis = None if channel_axis is _arguments.NOT_GIVEN else channel_axis
    with warnings.catch_warnings():
        # How the plain clustering ends is no word about the settings.
        warnings.simplefilter("ignore", _warnings.EmptyClassWarning)
        warnings.simplefilter("ignore", _warnings.ConvergenceWarning)
        plain = sorvik(image, class_count=count, window_size=0, edge_weight=0, channel_axis=given_axis, mask=mask)
    inside = (plain >= 0).reshape(primary.shape[:3] + (1,))  # -1: outside the mask
    primary = _outside_as_nan(primary, inside)
    values = primary.reshape(-1, primary.shape[-1])
    noise_sd = _noise_sd(primary)
    centres, spacing = _class_spacing(values, plain.reshape(-1), count)
    weight = 4 * spacing * noise_sd / (DISC_PIXELS - 1)
    estimates = {"noise_sd": noise_sd, "class_spacing": spacing, "centres": centres, "disc_pixels": DISC_PIXELS}
    if secondary is None:
        estimates["suggested_centres"] = _suggested_centres(values, count)
        settings = _settings(SORVIK_SETTINGS, count, weight)
        return {"settings": _with_centres(settings, estimates), "estimates": estimates}
    axis = channel_axis if secondary_channel_axis is None else secondary_channel_axis
    pair = _four_axes(secondary, axis, "secondary")
    _check_pair_geometry(primary.shape, pair.shape)
    pair = _outside_as_nan(pair, inside)
    estimates["secondary_noise_sd"] = _noise_sd(pair)
    secondary_weight = 1.0
    if estimates["secondary_noise_sd"] > 0 and noise_sd > 0:
        secondary_weight = (noise_sd / estimates["secondary_noise_sd"]) ** 2
    settings = _settings(TAMVEL_SETTINGS, count, weight * TAMVEL_WEIGHT_FACTOR, secondary_weight=secondary_weight)
    # Tamvel reads as many secondary channels as the primary has; the centres
    # lie in the metric of its cost, where the secondary weight scales the
    # secondary distance.
    channels = values.shape[1]
    scale = np.sqrt(secondary_weight)
    joint = _suggested_centres(np.hstack([values, scale * pair[..., :channels].reshape(-1, channels)]), count)
    estimates["suggested_centres"] = joint[:, :channels]
    estimates["suggested_secondary_centres"] = joint[:, channels:] / scale
    return {"settings": _with_centres(settings, estimates), "estimates": estimates}


def _outside_as_nan(four, inside):
    """The pixels outside the mask as NaN, which every estimate leaves out
    (a high-pass residual that reaches past the mask's border, too)."""
    return four if inside.all() else np.where(inside, four, np.nan)


def _class_count(class_count):
    if isinstance(class_count, (bool, np.bool_)) or not isinstance(class_count, numbers.Real):
        raise TypeError(f"class_count is {class_count!r}; expected a whole number >= 1.")
    if not (np.isfinite(class_count) and class_count >= 1 and class_count == int(class_count)):
        raise ValueError(f"class_count is {class_count!r}; expected a whole number >= 1.")
    return int(class_count)


def _four_axes(image, channel_axis, argument):
    """The image as float64 (planes, rows, columns, channels)."""
    # The warnings name the line that called suggest_settings.
    four, _ = _arguments.four_axes(_arguments.as_elements(image, argument, stacklevel=4), channel_axis, argument,
                                   stacklevel=4)
    if four.size == 0:
        raise ValueError(f"{argument} has no pixels (shape {np.shape(image)}).")
    return four.astype(np.float64)


def _check_pair_geometry(primary_shape, secondary_shape):
    if secondary_shape[:3] != primary_shape[:3] or secondary_shape[3] < primary_shape[3]:
        raise ValueError(
            f"secondary has (planes, rows, columns, channels) {secondary_shape}, the primary {primary_shape}; "
            "expected the same planes, rows and columns and at least the primary's channels."
        )


def _settings(layout, count, edge_weight, **chosen):
    """The command's keywords: the suggestion, and the defaults of its table."""
    settings = {name: default for name, default in layout if default is not None}
    settings.update(chosen, class_count=count, window_size=SUGGESTED_WINDOW, edge_weight=float(edge_weight))
    return settings


def _with_centres(settings, estimates):
    """The settings with the suggested starting centres as the commands'
    keywords, where they are finite (an image without finite pixels has none)."""
    for keyword, name in (("initial_centres", "suggested_centres"),
                          ("secondary_initial_centres", "suggested_secondary_centres")):
        if name in estimates and np.isfinite(estimates[name]).all():
            settings[keyword] = estimates[name]
    return settings


def _noise_sd(four):
    """The noise standard deviation from the median absolute deviation of the
    high-pass residual of every plane and channel (finite residuals only)."""
    rows, columns = four.shape[1:3]

    def shifted(row, column):
        return four[:, row:rows - 2 + row, column:columns - 2 + column]

    with np.errstate(invalid="ignore"):
        residual = (shifted(0, 0) - 2 * shifted(0, 1) + shifted(0, 2)
                    - 2 * shifted(1, 0) + 4 * shifted(1, 1) - 2 * shifted(1, 2)
                    + shifted(2, 0) - 2 * shifted(2, 1) + shifted(2, 2))
    residual = residual[np.isfinite(residual)]
    if residual.size == 0:
        return 0.0
    deviation = np.median(np.abs(residual - np.median(residual)))
    return float(deviation / MAD_PER_SD / RESIDUAL_GAIN)


def _class_spacing(values, labels, count):
    """The classes' centres (the means of their finite pixels) and the median
    distance from a centre to the nearest other."""
    finite = np.isfinite(values).all(axis=1)
    members = labels[finite]
    sizes = np.bincount(members, minlength=count)
    sums = np.stack([np.bincount(members, weights=channel, minlength=count) for channel in values[finite].T], axis=1)
    centres = np.full((count, values.shape[1]), np.nan)
    centres[sizes > 0] = sums[sizes > 0] / sizes[sizes > 0, None]
    used = centres[sizes > 0]
    if len(used) < 2:
        return centres, 0.0
    nearest = np.empty(len(used))
    for index, centre in enumerate(used):
        distances = np.linalg.norm(used - centre, axis=1)
        distances[index] = np.inf
        nearest[index] = distances.min()
    return centres, float(np.median(nearest))


def _suggested_centres(values, count):
    """Class k starts at the (k + 1/2)/K quantile of the finite pixels along
    their first principal axis (for one channel: of their values), as the
    pixel at that rank.

    Centres on one line leave every pixel the same distance across it, so
    its nearest centre is the nearest along the line, and the pixel at each
    quantile falls to its own class: every class starts with pixels unless
    two quantiles coincide. The axis points towards the first channel's
    bright end, so on a grey image class 0 is the darkest, as in the evenly
    spread start.
    """
    values = values[np.isfinite(values).all(axis=1)]
    if len(values) == 0:
        return np.full((count, values.shape[1]), np.nan)
    ranks = np.floor((np.arange(1, count + 1) - 0.5) / count * len(values)).astype(np.int64)
    if values.shape[1] == 1:
        return np.sort(values[:, 0])[ranks][:, None]
    middle = values.mean(axis=0)
    centred = values - middle
    eigenvalues, vectors = np.linalg.eigh(centred.T @ centred)
    direction = vectors[:, np.argmax(eigenvalues)]
    leading = np.flatnonzero(np.abs(direction) >= np.abs(direction).max() / 2)[0]
    direction = direction * np.sign(direction[leading])
    ordered = np.sort(centred @ direction)
    return middle + ordered[ranks][:, None] * direction
