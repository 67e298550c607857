"""Image files in, label files out, for the command line.

Every reader gives the pixels in the package's axes, (rows, columns) or
(planes, rows, columns), with a channel axis last where the file holds
colour; every writer takes labels in those axes and writes them in its
format's own. Outputs are written beside their target under a temporary
name and then renamed over it, so that a target is whole or absent.
"""
import json
import os
import secrets
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

IMAGE_SUFFIXES = (".nii", ".nii.gz", ".tif", ".tiff", ".png", ".jpg", ".jpeg", ".npy")
LABEL_SUFFIXES = (".nii", ".nii.gz", ".tif", ".tiff", ".png", ".npy")

# nibabel's voxel axes (x, y, z) to (planes, rows, columns): the plane is
# the third voxel axis, the rows the second, the columns the first.
NIFTI_TO_PLANES = (2, 1, 0)


class FileRefused(Exception):
    """A file that cannot be read or written as asked: `path` names it, and
    the message, which starts with it, says why."""

    def __init__(self, path, reason):
        super().__init__(f"{path}: {reason}")
        self.path = path


@dataclass
class ImageFile:
    """An image as read: its pixels, their channel axis, and what a label file
    in the same format needs to keep (a NIfTI file's header and affine)."""

    path: str
    pixels: np.ndarray
    channel_axis: Optional[int]
    nifti: Any = None

    @property
    def spatial_shape(self):
        return self.pixels.shape if self.channel_axis is None else self.pixels.shape[:-1]


def suffix_of(path, accepted):
    """The format suffix of a path, lower case, or FileRefused naming the accepted ones."""
    name = os.path.basename(path).lower()
    for suffix in sorted(accepted, key=len, reverse=True):
        if name.endswith(suffix):
            return suffix
    raise FileRefused(path, f"unsupported file type; expected one of {', '.join(accepted)}.")


def read_image(path, channel_axis=None):
    """The image in a file, by its suffix. `channel_axis` is for .npy files
    only: the other formats say themselves which axis holds colour."""
    suffix = suffix_of(path, IMAGE_SUFFIXES)
    if channel_axis is not None and suffix != ".npy":
        raise FileRefused(path, f"--channel-axis applies to .npy files; a {suffix} file says which axis holds "
                          "colour.")
    reader = {".nii": _read_nifti, ".nii.gz": _read_nifti, ".tif": _read_tiff, ".tiff": _read_tiff,
              ".png": _read_picture, ".jpg": _read_picture, ".jpeg": _read_picture}.get(suffix)
    try:
        if reader is None:
            pixels = np.load(path, allow_pickle=False)
            return ImageFile(path, pixels, channel_axis)
        return reader(path)
    except FileRefused:
        raise
    except Exception as error:  # each library has its own exceptions for a damaged file
        raise FileRefused(path, f"cannot read it: {error}") from None


def _read_nifti(path):
    import nibabel

    image = nibabel.load(path)
    voxels = np.asanyarray(image.dataobj)  # scaled only where the header scales
    while voxels.ndim > 3 and voxels.shape[-1] == 1:
        voxels = voxels[..., 0]
    if voxels.ndim > 3:
        raise FileRefused(
            path, f"a {voxels.ndim}-D NIfTI image {voxels.shape}; expected 2-D or 3-D. A 4th axis is mostly time "
            "(a series of volumes), which is no set of channels: segment one volume at a time."
        )
    return ImageFile(path, voxels.transpose(NIFTI_TO_PLANES[3 - voxels.ndim:]), None, nifti=image)


def _read_tiff(path):
    import tifffile

    with tifffile.TiffFile(path) as tiff:
        series = tiff.series[0]
        pixels, axes = series.asarray(), series.axes
    # Axes other than rows (Y), columns (X) and samples (S, colour) are
    # pages: at most one of them may have more than one entry.
    keep = [i for i, axis in enumerate(axes) if axis in "YXS" or pixels.shape[i] > 1]
    pixels = pixels.reshape([pixels.shape[i] for i in keep])
    axes = "".join(axes[i] for i in keep)
    if "S" in axes:  # colour samples, planar or interleaved: channels last
        pixels, axes = np.moveaxis(pixels, axes.index("S"), -1), axes.replace("S", "") + "S"
    pages = [axis for axis in axes if axis not in "YXS"]
    if len(pages) > 1 or not axes.endswith(("YX", "YXS")):
        raise FileRefused(path, f"TIFF axes {axes} {pixels.shape}; expected pages of grey or colour images (YX, "
                          "ZYX, YXS or ZYXS).")
    return ImageFile(path, pixels, -1 if axes.endswith("S") else None)


