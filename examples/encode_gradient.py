"""Encode a generated linear-light gradient to display sRGB with velkor_core."""

import sys

import numpy as np

import velkor_core

linear = np.linspace(0.0, 1.0, 256 * 3, dtype=np.float32).reshape(16, 16, 3)
display = velkor_core.encode_srgb(linear)
print(f"encoded {display.shape} float32 image; mid-grey 0.18 -> {velkor_core.encode_srgb(np.full((1, 1, 1), 0.18, np.float32))[0, 0, 0]:.6f}")
print(f"range {display.min():.6f} .. {display.max():.6f}")
if len(sys.argv) > 1:
    np.save(sys.argv[1], display)
    print(f"saved {sys.argv[1]}")
