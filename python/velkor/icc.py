"""Embedded ICC profiles: velkor reads every file as sRGB, and says so when it is not."""

from __future__ import annotations

import io
import warnings
from pathlib import Path

from PIL import ImageCms

from velkor.errors import ColourProfileWarning


def profile_description(icc: bytes) -> str:
    """The human-readable description inside an ICC profile ('' if unreadable)."""
    try:
        profile = ImageCms.ImageCmsProfile(io.BytesIO(icc))
        return (ImageCms.getProfileDescription(profile) or "").strip()
    except (OSError, ValueError, TypeError):  # Pillow's PyCMSError derives from OSError
        return ""


def is_srgb(description: str) -> bool:
    """Whether a profile description names sRGB (all common sRGB profiles do)."""
    return "srgb" in description.lower()


def warn_unless_srgb(icc: bytes | None, path: Path) -> None:
    """Warn when ``icc`` is an embedded profile other than sRGB."""
    if not icc:
        return
    description = profile_description(icc)
    if is_srgb(description):
        return
    shown = f"'{description}'" if description else "(unreadable)"
    warnings.warn(
        f"{path}: embedded ICC profile {shown} is not sRGB; "
        "colours are read as sRGB without conversion, so tones may shift",
        ColourProfileWarning,
        stacklevel=3,
    )
