"""edgeseg.sorvik and edgeseg.tamvel: argument handling and documentation
over the compiled calls."""
import numpy as np

from . import _arguments, _core, _mask, _runs

# (keyword, default or None) of each setting, in the settings vector's
# order: the core's tables.
SORVIK_SETTINGS = _arguments.settings_layout("sorvik")
TAMVEL_SETTINGS = _arguments.settings_layout("tamvel")

# The labels' dtype, as data (a dtype, not numpy's scalar class, whose
# documentation would fill help(edgeseg)).
LABEL_DTYPE = np.dtype(np.int64)


def _result(result, spatial_shape, return_info, pair):
    """The call's (planes, rows, columns) labels in the image's spatial shape,
    with the run's info when asked for."""
    if not return_info:
        return result.reshape(spatial_shape)
    planes, found = result
    return planes.reshape(spatial_shape), _runs.run_info(found, pair)


def _refused(error, settings, layout):
    return _arguments.name_setting(error, settings is not None, layout)


@_arguments.setting_defaults("sorvik")
def sorvik(
    image,
    *,
    class_count=None,
    window_size=None,
    edge_weight=None,
    tolerance=None,
    max_iterations=None,
    last_plain_iteration=None,
    settings=None,
    channel_axis=_arguments.NOT_GIVEN,
    threads=1,
    return_info=False,
    progress=None,
    exact_sums=False,
    mask=None,
    initial_centres=None,
):
    """Segment an image or a volume into classes by clustering with an edge term.

    Every pixel is moved, in place and in raster order (plane, row, column),
    to the class of lowest cost: the squared distance between its channel
    values and the class centre, plus, after the first (plain) iterations,
    `edge_weight` times the number of pixels in a disc around it, in its own
    plane, that carry another label. The centres then become the means of
    their pixels. The labels are bit for bit those of the Octave command
    ``Sorvik`` given the same pixels and settings, for any thread count.

    Parameters
    ----------
    image : (M, N[, C]) or (P, M, N[, C]) array_like
        A grey image (rows, columns), a grey volume (planes, rows, columns),
        or either with a channel axis, named by `channel_axis`. Any of bool,
        int8 to uint64, float16, float32 and float64, in any memory order;
        complex input gives its real part (with numpy's ``ComplexWarning``).
        Values are read as the nearest float32. NaN and infinite pixels keep
        their label (0).
    class_count : int
        K, the number of classes, 1 to 16777216. No default.
    window_size : int
        Diameter in pixels of the disc of the edge term: 3 and 4 give the
        3 x 3 block, 5 the 5 x 5 block without corners; <= 0 turns the edge
        term off. No default; 3 to 9 is typical.
    edge_weight : float
        Cost of each differing neighbour, in squared intensity units. No
        default, since it depends on the data's units: see Notes.
    tolerance : float, optional
        Stop when (E - E_prev)**2 < tolerance * E_prev, tested after each
        edge-phase iteration; 0 runs every iteration.
    max_iterations : int, optional
        N: iterations 0 to N - 1 at most.
    last_plain_iteration : int, optional
        T: iterations 0 to T run without the edge term and without the test;
        T < 0 starts with the edge term.
    settings : sequence of float, optional
        Instead of the named settings: the Octave command's settings vector,
        ``[window_size, edge_weight, tolerance, max_iterations,
        last_plain_iteration, class_count]`` (values beyond the sixth are
        ignored), so that a call can be copied from Octave.
    channel_axis : int or None, optional
        The axis of `image` that holds the channels; None (the default) for a
        grey image or volume. Left out, a 3-D image whose last axis is 3 or 4
        and small against the others (300 x 451 x 3) is read as grey with a
        ``UserWarning`` that it looks like a colour image; an explicit None
        reads it as grey without one.
    threads : int, optional
        Threads the call may use: 1 (the default) runs on the caller's thread
        only, 0 one for every core the process may run on, n > 1 n threads
        (at most 256). The labels do not depend on it. The interpreter is
        free for other Python threads while the call runs.
    return_info : bool, optional
        Also return what the run found (the Octave command's ``info``).
    progress : callable or bool, optional
        Called with an `edgeseg.IterationReport` after every iteration, on
        the calling thread; True prints the report's `lines` instead: a line
        per iteration, and after the last one that says why the run ended. An
        exception it raises stops the call and is raised by it.
    exact_sums : bool or {0, 1}, optional
        False (the default) adds each iteration's energy as a float in raster
        order, as the established iteration does. True sums it exactly and
        rounds it once, and likewise the centre sums where they could round:
        accurate on the largest volumes and independent of the order of the
        pixels, but a run may then stop at another iteration and give other
        labels on some inputs.
    mask : array_like of bool, optional
        The pixels to segment, True (or non-zero) inside, of the image's
        spatial shape ((M, N) or (P, M, N)). A pixel outside is not swept,
        counts in no centre, value range or energy, is no pixel's neighbour
        (the edge term counts only differing pixels inside) and gets the
        label -1. A ``numpy.ma`` masked array as `image` segments the pixels
        none of whose channels is masked; with `mask` too, a pixel is inside
        where both say so. A mask with every pixel inside gives the labels
        of none.
    initial_centres : (K, C) array_like, optional
        Where the classes start, one row per class and one value per channel
        (a 1-D sequence of K values for a grey image), in place of the
        evenly spread start. `edgeseg.suggest_settings` suggests some that
        give every class pixels to start with. Values pass through float32;
        the spread's own centres (``info.centres`` of a run of 0 iterations)
        give the same labels as none.

    Returns
    -------
    labels : ndarray of int64
        The class 0 to K - 1 of every pixel, -1 outside the mask, of the
        spatial shape of `image` ((M, N) or (P, M, N)): int64, the label dtype of scikit-image's
        segmentation functions on 64-bit systems. Initial centres are spread
        evenly over every channel's range, so on a grey image class 0 starts
        as the darkest.
    info : edgeseg.RunInfo
        With ``return_info=True``: the centres, iterations, convergence,
        energies and class sizes of the run.

    Raises
    ------
    TypeError
        A dtype other than the above, a non-integer `threads` or
        `channel_axis`, a setting that is not a real number, a fraction or a
        bool for a whole-number setting (`class_count`, `window_size`,
        `max_iterations`, `last_plain_iteration`), a `return_info` or
        `progress` other than a bool (or a callable for `progress`), a
        missing setting without default, both `settings` and named
        settings, or a `mask` of no real dtype.
    ValueError
        Fewer than 2 or more than 4 dimensions (3 or 4 with `channel_axis`),
        `channel_axis` out of range, an image without pixels, a setting out of
        range (a class count outside 1 to 16777216; NaN or infinite weights;
        in the settings vector a fraction truncates, as in Octave), fewer
        than six settings, or an image too large for the image container (an
        extent of 2**31 or more, or more than 2**34 elements), a mask of
        another shape than the image's spatial shape (``"geometryMismatch"``)
        or without a pixel inside (``"emptyMask"``). Refusals of
        the core carry the Octave command's error name as ``mnemonic``
        (``"badParameters"``, ``"emptyImage"``, ``"tooLarge"``), and those
        of a setting its position in the settings vector as ``setting``.
        `initial_centres` of another shape than (K, C), or with NaN or
        infinite values, is refused as ``"badCentres"``.
    MemoryError
        Not enough memory for the image and its labels.
    KeyboardInterrupt
        Ctrl-C during a call made on the main thread stops it within a
        fraction of a second, releasing everything it held.

    Warns
    -----
    edgeseg.EmptyClassWarning
        A class ended with no pixel (the Octave command's
        ``Sorvik:emptyClass``); `initial_centres` may help.
    edgeseg.ConvergenceWarning
        The run reached `max_iterations` while the convergence test still
        failed (``Sorvik:notConverged``). Runs with tolerance 0, or with no
        edge iteration, stay quiet. Neither changes the labels or `info`;
        ``warnings.simplefilter("ignore", edgeseg.ConvergenceWarning)``
        silences one.

    Notes
    -----
    The axes map onto the Octave array of rows x columns x depth x channels:
    rows to rows, columns to columns, planes to depth, channels to channels.
    So ``sorvik(v, ...)`` of a numpy volume (P, M, N) gives the labels of
    ``Sorvik(permute(v, [2 3 1]), s, "volume", true)``, transposed back.

    Choosing `edge_weight`: a pixel whose whole disc carries one label pays
    about (n - 1) * edge_weight to leave it, where the disc holds n = 9
    pixels for a window of 3 or 4, 21 for 5, 37 for 7 and 69 for 9; noise of
    size e beyond the midpoint of two centres d apart gains it 2 * d * e. So

        edge_weight ~ 4 * d * s / (n - 1)

    removes speckle from noise of standard deviation s up to about two
    standard deviations: 8-bit data with centres 110 apart, noise 40 and a
    window of 5 give about 900. The weight grows with the square of the
    intensity scale: data scaled to 0..1 instead of 0..255 needs 1/65025 of
    it. When raising the class count or the window, lower the weight.

    Examples
    --------
    Two noisy halves, smoothed by the edge term:

    >>> import numpy as np
    >>> import edgeseg
    >>> rng = np.random.default_rng(1)
    >>> truth = np.repeat([[0, 1]], 32, axis=1).repeat(64, axis=0)
    >>> image = np.where(truth == 1, 160.0, 50.0) + rng.normal(0, 40, truth.shape)
    >>> labels = edgeseg.sorvik(image, class_count=2, window_size=5, edge_weight=900)
    >>> labels.shape, labels.dtype
    ((64, 64), dtype('int64'))
    >>> bool((labels == truth).mean() > 0.99)
    True

    The same call with the Octave command's settings vector:

    >>> same = edgeseg.sorvik(image, settings=[5, 900, 1e-4, 30, 4, 2])
    >>> bool((same == labels).all())
    True

    What the run found:

    >>> labels, info = edgeseg.sorvik(image, class_count=2, window_size=5, edge_weight=900, return_info=True)
    >>> info.centres.shape, info.iterations == len(info.energies), int(info.counts.sum())
    ((2, 1), True, 4096)
    """
    named = dict(window_size=window_size, edge_weight=edge_weight, tolerance=tolerance, max_iterations=max_iterations,
                 last_plain_iteration=last_plain_iteration, class_count=class_count)
    parameters = _arguments.settings_vector("sorvik", named, settings)
    count = _arguments.thread_count(threads)
    elements = _arguments.as_elements(image, "image")
    four, spatial = _arguments.four_axes(elements, channel_axis, "image")
    report = _runs.progress_callback(progress, "sorvik")
    return_info = _arguments.flag(return_info, "return_info")
    exact_sums = _arguments.flag(exact_sums, "exact_sums", numbers=True)
    inside = _mask.pixels_inside(image, mask, channel_axis, spatial)
    start = _arguments.centre_table(initial_centres, "initial_centres")
    try:
        result = _core.sorvik(four, parameters, count, report, _runs.interruptible(), return_info, exact_sums, inside,
                              start)
    except ValueError as error:
        raise _refused(error, settings, SORVIK_SETTINGS) from None
    return _result(result, spatial, return_info, pair=False)


