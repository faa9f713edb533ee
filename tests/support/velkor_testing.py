"""Helpers shared by the test modules (on sys.path through pytest's pythonpath)."""

import ctypes

import numpy as np
import pytest

import velkor_core

libm = ctypes.CDLL("libm.so.6")
for _name in ("powf", "logf", "expf", "exp2f"):
    getattr(libm, _name).restype = ctypes.c_float
libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]
for _name in ("logf", "expf", "exp2f"):
    getattr(libm, _name).argtypes = [ctypes.c_float]


def f32_from_bits(bits):
    return np.array(bits, dtype=np.uint32).view(np.float32)


def bits_of(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def needs(name):
    """Skip a test until the named class or function is part of the module."""
    return pytest.mark.skipif(not hasattr(velkor_core, name), reason=f"velkor_core.{name} not built yet")


def panic_type():
    """The PanicException class; the module does not export it."""
    try:
        velkor_core.encode_srgb(np.zeros((2, 2, 2), np.float32)[:, ::2])
    except BaseException as error:  # PanicException derives from BaseException
        return type(error)
    raise AssertionError("a non-contiguous input was accepted")
