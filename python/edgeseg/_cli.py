"""The edgeseg command line: files in, label files out.

    edgeseg sorvik INPUT OUTPUT --classes K [settings]
    edgeseg sorvik INPUT... --output-dir DIR --classes K [settings]
    edgeseg tamvel PRIMARY SECONDARY OUTPUT --classes K [settings]
    edgeseg suggest INPUT --classes K
"""
import argparse
import os
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor

from . import _cli_options, _file_runs, _files
from ._file_runs import FileRun, Refusal

FILES_HELP = """\
files, by suffix (any case):
  .nii, .nii.gz  NIfTI (nibabel). Voxel axes (x, y, z) map to (planes, rows,
                 columns) as plane = z, row = y, column = x: the planes are
                 the third voxel axis, the slices. A 2-D file is an image. The
                 labels keep the input's affine and header, with a label data
                 type. 4-D files (series over time) are refused.
  .tif, .tiff    TIFF (tifffile): pages are planes; RGB pages are channels.
  .png, .jpg     PNG and JPEG (PIL): grey, or colour as channels (alpha
                 dropped, palettes converted, equal channels read as grey).
                 Labels are never written as JPEG, which is lossy.
  .npy           numpy: (rows, columns) or (planes, rows, columns); name a
                 channel axis with --channel-axis.
labels in files: 1..K for the K classes, 0 outside the mask (--mask); uint8
for K <= 255, else uint16.
masks: any image file above, one value per pixel with the input's planes,
rows and columns; nonzero is inside. Pixels outside are not segmented, are
no neighbour of any pixel and count in no class.
centres (--centres): .npy, or text (.txt, .csv): one row per class, one
column per channel. With --suggest and no --centres, the suggested centres.
warnings: a class left without pixels, or a run stopped at --max-iterations
before it converged, is reported on stderr; the labels are still written.
exit codes: 0 done, 2 refused or failed (bad arguments, unreadable files,
settings the command refuses; with several inputs, any one), 130 Ctrl-C.
Outputs are written whole or not at all, and existing files are kept
unless --force."""


USAGES = {
    "sorvik": "edgeseg sorvik INPUT OUTPUT --classes K [options]\n"
              "       edgeseg sorvik INPUT... --output-dir DIR --classes K [options]",
    "tamvel": "edgeseg tamvel PRIMARY SECONDARY OUTPUT --classes K [options]",
}


