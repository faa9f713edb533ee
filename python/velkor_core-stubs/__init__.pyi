# Type stubs for the velkor_core extension module. Kept in step with the
# module by mypy.stubtest (see tests/test_frontend_typing.py).

from typing import ClassVar, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "LuminanceStandard",
    "ColorFilter",
    "ZoneParams",
    "GuidedFilterParams",
    "luminance_bw",
    "channel_mixer_bw",
    "color_filter_bw",
    "zone_system",
    "local_contrast",
    "encode_srgb",
]

_Image = npt.NDArray[np.float32]

@final
class LuminanceStandard:
    """ITU-R luminance standard for B&W conversion."""

    Bt601: ClassVar[LuminanceStandard]
    Bt709: ClassVar[LuminanceStandard]
    Bt2020: ClassVar[LuminanceStandard]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class ColorFilter:
    """Wratten-style coloured-filter preset for B&W contrast control."""

    NoFilter: ClassVar[ColorFilter]
    Yellow8K2: ClassVar[ColorFilter]
    Orange21: ClassVar[ColorFilter]
    Red25A: ClassVar[ColorFilter]
    Green11X1: ClassVar[ColorFilter]
    Blue47C5: ClassVar[ColorFilter]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class ZoneParams:
    """Zone System tone offsets: zone index (0..=10) to a stop offset."""

    def __new__(cls, offsets: dict[int, float]) -> ZoneParams: ...

@final
class GuidedFilterParams:
    """Parameters for the guided filter."""

    def __new__(cls, radius: SupportsIndex, eps: SupportsFloat) -> GuidedFilterParams: ...
    @property
    def radius(self) -> int:
        """Filter radius in pixels. The window is `(2r+1) × (2r+1)`."""
    @radius.setter
    def radius(self, value: SupportsIndex, /) -> None: ...
    @property
    def eps(self) -> float:
        """Regularisation term ε. Controls the degree of smoothing."""
    @eps.setter
    def eps(self, value: SupportsFloat, /) -> None: ...

def luminance_bw(img: _Image, standard: LuminanceStandard = ...) -> _Image:
    """Convert a linear RGB image (H, W, 3) to greyscale (H, W, 1) by standard luminance weights."""

def channel_mixer_bw(img: _Image, wr: SupportsFloat, wg: SupportsFloat, wb: SupportsFloat) -> _Image:
    """Convert a linear RGB image (H, W, 3) to greyscale (H, W, 1) with free channel weights."""

def color_filter_bw(
    img: _Image, filter: ColorFilter = ..., standard: LuminanceStandard = ...
) -> _Image:
    """Convert a linear RGB image (H, W, 3) to greyscale (H, W, 1) through a coloured filter."""

def zone_system(img: _Image, params: ZoneParams) -> _Image:
    """Apply the Zone System tone curve to a C-contiguous luminance image (H, W, 1)."""

def local_contrast(img: _Image, params: GuidedFilterParams, strength: SupportsFloat) -> _Image:
    """Enhance local contrast of a luminance image (H, W, 1) with a guided filter."""

def _local_contrast_piece(img: _Image, params: GuidedFilterParams, strength: SupportsFloat,
                          rows: tuple[int, int, int], columns: tuple[int, int, int], carried: bytes,
                          carried_left: bytes) -> tuple[_Image, bytes, bytes]:
    """Rows and columns ``(extent, first, end)`` of ``local_contrast``, continuing the pieces above and to the left."""

def encode_srgb(img: _Image) -> _Image:
    """Apply the IEC 61966-2-1 sRGB transfer encoding to a C-contiguous image."""
