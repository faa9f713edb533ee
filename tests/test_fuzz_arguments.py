"""Property tests of the argument layer: random mixes of positional and
keyword arguments, random objects for every parameter, random layouts.
Each call must end as the same call on contiguous copies of its arrays ends
(the contiguity-bound kernels excepted, which refuse non-contiguous views),
leave its inputs untouched and no hold on a parameter object behind.  The
texts of refusals are pinned by the table in velkor_testing."""
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from velkor_testing import LAYOUTS, PANIC, BadFloat, assert_same_bits

import velkor_core as vc

FUZZ = settings(max_examples=int(os.environ.get("VELKOR_FUZZ_EXAMPLES", "200")), deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
PARAMETERS = {
    "luminance_bw": ("img", "standard"),
    "channel_mixer_bw": ("img", "wr", "wg", "wb"),
    "color_filter_bw": ("img", "filter", "standard"),
    "zone_system": ("img", "params"),
    "local_contrast": ("img", "params", "strength"),
    "encode_srgb": ("img",),
}
FLOATS = st.one_of(st.floats(width=32), st.sampled_from([0.0, -0.0, float(np.float32(0.0031308)), float("nan"), float("inf")]))
ZONES = st.builds(vc.ZoneParams, st.dictionaries(st.integers(-3, 13), FLOATS, max_size=3))


def members(cls):
    return [getattr(cls, n) for n in dir(cls) if isinstance(getattr(cls, n), cls)]


@st.composite
def images(draw):
    c = draw(st.sampled_from([1, 1, 3, 3, 0, 2, 4]))
    values = draw(hnp.arrays(np.float32, (draw(st.integers(0, 6)), draw(st.integers(0, 6)), c), elements=FLOATS))
    return LAYOUTS[draw(st.sampled_from(sorted(LAYOUTS)))](values)


ANYTHING = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 10), st.sampled_from([2**32, -2**63 - 1, 10**400]), st.floats(),
    st.text(max_size=2), st.builds(BadFloat), st.sampled_from([np.float32(2.5), np.int64(3), 1 + 2j, [1.0], {}]),
    images(), hnp.arrays(st.sampled_from([np.float32, np.float64, ">f4"]), hnp.array_shapes(max_dims=4, max_side=2)),
    st.sampled_from(members(vc.LuminanceStandard) + members(vc.ColorFilter)),
    ZONES,
    st.builds(vc.GuidedFilterParams, st.integers(0, 6), FLOATS))
PROPER = {
    "img": images(), "standard": st.sampled_from(members(vc.LuminanceStandard)),
    "filter": st.sampled_from(members(vc.ColorFilter)),
    "params": st.builds(vc.GuidedFilterParams, st.integers(0, 6), FLOATS),
}


def proper(function, parameter):
    if parameter == "params" and function == "zone_system":
        return ZONES
    return PROPER.get(parameter, st.one_of(FLOATS, st.integers(-3, 3)))


@st.composite
def calls(draw, function):
    """(positional, keyword) arguments: mostly a correct binding of mostly proper values."""
    parameters = PARAMETERS[function]

    def value(name):
        return draw(proper(function, name) if draw(st.integers(0, 5)) else ANYTHING)

    if draw(st.integers(0, 3)):
        split = draw(st.integers(0, len(parameters)))
        return [value(p) for p in parameters[:split]], {p: value(p) for p in parameters[split:]}
    positional = [draw(ANYTHING) for _ in range(draw(st.integers(0, len(parameters) + 1)))]
    names = draw(st.lists(st.sampled_from([*parameters, "gamma"]), unique=True, max_size=3))
    return positional, {name: value(name) if name != "gamma" else 1 for name in names}


def outcome(function, args, kwargs):
    try:
        return getattr(vc, function)(*args, **kwargs)
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        return error


def contiguous(obj):
    return np.array(obj, order="C", subok=True) if isinstance(obj, np.ndarray) else obj


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("function", PARAMETERS)
@FUZZ
@given(data=st.data())
def test_call_ends_as_on_contiguous_copies(function, data):
    args, kwargs = data.draw(calls(function))
    arrays = [(a, a.tobytes()) for a in [*args, *kwargs.values()] if isinstance(a, np.ndarray)]
    got = outcome(function, args, kwargs)
    want = outcome(function, [contiguous(a) for a in args], {k: contiguous(v) for k, v in kwargs.items()})
    if isinstance(got, PANIC) and not isinstance(want, BaseException):
        assert function in ("encode_srgb", "zone_system") and str(got) == f"{function}: input must be C-contiguous"
    elif isinstance(want, BaseException):
        assert type(got) is type(want) and str(got) == str(want)
    else:
        assert type(got) is np.ndarray and got.flags.c_contiguous and type(got.base).__name__ == "PySliceContainer"
        assert_same_bits(got, want)
    for array, before in arrays:
        assert array.tobytes() == before, "the call wrote into its input"
    for obj in [*args, *kwargs.values()]:
        if type(obj) is vc.GuidedFilterParams:
            obj.radius = obj.radius  # no hold may outlive the call


def float_text(value):
    text = np.format_float_positional(single(value), unique=True, trim="-")
    return "NaN" if text == "nan" else text


def single(value):
    with np.errstate(over="ignore"):
        return np.float32(value)


@FUZZ
@given(offsets=st.dictionaries(st.integers(-2**31, 2**31 - 1), st.floats(), max_size=4),
       radius=st.integers(0, 2**32 - 1), eps=st.floats())
def test_params_show_the_shortest_single_precision_text(offsets, radius, eps):
    entries = ", ".join(f"{z}: {float_text(v)}" for z, v in sorted(offsets.items()))
    assert repr(vc.ZoneParams(offsets)) == f"ZoneParams({{{entries}}})"
    params = vc.GuidedFilterParams(radius, eps)
    assert repr(params) == f"GuidedFilterParams(radius={radius}, eps={float_text(eps)})"
    assert params.eps == float(single(eps)) or np.isnan(eps)
