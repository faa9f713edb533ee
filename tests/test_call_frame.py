"""What every kernel call shares: argument binding, image acceptance, shape
and layout refusals, the result's memory, panics, and the released lock."""

import threading
import time

import numpy as np
import pytest
from velkor_testing import panic_type, run_python

import velkor_core as vc
from velkor_core import GuidedFilterParams, ZoneParams, encode_srgb

A = np.zeros((2, 3, 1), np.float32)
KERNELS = {
    "luminance_bw": vc.luminance_bw,
    "color_filter_bw": vc.color_filter_bw,
    "channel_mixer_bw": lambda a: vc.channel_mixer_bw(a, 1, 1, 1),
    "zone_system": lambda a: vc.zone_system(a, ZoneParams({5: 0.5})),
    "local_contrast": lambda a: vc.local_contrast(a, GuidedFilterParams(2, 0.01), 1.0),
    "encode_srgb": encode_srgb,
}


RGB = np.zeros((2, 2, 3), np.float32)
Std = vc.LuminanceStandard


class BadFloat:
    def __float__(self):
        raise TypeError("no float here")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: encode_srgb(), TypeError, "encode_srgb() missing 1 required positional argument: 'img'"),
        (lambda: encode_srgb(A, A), TypeError, "encode_srgb() takes 1 positional arguments but 2 were given"),
        (lambda: encode_srgb(A, img=A), TypeError, "encode_srgb() got multiple values for argument 'img'"),
        (lambda: encode_srgb(A, gamma=2), TypeError, "encode_srgb() got an unexpected keyword argument 'gamma'"),
        (lambda: encode_srgb([[[0.0]]]), TypeError, "argument 'img': 'list' object is not an instance of 'ndarray'"),
        (lambda: encode_srgb(None), TypeError, "argument 'img': 'None' is not an instance of 'ndarray'"),
        # Only native float32 arrays of three axes are images.
        (lambda: encode_srgb(RGB.astype(np.float64)), TypeError, "argument 'img': 'ndarray' object is not an instance of 'ndarray'"),
        (lambda: vc.luminance_bw(RGB[:, :, 0]), TypeError, "argument 'img': 'ndarray' object is not an instance of 'ndarray'"),
        (lambda: vc.local_contrast(RGB.astype(">f4"), None, "x"), TypeError, "argument 'img': 'ndarray' object is not an instance of 'ndarray'"),
        (lambda: vc.luminance_bw(RGB, 1), TypeError, "argument 'standard': 'int' object is not an instance of 'LuminanceStandard'"),
        (lambda: vc.color_filter_bw(RGB, Std.Bt709), TypeError, "argument 'filter': 'LuminanceStandard' object is not an instance of 'ColorFilter'"),
        (lambda: vc.luminance_bw(RGB, Std.Bt709, 3), TypeError, "luminance_bw() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: vc.channel_mixer_bw(RGB), TypeError, "channel_mixer_bw() missing 3 required positional arguments: 'wr', 'wg', and 'wb'"),
        (lambda: vc.channel_mixer_bw(RGB, 1, 1, "1"), TypeError, "argument 'wb': must be real number, not str"),
        (lambda: vc.channel_mixer_bw(RGB, 10**400, 0, 0), OverflowError, "int too large to convert to float"),
        # Arguments are converted in order: the bad image is reported first.
        (lambda: vc.channel_mixer_bw(None, "x", 0, 0), TypeError, "argument 'img': 'None' is not an instance of 'ndarray'"),
        (lambda: vc.zone_system(A, {5: 0.5}), TypeError, "argument 'params': 'dict' object is not an instance of 'ZoneParams'"),
        (lambda: vc.local_contrast(A, None, "x"), TypeError, "argument 'params': 'None' is not an instance of 'GuidedFilterParams'"),
        (lambda: vc.local_contrast(A, GuidedFilterParams(2, 0.1), BadFloat()), TypeError, "argument 'strength': no float here"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error and str(caught.value) == message


def test_result_array_owns_a_fresh_buffer_through_a_hidden_shared_class():
    source = np.linspace(0, 1, 24, dtype=np.float32).reshape(2, 4, 3)
    expected = encode_srgb(source.copy())
    result = encode_srgb(source)
    assert type(result) is np.ndarray and result.dtype == np.float32
    assert result.flags.c_contiguous and result.flags.writeable and not result.flags.owndata
    owner = type(result.base)
    assert owner is type(encode_srgb(A).base) and owner.__name__ == "PySliceContainer"
    assert owner.__module__ == "builtins" and "PySliceContainer" not in dir(vc)
    with pytest.raises(TypeError):
        owner()
    assert not np.shares_memory(result, source)
    del source
    result[0, 0, 0] = 5.0  # writeable and independent
    view = result[1:]
    del result
    np.testing.assert_array_equal(view, expected[1:])


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize("size", [(0, 5), (4, 0), (0, 0)])
def test_empty_images_give_empty_results(name, size):
    channels = 3 if name.endswith("_bw") else 1
    # Strides of empty arrays are never examined.
    img = np.zeros((size[0], size[1] * 2, channels), np.float32)[:, ::2]
    out = KERNELS[name](img)
    assert out.shape == size + (1 if name != "encode_srgb" else channels,) and out.dtype == np.float32


@pytest.mark.parametrize(
    "name, shape, message",
    [
        ("luminance_bw", (2, 2, 4), "shape error: expected (H, W, 3) RGB array, got shape [2, 2, 4]"),
        ("zone_system", (4, 6, 3), "shape error: zone_system expects (H, W, 1) luminance input, got shape [4, 6, 3]"),
        ("local_contrast", (0, 6, 2), "shape error: local_contrast expects (H, W, 1) luminance input, got shape [0, 6, 2]"),
        # The shape is checked before the layout.
        ("zone_system", (4, 12, 3), "shape error: zone_system expects (H, W, 1) luminance input, got shape [4, 6, 3]"),
    ],
)
def test_channel_count_is_a_shape_error(name, shape, message):
    img = np.zeros(shape, np.float32)
    with pytest.raises(ValueError) as raised:
        KERNELS[name](img[:, ::2] if shape == (4, 12, 3) else img)
    assert str(raised.value) == message


NON_CONTIGUOUS = {
    "every second column": lambda a: a[:, ::2],
    "reversed rows": lambda a: a[::-1],
    "reversed channels": lambda a: np.repeat(a, 2, axis=2)[:, :, ::-2],
    "broadcast rows": lambda a: np.broadcast_to(a[:1], a.shape),
    # Packed records: a float32 field whose stride (5 bytes) is not a multiple of 4.
    "record field": lambda a: np.zeros(a.size, [("tag", "u1"), ("value", "<f4")])["value"].reshape(a.shape),
}


@pytest.mark.parametrize("layout", NON_CONTIGUOUS.values(), ids=NON_CONTIGUOUS.keys())
@pytest.mark.parametrize("name, params", [("encode_srgb", ()), ("zone_system", (ZoneParams({5: 0.5}),)),
                                          ("zone_system", (ZoneParams({}),))])
def test_non_contiguous_input_panics(layout, name, params):
    img = layout(np.ones((4, 6, 1), np.float32))
    with pytest.raises(panic_type()) as raised:
        getattr(vc, name)(img, *params)
    assert str(raised.value) == f"{name}: input must be C-contiguous"


def extent_one_views():
    base = np.linspace(0.01, 4.0, 6, dtype=np.float32)
    yield "odd strides", np.lib.stride_tricks.as_strided(base, shape=(1, 6, 1), strides=(7 * 4, 4, -36 * 4))
    yield "reversed single row", base.reshape(1, 6, 1)[::-1]
    yield "one column", np.ascontiguousarray(base.reshape(6, 1, 1))[:, :, ::-1]
    records = np.zeros(3, [("tag", "u1"), ("value", "<f4")])
    records["value"] = base[:3]
    yield "record field", records["value"][1:2].reshape(1, 1, 1)
    yield "unaligned", np.frombuffer(b"\0" + base.tobytes(), np.float32, count=6, offset=1).reshape(2, 3, 1)


@pytest.mark.parametrize("view", [v for _, v in extent_one_views()], ids=[n for n, _ in extent_one_views()])
@pytest.mark.parametrize("name", ["encode_srgb", "zone_system"])
def test_layouts_numpy_calls_contiguous_are_accepted(view, name):
    np.testing.assert_array_equal(KERNELS[name](view), KERNELS[name](view.copy()))


def test_panic_is_a_base_exception_that_except_exception_does_not_catch():
    strided = np.zeros((4, 4, 3), np.float32)[:, ::2]
    with pytest.raises(BaseException) as caught:
        try:
            encode_srgb(strided)
        except Exception:  # pragma: no cover - the point is that this does not run
            pytest.fail("PanicException was caught by `except Exception`")
    panic = type(caught.value)
    assert panic.__name__ == "PanicException" and panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,)
    assert caught.value.args == ("encode_srgb: input must be C-contiguous",)
    assert panic.__doc__


def test_numpy_is_loaded_on_first_use_and_its_absence_is_a_panic_naming_the_capsule():
    run = run_python(
        """
        import sys
        import velkor_core
        print("numpy" in sys.modules)
        sys.modules["numpy"] = None  # make `import numpy` fail
        try:
            velkor_core.encode_srgb(object())
        except BaseException as e:
            print(type(e).__name__, "|", e)
        """
    )
    loaded, failure = run.stdout.strip().split("\n")
    name, message = failure.split(" | ")
    assert loaded == "False" and name == "PanicException"
    assert message.startswith("Failed to access NumPy array API capsule: ") and "numpy" in message


@pytest.mark.parametrize(
    "call",
    [
        lambda: encode_srgb(np.ones((3000, 2000, 4), np.float32)),
        lambda: vc.local_contrast(np.ones((3000, 4000, 1), np.float32), GuidedFilterParams(8, 0.01), 1.0),
    ],
    ids=["encode_srgb", "local_contrast"],
)
def test_the_lock_is_released_while_a_kernel_runs(call):
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
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    assert sum(start < t < end for t in ticks) > 10


class ReplacesImage:
    """A float whose conversion gives the image new memory, freeing the old."""

    def __init__(self, img, replacement):
        self.img, self.replacement = img, replacement

    def __float__(self):
        new = self.replacement
        self.img.__setstate__((1, new.shape, new.dtype, False, new.tobytes()))
        return 1.0


REPLACED = {
    "channel_mixer_bw": (3, lambda img, weight: vc.channel_mixer_bw(img, weight, 1.0, 1.0)),
    "local_contrast": (1, lambda img, strength: vc.local_contrast(img, GuidedFilterParams(1, 0.01), strength)),
}


# 4096 x 4096: the old memory goes back to the system, so a read of it faults.
@pytest.mark.parametrize("size", [8, 4096])
@pytest.mark.parametrize("name", list(REPLACED))
def test_the_kernel_reads_the_image_as_it_is_after_the_last_conversion(name, size):
    channels, call = REPLACED[name]
    img = np.ones((size, size, channels), np.float32)
    replacement = np.random.default_rng(size).random((2, 3, channels), dtype=np.float32)
    assert np.array_equal(call(img, ReplacesImage(img, replacement)), call(replacement, 1.0))


def test_an_image_that_stops_being_one_during_conversion_is_refused():
    img = np.ones((8, 8, 3), np.float32)
    with pytest.raises(TypeError, match=r"^argument 'img': 'ndarray' object is not an instance of 'ndarray'$"):
        vc.channel_mixer_bw(img, ReplacesImage(img, np.zeros(6, np.float32)), 1, 1)
