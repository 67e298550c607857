"""The README's Python, command-line and Dask lines run as a user pastes them."""
import json
import re
import subprocess
import sys

import numpy as np

from support import ROOT

README = (ROOT / "README.md").read_text()



def blocks(heading, language):
    """The code blocks of one language under a README heading."""
    start = README.index(f"\n## {heading}\n")
    end = README.find("\n## ", start + 1)
    return re.findall(rf"```{language}\n(.*?)```", README[start:end if end >= 0 else None], re.S)


def square(shape):
    """Where the README's synthetic image has its bright square."""
    truth = np.zeros(shape, bool)
    truth[32:96, 32:96] = True
    return truth


def run_python_section():
    first, suggested = blocks("Python", "python")
    namespace = {}
    exec(compile(first, "README.md", "exec"), namespace)
    return namespace, suggested


def test_the_python_sections_call_runs():
    namespace, _ = run_python_section()
    labels, info = namespace["labels"], namespace["info"]
    assert ((labels == 1) == square(labels.shape)).mean() > 0.99
    assert info.centres.shape == (2, 1) and info.counts.sum() == labels.size


def test_the_python_sections_suggested_settings_run():
    namespace, suggested = run_python_section()
    exec(compile(suggested, "README.md", "exec"), namespace)
    assert ((namespace["labels"] == 1) == square(namespace["labels"].shape)).mean() > 0.99


def write_inputs(folder):
    """The files the command-line lines read: a NIfTI pair of three classes,
    two more volumes in a folder, a TIFF stack and a colour PNG."""
    import nibabel
    import tifffile
    from PIL import Image

    rng = np.random.default_rng(29)
    classes = np.zeros((40, 32, 6), int)  # NIfTI voxel axes (x, y, z)
    classes[8:24, 8:24, :] = 1
    classes[28:36, :, 1:5] = 2
    affine = np.diag([0.9, 0.9, 2.5, 1.0])
    affine[:3, 3] = (-18, -14, -7)

    def nifti(path, levels):
        values = np.asarray(levels)[classes] + rng.normal(0, 25, classes.shape)
        nibabel.save(nibabel.Nifti1Image(values.astype(np.int16), affine), folder / path)

    nifti("T1.nii.gz", (50, 125, 200))
    nifti("PD.nii.gz", (125, 50, 200))
    (folder / "scans").mkdir()
    for name in ("a", "b"):
        nifti(f"scans/{name}.nii.gz", (50, 125, 200))
    planes = np.transpose(classes, (2, 1, 0))  # (planes, rows, columns)
    stack = np.where(planes == 1, 160.0, 50.0) + rng.normal(0, 30, planes.shape)
    tifffile.imwrite(folder / "stack.tif", np.clip(stack, 0, 255).astype(np.uint8))
    photo = np.stack([planes[2] * 100, 250 - planes[2] * 100, np.full(planes[2].shape, 90)], axis=-1)
    Image.fromarray(photo.astype(np.uint8)).save(folder / "photo.png")
    return affine, classes.shape


def test_the_command_lines_run(tmp_path):
    import nibabel
    import tifffile

    affine, shape = write_inputs(tmp_path)
    (block,) = blocks("The command line", "sh")
    for line in block.strip().splitlines():
        assert line.startswith("edgeseg "), line
        # Through the shell, which expands the globs, with this environment's Python.
        command = f"'{sys.executable}' -m edgeseg {line[len('edgeseg '):]}"
        done = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, f"{line}\n{done.stderr}"

    for name in ("seg.nii.gz", "pair.nii.gz", "labels/a_labels.nii.gz", "labels/b_labels.nii.gz"):
        labels = nibabel.load(tmp_path / name)
        assert labels.shape == shape and np.allclose(labels.affine, affine), name
        assert set(np.unique(np.asarray(labels.dataobj))) == {1, 2, 3}, name
    assert set(np.unique(tifffile.imread(tmp_path / "stack_labels.tif"))) == {1, 2}
    assert (tmp_path / "seg.png").stat().st_size > 0
    assert len(json.loads((tmp_path / "pair.json").read_text())["centres"]) == 3


def test_the_dask_sections_call_runs():
    (block,) = blocks("Volumes larger than one machine: Dask", "python")
    namespace = {}
    try:
        exec(compile(block, "README.md", "exec"), namespace)
    finally:
        if "client" in namespace:
            namespace["client"].close()  # and the cluster it started
    assert namespace["labels"].shape == namespace["volume"].shape
