"""The edgeseg command line: files of each format in, labels 1..K out in the
input's geometry, and every refusal as exit code 2 with nothing written."""
import json
import os
import re
import signal
import subprocess
import sys

import nibabel
import numpy as np
import pytest
import tifffile
from PIL import Image

import edgeseg
from edgeseg._cli import main
from support import DATA_DIR

NIBABEL_DATA = os.path.join(os.path.dirname(nibabel.__file__), "tests", "data")
SETTINGS = dict(class_count=3, window_size=5, edge_weight=900)
OPTIONS = ["--classes", "3", "--window-size", "5", "--edge-weight", "900", "--quiet"]


def run(*arguments):
    return main([str(argument) for argument in arguments])


def test_nifti_round_trip_keeps_geometry_and_writes_the_calls_labels_plus_one(tmp_path):
    source = os.path.join(NIBABEL_DATA, "anatomical.nii")
    output, info_file, preview = tmp_path / "seg.nii.gz", tmp_path / "run.json", tmp_path / "seg.png"
    options = ["--classes", "3", "--window-size", "5", "--edge-weight", "300000", "--quiet"]
    assert run("sorvik", source, output, *options, "--info", info_file, "--preview", preview) == 0
    written, original = nibabel.load(output), nibabel.load(source)
    assert written.shape == original.shape and np.array_equal(written.affine, original.affine)
    assert written.get_data_dtype() == np.uint8
    # (x, y, z) voxels are (planes, rows, columns) = (z, y, x).
    volume = np.asanyarray(original.dataobj).transpose(2, 1, 0)
    expected, info = edgeseg.sorvik(volume, class_count=3, window_size=5, edge_weight=300000, return_info=True)
    assert np.array_equal(np.asanyarray(written.dataobj).transpose(2, 1, 0).astype(np.int64) - 1, expected)
    found = json.loads(info_file.read_text())
    assert found["iterations"] == info.iterations and found["converged"] == info.converged
    assert found["counts"] == info.counts.tolist() and np.allclose(found["centres"], info.centres)
    assert found["energies"] == info.energies.tolist()
    assert found["settings"]["edge_weight"] == 300000 and found["settings"]["max_iterations"] == 30
    with Image.open(preview) as picture:
        assert picture.format == "PNG" and picture.width > 2 * 41


def test_tiff_stack_png_and_colour_give_the_calls_labels(tmp_path):
    rng = np.random.default_rng(3)
    stack = (np.where(np.arange(40) < 18, 60, 160) + rng.normal(0, 25, (4, 30, 40))).clip(0, 255).astype(np.uint8)
    tifffile.imwrite(tmp_path / "stack.tif", stack, photometric="minisblack")
    tifffile.imwrite(tmp_path / "planar.tif", np.stack([stack[0], 255 - stack[0], stack[1]]), photometric="rgb")
    assert run("sorvik", tmp_path / "stack.tif", tmp_path / "stack_labels.TIF", *OPTIONS) == 0
    pages = tifffile.imread(tmp_path / "stack_labels.TIF")
    assert pages.dtype == np.uint8 and np.array_equal(pages - 1, edgeseg.sorvik(stack, **SETTINGS))

    # RGB in separate planes is colour, not a volume of three planes.
    assert run("sorvik", tmp_path / "planar.tif", tmp_path / "planar.npy", *OPTIONS) == 0
    planar = np.stack([stack[0], 255 - stack[0], stack[1]], axis=-1)
    assert np.array_equal(np.load(tmp_path / "planar.npy") - 1, edgeseg.sorvik(planar, **SETTINGS, channel_axis=-1))

    assert run("sorvik", DATA_DIR / "camera.png", tmp_path / "camera.png", *OPTIONS) == 0
    camera = np.asarray(Image.open(DATA_DIR / "camera.png"))
    assert np.array_equal(np.asarray(Image.open(tmp_path / "camera.png")) - 1, edgeseg.sorvik(camera, **SETTINGS))

    assert run("sorvik", DATA_DIR / "astronaut.png", tmp_path / "astronaut.npy", *OPTIONS) == 0
    colour = np.asarray(Image.open(DATA_DIR / "astronaut.png").convert("RGB"))
    expected = edgeseg.sorvik(colour, **SETTINGS, channel_axis=-1)
    assert np.array_equal(np.load(tmp_path / "astronaut.npy") - 1, expected)


def _write_centres(folder, centres):
    np.savetxt(folder / "centres.csv", centres, delimiter=",")
    return folder / "centres.csv"


def _write_garbage(folder):
    (folder / "broken.png").write_bytes(b"not a picture")
    return folder / "broken.png"


