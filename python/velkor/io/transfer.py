"""sRGB decoding: from encoded file values to linear light.

This is the inverse of the IEC 61966-2-1 curve that `velkor_core.encode_srgb`
applies at the end of a pipeline, computed in float32 like the kernels.
"""

from __future__ import annotations

import functools

import numpy as np
import numpy.typing as npt

from velkor._types import FloatImage
from velkor.model.bands import each_band

_THRESHOLD = np.float32(0.04045)
_SLOPE = np.float32(12.92)
_SCALE = np.float32(1.055)
_OFFSET = np.float32(0.055)
_GAMMA = np.float32(2.4)
# Images of more values than this are decoded a band at a time.
_BAND_VALUES = 1 << 21


def srgb_to_linear(encoded: FloatImage) -> FloatImage:
    """Decode sRGB-encoded values in [0, 1] to linear light, in float32."""
    v = np.asarray(encoded, dtype=np.float32)
    linear_segment = v / _SLOPE
    # Clamp the base at zero so that values in the linear segment (which
    # np.where discards) never produce NaN warnings in the power segment.
    power_segment = np.power(np.maximum((v + _OFFSET) / _SCALE, np.float32(0)), _GAMMA)
    return np.where(v <= _THRESHOLD, linear_segment, power_segment).astype(np.float32)


@functools.cache
def _decode_table(max_code: int) -> FloatImage:
    codes = np.arange(max_code + 1, dtype=np.float32) / np.float32(max_code)
    table = srgb_to_linear(codes)
    table.flags.writeable = False
    return table


def decode_integer_srgb(
    codes: npt.NDArray[np.uint8] | npt.NDArray[np.uint16], max_code: int
) -> FloatImage:
    """Decode unsigned integer sRGB codes (0..max_code) to linear float32.

    A lookup table is both faster and identical to decoding each value,
    since an 8- or 16-bit file has at most 65536 distinct codes.
    """
    table = _decode_table(max_code)
    if max_code != np.iinfo(codes.dtype).max:  # codes the table may not cover must raise, not clip
        strict: FloatImage = table[codes]
        return strict
    # np.take's "clip" mode is NumPy's fastest gather, a third faster than
    # fancy indexing; it never clips here, since the table has a value for
    # every code the type can hold. Into a large output it is fast only a
    # band at a time: whole, it takes twice as long.
    if codes.size <= _BAND_VALUES:
        return np.take(table, codes, mode="clip")
    decoded = np.empty(codes.shape, np.float32)
    each_band(codes.shape[0], max(1, _BAND_VALUES // max(1, codes[0].size)),
              lambda rows: np.take(table, codes[rows], out=decoded[rows], mode="clip"))
    return decoded