def _read_picture(path):
    from PIL import Image

    with Image.open(path) as picture:
        if picture.mode in ("1", "L", "I", "F") or picture.mode.startswith("I;16"):
            pixels = np.asarray(picture)
        elif picture.mode == "LA":
            pixels = np.asarray(picture.getchannel("L"))
        else:  # palette, RGBA, CMYK, ...: colour, without alpha
            pixels = np.asarray(picture.convert("RGB"))
    if pixels.ndim == 3 and (pixels == pixels[..., :1]).all():
        return ImageFile(path, pixels[..., 0], None)  # a grey picture stored as colour
    return ImageFile(path, pixels, -1 if pixels.ndim == 3 else None)


def read_mask(path, image):
    """A mask file as booleans of the image's spatial shape: nonzero (and not
    NaN) is inside. A colour mask file is refused, since its channels could
    disagree."""
    mask = read_image(path)
    if mask.channel_axis is not None:
        raise FileRefused(path, "a colour mask; expected one value per pixel (nonzero inside).")
    if mask.pixels.shape != image.spatial_shape:
        raise FileRefused(path, f"the mask has (planes, rows, columns) {mask.pixels.shape}, {image.path} "
                          f"{image.spatial_shape}; expected the same.")
    with np.errstate(invalid="ignore"):
        return np.asarray(mask.pixels != 0) & ~np.isnan(mask.pixels.astype(np.float64))


def read_centres(path):
    """Starting centres from a .npy file or a text file (.txt, .csv: one row
    per class, one column per channel, separated by spaces or commas)."""
    suffix = suffix_of(path, (".npy", ".txt", ".csv"))
    try:
        if suffix == ".npy":
            return np.load(path, allow_pickle=False)
        with open(path) as text:
            rows = [line.replace(",", " ").split() for line in text if line.strip() and not line.startswith("#")]
        return np.array([[float(value) for value in row] for row in rows])
    except (OSError, ValueError) as error:
        raise FileRefused(path, f"cannot read the centres: {error}") from None


def label_dtype(class_count):
    """The smallest unsigned type for labels 0..K."""
    return np.min_scalar_type(class_count)


def check_label_target(path, class_count):
    """FileRefused for a label file the format cannot hold."""
    suffix = suffix_of(path, LABEL_SUFFIXES + (".jpg", ".jpeg"))
    if suffix in (".jpg", ".jpeg"):
        raise FileRefused(path, "JPEG is lossy and would change the labels; write .png, .tif, .nii or .npy.")
    if suffix == ".png" and label_dtype(class_count).itemsize > 2:
        raise FileRefused(path, f"PNG holds at most 65535 labels; {class_count} classes need .tif, .nii or .npy.")


def write_labels(path, labels, source):
    """Labels (1..K, 0 outside the mask) in the source image's geometry."""
    suffix = suffix_of(path, LABEL_SUFFIXES)
    if suffix in (".nii", ".nii.gz"):
        write_whole(path, lambda temporary: _nifti_labels(labels, source).to_filename(temporary))
    elif suffix in (".tif", ".tiff"):
        import tifffile

        write_whole(path, lambda temporary: tifffile.imwrite(temporary, labels, photometric="minisblack"))
    elif suffix == ".png":
        from PIL import Image

        write_whole(path, lambda temporary: Image.fromarray(labels).save(temporary, format="PNG"))
    else:
        write_whole(path, lambda temporary: np.save(temporary, labels))


def _nifti_labels(labels, source):
    import nibabel

    voxels = labels.transpose(NIFTI_TO_PLANES[3 - labels.ndim:])
    if source.nifti is None:
        image = nibabel.Nifti1Image(voxels, np.eye(4))
    else:  # the input's header and affine, with a label data type
        image = type(source.nifti)(voxels, source.nifti.affine, source.nifti.header.copy())
    image.set_data_dtype(labels.dtype)
    image.header.set_slope_inter(1, 0)
    image.header["cal_min"], image.header["cal_max"] = 0, labels.max(initial=0)
    return image


def write_json(path, content):
    def dump(temporary):
        with open(temporary, "w", encoding="utf-8") as stream:
            json.dump(content, stream, indent=2, allow_nan=False)
            stream.write("\n")

    write_whole(path, dump)


def write_whole(path, write):
    """Calls write(temporary) for a name beside `path` with the same suffix,
    then renames it to `path`: the target is whole or untouched."""
    folder, name = os.path.split(os.path.abspath(path))
    suffix = name[len(name.split(".")[0]):]  # .nii.gz whole: writers go by the name's end
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.partial{suffix}")
    os.close(os.open(temporary, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))  # the umask's mode, as open() gives
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise
