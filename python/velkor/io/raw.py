"""Camera RAW files through LibRaw (rawpy)."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from velkor._types import FloatImage
from velkor.extras import import_extra
from velkor.io.limits import check_decoded_size

# LibRaw reads these; the list decides which files velkor sends to it.
RAW_SUFFIXES = frozenset(
    {
        ".3fr", ".arw", ".cr2", ".cr3", ".crw", ".dcr", ".dng", ".erf", ".iiq",
        ".k25", ".kdc", ".mef", ".mos", ".mrw", ".nef", ".nrw", ".orf", ".pef",
        ".raf", ".raw", ".rw2", ".rwl", ".sr2", ".srf", ".srw", ".x3f",
    }
)
_MAX_CODE = np.float32(65535)


def read_raw(path: Path, memory_limit: int | None = None) -> FloatImage:
    """Develop a RAW file to linear sRGB-primary float32 (H, W, 3).

    LibRaw demosaics, applies the camera's white balance and colour matrix
    and the orientation recorded in the file, and writes 16 bits per channel
    with a linear transfer (gamma 1) and no automatic brightening, so the
    exposure is the camera's own. The sensor's size is checked against
    ``memory_limit`` before anything is developed.
    """
    rawpy = import_extra("rawpy", "raw", "reading camera RAW files")
    with rawpy.imread(str(path)) as raw:
        check_decoded_size(path, raw.sizes.height, raw.sizes.width, memory_limit)
        developed = raw.postprocess(
            gamma=(1.0, 1.0),
            no_auto_bright=True,
            output_bps=16,
            use_camera_wb=True,
            output_color=rawpy.ColorSpace.sRGB,
        )
    linear: FloatImage = np.asarray(developed, dtype=np.float32)
    linear /= _MAX_CODE
    return linear
