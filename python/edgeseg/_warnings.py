"""The warnings a run's end raises: the core decides them and writes their
texts; this module only names their classes, so that a caller can filter
them the usual way (``warnings.simplefilter("ignore", edgeseg.ConvergenceWarning)``)."""
import os
import sys
import warnings


class EmptyClassWarning(UserWarning):
    """A class ended with no pixel. The Octave commands raise the same as
    ``Sorvik:emptyClass`` and ``Tamvel:emptyClass``. Starting centres from
    the data (``initial_centres=``, as `edgeseg.suggest_settings` gives
    them) let every class start with pixels."""


class ConvergenceWarning(UserWarning):
    """The iteration limit came while the convergence test still failed
    (``Sorvik:notConverged`` and ``Tamvel:notConverged`` in Octave). Runs
    with tolerance 0 or without edge iterations are fixed-length by choice
    and raise none."""


_CLASSES = {"emptyClass": EmptyClassWarning, "notConverged": ConvergenceWarning}
_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def _caller_level():
    """The stack level of the first frame outside this package, counted as
    warnings.warn counts it from the function that calls it."""
    frame, level = sys._getframe(2), 2
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    return level


def emit(mnemonic, message):
    """Raises the warning `mnemonic` ("emptyClass" or "notConverged") with
    the core's `message`, naming the caller's line."""
    warnings.warn(message, _CLASSES[mnemonic], stacklevel=_caller_level())


def emit_all(found):
    """Raises each (mnemonic, message) of `found`."""
    for mnemonic, message in found:
        emit(mnemonic, message)
