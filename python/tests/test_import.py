"""The module imports from the build tree, with its error type."""

import zelm


def test_error_is_an_exception():
    assert issubclass(zelm.Error, Exception)
