"""Helpers shared by the soak, fuzz, stress and large-input tests."""
import ctypes
import os

import numpy as np

from velkor_testing import panic_type, unaligned_copy  # noqa: F401 - shared with the reliability tests


def sanitized():
    """True inside a sanitizer's process, where resident memory means little."""
    with open("/proc/self/maps") as maps:
        text = maps.read()
    return "libasan" in text or "libtsan" in text


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# The interpreter's own conversions, called through ctypes, decide what the
# float and integer rules must do with an arbitrary object.
_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double
_as_long = ctypes.pythonapi.PyLong_AsLong
_as_long.argtypes = [ctypes.py_object]
_as_long.restype = ctypes.c_long


def as_double(obj):
    return _as_double(obj)


def as_long(obj):
    return _as_long(obj)


def bits(array):
    """Bytes of a float32 array in C order: compares NaNs and signed zeros too."""
    return np.ascontiguousarray(array, dtype=np.float32).tobytes()


def same_values(a, b):
    """Bit-identical, except that any NaN equals any NaN: which NaN an
    operation on two NaNs yields is the compiler's and the CPU's choice."""
    a, b = (np.ascontiguousarray(x, dtype=np.float32) for x in (a, b))
    nan = np.isnan(a)
    return a.shape == b.shape and (nan == np.isnan(b)).all() and a[~nan].tobytes() == b[~nan].tobytes()


def c_contiguous(array):
    """NumPy's C-contiguity judged on the byte strides, ignoring extent-1 axes."""
    if array.size == 0:
        return True
    expected = array.itemsize
    for extent, stride in zip(reversed(array.shape), reversed(array.strides)):
        if extent > 1 and stride != expected:
            return False
        expected *= extent
    return True


def packed_field(array):
    """The same values as a field of packed records: 5-byte strides."""
    records = np.zeros(array.shape, dtype=np.dtype([("tag", "u1"), ("value", "<f4")]))
    records["value"] = array
    return records["value"]