@_arguments.setting_defaults("tamvel")
def tamvel(
    primary,
    secondary,
    *,
    class_count=None,
    window_size=None,
    edge_weight=None,
    secondary_weight=None,
    tolerance=None,
    max_iterations=None,
    band_sigma=None,
    last_plain_iteration=None,
    settings=None,
    channel_axis=_arguments.NOT_GIVEN,
    threads=1,
    return_info=False,
    progress=None,
    mask=None,
    initial_centres=None,
    secondary_initial_centres=None,
):
    """Segment a primary image together with a secondary image of the same geometry.

    Each class has a centre in each image; a pixel's cost adds the squared
    distance in the primary, `secondary_weight` times the squared distance
    in the secondary and, after the plain iterations, `edge_weight` times
    the sum of an edge indicator of the primary (near 1 where it is flat,
    near 0 on strong edges) over the neighbours in the disc that carry
    another label. After the plain iterations only a narrow band of pixels
    near the class boundaries is relabelled. The labels are bit for bit
    those of the Octave command ``Tamvel`` given the same pixels and
    settings, for any thread count.

    Parameters
    ----------
    primary : (M, N[, C]) or (P, M, N[, C]) array_like
        The primary image, with the axes and dtypes `sorvik` takes.
    secondary : array_like
        The secondary image: the primary's rows, columns and planes, and at
        least its channels (channels beyond the primary's are not read).
        `channel_axis` applies to both images.
    class_count : int
        K, 1 to 16777216. No default.
    window_size : int
        Diameter of the disc window, as for `sorvik`. No default.
    edge_weight : float
        Weight of the edge penalty. No default: the penalty of a neighbour is
        the edge indicator there, at most 1 and well below it in noisy
        images, so useful weights are larger than `sorvik`'s: 1000 to 20000
        on 8-bit data, 10000 with noise of 20 to 30 grey levels and a window
        of 5.
    secondary_weight : float, optional
        Weight of the squared distance in the secondary image: (noise of the
        primary / noise of the secondary)**2 gives both images an equal say;
        0 ignores the secondary image.
    tolerance : float, optional
        As for `sorvik`.
    max_iterations : int, optional
        N: iterations 0 to N - 1 at most.
    band_sigma : float, optional
        Smoothing scale of the narrow band in pixels; a negative value is a
        percentage of the largest image extent. Below 0.1 the band is empty
        and the labels freeze after iteration T.
    last_plain_iteration : int, optional
        T; the band is built once, at the end of iteration T.
    settings : sequence of float, optional
        Instead of the named settings: the Octave command's settings vector,
        ``[secondary_weight, tolerance, edge_weight, window_size,
        max_iterations, band_sigma, last_plain_iteration, class_count]``.
    channel_axis : int or None, optional
        The channel axis of both images; None for grey images or volumes.
    threads : int, optional
        As for `sorvik`.
    return_info : bool, optional
        Also return what the run found, `secondary_centres` included.
    progress : callable or bool, optional
        As for `sorvik`.
    mask : array_like of bool, optional
        As for `sorvik`, for both images; a ``numpy.ma`` masked array as
        either image masks its masked pixels. The edge indicator takes, for
        a neighbour outside the mask, the value of the pixel it is formed at,
        and is rescaled over the pixels inside. The band smooths only the
        labels inside: along each axis each run of pixels inside is
        smoothed as a line of its own, its ends extended, so the filter sees
        the nearest inside value and the mask's border is no class boundary.
    initial_centres : (K, C) array_like, optional
        Where the classes start in the primary image, as for `sorvik`.
    secondary_initial_centres : (K, C) array_like, optional
        Where they start in the secondary image: C the primary's channels,
        or the secondary's (channels past the primary's are not read). Each
        table left out is spread evenly as without either.

    Returns
    -------
    labels : ndarray of int64
        The class 0 to K - 1 of every pixel, -1 outside the mask, of the
        primary's spatial shape.
    info : edgeseg.RunInfo
        With ``return_info=True``.

    Raises
    ------
    TypeError
        As for `sorvik`.
    ValueError
        As for `sorvik`, and a secondary image whose rows, columns or planes
        differ from the primary's or that has fewer channels
        (``mnemonic`` ``"geometryMismatch"``).
    MemoryError
        Not enough memory for the images and the labels.
    KeyboardInterrupt
        As for `sorvik`.

    Warns
    -----
    edgeseg.EmptyClassWarning, edgeseg.ConvergenceWarning
        As for `sorvik` (``Tamvel:emptyClass``, ``Tamvel:notConverged``).

    Notes
    -----
    The axes map onto Octave's arrays as for `sorvik`.

    Examples
    --------
    Two weightings of one scene with different contrasts:

    >>> import numpy as np
    >>> import edgeseg
    >>> rng = np.random.default_rng(2)
    >>> truth = (np.hypot(*np.mgrid[-32:32, -32:32]) < 20).astype(int)
    >>> primary = 60.0 + 100 * truth + rng.normal(0, 25, truth.shape)
    >>> secondary = 200.0 - 80 * truth + rng.normal(0, 25, truth.shape)
    >>> labels = edgeseg.tamvel(primary, secondary, class_count=2, window_size=5, edge_weight=10000)
    >>> labels.shape, labels.dtype
    ((64, 64), dtype('int64'))
    >>> bool((labels == truth).mean() > 0.98)
    True
    """
    named = dict(secondary_weight=secondary_weight, tolerance=tolerance, edge_weight=edge_weight,
                 window_size=window_size, max_iterations=max_iterations, band_sigma=band_sigma,
                 last_plain_iteration=last_plain_iteration, class_count=class_count)
    parameters = _arguments.settings_vector("tamvel", named, settings)
    count = _arguments.thread_count(threads)
    primary_elements = _arguments.as_elements(primary, "primary")
    secondary_elements = _arguments.as_elements(secondary, "secondary")
    primary_four, spatial = _arguments.four_axes(primary_elements, channel_axis, "primary")
    secondary_four, _ = _arguments.four_axes(secondary_elements, channel_axis, "secondary")
    report = _runs.progress_callback(progress, "tamvel")
    return_info = _arguments.flag(return_info, "return_info")
    inside = _mask.pixels_inside(primary, mask, channel_axis, spatial, secondary)
    start = _arguments.centre_table(initial_centres, "initial_centres")
    secondary_start = _arguments.centre_table(secondary_initial_centres, "secondary_initial_centres")
    try:
        result = _core.tamvel(primary_four, secondary_four, parameters, count, report, _runs.interruptible(),
                              return_info, inside, start, secondary_start)
    except ValueError as error:
        raise _refused(error, settings, TAMVEL_SETTINGS) from None
    return _result(result, spatial, return_info, pair=True)

