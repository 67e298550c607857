"""Both commands over Dask arrays: batches of independent images, and Tamvel
volumes on one worker.

sorvik_batch, tamvel_batch
    Many independent 2-D images (or pairs) stacked on axis 0 of a Dask
    array, each segmented on its own by `edgeseg.sorvik` (`edgeseg.tamvel`):
    the labels of every image are those of the one-image call, whatever the
    chunking and the scheduler.
tamvel
    A Tamvel volume given as Dask arrays, run as one task on one worker.

Axes of a stack: (images, rows, columns) for grey images, and with a channel
axis, named by ``channel_axis`` in the stack's own axes, for images with
channels: ``channel_axis=-1`` (or 3) for (images, rows, columns, channels),
1 for (images, channels, rows, columns). Axis 0 always counts the images.

How a batch runs: rows and columns (and channels) are merged into whole
images, axis 0 keeps its chunks, and every block becomes one task that loops
over its images. The commands release the interpreter while they run, so
Dask's default threaded scheduler runs blocks side by side, one a core, and a
`distributed.Client` spreads them over its workers. ``threads`` is the thread
count of each one-image call: keep 1 when the scheduler already has a task a
core.

Settings are checked when the call is made, by running the one-image command
with them on a 1 x 1 image, so a wrong setting is refused at once and not at
compute time. ``return_info`` and ``progress`` are not offered for batches:
a batch has no single run to report on.

Your own function per image
---------------------------
The same pattern serves any function of one image that returns its labels,
with ``map_blocks``: make the blocks whole images, then loop over the images
of each block.

>>> import dask.array as da
>>> import numpy as np
>>> import edgeseg
>>> def segment_block(block):
...     # block: (images, rows, columns); one label image per image.
...     return np.stack([edgeseg.sorvik(image, class_count=2, window_size=3, edge_weight=100)
...                      for image in block])
>>> images = da.random.RandomState(0).uniform(0, 255, size=(6, 40, 40), chunks=(2, 20, 20))
>>> whole = images.rechunk({1: -1, 2: -1})
>>> labels = whole.map_blocks(segment_block, dtype=np.int64)
>>> labels.chunks
((2, 2, 2), (40,), (40,))
>>> bool((labels[4].compute() == edgeseg.sorvik(images[4].compute(), class_count=2, window_size=3,
...                                              edge_weight=100)).all())
True

With channels last, the block function returns one axis fewer: pass
``drop_axis=3`` to ``map_blocks`` (and ``channel_axis=-1`` to the command).
A function that holds the interpreter runs one block at a time on the
threaded scheduler; give it processes instead (``scheduler="processes"`` or a
`distributed.LocalCluster` with processes).
"""
import contextlib
import functools
import warnings

import numpy as np

from . import _arguments, _cluster, _commands, _mask, _warnings

_ACCEPTED_KINDS = "biufc"


def sorvik_batch(images, *, channel_axis=_arguments.NOT_GIVEN, threads=1, mask=None, **settings):
    """Segment each image of a stack on its own with `edgeseg.sorvik`.

    Parameters
    ----------
    images : dask.array.Array, (B, M, N) or (B, M, N, C)
        B independent images of M rows and N columns, grey or with a channel
        axis named by `channel_axis`. Any dtype `edgeseg.sorvik` takes.
    channel_axis : int or None, optional
        The channel axis among the stack's axes (-1 or 3 for channels last);
        not 0, which counts the images. None for grey images.
    threads : int, optional
        Threads of each one-image call, as for `edgeseg.sorvik`.
    mask : dask.array.Array or array_like of bool, (B, M, N), optional
        Each image's mask, as `edgeseg.sorvik` takes it: True (non-zero)
        inside; pixels outside get the label -1.
    **settings
        The settings of `edgeseg.sorvik` (``class_count``, ``window_size``,
        ``edge_weight``, ... or ``settings=``) and its ``initial_centres``,
        the same for every image: one table of starting centres serves all.

    Returns
    -------
    labels : dask.array.Array of int64, (B, M, N)
        Lazy; the labels of image b are ``edgeseg.sorvik(images[b], ...)``.
        Chunked like `images` along axis 0, whole images along the others.

    Raises
    ------
    TypeError, ValueError
        When the call is made: what `edgeseg.sorvik` refuses of one image or
        of the settings, a stack that is not a Dask array or not of 3 (4 with
        `channel_axis`) dimensions, a mask of another shape than (B, M, N),
        and ``return_info`` or ``progress``. When the labels are computed:
        an image whose mask has no pixel inside.
    ImportError
        A worker of the active distributed client that cannot import
        edgeseg at this version.
    """
    stack, has_channels = _image_stack(images, channel_axis, "images", 3)
    _refuse_run_options(settings, "sorvik_batch", ("return_info", "progress"))
    _dry_run(_commands.sorvik, [stack], has_channels, threads, settings)
    masks = _mask_stack(mask, stack, has_channels)
    _cluster.checked_client()
    return _map_images(_sorvik_block, [stack] + masks, has_channels, threads, settings)