@pytest.mark.parametrize("arguments, message", [
    (lambda d: [d / "absent.png", d / "out.png", *OPTIONS], "absent.png: cannot read it"),
    (lambda d: [_write_garbage(d), d / "out.png", *OPTIONS], "broken.png: cannot read it"),
    (lambda d: [DATA_DIR / "camera.png", d / "out.bmp", *OPTIONS], "unsupported file type"),
    (lambda d: [DATA_DIR / "camera.png", d / "out.jpg", *OPTIONS], "JPEG is lossy"),
    (lambda d: [os.path.join(NIBABEL_DATA, "example4d.nii.gz"), d / "out.nii", *OPTIONS], "4-D NIfTI"),
    (lambda d: [DATA_DIR / "camera.png", d / "out.png", "--classes", "3"], "--window-size and --edge-weight are"),
    (lambda d: [DATA_DIR / "camera.png", d / "out.png", *OPTIONS, "--classes", "0"], "--classes: the class count"),
    (lambda d: [DATA_DIR / "camera.png", d / "out.png", *OPTIONS, "--window-size", "1.5"], "invalid int value"),
    (lambda d: [DATA_DIR / "camera.png", d / "out.png", *OPTIONS, "--threads", "-1"],
     "argument --threads: threads is -1"),
    (lambda d: [DATA_DIR / "camera.png", *OPTIONS], "expected INPUT OUTPUT"),
    (lambda d: [DATA_DIR / "camera.png", d / "out.png", *OPTIONS, "--mask", DATA_DIR / "coins.png"],
     "coins.png: the mask has"),
    (lambda d: [DATA_DIR / "camera.png", d / "out.png", *OPTIONS, "--centres", _write_centres(d, [[1], [2]])],
     "starting centres have 2 rows"),
], ids=["missing", "unreadable", "unsupported", "jpeg-output", "4-d", "no-setting", "refused-setting",
        "not-an-int", "threads", "no-output", "mask-shape", "centres-count"])
def test_refusals_exit_2_with_one_line_and_write_nothing(tmp_path, capsys, arguments, message):
    given = arguments(tmp_path)
    before = set(os.listdir(tmp_path))
    assert run("sorvik", *given, "--info", "--preview") == 2
    errors = capsys.readouterr().err.strip()
    assert message in errors and len(errors.splitlines()) == 1, errors
    assert set(os.listdir(tmp_path)) == before


def test_existing_outputs_are_kept_without_force_and_replaced_whole_with_it(tmp_path, capsys):
    target = tmp_path / "labels.png"
    target.write_bytes(b"keep me")
    assert run("sorvik", DATA_DIR / "camera.png", target, *OPTIONS) == 2
    assert "exists; --force overwrites it" in capsys.readouterr().err and target.read_bytes() == b"keep me"
    assert run("sorvik", DATA_DIR / "camera.png", target, *OPTIONS, "--force") == 0
    assert np.asarray(Image.open(target)).max() == 3 and sorted(os.listdir(tmp_path)) == ["labels.png"]


def test_several_inputs_run_side_by_side_and_one_failure_spares_the_others(tmp_path, capsys):
    broken = _write_garbage(tmp_path)
    inputs = [DATA_DIR / "camera.png", broken, DATA_DIR / "coins.png"]
    out = tmp_path / "out"
    assert run("sorvik", *inputs, "--output-dir", out, "--jobs", "2", "--info", *OPTIONS) == 2
    err = capsys.readouterr().err
    assert f"{broken}: cannot read it" in err and f"{broken}: {broken}" not in err  # the file named once
    assert sorted(os.listdir(out)) == ["camera_labels.png", "camera_labels_info.json", "coins_labels.png",
                                       "coins_labels_info.json"]
    coins = np.asarray(Image.open(DATA_DIR / "coins.png"))
    assert np.array_equal(np.asarray(Image.open(out / "coins_labels.png")) - 1, edgeseg.sorvik(coins, **SETTINGS))


def test_help_names_every_setting_and_says_how_axes_and_labels_map(capsys):
    assert run("--help") == 0
    text = capsys.readouterr().out
    assert "plane = z, row = y, column = x" in text and "0 outside the mask" in text
    tables = {"sorvik": edgeseg._commands.SORVIK_SETTINGS, "tamvel": edgeseg._commands.TAMVEL_SETTINGS}
    for command, table in tables.items():
        assert run(command, "--help") == 0
        text = capsys.readouterr().out
        for keyword, _ in table:
            assert ("--classes" if keyword == "class_count" else "--" + keyword.replace("_", "-")) in text
        assert "--threads" in text and ("--exact-sums" in text) == (command == "sorvik")
    process = subprocess.run([sys.executable, "-m", "edgeseg", "--help"], capture_output=True, text=True)
    assert process.returncode == 0 and "sorvik" in process.stdout


def test_tamvel_writes_labels_of_the_pair(tmp_path):
    primary, secondary = DATA_DIR / "BrainT1Slice.png", DATA_DIR / "BrainProtonDensitySlice.png"
    options = ["--classes", "3", "--window-size", "5", "--edge-weight", "10000", "--quiet"]
    assert run("tamvel", primary, secondary, tmp_path / "pair.nii", *options) == 0
    images = [np.asarray(Image.open(path).convert("L")) for path in (primary, secondary)]
    expected = edgeseg.tamvel(*images, class_count=3, window_size=5, edge_weight=10000)
    assert np.array_equal(np.asanyarray(nibabel.load(tmp_path / "pair.nii").dataobj).T - 1, expected)


