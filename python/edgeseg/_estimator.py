"""Sorvik as an estimator in scikit-learn's style, for code written against
its clustering estimators. A thin shell over edgeseg.sorvik."""
from ._arguments import NOT_GIVEN, setting_defaults
from ._commands import sorvik

_PARAMETERS = ("class_count", "window_size", "edge_weight", "tolerance", "max_iterations", "last_plain_iteration",
               "channel_axis", "threads", "initial_centres")


class Sorvik:
    """Edge-weighted clustering of an image's pixels, as `edgeseg.sorvik`.

    Parameters
    ----------
    class_count, window_size, edge_weight, tolerance, max_iterations, last_plain_iteration, channel_axis, threads
        As for `edgeseg.sorvik`.
    initial_centres : (K, C) array_like, optional
        Where the classes start, as for `edgeseg.sorvik`; as scikit-learn's
        ``KMeans(init=array)``, a property of the model, used by every fit.

    Attributes
    ----------
    labels_ : ndarray of int64
        The labels of the image last fitted, of its spatial shape.
    cluster_centers_ : ndarray of float64, (class_count, channels)
        The class centres.
    n_iter_ : int
        Iterations that ran.
    converged_ : bool
        Whether the convergence test ended the run.
    energies_ : ndarray of float64
        Every iteration's energy.
    counts_ : ndarray of int64
        Pixels of each class.

    Notes
    -----
    Unlike scikit-learn's estimators, `fit` takes an image, not a table of
    samples: the edge term needs every pixel's neighbours. There is no
    `predict` for new images, since a pixel's class depends on the labels
    around it.

    The mask is an argument of `fit` and `fit_predict`, as scikit-learn's
    ``sample_weight`` is: it belongs to the image fitted, not to the model,
    so it is no parameter (`get_params` and `set_params` leave it out) and
    is not kept. A ``numpy.ma`` masked array as the image masks its masked
    pixels, as for `edgeseg.sorvik`.

    Examples
    --------
    >>> import numpy as np
    >>> import edgeseg
    >>> image = np.repeat([[40.0, 160.0]], 16, axis=1).repeat(32, axis=0)
    >>> model = edgeseg.Sorvik(class_count=2, window_size=3, edge_weight=100)
    >>> model.fit_predict(image)[0, [0, -1]]
    array([0, 1])
    >>> model.cluster_centers_.ravel(), model.counts_
    (array([ 40., 160.]), array([512, 512]))
    """

    @setting_defaults("sorvik")
    def __init__(self, class_count=None, *, window_size=None, edge_weight=None, tolerance=None, max_iterations=None,
                 last_plain_iteration=None, channel_axis=NOT_GIVEN, threads=1, initial_centres=None):
        self.class_count = class_count
        self.window_size = window_size
        self.edge_weight = edge_weight
        self.tolerance = tolerance
        self.max_iterations = max_iterations
        self.last_plain_iteration = last_plain_iteration
        self.channel_axis = channel_axis
        self.threads = threads
        self.initial_centres = initial_centres

    def get_params(self, deep=True):
        return {name: getattr(self, name) for name in _PARAMETERS}

    def set_params(self, **parameters):
        for name, value in parameters.items():
            if name not in _PARAMETERS:
                raise ValueError(f"Sorvik has no parameter {name!r}; its parameters are {', '.join(_PARAMETERS)}.")
            setattr(self, name, value)
        return self

    def fit(self, image, y=None, *, mask=None):
        """Segments `image` (inside `mask`, as `edgeseg.sorvik` takes it;
        -1 outside); `y` is ignored. Returns the estimator."""
        self.labels_, info = sorvik(image, **self.get_params(), mask=mask, return_info=True)
        self.cluster_centers_ = info.centres
        self.n_iter_ = info.iterations
        self.converged_ = info.converged
        self.energies_ = info.energies
        self.counts_ = info.counts
        return self

    def fit_predict(self, image, y=None, *, mask=None):
        """Segments `image` (inside `mask`) and returns its labels."""
        return self.fit(image, mask=mask).labels_
