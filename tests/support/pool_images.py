"""Images the pool tests encode, in this process and in fresh interpreters."""

import numpy as np

SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-40, 0.0031308, 1.0], np.float32)


def sample_image(shape=(97, 131, 3), seed=11):
    """Ordinary values with the awkward ones spread through them."""
    img = np.random.default_rng(seed).uniform(-0.5, 4.0, shape).astype(np.float32)
    flat = img.reshape(-1)
    flat[::101] = np.resize(SPECIALS, flat[::101].size)
    return img
