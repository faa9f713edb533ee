"""Helpers shared by the test modules (on sys.path through pytest's pythonpath)."""

import ctypes
import os
import subprocess
import sys
import textwrap

import numpy as np

import velkor_core

libm = ctypes.CDLL("libm.so.6")
for _name in ("powf", "logf", "expf", "exp2f"):
    getattr(libm, _name).restype = ctypes.c_float
libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]
for _name in ("logf", "expf", "exp2f"):
    getattr(libm, _name).argtypes = [ctypes.c_float]

SUPPORT = os.path.dirname(os.path.abspath(__file__))
SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-40, 0.0031308, 1.0], np.float32)


def f32_from_bits(bits):
    return np.array(bits, dtype=np.uint32).view(np.float32)


def bits_of(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def assert_same_bits(actual, expected):
    """Bit for bit, except that any NaN matches any NaN."""
    expected = np.ascontiguousarray(expected, dtype=np.float32)
    assert actual.dtype == np.float32 and actual.shape == expected.shape
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(actual), nan)
    np.testing.assert_array_equal(bits_of(actual)[~nan], bits_of(expected)[~nan])


def sample_image(shape=(97, 131, 3), seed=11):
    """Ordinary values with the awkward ones spread through them."""
    img = np.random.default_rng(seed).uniform(-0.5, 4.0, shape).astype(np.float32)
    flat = img.reshape(-1)
    flat[::101] = np.resize(SPECIALS, flat[::101].size)
    return img


def unaligned_copy(array):
    """A C-contiguous float32 copy whose data starts one byte off the float grid."""
    raw = bytearray(array.size * 4 + 1)
    out = np.frombuffer(raw, np.float32, array.size, offset=1).reshape(array.shape)
    out[...] = array
    return out


def panic_type():
    """The PanicException class; the module does not export it."""
    try:
        velkor_core.encode_srgb(np.zeros((2, 2, 2), np.float32)[:, ::2])
    except BaseException as error:  # PanicException derives from BaseException
        return type(error)
    raise AssertionError("a non-contiguous input was accepted")


def run_python(code, check=True, **env):
    """Runs `code` in a fresh interpreter that can import this module; a
    keyword set to None removes that variable.  Returns the finished process."""
    environment = dict(os.environ, PYTHONPATH=SUPPORT)
    for name, value in env.items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=environment,
                          capture_output=True, text=True, timeout=120)
    if check:
        assert done.returncode == 0, done.stderr
    return done
