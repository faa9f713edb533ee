import pytest

import velkor_core

SIGNATURES = {
    "LuminanceStandard": None,
    "ColorFilter": None,
    "ZoneParams": "(offsets)",
    "GuidedFilterParams": "(radius, eps)",
    "luminance_bw": "(img, standard=...)",
    "channel_mixer_bw": "(img, wr, wg, wb)",
    "color_filter_bw": "(img, filter=..., standard=...)",
    "zone_system": "(img, params)",
    "local_contrast": "(img, params, strength)",
    "encode_srgb": "(img)",
}
ALL = list(SIGNATURES)
FUNCTIONS = ALL[4:]


def test_all_in_registration_order():
    assert velkor_core.__all__ == ALL


@pytest.mark.parametrize("name", ALL)
def test_registered_objects(name):
    obj = getattr(velkor_core, name)
    assert obj.__text_signature__ == SIGNATURES[name]
    if name in FUNCTIONS:
        assert obj.__name__ == name and obj.__module__ == "velkor_core" and obj.__self__ is None
        assert not obj.__doc__.startswith(name + "(")
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

