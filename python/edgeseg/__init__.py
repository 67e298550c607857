"""Edge-weighted clustering segmentation of numpy arrays.

Two commands, with the labels of the Octave commands of the same names bit
for bit:

sorvik
    Segments an image or a volume (grey or with channels) into K classes by
    clustering its values with an edge term that favours the labels of the
    neighbours.
tamvel
    Does the same for two images of one geometry, such as two MR weightings
    of one slice, with an edge-aware penalty and a narrow band.

suggest_settings
    Suggests the settings of either from the image's noise and classes.
Sorvik
    The first as an estimator in scikit-learn's style (fit_predict,
    cluster_centers_, n_iter_).

EmptyClassWarning, ConvergenceWarning
    Raised when a run ends with a class without pixels, or at the iteration
    limit without converging.

Axes follow scikit-image: (rows, columns), (planes, rows, columns), and
either with a channel axis named by ``channel_axis``. Labels are int64
arrays of the spatial shape (``LABEL_DTYPE``).
"""
from ._commands import LABEL_DTYPE, sorvik, tamvel
from ._estimator import Sorvik
from ._runs import IterationReport, RunInfo
from ._suggest import suggest_settings
from ._warnings import ConvergenceWarning, EmptyClassWarning

__all__ = ["sorvik", "tamvel", "suggest_settings", "Sorvik", "IterationReport", "RunInfo", "LABEL_DTYPE",
           "EmptyClassWarning", "ConvergenceWarning"]
__version__ = "1.0.0"
