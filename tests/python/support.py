"""What the Python tests share: where the project's build and sample images
are, and the memory layouts one image can come in."""
import os
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
MEX_DIR = Path(os.environ.get("EDGESEG_MEX_DIR", ROOT / "build" / "mex"))
DATA_DIR = Path(os.environ.get("EDGESEG_DATA_DIR", ROOT.parent / "shared" / "data"))


def layouts(image, has_channels):
    """The same pixels in other memory orders, with the channel_axis each needs.

    `image` is (..., channels) when has_channels. Yields C order, Fortran
    order, a view with gaps between its elements, a view with reversed
    strides (the data of a flipped array, flipped back) and, with channels,
    the channels moved to the front.
    """
    axis = -1 if has_channels else None
    yield "C order", np.ascontiguousarray(image), axis
    yield "Fortran order", np.asfortranarray(image), axis
    spread = np.zeros(tuple(2 * n + 1 for n in image.shape), image.dtype)
    spread[tuple(slice(1, None, 2) for _ in image.shape)] = image
    yield "strided view", spread[tuple(slice(1, None, 2) for _ in image.shape)], axis
    flipped = np.ascontiguousarray(image[tuple(slice(None, None, -1) for _ in image.shape)])
    yield "reversed strides", flipped[tuple(slice(None, None, -1) for _ in image.shape)], axis
    if has_channels:
        yield "channels first", np.moveaxis(image, -1, 0), 0