def tamvel_batch(primaries, secondaries, *, channel_axis=_arguments.NOT_GIVEN, threads=1, mask=None, **settings):
    """Segment each pair of two stacks on its own with `edgeseg.tamvel`.

    Parameters
    ----------
    primaries, secondaries : dask.array.Array, (B, M, N) or (B, M, N, C)
        B pairs: image b of `primaries` with image b of `secondaries`. Both
        stacks have the same B, M and N; with channels, the secondaries at
        least the primaries' channel count. `channel_axis` applies to both.
        Blocks that are ``numpy.ma`` masked arrays mask their masked pixels,
        as `edgeseg.tamvel` does.
    channel_axis, threads
        As for `sorvik_batch`.
    mask : dask.array.Array or array_like of bool, (B, M, N), optional
        Each pair's mask, as `edgeseg.tamvel` takes it (for both images).
    **settings
        The settings of `edgeseg.tamvel` and its ``initial_centres`` and
        ``secondary_initial_centres``, the same for every pair.

    Returns
    -------
    labels : dask.array.Array of int64, (B, M, N)
        Lazy; chunked like `primaries` along axis 0, -1 outside the mask.

    Raises
    ------
    TypeError, ValueError
        As for `sorvik_batch`, and stacks of different geometries.
    """
    primary, has_channels = _image_stack(primaries, channel_axis, "primaries", 3)
    secondary, _ = _image_stack(secondaries, channel_axis, "secondaries", 3)
    _check_pair(primary, secondary, has_channels, "primaries", "secondaries")
    _refuse_run_options(settings, "tamvel_batch", ("return_info", "progress"))
    _dry_run(_commands.tamvel, [primary, secondary], has_channels, threads, settings)
    masks = _mask_stack(mask, primary, has_channels)
    _cluster.checked_client()
    # Channels beyond the primary's are not read: the blocks keep the same
    # extents (all of them where the secondary's starting centres may name them).
    if has_channels and settings.get("secondary_initial_centres") is None:
        secondary = secondary[..., : primary.shape[3]]
    secondary = secondary.rechunk({0: primary.chunks[0]})
    return _map_images(_tamvel_block, [primary, secondary] + masks, has_channels, threads, settings)


