"""What a call tells besides its labels: a report after every iteration
(progress=) and what the run found (return_info=True), under the names the
Octave command's info uses."""
import sys
import threading
from dataclasses import dataclass
from typing import Optional

import numpy as np


@dataclass(frozen=True)
class IterationReport:
    """One iteration, as `progress` receives it.

    Attributes
    ----------
    iteration : int
        Counted from 0.
    edge_phase : bool
        Whether the edge term applied in this iteration's sweep.
    energy : float
        The sweep's energy (a float32 value).
    changed : int
        Pixels whose label the sweep changed.
    seconds : float
        Since the call began.
    last : bool
        The run ends after this iteration.
    converged : bool
        With `last`: the convergence test ended the run (False: the
        iteration limit did).
    lines : str
        What ``progress=True`` prints for this iteration: its line and,
        with `last`, the line that says why the run ended; each line ends
        in a newline.
    """

    iteration: int
    edge_phase: bool
    energy: float
    changed: int
    seconds: float
    last: bool
    converged: bool
    lines: str


@dataclass(frozen=True)
class RunInfo:
    """What the run that made the labels found (``return_info=True``).

    Attributes
    ----------
    centres : ndarray of float64, (K, C)
        Class k's centre in channel c: the mean of its finite pixels in the
        labels returned (the initial centres when no iteration ran).
    secondary_centres : ndarray of float64, (K, C), or None
        Tamvel: the centres in the secondary image; None for Sorvik.
    iterations : int
        Iterations that ran.
    converged : bool
        Whether the convergence test ended the run (False: the iteration
        limit did, or none ran).
    energy : float
        The last iteration's energy; NaN when none ran.
    energies : ndarray of float64
        Every iteration's energy, in order (float32 values).
    counts : ndarray of int64, (K,)
        Pixels of each class in the labels.
    """

    centres: np.ndarray
    secondary_centres: Optional[np.ndarray]
    iterations: int
    converged: bool
    energy: float
    energies: np.ndarray
    counts: np.ndarray


def run_info(found, pair):
    shape = (found["class_count"], found["channels"])
    energies = np.array(found["energies"], dtype=np.float64)
    return RunInfo(
        centres=np.array(found["centres"], dtype=np.float64).reshape(shape),
        secondary_centres=np.array(found["secondary_centres"], dtype=np.float64).reshape(shape) if pair else None,
        iterations=found["iterations"],
        converged=found["converged"],
        energy=float(energies[-1]) if energies.size else float("nan"),
        energies=energies,
        counts=np.array(found["counts"], dtype=np.int64),
    )


def progress_callback(progress, command):
    """The extension's callback for progress= (None, True, False or a
    callable). It receives a report's fields and the lines the extension made
    of them, which progress=True prints as the Octave command does with
    "progress", true."""
    printing = isinstance(progress, (bool, np.bool_))
    if progress is None or (printing and not progress):
        return None
    if not printing and not callable(progress):
        raise TypeError(f"progress is {progress!r}; expected None, True (a line per iteration) or a callable that "
                        "takes an edgeseg.IterationReport.")

    def report(iteration, edge_phase, energy, changed, seconds, last, converged, lines):
        if printing:
            print(lines, end="", file=sys.stdout, flush=True)
        else:
            progress(IterationReport(iteration, edge_phase, energy, changed, seconds, last, converged, lines))

    return report


def interruptible():
    """Ctrl-C reaches the main thread only; calls elsewhere are not polled."""
    return threading.current_thread() is threading.main_thread()
