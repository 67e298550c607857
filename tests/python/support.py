"""What the Python tests share: where the project's build and sample images
are, and the memory layouts one image can come in."""
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
MEX_DIR = Path(os.environ.get("EDGESEG_MEX_DIR", ROOT / "build" / "mex"))
DATA_DIR = Path(os.environ.get("EDGESEG_DATA_DIR", ROOT.parent / "shared" / "data"))
OCTAVE_SCRIPT = ROOT / "tests" / "python" / "octave_cases.m"


def run_octave_cases(case_dir):
    """Runs the cases listed in case_dir/cases.txt through octave_cases.m and
    the Octave plug-ins; False when octave-cli or the plug-ins are missing."""
    octave = shutil.which("octave-cli")
    if octave is None or not (MEX_DIR / "Sorvik.mex").exists():
        return False
    # Octave runs without the sanitizer runtime the tests may have preloaded.
    environment = dict(os.environ, MEX_DIR=str(MEX_DIR), DATA_DIR=str(DATA_DIR), CASE_DIR=str(case_dir))
    environment.pop("LD_PRELOAD", None)
    subprocess.run([octave, "--norc", "--no-history", "--quiet", str(OCTAVE_SCRIPT)], env=environment, check=True)
    return True


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