def tamvel(primary, secondary, *, threads=1, channel_axis=_arguments.NOT_GIVEN, return_info=False, mask=None,
           initial_centres=None, secondary_initial_centres=None, **settings):
    """Tamvel on a volume held in Dask arrays, as one task on one worker.

    A Tamvel volume cannot be cut into slabs at a sound cost: its edge
    indicator takes gradients across neighbouring planes and is normalised
    over the whole volume, and the band's recursive filter runs along the
    plane axis. So both inputs are merged into one block each and
    `edgeseg.tamvel` runs on them in a single task, which warns
    (``UserWarning``) once per call with the memory that worker needs.

    Parameters
    ----------
    primary, secondary : dask.array.Array
        The images or volumes `edgeseg.tamvel` takes: (P, M, N) or (M, N),
        with a channel axis named by `channel_axis`. Blocks that are
        ``numpy.ma`` masked arrays mask their masked pixels.
    threads : int, optional
        Threads of the call on its worker; 0 for every core it may use.
    channel_axis : int or None, optional
        As for `edgeseg.tamvel`.
    return_info : bool, optional
        Also return what the run found. This computes the run at once, on the
        active scheduler, and brings the labels to the caller.
    mask : dask.array.Array or array_like of bool, optional
        As for `edgeseg.tamvel`, of the primary's spatial shape; a Dask mask
        is merged into one block, which goes to the same task.
    initial_centres, secondary_initial_centres : (K, C) array_like, optional
        As for `edgeseg.tamvel`.
    **settings
        The settings of `edgeseg.tamvel`.

    Returns
    -------
    labels : dask.array.Array of int64
        One chunk of the primary's spatial shape, -1 outside the mask: lazy,
        or already computed with ``return_info=True``.
    info : edgeseg.RunInfo
        With ``return_info=True``.

    Raises
    ------
    TypeError, ValueError
        When the call is made: what `edgeseg.tamvel` refuses of the inputs'
        shapes and dtypes, the settings, the starting centres and the mask's
        shape and dtype (with the same ``mnemonic``), inputs that are not
        Dask arrays, and a ``progress`` callback (it would run on the
        worker). When the labels are computed: a mask without a pixel inside.
    ImportError
        As for `sorvik_batch`.
    """
    import dask
    import dask.array as da

    for array, argument in ((primary, "primary"), (secondary, "secondary")):
        _require_dask_array(array, argument)
        _require_known_shape(array, argument)
    _refuse_run_options(settings, "tamvel", ("progress",))
    primary, secondary = (_arguments.real_part(array, name, 3) for array, name in
                          ((primary, "primary"), (secondary, "secondary")))
    starts = dict(initial_centres=initial_centres, secondary_initial_centres=secondary_initial_centres)
    spatial = _volume_checks(primary, secondary, channel_axis, threads, dict(settings, **starts))
    refuse_mask_geometry(_commands.tamvel, mask, spatial, 2, **settings)
    channel_axis = None if channel_axis is _arguments.NOT_GIVEN else channel_axis  # warned once, here
    _cluster.checked_client()
    warnings.warn(_one_worker_message(primary, secondary, spatial, mask), UserWarning, stacklevel=2)

    # One block each, taken as it is: a Delayed of the block's own key, with
    # no copy into a result array of the whole.
    primary, secondary = (array.rechunk(-1).to_delayed().ravel()[0] for array in (primary, secondary))
    mask = mask.rechunk(-1).to_delayed().ravel()[0] if isinstance(mask, da.Array) else mask
    return_info = _arguments.flag(return_info, "return_info")
    options = dict(settings, **starts, threads=threads, channel_axis=channel_axis, return_info=return_info, mask=mask)
    run = dask.delayed(_commands.tamvel, pure=True)(primary, secondary, **options)
    if return_info:
        labels, info = _cluster.computed(run)[0]
        return da.from_array(labels, chunks=-1), info
    return da.from_delayed(run, shape=spatial, dtype=_commands.LABEL_DTYPE,
                           meta=np.empty((0,) * len(spatial), _commands.LABEL_DTYPE))


def refuse_mask_geometry(command, mask, spatial, images=1, **settings):
    """Refuses a mask whose shape the one call on an image of this spatial
    shape would refuse, with that call's error (its ``mnemonic``
    included): `command` runs on stand-ins of no bytes, images without
    channels and the mask's shape and dtype, which the core refuses before
    it reads a pixel. A mask that such a call takes passes."""
    if mask is None:
        return
    shape, spatial = tuple(np.shape(mask)), tuple(spatial)
    if any(np.isnan(extent) for extent in shape):
        raise ValueError(f"mask has unknown extents {shape}; call its compute_chunk_sizes() first.")
    dtype = mask.dtype if hasattr(mask, "dtype") else np.asarray(mask).dtype
    if _as_volume(shape) == _as_volume(spatial) and dtype.kind in "biuf":
        return
    image = np.broadcast_to(np.zeros((), np.uint8), spatial + (0,))
    stand_in = np.broadcast_to(np.zeros((), dtype), shape)
    command(*[image] * images, channel_axis=-1, mask=stand_in, **settings)


def _as_volume(shape):
    """A spatial shape as (planes, rows, columns), as the commands read an image's."""
    return (1,) * (3 - len(shape)) + shape if len(shape) <= 3 else shape


# The tasks. Each block holds whole images on axis 0, channels last.


