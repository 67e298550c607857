"""One file's run on the command line: read the image, settle the
settings, call the command, and write the labels, the info and the preview."""
import functools
import math
import os
import sys
import threading
from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np

from . import _cli_options, _files, _preview, _suggest
from ._suggest import suggest_settings


class Refusal(Exception):
    """An argument or file the command line refuses; the message says why."""


_RUNNING = threading.local()  # the input each thread is running, for its warnings


def show_warning(message, category, filename, lineno, file=None, line=None):
    """A warning of a run as one line on stderr, naming its input."""
    name = getattr(_RUNNING, "name", None)
    print(f"edgeseg: warning: {name + ': ' if name else ''}{message}", file=sys.stderr, flush=True)


@dataclass(frozen=True)
class FileRun:
    """The files of one run: the input(s) and the outputs to write (None: not asked for)."""

    inputs: Tuple[str, ...]
    labels: str
    info: Optional[str] = None
    preview: Optional[str] = None

    @property
    def targets(self):
        return [path for path in (self.labels, self.info, self.preview) if path is not None]


# The keywords of the starting centres, and the command line's files for them.
CENTRES = {"initial_centres": "centres", "secondary_initial_centres": "secondary_centres"}


def suggested_settings(command, images, class_count, mask=None):
    """The settings edgeseg.suggest_settings finds for the image(s) (inside
    the mask), its starting centres, and its estimates."""
    secondary = images[1] if len(images) > 1 else None
    try:  # the suggestion's own check of --classes, named by its option
        _suggest._class_count(class_count)
    except (ValueError, TypeError) as error:
        raise Refusal(f"{_flag('class_count')}: {error}") from None
    try:
        found = suggest_settings(images[0].pixels, class_count, channel_axis=images[0].channel_axis,
                                 secondary=None if secondary is None else secondary.pixels,
                                 secondary_channel_axis=None if secondary is None else secondary.channel_axis,
                                 mask=mask)
    except (ValueError, TypeError) as error:
        raise _refusal(error) from None
    table = [name for name, _ in _cli_options.SETTINGS_TABLES[command]] + list(CENTRES)
    settings = {name: _plain(found["settings"][name]) for name in table if name in found["settings"]}
    return settings, {name: _plain(value) for name, value in found["estimates"].items()}


def read_images(paths, channel_axis):
    """The input files' images, all grey or all colour."""
    images = [_files.read_image(path, channel_axis) for path in paths]
    if len({image.channel_axis is None for image in images}) > 1:
        raise Refusal(f"{paths[0]} and {paths[1]}: one is colour and the other grey; expected both alike.")
    return images


def _plain(value):
    """A suggested value as JSON and repr() show it: numbers, and arrays (the
    centres) as lists, NaN (a class without pixels) as None."""
    return _finite_or_none(value.tolist()) if isinstance(value, (np.ndarray, np.generic)) else value


def settle_settings(command, given, images, suggest):
    """Every setting of the call: explicit options over the suggestion (with
    --suggest) over the defaults. Returns (settings, estimates or None)."""
    table = _cli_options.SETTINGS_TABLES[command]
    if "class_count" not in given:
        raise Refusal("--classes K is needed: the number of classes.")
    suggested, estimates = (suggested_settings(command, images, given["class_count"], given.get("mask"))
                            if suggest else ({}, None))
    settings = {name: given.get(name, suggested.get(name, default)) for name, default in table}
    missing = [_flag(name) for name, value in settings.items() if value is None]
    if missing:
        raise Refusal(f"{' and '.join(missing)} {'is' if len(missing) == 1 else 'are'} needed (no default), or "
                      "--suggest to take them from the image.")
    for keyword in CENTRES:  # given centres over suggested ones
        if given.get(keyword) is not None or suggested.get(keyword) is not None:
            settings[keyword] = given[keyword] if given.get(keyword) is not None else suggested[keyword]
    return settings, estimates


def _with_files(given, files, image):
    """The given options with the mask and the centres read from their files."""
    given = dict(given)
    if files.get("mask"):
        given["mask"] = _files.read_mask(files["mask"], image)
    for keyword, name in CENTRES.items():
        if files.get(name):
            given[keyword] = _files.read_centres(files[name])
    return given


def run_file(command, run, given, files, suggest, progress_for):
    """Runs one input (or pair) to its outputs. `given` holds the options
    given, `files` the files of the mask and the centres; progress_for(name,
    total) makes the progress callback."""
    images = read_images(run.inputs, given.get("channel_axis"))
    given = _with_files(given, files, images[0])
    options = {option.keyword: given.get(option.keyword, option.default)
               for option in _cli_options.command_options(command)
               if not option.is_setting and option.keyword != "channel_axis"}
    call = _cli_options.FUNCTIONS[command]
    _RUNNING.name = os.path.basename(run.inputs[0])
    try:  # the suggestion's refusals and the call's are refusals of these files or options
        settings, estimates = settle_settings(command, given, images, suggest)
        progress = progress_for(os.path.basename(run.inputs[0]), settings["max_iterations"])
        labels, info = call(*(image.pixels for image in images), **settings, **options, mask=given.get("mask"),
                            channel_axis=images[0].channel_axis, return_info=True, progress=progress)
    except (ValueError, TypeError) as error:
        raise _refusal(error) from None
    labels = (labels + 1).astype(_files.label_dtype(settings["class_count"]))  # 1..K; 0 stays for outside a mask
    _files.write_labels(run.labels, labels, images[0])
    if run.info is not None:
        _files.write_json(run.info, info_content(command, run, settings, options, images[0].channel_axis, info,
                                                     estimates))
    if run.preview is not None:
        title = f"edgeseg {command} {', '.join(os.path.basename(path) for path in run.inputs)}: " + ", ".join(
            f"{name} {value}" for name, value in settings.items() if name not in CENTRES) + f"\n{_outcome(info)}"
        _preview.write_preview(run.preview, images[0].pixels, images[0].channel_axis, labels, title,
                               _files.write_whole)


