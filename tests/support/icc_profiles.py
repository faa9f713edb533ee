"""Minimal ICC profiles built for the tests and the fidelity bench, for profiles no library ships."""

import struct

import numpy as np


def icc(space: bytes, pcs: bytes, tags: list[tuple[bytes, bytes]], kind: bytes = b"mntr") -> bytes:
    """A minimal ICC v2 profile: D50 white point and ``tags``."""
    tags = [(b"wtpt", b"XYZ \0\0\0\0" + struct.pack(">3i", 63190, 65536, 54061)), *tags]
    offset, table, body = 132 + 12 * len(tags), b"", b""
    for signature, data in tags:
        table += struct.pack(">4sII", signature, offset + len(body), len(data))
        body += data + b"\0" * (-len(data) % 4)
    header = struct.pack(">I4sI4s4s4s12x4s", offset + len(body), b"lcms", 0x02100000, kind, space, pcs, b"acsp")
    header = header.ljust(68, b"\0") + struct.pack(">3i", 63190, 65536, 54061)
    return header.ljust(128, b"\0") + struct.pack(">I", len(tags)) + table + body


def lut16(curves_in: list, grid: np.ndarray) -> bytes:
    """An 'mft2' tag to XYZ: input curves, a grid of XYZ (u1.15), straight output curves."""
    u16 = lambda a: np.round(np.clip(np.asarray(a, float), 0, 1) * 65535).astype(">u2").tobytes()  # noqa: E731
    return (b"mft2\0\0\0\0" + struct.pack(">4B9i2H", len(curves_in), 3, grid.shape[0], 0, 65536, 0, 0, 0, 65536,
                                           0, 0, 0, 65536, len(curves_in[0]), 2)
            + u16(curves_in) + u16(grid.reshape(-1) * 32768 / 65535) + u16([[0, 1]] * 3))


SRGB_D50 = np.array([[0.4360747, 0.3850649, 0.1430804], [0.2225045, 0.7168786, 0.0606169],
                     [0.0139322, 0.0971045, 0.7141733]])


GREY_LSTAR = icc(b"GRAY", b"Lab ", [(b"kTRC", b"curv\0\0\0\0" + struct.pack(">I", 0))])  # L* = 100 code
# Lookup tables: 4096-step input curves, a 2-point grid of sRGB's colorants.
RGB_LUT = icc(b"RGB ", b"XYZ ", [(b"A2B0", lut16([np.linspace(0, 1, 4096) ** 1.8] * 3,
                                                np.stack(np.meshgrid(*[[0, 1]] * 3, indexing="ij"), -1) @ SRGB_D50.T))])


def cmyk_grid(black: float) -> np.ndarray:
    c, m, y, k = np.meshgrid(*[np.linspace(0, 1, 5)] * 4, indexing="ij")
    light = np.stack([(1 - c) * (1 - k), (1 - m) * (1 - k), (1 - y) * (1 - k)], -1) ** 2
    return (light * (1 - black) + black) @ SRGB_D50.T


# A printer's profile whose perceptual (A2B0) and colorimetric (A2B1) tables differ, and whose black is grey.
CMYK = icc(b"CMYK", b"XYZ ", [(b"A2B0", lut16([np.linspace(0, 1, 256)] * 4, cmyk_grid(0.03))),
                              (b"A2B1", lut16([np.linspace(0, 1, 256)] * 4, cmyk_grid(0.06)))], b"prtr")