def _sorvik_block(block, *masks, threads, settings):
    """With `masks`, one block of the images' masks, (images, rows, columns)
    and a last axis of 1 where the images have channels."""
    labels = np.empty(block.shape[:3], _commands.LABEL_DTYPE)
    for index, image in enumerate(block):
        mask = masks[0][index].reshape(block.shape[1:3]) if masks else None
        labels[index] = _commands.sorvik(image, threads=threads, channel_axis=_channels(block), mask=mask, **settings)
    return labels


def _tamvel_block(primary, secondary, *masks, threads, settings):
    """With `masks`, one block of the pairs' masks, as for `_sorvik_block`."""
    labels = np.empty(primary.shape[:3], _commands.LABEL_DTYPE)
    for index, (first, second) in enumerate(zip(primary, secondary)):
        mask = masks[0][index].reshape(primary.shape[1:3]) if masks else None
        labels[index] = _commands.tamvel(first, second, threads=threads, channel_axis=_channels(primary), mask=mask,
                                         **settings)
    return labels


def _channels(block):
    return -1 if block.ndim == 4 else None


# Checks made when the call is made.


def _require_dask_array(array, argument):
    import dask.array as da

    if not isinstance(array, da.Array):
        raise TypeError(
            f"{argument} is a {type(array).__name__}; expected a dask.array.Array (dask.array.from_array makes "
            "one; a numpy image goes to edgeseg.sorvik or edgeseg.tamvel directly)."
        )


def _require_known_shape(array, argument):
    if any(np.isnan(extent) for extent in array.shape):
        raise ValueError(
            f"{argument} has unknown extents {array.shape}; call its compute_chunk_sizes() first."
        )
    if array.dtype.kind not in _ACCEPTED_KINDS:
        raise TypeError(
            f"{argument} has dtype {array.dtype}; expected bool, int8 to uint64, float16, float32, float64 "
            "(complex: its real part)."
        )


def _image_stack(images, channel_axis, argument, stacklevel):
    """The stack with the channels last, and whether it has channels."""
    _require_dask_array(images, argument)
    _require_known_shape(images, argument)
    axis = _arguments.channel_axis_of(images.shape, channel_axis, argument, _arguments.STACK_AXES, stacklevel + 1)
    images = _arguments.real_part(images, argument, stacklevel + 1)
    if axis is None:
        return images, False
    return images.transpose([0] + [a for a in (1, 2, 3) if a != axis] + [axis]), True


def _mask_stack(mask, stack, has_channels):
    """The masks as a list of one Dask array chunked as the images along
    axis 0, with a last axis of 1 beside images with channels; empty
    without a mask."""
    import dask.array as da

    if mask is None:
        return []
    masks = mask if isinstance(mask, da.Array) else da.from_array(np.asarray(mask))
    if masks.dtype.kind not in "biuf":
        _mask._given_mask(np.empty(0, masks.dtype))
    if tuple(masks.shape) != tuple(stack.shape[:3]):
        raise ValueError(f"mask has shape {masks.shape}; expected the images' {tuple(stack.shape[:3])}.")
    masks = masks.rechunk((stack.chunks[0], -1, -1))
    return [masks[..., None] if has_channels else masks]


def _check_pair(primary, secondary, has_channels, first, second):
    if primary.shape[:3] != secondary.shape[:3]:
        raise ValueError(
            f"{second} is {_by(secondary.shape[:3])} (images x rows x columns); expected the {first}' "
            f"{_by(primary.shape[:3])}."
        )
    if has_channels and secondary.shape[3] < primary.shape[3]:
        raise ValueError(
            f"{second} have {secondary.shape[3]} channels; expected at least the {first}' {primary.shape[3]}."
        )


def _by(shape):
    return " x ".join(map(str, shape))


def _refuse_run_options(settings, name, options):
    """Refuses the options that follow or report one run (their defaults
    pass, and are dropped)."""
    given = [option for option in options if settings.get(option) not in (None, False)]
    if given:
        raise TypeError(
            f"{name}() does not take {' or '.join(given)}: the work runs as tasks on the workers; call the "
            "one-image command to follow or inspect a run."
        )
    for option in options:
        settings.pop(option, None)


