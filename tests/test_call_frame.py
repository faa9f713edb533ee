"""What every kernel call shares: argument binding and conversion with their
exact texts, the result's memory and panics."""

import numpy as np
import pytest
from velkor_testing import ERRORS, HELD, PANIC, run_python

import velkor_core as vc
from velkor_core import GuidedFilterParams, ZoneParams, encode_srgb

A = np.zeros((2, 3, 1), np.float32)


@pytest.mark.parametrize("call, error, message", [case[1:] for case in ERRORS], ids=[case[0] for case in ERRORS])
def test_refused_calls_raise_exact_texts(call, error, message):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is error and str(caught.value) == message
    assert repr(HELD) == "GuidedFilterParams(radius=5, eps=0.5)"  # refused setters keep the old value
    HELD.radius = 5  # and no call left a hold on it


# Layouts, empty images and refusals of non-contiguous views are compared with
# contiguous copies by the property test in test_fuzz_arguments.py.


def test_result_array_owns_a_fresh_buffer_through_a_hidden_shared_class():
    source = np.linspace(0, 1, 24, dtype=np.float32).reshape(2, 4, 3)
    expected = encode_srgb(source.copy())
    result = encode_srgb(source)
    assert type(result) is np.ndarray and result.dtype == np.float32
    assert result.flags.c_contiguous and result.flags.writeable and not result.flags.owndata
    owner = type(result.base)
    assert owner is type(vc.luminance_bw(np.zeros((1, 1, 3), np.float32)).base)
    assert owner.__name__ == "PySliceContainer" and owner.__module__ == "builtins" and "PySliceContainer" not in dir(vc)
    with pytest.raises(TypeError):
        owner()
    del source
    result[0, 0, 0] = 5.0  # writeable and independent
    view = result[1:]
    del result
    np.testing.assert_array_equal(view, expected[1:])


def test_panic_is_a_base_exception_that_except_exception_does_not_catch():
    assert PANIC.__name__ == "PanicException" and PANIC.__module__ == "pyo3_runtime"
    assert PANIC.__bases__ == (BaseException,) and PANIC.__doc__
    with pytest.raises(PANIC) as caught:
        encode_srgb(A[::-1])
    assert caught.value.args == ("encode_srgb: input must be C-contiguous",)


def test_numpy_is_loaded_on_first_use_and_its_absence_is_a_panic_naming_the_capsule():
    run = run_python(
        """
        import sys
        import velkor_core
        assert "numpy" not in sys.modules
        sys.modules["numpy"] = None  # make `import numpy` fail
        velkor_core.encode_srgb(object())
        """,
        check=False,
    )
    last = run.stderr.splitlines()[-1]
    assert last.startswith("pyo3_runtime.PanicException: Failed to access NumPy array API capsule: ") and "numpy" in last


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


# The image itself turned into something else, or a view whose base was
# given new memory (the view's pointer would aim at the freed buffer; the
# large base's goes back to the system, so a read of it faults).
@pytest.mark.parametrize("size", [8, 4096])
@pytest.mark.parametrize("target", ["image", "base of a view"])
def test_an_image_that_stops_being_one_during_conversion_is_refused(target, size):
    base = np.ones((size, size, 3), np.float32)
    img = base if target == "image" else base[1:-1]
    replaced = base if target == "base of a view" else img
    replacement = np.zeros(6, np.float32) if target == "image" else np.zeros((2, 2, 3), np.float32)
    with pytest.raises(TypeError, match=r"^argument 'img': 'ndarray' object is not an instance of 'ndarray'$"):
        vc.channel_mixer_bw(img, ReplacesImage(replaced, replacement), 1, 1)
