import pathlib

import numpy as np
import pytest

from zarn._native import zarn_core as zc


def test_module_identity():
    assert zc.__name__ == "zarn._native.zarn_core"
    assert zc.__doc__ == "ZARN-P performans-kritik cekirdegi (C++/Eigen)."


def test_interpreter_gate_names_the_compiled_minor_version():
    import sys

    binary = pathlib.Path(zc.__file__).read_bytes()
    message = (
        b"Python version mismatch: module was compiled for Python %s, "
        b"but the interpreter version is incompatible: %s."
    )
    assert message in binary
    assert f"{sys.version_info.major}.{sys.version_info.minor}\0".encode() in binary


@pytest.mark.parametrize(
    "y",
    [
        [1.0, 2.0, 3.0, 4.0],
        [1, 2, 3, 4],
        (1, 2, 3, 4),
        np.array([1.0, 2.0, 3.0, 4.0]),
        np.array([[1.0], [2.0], [3.0], [4.0]]),
        np.array([1, 2, 3, 4], dtype=np.int32),
        np.array([4.0, 0.0, 3.0, 0.0, 2.0, 0.0, 1.0])[::2],
        np.asfortranarray(np.array([[1.0], [2.0], [3.0], [4.0]])),
    ],
    ids=["list", "int-list", "tuple", "1d", "column", "int32", "strided", "fortran-column"],
)
def test_float_vector_conversions(y):
    assert zc.mad(y) == 1.0


@pytest.mark.parametrize(
    "y",
    [np.ones((1, 3)), np.ones((2, 2)), np.ones((2, 1, 1)), None, "abc", [[1.0, 2.0], [3.0]]],
    ids=["row", "square", "3d", "none", "str", "ragged"],
)
def test_non_vectors_are_refused(y):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        zc.mad(y)


@pytest.mark.parametrize("k", [2.0, np.float64(2.0), "2", None, 2**31, -(2**31) - 1])
def test_int_parameters_refuse_floats_and_out_of_range(k):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        zc.mdl_score([1.0], [1.0], k)


@pytest.mark.parametrize("k", [np.int64(2), np.int32(2), 2**31 - 1, -(2**31)])
def test_int_parameters_accept_integer_like_values(k):
    assert isinstance(zc.mdl_score([1.0], [1.0], k), float)


def test_every_parameter_by_keyword_and_errors_for_unknown_or_missing():
    y = np.array([1.0, 2.0, 3.0, 5.0])
    assert zc.mdl_score(H=20, k=2, yt=[1, 2, 3, 4], yp=y) == zc.mdl_score(y, [1, 2, 3, 4], 2)
    assert zc.compute_sr(eps=1.0, yt=y, yp=y) == 1.0
    with pytest.raises(TypeError):
        zc.compute_sr(y, y)
    with pytest.raises(TypeError):
        zc.mad(x=y)
    with pytest.raises(TypeError):
        zc.mdl_score_reg(y, y, 2)
    with pytest.raises(TypeError):
        zc.mdl_score_reg(y, y, 2, 20, [1.0, 2.0], None, None)


def test_inputs_are_never_modified():
    rng = np.random.default_rng(0)
    y = rng.normal(size=101)
    yp = rng.normal(size=101)
    before = (y.copy(), yp.copy())
    zc.mad(y)
    zc.compute_sr(yp, y, 0.5)
    zc.mdl_score(yp, y, 3)
    zc.mdl_score_reg(yp, y, 2, 20, yp[:2], np.eye(2), np.eye(2), 1.0, 1.0)
    np.testing.assert_array_equal(y, before[0])
    np.testing.assert_array_equal(yp, before[1])
