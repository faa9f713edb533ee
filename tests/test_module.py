import pytest

import velkor_core

# Parameter names and defaults are held to the stubs by stubtest (test_frontend_typing.py).
ALL = ["LuminanceStandard", "ColorFilter", "ZoneParams", "GuidedFilterParams", "luminance_bw", "channel_mixer_bw",
       "color_filter_bw", "zone_system", "local_contrast", "encode_srgb"]
FUNCTIONS = ALL[4:]


def test_all_in_registration_order():
    assert velkor_core.__all__ == ALL


@pytest.mark.parametrize("name", ALL)
def test_registered_objects(name):
    obj = getattr(velkor_core, name)
    if name in FUNCTIONS:
        assert obj.__name__ == name and obj.__module__ == "velkor_core" and obj.__self__ is None
        assert obj.__text_signature__ and not obj.__doc__.startswith(name + "(")
    else:
        assert obj.__module__ == "builtins" and obj.__qualname__ == obj.__name__ == name
        with pytest.raises(TypeError):
            type("Sub", (obj,), {})


@pytest.mark.parametrize("make", [lambda: velkor_core.ZoneParams({5: 0.5}),
                                  lambda: velkor_core.GuidedFilterParams(8, 0.01)], ids=["zone", "guided"])
def test_params_objects_take_no_new_attributes_and_compare_by_identity(make):
    params = make()
    with pytest.raises(AttributeError):
        params.offsets = {}
    assert params != make() and {params: 1}[params] == 1
