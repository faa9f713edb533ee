import importlib
import sys

import numpy as np
import pytest
from velkor_testing import run_python

import velkor_core

ALL = [
    "LuminanceStandard", "ColorFilter", "ZoneParams", "GuidedFilterParams",
    "luminance_bw", "channel_mixer_bw", "color_filter_bw", "zone_system", "local_contrast", "encode_srgb",
]
CLASSES = ALL[:4]
FUNCTIONS = ALL[4:]

DOC = (
    "The `velkor_core` Python extension module.\n"
    "\n"
    "Exposes the numerical kernels as Python-callable functions. All\n"
    "arrays are `numpy.float32`, C-contiguous, shape `(H, W, C)`."
)

SIGNATURES = {
    "luminance_bw": "(img, standard=...)",
    "channel_mixer_bw": "(img, wr, wg, wb)",
    "color_filter_bw": "(img, filter=..., standard=...)",
    "zone_system": "(img, params)",
    "local_contrast": "(img, params, strength)",
    "encode_srgb": "(img)",
    "ZoneParams": "(offsets)",
    "GuidedFilterParams": "(radius, eps)",
}


def test_docstring_and_all_in_registration_order():
    assert velkor_core.__doc__ == DOC
    assert velkor_core.__all__ == ALL


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    function = getattr(velkor_core, name)
    assert function.__name__ == name
    assert function.__module__ == "velkor_core"
    assert function.__self__ is None
    assert function.__text_signature__ == SIGNATURES[name]
    assert not function.__doc__.startswith(name + "(")


@pytest.mark.parametrize("name", CLASSES)
def test_class_objects(name):
    cls = getattr(velkor_core, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__ == name
    assert cls.__text_signature__ == SIGNATURES.get(name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("make", [lambda: velkor_core.ZoneParams({5: 0.5}),
                                  lambda: velkor_core.GuidedFilterParams(8, 0.01)], ids=["zone", "guided"])
def test_params_objects_take_no_new_attributes_and_compare_by_identity(make):
    params = make()
    with pytest.raises(AttributeError):
        params.offsets = {}  # no attribute beyond the documented ones
    assert params != make() and {params: 1}[params] == 1


def test_fresh_import_shares_classes_and_makes_new_functions():
    old = velkor_core
    del sys.modules["velkor_core"]
    try:
        new = importlib.import_module("velkor_core")
        assert new is not old
        for name in CLASSES:
            assert getattr(new, name) is getattr(old, name)
        for name in FUNCTIONS:
            assert getattr(new, name) is not getattr(old, name)
        assert new.__all__ == old.__all__
    finally:
        sys.modules["velkor_core"] = old


def test_reload_never_fails():
    # CPython marks an executed module and may skip the step on reload; when it
    # does run again, the names are appended a second time.
    module = importlib.import_module("velkor_core")
    before = list(module.__all__)
    try:
        assert importlib.reload(module) is module
        assert module.__all__ in (before, before + before)
        assert module.encode_srgb(np.ones((1, 1, 1), np.float32)).shape == (1, 1, 1)
    finally:
        module.__all__ = before


def test_refused_in_isolated_subinterpreters():
    # Process-wide classes and the worker pool cannot be shared safely.
    run = run_python(
        """
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        source = "try:\\n import velkor_core\\nexcept ImportError as e:\\n print('refused:', e)\\n"
        interpreters.run_string(interpreters.create(), source)
        """
    )
    assert "refused:" in run.stdout and "does not support loading in subinterpreters" in run.stdout
