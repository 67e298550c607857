"""The examples of the docstrings run and print what they show; help()
shows the package's own names."""
import doctest
import pydoc

import numpy as np

import edgeseg
from edgeseg import _commands, _estimator, _suggest


def test_docstring_examples():
    assert doctest.testmod(_commands).failed == 0
    assert doctest.testmod(_estimator).failed == 0
    assert doctest.testmod(_suggest).failed == 0
    assert "Examples" in edgeseg.sorvik.__doc__ and "Examples" in edgeseg.tamvel.__doc__


def test_help_of_the_package_shows_its_own_names():
    text = pydoc.render_doc(edgeseg, renderer=pydoc.plaintext)
    assert np.int64.__doc__.strip().splitlines()[0] not in text
    assert "LABEL_DTYPE = dtype('int64')" in text and edgeseg.LABEL_DTYPE == np.int64
