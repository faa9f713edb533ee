import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from velkor_testing import bits_of

from velkor_core import GuidedFilterParams, local_contrast

f32 = np.float32


# The reference: the filter written out one pixel at a time, with Python
# floats for every double-precision step and NumPy float32 scalars for every
# single-precision one.  Only small images are practical, which is enough.
def summed_area_table(plane):
    h, w = plane.shape
    s = [[0.0] * w for _ in range(h)]
    for y in range(h):
        for x in range(w):
            above = s[y - 1][x] if y else 0.0
            left = s[y][x - 1] if x else 0.0
            diagonal = s[y - 1][x - 1] if x and y else 0.0
            s[y][x] = ((float(plane[y, x]) + above) + left) - diagonal
    return s


def window_sum(s, y, x, r):
    h, w = len(s), len(s[0])
    y0, x0 = max(y - r, 0), max(x - r, 0)
    y1, x1 = min(y + r, h - 1), min(x + r, w - 1)
    top = s[y0 - 1][x1] if y0 else 0.0
    left = s[y1][x0 - 1] if x0 else 0.0
    corner = s[y0 - 1][x0 - 1] if x0 and y0 else 0.0
    return corner + ((s[y1][x1] - top) - left), float((y1 - y0 + 1) * (x1 - x0 + 1))


def guided_filter(l, r, eps):
    h, w = l.shape
    eps = float(f32(eps))
    sum_l, sum_p = summed_area_table(l), summed_area_table(l * l)
    a = np.zeros((h, w), f32)
    b = np.zeros((h, w), f32)
    for y in range(h):
        for x in range(w):
            s1, n = window_sum(sum_l, y, x, r)
            s2, _ = window_sum(sum_p, y, x, r)
            mean = s1 / n
            variance = s2 / n - mean * mean
            denominator = eps + variance
            a_value = variance / denominator if denominator > 0 else 0.0
            a[y, x] = a_value
            b[y, x] = mean * (1.0 - a_value)
    sum_a, sum_b = summed_area_table(a), summed_area_table(b)
    q = np.zeros((h, w), f32)
    for y in range(h):
        for x in range(w):
            t1, n = window_sum(sum_a, y, x, r)
            t2, _ = window_sum(sum_b, y, x, r)
            q[y, x] = (t1 / n) * float(l[y, x]) + (t2 / n)
    return q


def reference(img, r, eps, strength):
    l = img[:, :, 0]
    q = guided_filter(l, r, eps)
    with np.errstate(all="ignore"):
        detail = (l - q) * f32(strength)
        return (l + detail)[:, :, None]


def scene(h, w, seed=0):
    """An edge and a ramp under noise, spread over a few binades."""
    rng = np.random.default_rng(seed)
    x = np.arange(w)[None, :]
    y = np.arange(h)[:, None]
    base = np.where(x < w // 2, 0.15, 0.85) + 0.02 * y
    return (base * np.exp2(rng.uniform(-0.5, 0.5, (h, w)))).astype(f32)[:, :, None]


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(bits_of(a), bits_of(b))


@pytest.mark.parametrize("shape", [(1, 1), (1, 4), (5, 1), (6, 9), (11, 7)])
@pytest.mark.parametrize("radius", [0, 1, 2, 6, 4294967295])
@pytest.mark.parametrize("eps, strength", [(0.01, 1.0), (0.0, 2.0), (-0.003, 0.5), (float("nan"), 1.0), (1e-5, -1.0)])
def test_bit_exact_against_reference(shape, radius, eps, strength):
    img = scene(*shape, seed=shape[0] * 31 + shape[1])
    out = local_contrast(img, GuidedFilterParams(radius, eps), strength)
    assert same_bits(out, reference(img, radius, eps, strength))


def test_worked_example():
    img = np.array([0, 0, 1, 1], f32).reshape(1, 4, 1)
    out = local_contrast(img, GuidedFilterParams(1, 0.01), 1.0)
    expected = np.array([-0.00717703346, -0.0143540669, 1.01435399, 1.00717711], f32)
    assert same_bits(out.ravel(), expected)
    # Without regularisation the step survives exactly.
    assert same_bits(local_contrast(img, GuidedFilterParams(1, 0.0), 1.0), img)


def test_special_values_propagate_like_the_reference():
    img = scene(5, 6, seed=3)
    img[1, 2, 0] = np.inf
    img[3, 4, 0] = np.nan
    img[0, 0, 0] = -0.0
    out = local_contrast(img, GuidedFilterParams(1, 0.01), 1.5)
    expected = reference(img, 1, 0.01, 1.5)
    assert np.array_equal(out, expected, equal_nan=True)


@pytest.mark.parametrize("value", [0.0, 0.18, 3.5])
def test_constant_image_comes_back_constant(value):
    img = np.full((40, 30, 1), value, f32)
    out = local_contrast(img, GuidedFilterParams(4, 0.01), 2.0)
    np.testing.assert_allclose(out, img, rtol=1e-6, atol=1e-7)


def test_strength_zero_returns_the_input():
    img = scene(30, 40)
    assert same_bits(local_contrast(img, GuidedFilterParams(3, 0.01), 0.0), img)


def views():
    base = scene(24, 30, seed=9)
    wide = np.concatenate([base, base[::-1]], axis=2)  # (24, 30, 2)
    return {
        "every second column": base[:, ::2],
        "every third row, reversed": base[::-3],
        "both axes reversed": base[::-1, ::-1],
        "Fortran order": np.asfortranarray(base),
        "one channel of two": wide[:, :, 1:2],
        "transposed": base.transpose(1, 0, 2),
    }


@pytest.mark.parametrize("name", list(views()))
@pytest.mark.parametrize("radius", [1, 5])
def test_views_match_contiguous_copies(name, radius):
    view = views()[name]
    params = GuidedFilterParams(radius, 0.02)
    assert same_bits(local_contrast(view, params, 1.0), local_contrast(np.ascontiguousarray(view), params, 1.0))


def test_keywords_result_and_input_untouched():
    img = scene(8, 9)
    before = img.copy()
    out = local_contrast(strength=1.0, params=GuidedFilterParams(2, 0.01), img=img)
    assert out.shape == img.shape and out.dtype == f32 and out.flags.c_contiguous and out.flags.writeable
    assert same_bits(img, before)


@pytest.mark.parametrize("shape", [(4, 5, 3), (0, 6, 2), (3, 3, 0)])
def test_channel_count_other_than_one_is_a_shape_error(shape):
    with pytest.raises(ValueError) as raised:
        local_contrast(np.zeros(shape, f32), GuidedFilterParams(2, 0.01), 1.0)
    assert str(raised.value) == (
        "shape error: local_contrast expects (H, W, 1) luminance input, got shape " + str(list(shape))
    )


@pytest.mark.parametrize("shape", [(0, 6, 1), (6, 0, 1), (0, 0, 1)])
def test_empty_image_gives_an_empty_result(shape):
    out = local_contrast(np.zeros(shape, f32), GuidedFilterParams(2, 0.01), 1.0)
    assert out.shape == shape and out.dtype == f32


class BadFloat:
    def __float__(self):
        raise TypeError("no float here")


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((np.zeros((4, 6), f32), None, "x"), TypeError, "argument 'img': 'ndarray' object is not an instance of 'ndarray'"),
        ((np.zeros((4, 6, 1), f32), None, "x"), TypeError, "argument 'params': 'None' is not an instance of 'GuidedFilterParams'"),
        ((np.zeros((4, 6, 1), f32), (2, 0.01), 1.0), TypeError, "argument 'params': 'tuple' object is not an instance of 'GuidedFilterParams'"),
        ((np.zeros((4, 6, 1), f32), GuidedFilterParams(2, 0.1), "x"), TypeError, "argument 'strength': must be real number, not str"),
        ((np.zeros((4, 6, 1), f32), GuidedFilterParams(2, 0.1), BadFloat()), TypeError, "argument 'strength': no float here"),
        ((np.zeros((4, 6, 1), f32), GuidedFilterParams(2, 0.1)), TypeError, "local_contrast() missing 1 required positional argument: 'strength'"),
        ((np.zeros((4, 6, 1), f32), GuidedFilterParams(2, 0.1), 1.0, 2), TypeError, "local_contrast() takes 3 positional arguments but 4 were given"),
    ],
)
def test_argument_errors(args, error, message):
    with pytest.raises(error) as raised:
        local_contrast(*args)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_params_are_released_when_a_later_argument_fails():
    params = GuidedFilterParams(2, 0.1)
    with pytest.raises(TypeError):
        local_contrast(np.zeros((4, 6, 1), f32), params, "x")
    params.radius = 3
    assert params.radius == 3


