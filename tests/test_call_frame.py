import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velkor_core import encode_srgb

A = np.zeros((2, 3, 1), np.float32)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: encode_srgb(), "encode_srgb() missing 1 required positional argument: 'img'"),
        (lambda: encode_srgb(A, A), "encode_srgb() takes 1 positional arguments but 2 were given"),
        (lambda: encode_srgb(A, img=A), "encode_srgb() got multiple values for argument 'img'"),
        (lambda: encode_srgb(A, gamma=2), "encode_srgb() got an unexpected keyword argument 'gamma'"),
        (lambda: encode_srgb(img=A, gamma=2), "encode_srgb() got an unexpected keyword argument 'gamma'"),
        (lambda: encode_srgb([[[0.0]]]), "argument 'img': 'list' object is not an instance of 'ndarray'"),
        (lambda: encode_srgb(None), "argument 'img': 'None' is not an instance of 'ndarray'"),
        (lambda: encode_srgb(img=1.5), "argument 'img': 'float' object is not an instance of 'ndarray'"),
    ],
)
def test_generic_argument_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "array",
    [
        np.zeros((2, 2, 3), np.float64),
        np.zeros((2, 2), np.float32),
        np.zeros((1, 2, 2, 3), np.float32),
        np.zeros((2, 2, 3), np.float32).astype(">f4"),
        np.zeros((2, 2, 3), np.int32),
        np.zeros((2, 2, 3), np.float16),
    ],
    ids=["float64", "2d", "4d", "byteswapped", "int32", "float16"],
)
def test_only_native_float32_3d_arrays_are_images(array):
    with pytest.raises(TypeError) as caught:
        encode_srgb(array)
    assert str(caught.value) == "argument 'img': 'ndarray' object is not an instance of 'ndarray'"


def test_result_array_owns_a_fresh_buffer_through_its_base():
    source = np.linspace(0, 1, 24, dtype=np.float32).reshape(2, 4, 3)
    expected = encode_srgb(source.copy())
    result = encode_srgb(source)
    assert type(result) is np.ndarray and result.dtype == np.float32
    assert result.flags.c_contiguous and result.flags.writeable and not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    assert not np.shares_memory(result, source)
    del source
    result[0, 0, 0] = 5.0  # writeable and independent
    view = result[1:]
    del result
    np.testing.assert_array_equal(view, expected[1:])


def test_memmap_subclass_is_accepted_and_result_is_plain(tmp_path):
    mapped = np.memmap(tmp_path / "img.f32", dtype=np.float32, mode="w+", shape=(3, 4, 2))
    mapped[:] = 0.5
    result = encode_srgb(mapped)
    assert type(result) is np.ndarray
    np.testing.assert_array_equal(result, encode_srgb(np.asarray(mapped).copy()))


def test_unaligned_arrays_are_read_correctly():
    # frombuffer with an offset puts float32 data off the 4-byte grid.
    values = np.linspace(0.0, 2.0, 12, dtype=np.float32)
    raw = bytearray(1) + bytearray(values.tobytes())
    unaligned = np.frombuffer(raw, dtype=np.float32, offset=1).reshape(2, 2, 3)
    assert unaligned.ctypes.data % 4 != 0
    np.testing.assert_array_equal(encode_srgb(unaligned), encode_srgb(values.reshape(2, 2, 3)))


def test_packed_record_field_with_odd_stride_is_not_misread():
    # A float32 field of packed records: the stride (5 bytes) is not a multiple of 4.
    records = np.zeros(6, dtype=np.dtype([("tag", "u1"), ("value", "<f4")], align=False))
    records["value"] = np.arange(6, dtype=np.float32) / 5
    field = records["value"].reshape(1, 6, 1)
    assert field.strides[1] == 5
    with pytest.raises(BaseException) as caught:
        encode_srgb(field)  # not C-contiguous: the kernel refuses it
    assert str(caught.value) == "encode_srgb: input must be C-contiguous"
    single = records["value"][2:3].reshape(1, 1, 1)  # extent-1 axes ignore strides
    np.testing.assert_array_equal(encode_srgb(single), encode_srgb(np.array([[[0.4]]], np.float32)))


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


def run_isolated(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_failed_output_allocation_raises_memory_error_and_the_interpreter_survives():
    run = run_isolated(
        """
        import resource
        import numpy as np
        import velkor_core
        img = np.ones((4096, 4096, 8), np.float32)  # 512 MiB
        velkor_core.encode_srgb(np.ones((1, 1, 1), np.float32))  # pool and types made
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), resource.RLIM_INFINITY))
        try:
            velkor_core.encode_srgb(img)
        except MemoryError:
            print("MemoryError")
        print(velkor_core.encode_srgb(np.ones((1, 1, 1), np.float32))[0, 0, 0])
        """
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["MemoryError", "0.99999994"]


def test_numpy_interface_is_loaded_on_first_use_not_at_import():
    run = run_isolated(
        """
        import sys
        import velkor_core
        print("numpy" in sys.modules)
        """
    )
    assert run.stdout.split() == ["False"], run.stderr


def test_missing_numpy_is_a_panic_that_names_the_capsule():
    run = run_isolated(
        """
        import sys
        import velkor_core
        sys.modules["numpy"] = None  # make `import numpy` fail
        try:
            velkor_core.encode_srgb(object())
        except BaseException as e:
            print(type(e).__name__, "|", e)
        """
    )
    name, message = run.stdout.strip().split(" | ")
    assert name == "PanicException"
    assert message.startswith("Failed to access NumPy array API capsule: ")
    assert "numpy" in message


def test_the_lock_is_released_while_a_kernel_runs():
    import threading
    import time

    big = np.ones((3000, 2000, 4), np.float32)
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
        encode_srgb(big)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    assert sum(start < t < end for t in ticks) > 10
