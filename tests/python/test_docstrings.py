"""The examples of the docstrings run and print what they show."""
import doctest

import edgeseg
from edgeseg import _commands, _estimator, _suggest


def test_docstring_examples():
    assert doctest.testmod(_commands).failed == 0
    assert doctest.testmod(_estimator).failed == 0
    assert doctest.testmod(_suggest).failed == 0
    assert "Examples" in edgeseg.sorvik.__doc__ and "Examples" in edgeseg.tamvel.__doc__
