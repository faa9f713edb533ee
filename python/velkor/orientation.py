"""EXIF orientation applied to pixel arrays.

Pillow's `ImageOps.exif_transpose` does this for images Pillow can hold,
but 16-bit colour and float images arrive here as NumPy arrays (from
imagecodecs and tifffile), so the eight cases are applied to arrays.
"""

from __future__ import annotations

from typing import TypeVar

import numpy as np

ORIENTATION_TAG = 0x0112

_Array = TypeVar("_Array", bound=np.ndarray)


def apply_orientation(pixels: _Array, orientation: int) -> _Array:
    """Turn an (H, W, C) array stored with EXIF ``orientation`` upright.

    Values follow the EXIF/TIFF tag: 1 upright, 2 mirrored, 3 upside down,
    4 flipped, 5 transposed, 6 turned left (needs 90 degrees clockwise),
    7 transversed, 8 turned right. Unknown values leave the array as it is.
    """
    views = {
        1: lambda a: a,
        2: lambda a: a[:, ::-1],
        3: lambda a: a[::-1, ::-1],
        4: lambda a: a[::-1, :],
        5: lambda a: a.transpose(1, 0, 2),
        6: lambda a: np.rot90(a, k=-1),
        7: lambda a: a[::-1, ::-1].transpose(1, 0, 2),
        8: lambda a: np.rot90(a, k=1),
    }
    upright = views.get(orientation, views[1])(pixels)
    return np.ascontiguousarray(upright)  # type: ignore[return-value]
