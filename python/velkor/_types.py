"""Array type aliases shared by the package."""

from __future__ import annotations

from typing import TypeAlias

import numpy as np
import numpy.typing as npt

FloatImage: TypeAlias = npt.NDArray[np.float32]
"""A float32 image, shape (H, W, C)."""
