"""The pixels a call segments: the `mask` keyword and a masked array's own mask."""
import numpy as np

from . import _arguments


def _given_mask(mask):
    """`mask` as an array of real elements, read in place where it can be."""
    array = np.asarray(mask)
    if array.dtype.kind not in "biuf":
        raise TypeError(
            f"mask has dtype {array.dtype}; expected a boolean (or real numeric) array of the image's spatial "
            "shape, True (non-zero) inside."
        )
    return _arguments.as_elements(array, "mask")


def _masked_outside(image, channel_axis, spatial):
    """The pixels a numpy masked array masks in any channel, or None."""
    outside = np.ma.getmask(image)
    if outside is np.ma.nomask or not outside.any():
        return None
    outside = np.asarray(outside, dtype=bool)
    if outside.shape != tuple(spatial):
        outside = outside.any(axis=channel_axis)
    return outside


def pixels_inside(image, mask, channel_axis, spatial, secondary=None):
    """The (planes, rows, columns, 1) mask the extension reads, or None.

    A pixel is inside where `mask` is non-zero and, for a numpy masked array
    (either image of a pair), where no channel of it is masked. Alone, `mask`
    goes to the core as it is, which refuses another geometry or a mask
    without a pixel inside.
    """
    given = None if mask is None else _given_mask(mask)
    outside = None
    for masked in (image, secondary):
        if np.ma.isMaskedArray(masked):
            hidden = _masked_outside(masked, channel_axis, spatial)
            if hidden is not None:
                outside = hidden if outside is None else outside | hidden
    if given is not None and outside is not None:
        if given.shape != tuple(spatial):
            raise ValueError(f"mask has shape {given.shape}; expected the image's spatial shape {tuple(spatial)}.")
        given = (given != 0) & ~outside
    elif outside is not None:
        given = ~outside
    if given is None:
        return None
    if not 1 <= given.ndim <= 3:
        raise ValueError(f"mask has shape {given.shape}; expected the image's spatial shape {tuple(spatial)}.")
    return given.reshape((1,) * (3 - given.ndim) + given.shape + (1,))


def lazy_pixels_inside(volume, mask, channel_axis, spatial):
    """The (planes, rows, columns) Dask array of uint8, 1 inside, that a
    distributed run reads slab by slab, or None: as `pixels_inside`, for a
    `mask` that may be a Dask array. Its geometry is checked here, since
    the core sees only the slabs, each of which may lie wholly outside."""
    import dask.array as da

    if not isinstance(mask, da.Array):
        found = pixels_inside(volume, mask, channel_axis, spatial)
        if found is None:
            return None
        if found.shape[:3] != (1,) * (3 - len(spatial)) + tuple(spatial):
            raise ValueError(f"mask has shape {np.shape(mask)}; expected the volume's spatial shape {tuple(spatial)}.")
        inside = da.from_array(np.ascontiguousarray(found[..., 0] != 0, dtype=np.uint8))
    else:
        if mask.dtype.kind not in "biuf":
            _given_mask(np.empty(0, mask.dtype))
        if tuple(mask.shape) != tuple(spatial):
            raise ValueError(f"mask has shape {mask.shape}; expected the volume's spatial shape {tuple(spatial)}.")
        inside = (mask != 0).astype(np.uint8)
        hidden = _masked_outside(volume, channel_axis, spatial) if np.ma.isMaskedArray(volume) else None
        if hidden is not None:
            inside = inside * da.from_array(~hidden).astype(np.uint8)
        inside = inside.reshape((1,) * (3 - inside.ndim) + inside.shape)
    return inside