def test_progress_lines_are_the_calls_after_the_file_name(tmp_path, capsys):
    options = [*OPTIONS[:-1], "--max-iterations", "8", "--progress"]
    assert run("sorvik", DATA_DIR / "camera.png", tmp_path / "camera.png", *options) == 0
    printed = capsys.readouterr().out.splitlines()
    edgeseg.sorvik(np.asarray(Image.open(DATA_DIR / "camera.png")), **SETTINGS, max_iterations=8, progress=True)
    expected = ["camera.png: " + line for line in capsys.readouterr().out.splitlines()]
    assert len(printed) == 9 and [_without_seconds(line) for line in printed] == list(map(_without_seconds, expected))


def _without_seconds(line):
    return re.sub(r", [0-9.]+ s$", "", line)


def test_ctrl_c_exits_130_and_leaves_no_file(tmp_path):
    np.save(tmp_path / "large.npy", np.random.default_rng(0).normal(100, 30, (8, 256, 256)).astype(np.float32))
    arguments = [sys.executable, "-m", "edgeseg", "sorvik", "large.npy", "labels.npy", "--info", "--progress",
                 *OPTIONS[:-1], "--tolerance", "0", "--max-iterations", str(10**9)]
    # Reset SIGINT in the child: a test run in the background may have it ignored.
    process = subprocess.Popen(arguments, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert "iteration 1," in process.stdout.readline()
    process.send_signal(signal.SIGINT)
    try:
        _, errors = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 130 and errors.strip() == "edgeseg: interrupted"
    assert os.listdir(tmp_path) == ["large.npy"]


def test_mask_and_centres_files_reach_the_call_outside_is_0_and_warnings_are_one_line(tmp_path, capsys):
    camera = np.asarray(Image.open(DATA_DIR / "camera.png"))
    rows, columns = np.indices(camera.shape)
    inside = (rows - 256) ** 2 + (columns - 256) ** 2 < 200 ** 2
    Image.fromarray(inside.astype(np.uint8) * 255).save(tmp_path / "mask.png")
    centres = _write_centres(tmp_path, [[20], [120], [200]])
    assert run("sorvik", DATA_DIR / "camera.png", tmp_path / "out.png", *OPTIONS, "--mask", tmp_path / "mask.png",
               "--centres", centres) == 0
    written = np.asarray(Image.open(tmp_path / "out.png")).astype(np.int64)
    expected = edgeseg.sorvik(camera, **SETTINGS, mask=inside, initial_centres=[[20], [120], [200]])
    assert np.array_equal(written - 1, expected) and (written[~inside] == 0).all()
    capsys.readouterr()

    Image.fromarray(np.full((20, 30), 7, np.uint8)).save(tmp_path / "flat.png")
    assert run("sorvik", tmp_path / "flat.png", tmp_path / "flat_labels.png", *OPTIONS) == 0
    errors = capsys.readouterr().err.splitlines()
    assert errors and all(line.startswith("edgeseg: warning: flat.png: ") for line in errors)
    assert any("starting centres" in line for line in errors)


def test_suggest_prints_settings_and_explicit_options_override_them(tmp_path, capsys):
    camera = np.asarray(Image.open(DATA_DIR / "camera.png"))
    suggested = edgeseg.suggest_settings(camera, 3)["settings"]
    assert run("suggest", DATA_DIR / "camera.png", "--classes", "3") == 0
    printed = capsys.readouterr().out
    assert f"--window-size {suggested['window_size']!r}" in printed and "suggested_centres [[" in printed
    assert run("suggest", DATA_DIR / "camera.png", "--classes", "0") == 2
    assert capsys.readouterr().err == "edgeseg: --classes: class_count is 0; expected a whole number >= 1.\n"
    # A refusal names the option of the setting it carries, whichever command's call refused it.
    assert run("tamvel", DATA_DIR / "camera.png", DATA_DIR / "camera.png", tmp_path / "many.npy", "--classes",
               "99999999", "--suggest") == 2
    assert capsys.readouterr().err.startswith("edgeseg: --classes: the class count is 100000000;")
    info = tmp_path / "info.json"
    assert run("sorvik", DATA_DIR / "camera.png", tmp_path / "out.png", "--classes", "3", "--suggest",
               "--edge-weight", "123", "--info", info, "--quiet") == 0
    written = json.loads(info.read_text())
    settings, estimates = written["settings"], written["suggestion_estimates"]
    assert settings["edge_weight"] == 123 and settings["window_size"] == suggested["window_size"]
    assert len(estimates["suggested_centres"]) == 3 and estimates["disc_pixels"] == 21
    assert settings["initial_centres"] == estimates["suggested_centres"]  # --suggest starts from them
