"""EXIF orientation applied to pixel arrays.

Pillow's `ImageOps.exif_transpose` does this for images Pillow can hold,
but 16-bit colour and float images arrive here as NumPy arrays (from
imagecodecs and tifffile), so the eight cases are applied to arrays.
"""

from __future__ import annotations

from typing import Any, TypeVar, cast

import numpy as np
import numpy.typing as npt

ORIENTATION_TAG = 0x0112

_Array = TypeVar("_Array", bound=npt.NDArray[Any])


def apply_orientation(pixels: _Array, orientation: int) -> _Array:
    """Turn an (H, W, C) array stored with EXIF ``orientation`` upright.

    Values follow the EXIF/TIFF tag: 1 upright, 2 mirrored, 3 upside down,
    4 flipped, 5 transposed, 6 turned left (needs 90 degrees clockwise),
    7 transversed, 8 turned right. Unknown values leave the array as it is.
    """
    upright: npt.NDArray[Any] = pixels
    if orientation == 2:
        upright = pixels[:, ::-1]
    elif orientation == 3:
        upright = pixels[::-1, ::-1]
    elif orientation == 4:
        upright = pixels[::-1, :]
    elif orientation == 5:
        upright = pixels.transpose(1, 0, 2)
    elif orientation == 6:
        upright = np.rot90(pixels, k=-1)
    elif orientation == 7:
        upright = pixels[::-1, ::-1].transpose(1, 0, 2)
    elif orientation == 8:
        upright = np.rot90(pixels, k=1)
    return cast(_Array, np.ascontiguousarray(upright))