def test_strength_conversion_cannot_change_the_params_it_follows():
    params = GuidedFilterParams(2, 0.1)
    refused = []

    class Sneaky:
        def __float__(self):
            try:
                params.radius = 0
            except RuntimeError as error:
                refused.append(str(error))
            return 1.0

    img = scene(6, 7)
    out = local_contrast(img, params, Sneaky())
    assert refused == ["Already borrowed"]
    assert same_bits(out, local_contrast(img, GuidedFilterParams(2, 0.1), 1.0))


def run_in_background(call):
    """Starts call() on a thread; returns the thread and an event set when it ends."""
    done = threading.Event()

    def body():
        try:
            call()
        finally:
            done.set()

    thread = threading.Thread(target=body)
    thread.start()
    return thread, done


def test_setters_are_refused_while_a_call_holds_the_params():
    params = GuidedFilterParams(8, 0.01)
    img = np.ones((3000, 4000, 1), f32)
    refusals, reads = [], []
    thread, done = run_in_background(lambda: local_contrast(img, params, 1.0))
    try:
        while not done.is_set():
            try:
                params.eps = 0.01  # the same value, in case it lands before the call holds params
            except RuntimeError as error:
                refusals.append(str(error))
                reads.append((params.radius, repr(params)))  # reads still work
            time.sleep(0.001)
    finally:
        thread.join()
    assert refusals and set(refusals) == {"Already borrowed"}
    assert reads[0] == (8, "GuidedFilterParams(radius=8, eps=0.01)")
    params.eps = 0.5  # free again once the call is over
    assert params.eps == 0.5


def test_other_threads_run_while_the_kernel_runs():
    img = np.ones((3000, 4000, 1), f32)
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        start = time.perf_counter()
        local_contrast(img, GuidedFilterParams(8, 0.01), 1.0)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    assert sum(start < t < end for t in ticks) > 10


def test_bit_identical_for_any_thread_count_and_instruction_set():
    script = (
        "import hashlib, numpy as np, velkor_core as v\n"
        "x = np.random.default_rng(2).uniform(0, 1, (1301, 517, 1)).astype(np.float32)\n"
        "y = v.local_contrast(x[:, ::-1], v.GuidedFilterParams(7, 0.01), 1.5)\n"
        "print(hashlib.sha256(y.tobytes()).hexdigest())\n"
    )
    digests = set()
    for threads, simd in [("1", ""), ("2", ""), ("3", ""), ("2", "scalar")]:
        env = dict(os.environ, RAYON_NUM_THREADS=threads, VELKOR_SIMD=simd)
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        digests.add(run.stdout.strip())
    assert len(digests) == 1