def info_content(command, run, settings, options, channel_axis, info, estimates):
    """The run's info as JSON values, with what made it."""
    arrays = lambda values: _finite_or_none(np.asarray(values).tolist())  # noqa: E731
    content = {
        "command": command,
        "inputs": list(run.inputs),
        "labels": run.labels,
        "label_values": "class k (0 to K-1) is label k+1; 0 is outside the mask",
        "settings": {name: _plain(np.asarray(value)) if name in CENTRES else value
                     for name, value in dict(settings, **options, channel_axis=channel_axis).items()},
        "iterations": info.iterations,
        "converged": info.converged,
        "energy": _finite_or_none(info.energy),
        "energies": arrays(info.energies),
        "centres": arrays(info.centres),
        "counts": arrays(info.counts),
    }
    if info.secondary_centres is not None:
        content["secondary_centres"] = arrays(info.secondary_centres)
    if estimates is not None:
        content["suggestion_estimates"] = estimates
    return content


def _finite_or_none(value):
    """JSON has no NaN or infinity: such values (an energy before any
    iteration, a centre of no pixels) become null."""
    if isinstance(value, list):
        return [_finite_or_none(item) for item in value]
    return None if isinstance(value, float) and not math.isfinite(value) else value


def _outcome(info):
    ending = "converged" if info.converged else "stopped at the iteration limit"
    return f"{info.iterations} iterations, {ending}; pixels per label: " + ", ".join(
        f"{label + 1}: {count}" for label, count in enumerate(info.counts))


def _flag(keyword):
    return _cli_options.OPTION_NAMES.get(keyword, ("--" + keyword.replace("_", "-"),))[0]


def _refusal(error):
    """The command line's refusal of a call's error: a setting the error
    names as data (its `keyword`) is named by its option instead."""
    keyword = getattr(error, "keyword", None)
    return Refusal(str(error) if keyword is None else f"{_flag(keyword)}: {error.reason}")


class ProgressDisplay:
    """The progress callbacks of a command line run: a bar per file on a
    terminal, plain lines otherwise or when asked, nothing when quiet. Every
    callback also stops its call once stop() was called (Ctrl-C reaches only
    the main thread; calls on other threads stop at their next iteration)."""

    def __init__(self, command, mode):
        self.command, self.mode = command, mode  # mode: "bar", "lines" or "quiet"
        self.stopping = threading.Event()
        self.free_rows = list(range(64))
        self.lock = threading.Lock()

    def stop(self):
        self.stopping.set()

    def __call__(self, name, total):
        show = None
        if self.mode == "lines":
            show = functools.partial(self.print_lines, name)
        elif self.mode == "bar":
            show = _Bar(self, name, total)

        def report(iteration_report):
            if self.stopping.is_set():
                raise KeyboardInterrupt
            if show is not None:
                show(iteration_report)

        return report

    def print_lines(self, name, report):
        """The lines progress=True prints, each after the file's name: files
        run side by side print into one stream."""
        text = "".join(f"{name}: {line}" for line in report.lines.splitlines(keepends=True))
        with self.lock:
            print(text, end="", file=sys.stdout, flush=True)


class _Bar:
    """A tqdm bar over the iterations, with the energy's change."""

    def __init__(self, display, name, total):
        from tqdm import tqdm

        with display.lock:
            self.row = display.free_rows.pop(0)
        self.display, self.previous = display, None
        self.bar = tqdm(total=total, desc=f"{display.command} {name}", unit="it", position=self.row, leave=True,
                        file=sys.stderr, dynamic_ncols=True)

    def __call__(self, report):
        change = "" if self.previous is None else f", change {report.energy - self.previous:.3g}"
        self.previous = report.energy
        phase = "edge" if report.edge_phase else "plain"
        self.bar.set_postfix_str(f"{phase}, energy {report.energy:.6g}{change}", refresh=False)
        self.bar.update(1)
        if report.last:
            if report.converged:
                self.bar.total = self.bar.n  # done early: a full bar
            self.bar.set_postfix_str(f"energy {report.energy:.6g}{change}, "
                                     f"{'converged' if report.converged else 'iteration limit'}")
            self.bar.close()
            with self.display.lock:
                self.display.free_rows.append(self.row)
                self.display.free_rows.sort()