class _Parser(argparse.ArgumentParser):
    """Refusals of arguments as one line and exit code 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser():
    parser = _Parser(prog="edgeseg", description="Edge-weighted clustering segmentation of image files.",
                     epilog=FILES_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    for command, usage in USAGES.items():
        function = _cli_options.FUNCTIONS[command]
        sub = commands.add_parser(command, help=function.__doc__.splitlines()[0], epilog=FILES_HELP, usage=usage,
                                  description=function.__doc__.splitlines()[0],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("paths", nargs="+", metavar="PATH",
                         help="image file(s), then the label file (or, with --output-dir, image files only)")
        _cli_options.add_options(sub, command)
        _add_run_options(sub, several=command == "sorvik")
    suggest = commands.add_parser("suggest", help="print the settings suggested for an image",
                                  description="Prints the settings suggested for an image and K classes.")
    suggest.add_argument("input", metavar="INPUT")
    suggest.add_argument("--classes", "--class-count", dest="class_count", type=int, required=True, metavar="K")
    suggest.add_argument("--secondary", metavar="FILE", help="a secondary image, for tamvel's settings")
    suggest.add_argument("--channel-axis", dest="channel_axis", type=int, help="for .npy inputs only")
    suggest.add_argument("--mask", metavar="FILE", help="measure inside this mask only (nonzero is inside)")
    return parser


def _add_run_options(parser, several):
    files = parser.add_argument_group("files and runs")
    files.add_argument("--suggest", action="store_true", help="take the settings from the image(s), as `edgeseg "
                       "suggest` prints them; explicit settings override them")
    files.add_argument("--info", nargs="?", const="", metavar="FILE.json", help="write the run's info: centres, "
                       "iterations, converged, energies, counts and the settings (no FILE: beside the labels)")
    files.add_argument("--preview", nargs="?", const="", metavar="FILE.png", help="write a picture of the middle "
                       "plane, its labels and their outlines, titled with the settings (no FILE: beside the labels)")
    files.add_argument("--mask", metavar="FILE", help="segment inside this mask only: an image file of the input's "
                       "shape, nonzero inside; outside is labelled 0")
    files.add_argument("--centres", metavar="FILE", help="starting centres, one row per class (.npy, .txt, .csv); "
                       "default: spread evenly over the values, or with --suggest the suggested ones")
    if not several:
        files.add_argument("--secondary-centres", dest="secondary_centres", metavar="FILE",
                           help="the secondary image's starting centres, one row per class")
    files.add_argument("--force", action="store_true", help="overwrite existing outputs")
    files.add_argument("--progress", action="store_true", help="plain progress lines, even on a terminal")
    files.add_argument("--quiet", action="store_true", help="no progress")
    if several:
        files.add_argument("--output-dir", metavar="DIR", help="segment each INPUT on its own into DIR, as "
                           "NAME_labels with the input's suffix (JPEG inputs: .png)")
        files.add_argument("--jobs", type=int, default=1, metavar="N", help="files run side by side (default 1)")


def file_runs(args):
    """Every input's outputs, refused before any work when one exists
    (without --force), is named twice, or cannot hold the labels."""
    output_dir = getattr(args, "output_dir", None)
    output_dir_path = os.path.abspath(output_dir) if output_dir else None  # made when the runs start
    count = 2 if args.command == "tamvel" else 1
    if output_dir is None:
        if len(args.paths) != count + 1:
            raise Refusal(f"expected {'PRIMARY SECONDARY' if count == 2 else 'INPUT'} OUTPUT; got {len(args.paths)} "
                          "paths (several inputs need --output-dir).")
        runs = [FileRun(tuple(args.paths[:-1]), args.paths[-1])]
    else:
        if args.info or args.preview:
            raise Refusal("with --output-dir, give --info and --preview without a file: each input has its own.")
        runs = [FileRun((path,), os.path.join(output_dir, _labels_name(path))) for path in args.paths]
    for run in runs:
        _files.check_label_target(run.labels, args.class_count if "class_count" in args else 1)
    runs = [FileRun(run.inputs, run.labels, _beside(run.labels, args.info, "_info.json"),
                    _beside(run.labels, args.preview, "_preview.png")) for run in runs]
    targets = [os.path.abspath(path) for run in runs for path in run.targets]
    if len(set(targets)) < len(targets):
        raise Refusal("two outputs would have the same name: " + ", ".join(
            sorted({path for path in targets if targets.count(path) > 1})))
    for run in runs:
        if run.preview is not None and not run.preview.lower().endswith(".png"):
            raise Refusal(f"{run.preview}: the preview is a PNG; name it .png.")
    folders = {os.path.dirname(os.path.abspath(path)) for run in runs for path in run.targets}
    missing = sorted(folder for folder in folders if not os.path.isdir(folder) and folder != output_dir_path)
    if missing:
        raise Refusal(f"{missing[0]}: no such folder for the outputs.")
    existing = [path for run in runs for path in run.targets if os.path.lexists(path)]
    if existing and not args.force:
        raise Refusal(f"{existing[0]} exists; --force overwrites it" + (
            f" (and {len(existing) - 1} more)." if len(existing) > 1 else "."))
    return runs


def _labels_name(path):
    suffix = _files.suffix_of(path, _files.IMAGE_SUFFIXES)
    name = os.path.basename(path)[: -len(suffix)]
    return name + "_labels" + (".png" if suffix in (".jpg", ".jpeg") else suffix)


def _beside(labels, asked, ending):
    if asked is None or asked:
        return asked
    name = os.path.basename(labels)
    stem = name[: -len(_files.suffix_of(labels, _files.LABEL_SUFFIXES))]
    return os.path.join(os.path.dirname(labels), stem + ending)


def _given(args):
    """The settings and call options given on the command line, by keyword,
    and the files of the mask and centres (None when not given)."""
    keywords = [option.keyword for option in _cli_options.command_options(args.command)]
    given = {keyword: getattr(args, keyword) for keyword in keywords if keyword in args}
    files = {name: getattr(args, name, None) for name in ("mask", "centres", "secondary_centres")}
    return given, files


def _progress_mode(args):
    if args.quiet:
        return "quiet"
    return "lines" if args.progress or not sys.stderr.isatty() else "bar"


def run_files(args):
    """Runs every input; returns the exit code."""
    jobs = getattr(args, "jobs", 1)
    if jobs < 1:
        raise Refusal(f"--jobs is {jobs}; expected 1 or more.")
    runs = file_runs(args)
    if getattr(args, "output_dir", None):
        os.makedirs(args.output_dir, exist_ok=True)
    display = _file_runs.ProgressDisplay(args.command, _progress_mode(args))
    given, files = _given(args)

    def run(file_run):
        try:
            _file_runs.run_file(args.command, file_run, given, files, args.suggest, display)
            return True
        except (Refusal, _files.FileRefused, OSError, MemoryError) as error:
            named = len(runs) == 1 or getattr(error, "path", None) == file_run.inputs[0]
            _say(error if named else f"{file_run.inputs[0]}: {error}")
            return False

    if jobs == 1 or len(runs) == 1:  # on the main thread, where Ctrl-C stops a call at once
        done = [run(file_run) for file_run in runs]
    else:
        with ThreadPoolExecutor(max_workers=jobs) as pool:
            try:
                done = list(pool.map(run, runs))
            except KeyboardInterrupt:
                display.stop()  # running calls stop at their next iteration; waiting files never start
                pool.shutdown(wait=False, cancel_futures=True)
                raise
    return 0 if all(done) else 2


def suggest(args):
    """Prints the suggested settings and the estimates they came from."""
    paths = [args.input] + ([args.secondary] if args.secondary else [])
    images = _file_runs.read_images(paths, args.channel_axis)
    command = "tamvel" if args.secondary else "sorvik"
    mask = _files.read_mask(args.mask, images[0]) if args.mask else None
    settings, estimates = _file_runs.suggested_settings(command, images, args.class_count, mask)
    print(f"{args.input}: settings suggested for {command} with {args.class_count} classes:")
    for name, value in settings.items():
        print(f"  {_file_runs._flag(name)} {value!r}")
    print("estimated from the image:")
    for name, value in estimates.items():
        print(f"  {name} {value!r}")
    return 0


def _say(message):
    print(f"edgeseg: {message}", file=sys.stderr, flush=True)


def main(argv=None):
    """Runs `edgeseg ARGUMENTS`; returns the exit code."""
    warnings.showwarning = _file_runs.show_warning
    try:
        args = build_parser().parse_args(argv)
        return suggest(args) if args.command == "suggest" else run_files(args)
    except SystemExit as exit:  # argparse: --help, or a refused argument
        return exit.code
    except (Refusal, _files.FileRefused) as error:
        _say(error)
        return 2
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