def _dry_run(command, stacks, has_channels, threads, settings):
    """The command on a 1 x 1 image of each stack's dtype and channels: it
    refuses what every image of the stack would be refused for."""
    if any(extent == 0 for extent in stacks[0].shape[1:3]):
        raise ValueError(f"the images are {stacks[0].shape[1]} x {stacks[0].shape[2]}; expected at least one pixel.")
    tiny = [np.zeros((1, 1) + stack.shape[3:], stack.dtype) for stack in stacks]
    with _without_run_warnings():
        command(*tiny, threads=threads, channel_axis=-1 if has_channels else None, **settings)


@contextlib.contextmanager
def _without_run_warnings():
    """Silences the end-of-run warnings of a check on a 1 x 1 image, whose
    classes are empty by its size and say nothing of the real run."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", _warnings.EmptyClassWarning)
        warnings.simplefilter("ignore", _warnings.ConvergenceWarning)
        yield


def _volume_checks(primary, secondary, channel_axis, threads, settings):
    """Refuses, as `edgeseg.tamvel` would, what it would refuse of these
    inputs, and gives the primary's spatial shape.

    The axes are checked on zero-byte views of the inputs' shapes, the
    dtypes and settings by the command on a 1 x 1 pair.
    """
    views = [np.broadcast_to(np.zeros((), array.dtype), array.shape) for array in (primary, secondary)]
    primary_four, spatial = _arguments.four_axes(views[0], channel_axis, "primary", stacklevel=4)
    secondary_four, _ = _arguments.four_axes(views[1], channel_axis, "secondary", stacklevel=4)
    if primary_four.shape[:3] != secondary_four.shape[:3] or secondary_four.shape[3] < primary_four.shape[3]:
        channels = ("", "") if channel_axis in (None, _arguments.NOT_GIVEN) else (
            f" with {secondary_four.shape[3]} channels", f" with at least {primary_four.shape[3]} channels")
        raise ValueError(
            f"the secondary image is {_by(secondary_four.shape[:3])} (planes x rows x columns){channels[0]}; "
            f"expected the primary's {_by(primary_four.shape[:3])}{channels[1]}."
        )
    if primary.size == 0:
        raise ValueError(f"primary is {_by(primary.shape)}; expected at least one pixel.")
    tiny = [np.zeros((1, 1, four.shape[3]), array.dtype)
            for array, four in ((primary, primary_four), (secondary, secondary_four))]
    with _without_run_warnings():
        _commands.tamvel(*tiny, threads=threads, channel_axis=-1, **settings)
    return spatial


def _one_worker_message(primary, secondary, spatial, mask):
    voxels = int(np.prod(spatial))
    channels = (primary.size + secondary.size) // max(voxels, 1)
    needed = primary.nbytes + secondary.nbytes + voxels * (4 * channels + 8)
    masked = ""
    if mask is not None:  # the mask as one block, and the call's byte a voxel of it
        needed += (mask.nbytes if hasattr(mask, "nbytes") else np.asarray(mask).nbytes) + voxels
        masked = ", the mask as one block plus a byte a voxel"
    return (
        f"edgeseg.dask.tamvel runs the whole {_by(spatial)} volume as one task on one worker: "
        "Tamvel's edge indicator takes gradients across neighbouring planes and is normalised over the whole "
        "volume, and its band's recursive filter runs along the plane axis, so the volume cannot be cut into "
        "slabs. That worker needs the inputs as one block each plus about 4 bytes a voxel for each image channel "
        f"and 8 for the labels{masked}: about {_size_text(needed)}."
    )


def _size_text(count):
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    return ""


def _map_images(function, stacks, has_channels, threads, settings):
    """Lazy labels of a function of blocks of whole images, chunked along axis
    0 as the first stack is."""
    whole = [stack.rechunk({1: -1, 2: -1, 3: -1} if stack.ndim == 4 else {1: -1, 2: -1}) for stack in stacks]
    first = whole[0]
    return first.map_blocks(
        functools.partial(function, threads=threads, settings=settings), *whole[1:], dtype=_commands.LABEL_DTYPE,
        chunks=(first.chunks[0], first.chunks[1], first.chunks[2]), drop_axis=(3,) if has_channels else (),
        meta=np.empty((0, 0, 0), _commands.LABEL_DTYPE),
    )
