"""Transparency: where a file is transparent, the print shows its paper.

A print has no alpha channel of its own, so each pixel is laid over the
paper (white unless a colour is named) by its coverage, in linear light:
light from the picture and light from the paper add, as they do where a
50 %-black halftone lies on white paper. Coverage given in display codes
would make every soft edge darker than either of its sides. A file that
stores its colours premultiplied by their coverage (TIFF's associated
alpha) is divided back first, or half-covered areas print half as bright.

White is the default because a print is paper: a logo or a cut-out on a
transparent ground should print as it looks on a white page, not on the
black that most files store under their transparent pixels. Keeping the
channel instead, for a print that will be laid over something else, is a
request (``keep_alpha``), honoured by the formats that carry it.
"""

from __future__ import annotations

import re
from typing import Any

import numpy as np
import numpy.typing as npt

from velkor._types import FloatImage
from velkor.io.transfer import srgb_to_linear

WHITE = (1.0, 1.0, 1.0)
ASSOCIATED_ALPHA, UNASSOCIATED_ALPHA = 1, 2  # TIFF ExtraSamples: premultiplied, straight
_NAMED = {"white": "#ffffff", "black": "#000000", "grey": "#808080", "gray": "#808080"}


def coverage(samples: npt.NDArray[Any], max_code: int | None) -> FloatImage:
    """An alpha channel (H, W) of codes or floats as coverage 0 to 1, (H, W, 1) float32."""
    alpha = samples.astype(np.float32)
    if max_code is not None:
        alpha /= np.float32(max_code)
    np.clip(np.nan_to_num(alpha, nan=1.0), 0.0, 1.0, out=alpha)
    return alpha[:, :, np.newaxis]


def unpremultiplied(samples: npt.NDArray[Any], alpha: FloatImage, max_code: int | None) -> npt.NDArray[Any]:
    """Colour samples stored multiplied by their coverage, divided back; of the same type.

    Where nothing is covered the colour is lost and reads as black, which
    compositing then hides.
    """
    straight: npt.NDArray[np.float32] = np.divide(samples, alpha, out=np.zeros(samples.shape, np.float32),
                                                  where=alpha > 0)
    if max_code is None:
        return straight
    codes: npt.NDArray[Any] = np.rint(np.minimum(straight, np.float32(max_code))).astype(samples.dtype)
    return codes


def composite(linear: FloatImage, alpha: FloatImage, background: tuple[float, float, float]) -> FloatImage:
    """``linear`` laid over ``background`` (linear RGB) by its coverage, in place."""
    paper = np.asarray(background, np.float32)
    linear -= paper
    linear *= alpha
    linear += paper
    return linear


def parse_background(text: str) -> tuple[float, float, float]:
    """A paper colour, "white", "black", "grey" or "#RRGGBB" in sRGB, as linear RGB."""
    code = _NAMED.get(text.strip().lower(), text.strip())
    if not re.fullmatch(r"#[0-9A-Fa-f]{6}", code):
        raise ValueError(f"invalid colour {text!r} (expected white, black, grey or #RRGGBB)")
    encoded = np.array([int(code[i:i + 2], 16) for i in (1, 3, 5)], np.float32) / np.float32(255)
    red, green, blue = (float(v) for v in srgb_to_linear(encoded))
    return red, green, blue


def tiff_alpha(
    samples: npt.NDArray[Any], colours: int, extra: tuple[int, ...],
) -> tuple[npt.NDArray[Any], FloatImage | None]:
    """The colour samples, and the coverage when the first extra sample is alpha (straight or premultiplied)."""
    if samples.ndim != 3 or samples.shape[2] <= colours or not extra or extra[0] not in (
        ASSOCIATED_ALPHA, UNASSOCIATED_ALPHA
    ):
        return samples, None
    max_code = None if samples.dtype.kind == "f" else int(np.iinfo(samples.dtype).max)
    alpha = coverage(samples[:, :, colours], max_code)
    colour = samples[:, :, :colours]
    if extra[0] == ASSOCIATED_ALPHA:
        colour = unpremultiplied(colour, alpha, max_code)
    return colour, alpha
