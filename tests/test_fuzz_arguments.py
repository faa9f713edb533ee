"""Property tests of the argument layer: random mixes of positional and
keyword arguments and random objects for every parameter.  Each call must
either give the result a clean, contiguous call gives, or raise exactly the
exception and message the binding and conversion rules name; it must leave
its inputs untouched and no hold on a parameter object behind."""
import math
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import velkor_core as vc

from reliability_support import (
    as_double, as_long, bits, c_contiguous, packed_field, panic_type, same_values, unaligned_copy)

FUZZ = settings(max_examples=int(os.environ.get("VELKOR_FUZZ_EXAMPLES", "200")), deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
PANIC = panic_type()

SIGNATURES = {
    "luminance_bw": (("img", "standard"), 1),
    "channel_mixer_bw": (("img", "wr", "wg", "wb"), 4),
    "color_filter_bw": (("img", "filter", "standard"), 1),
    "zone_system": (("img", "params"), 2),
    "local_contrast": (("img", "params", "strength"), 3),
    "encode_srgb": (("img",), 1),
    "ZoneParams": (("offsets",), 1),
    "GuidedFilterParams": (("radius", "eps"), 2),
}
CHANNELS = {"luminance_bw": 3, "channel_mixer_bw": 3, "color_filter_bw": 3, "zone_system": 1, "local_contrast": 1}
STRANGE_KEYWORDS = ["gamma", "Img", "\u00edmg", "img ", "params_", "\udc80"]


# ---------------------------------------------------------------- objects


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


class Refusing:
    """Every conversion fails, with an error that is not a TypeError."""

    def __float__(self):
        raise ArithmeticError("no float")

    def __index__(self):
        raise LookupError("no index")


class NarrowTypeError(TypeError):
    pass


class RefusingTyped:
    """Conversions fail with TypeErrors: one with a cause, one of a subclass
    (which the argument-error rule leaves alone)."""

    def __float__(self):
        raise TypeError("no float") from KeyError("the cause")

    def __index__(self):
        raise NarrowTypeError("no index")


class ArraySubclass(np.ndarray):
    pass


FLOAT32_VALUES = st.one_of(
    st.floats(width=32),
    st.sampled_from([float(np.float32(v)) for v in
                     (0.0, -0.0, 1.0, 0.18, 0.0031308, 5.76, -1.0, math.inf, -math.inf, math.nan)]))
HUGE_INTS = st.sampled_from([2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, -2**63, -2**63 - 1,
                             10**400, -10**400, -1])
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(-10, 10), HUGE_INTS, st.floats(), st.text(max_size=3),
    st.binary(max_size=3), st.builds(FloatLike, st.floats()), st.builds(IndexLike, st.integers(-2**65, 2**65)),
    st.builds(Refusing), st.builds(RefusingTyped), st.sampled_from([np.float32(2.5), np.float64("nan"), np.int64(3), np.uint8(7),
                                          np.float16(1), 1 + 2j, object(), [1.0], (1,), {}, {5: 0.5}]))


@st.composite
def float32_images(draw, channels=None):
    """A 3-D float32 array of random values, laid out in one of many ways,
    mostly with the given channel count."""
    h, w = draw(st.integers(0, 5)), draw(st.integers(0, 5))
    c = draw(st.sampled_from([channels] * 4 + [0, 1, 2, 3, 4] if channels else [1, 1, 3, 3, 0, 2, 4]))
    values = draw(hnp.arrays(np.float32, (h, w, c), elements=FLOAT32_VALUES))
    layout = draw(st.sampled_from(["contiguous", "sliced", "transposed", "broadcast", "unaligned", "packed",
                                   "extent-1 strides", "subclass", "fortran"]))
    if layout == "sliced":
        steps = [draw(st.sampled_from([1, 2, 3, -1, -2])) for _ in range(3)]
        parent = np.full([max(n * abs(s), 1) for n, s in zip(values.shape, steps)], np.nan, np.float32)
        view = parent[tuple(slice(None, None, s) for s in steps)][:h, :w, :c]
        view[...] = values
        return view
    if layout == "transposed":
        order = draw(st.permutations([0, 1, 2]))
        parent = np.ascontiguousarray(values.transpose(order))
        return parent.transpose(np.argsort(order))
    if layout == "broadcast":
        axis = draw(st.integers(0, 2))
        return np.broadcast_to(values.take([0] if values.shape[axis] else [], axis=axis), values.shape)
    if layout == "unaligned":
        return unaligned_copy(values)
    if layout == "packed":
        return packed_field(values)
    if layout == "extent-1 strides":
        strides = [s if n != 1 else draw(st.sampled_from([0, 4, -4, 12, 400])) for n, s in
                   zip(values.shape, values.strides)]
        return np.lib.stride_tricks.as_strided(values, values.shape, strides, writeable=False)
    if layout == "subclass":
        return values.view(ArraySubclass)
    if layout == "fortran":
        return np.asfortranarray(values)
    return values


OTHER_ARRAYS = st.one_of(
    hnp.arrays(st.sampled_from([np.float64, np.float16, np.int32, np.uint8, np.bool_, np.complex64, ">f4"]),
               hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=3)),
    hnp.arrays(np.float32, st.one_of(hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=3),
                                     hnp.array_shapes(min_dims=4, max_dims=4, min_side=0, max_side=2))))


def members(name):
    cls = getattr(vc, name)
    return [getattr(cls, n) for n in dir(cls) if isinstance(getattr(cls, n), cls)]


def zone_dicts(keys=st.integers(-3, 13), values=st.one_of(st.floats(-3, 3), FLOAT32_VALUES)):
    return st.dictionaries(keys, values, max_size=4)


def module_objects():
    return st.one_of(st.sampled_from(members("LuminanceStandard") + members("ColorFilter")),
                     st.builds(vc.ZoneParams, zone_dicts()),
                     st.builds(vc.GuidedFilterParams, st.integers(0, 2**32 - 1), st.floats()))


ANYTHING = st.one_of(SCALARS, float32_images(), OTHER_ARRAYS, st.deferred(module_objects))


def proper(parameter, function):
    """Values a parameter accepts, so that calls get past it often."""
    if parameter == "img":
        return float32_images(CHANNELS.get(function))
    if parameter == "standard":
        return st.sampled_from(members("LuminanceStandard"))
    if parameter == "filter":
        return st.sampled_from(members("ColorFilter"))
    if parameter in ("wr", "wg", "wb", "strength", "eps"):
        return st.one_of(st.floats(), st.integers(-3, 3), FLOAT32_VALUES)
    if parameter == "radius":
        return st.one_of(st.integers(0, 6), st.integers(0, 2**32 - 1))
    if parameter == "offsets":
        return st.one_of(zone_dicts(), zone_dicts(st.one_of(st.integers(-2**31, 2**31 - 1), HUGE_INTS,
                                                             st.builds(IndexLike, st.integers(-3, 13)),
                                                             st.floats(), st.text(max_size=1)),
                                                   st.one_of(FLOAT32_VALUES, SCALARS)))
    if parameter == "params" and function == "zone_system":
        return st.builds(vc.ZoneParams, zone_dicts())
    if parameter == "params":
        return st.builds(vc.GuidedFilterParams, st.integers(0, 6), st.floats(0, 1))
    return ANYTHING


@st.composite
def calls(draw, function):
    """(positional arguments, keyword arguments) for one call of `function`."""
    parameters, _ = SIGNATURES[function]

    def value(name):  # one_of would flatten ANYTHING's branches and drown the proper values
        return draw(proper(name, function) if draw(st.integers(0, 5)) else ANYTHING)

    if draw(st.integers(0, 3)):  # mostly a correct binding: a prefix by position, the rest by keyword
        split = draw(st.integers(0, len(parameters)))
        rest = draw(st.permutations(parameters[split:]))
        drop = draw(st.sets(st.sampled_from(rest))) if rest and draw(st.integers(0, 4)) == 0 else set()
        return [value(p) for p in parameters[:split]], {p: value(p) for p in rest if p not in drop}
    count = draw(st.integers(0, len(parameters) + 1))
    positional = [value(parameters[i]) if i < len(parameters) else draw(ANYTHING) for i in range(count)]
    names = draw(st.lists(st.sampled_from(list(parameters) + STRANGE_KEYWORDS), unique=True, max_size=3))
    return positional, {name: value(name) for name in names}


# ----------------------------------------------------------------- oracle


class Refused(Exception):
    """What the call must raise: the exception type and its exact message."""

    def __init__(self, kind, message, cause=None):
        super().__init__(kind, message)
        self.kind, self.message, self.cause = kind, message, cause


def bind(function, args, kwargs):
    parameters, required = SIGNATURES[function]
    name = function + ("()" if function[0].islower() else ".__new__()")
    n, k = len(parameters), len(args)
    if k > n:
        verb = "was" if k == 1 else "were"
        counts = f"{n}" if required == n else f"from {required} to {n}"
        raise Refused(TypeError, f"{name} takes {counts} positional arguments but {k} {verb} given")
    values = dict(zip(parameters, args))
    for keyword, value in kwargs.items():
        if keyword not in parameters:
            raise Refused(TypeError, f"{name} got an unexpected keyword argument '{keyword}'")
        if keyword in values:
            raise Refused(TypeError, f"{name} got multiple values for argument '{keyword}'")
        values[keyword] = value
    missing = [f"'{p}'" for p in parameters[:required] if p not in values]
    if missing:
        listed = missing[0] if len(missing) == 1 else (
            " and ".join(missing) if len(missing) == 2 else ", ".join(missing[:-1]) + ", and " + missing[-1])
        noun = "argument" if len(missing) == 1 else "arguments"
        raise Refused(TypeError, f"{name} missing {len(missing)} required positional {noun}: {listed}")
    return values


def not_instance(parameter, obj, expected):
    if obj is None:
        return Refused(TypeError, f"argument '{parameter}': 'None' is not an instance of '{expected}'")
    return Refused(TypeError,
                   f"argument '{parameter}': '{type(obj).__qualname__}' object is not an instance of '{expected}'")


def interpreter_conversion(convert, obj, parameter):
    """The argument-error rule around one of the interpreter's conversions."""
    try:
        return convert(obj)
    except Exception as error:
        if type(error) is TypeError:
            raise Refused(TypeError, f"argument '{parameter}': {error}", repr(error.__cause__)) from None
        raise Refused(type(error), str(error)) from None


def to_float32(obj, parameter):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.float32(interpreter_conversion(as_double, obj, parameter))


def to_integer(obj, parameter, low, high):
    value = interpreter_conversion(as_long, obj, parameter)
    if not low <= value <= high:
        raise Refused(OverflowError, "out of range integral type conversion attempted")
    return value


def to_image(obj):
    if isinstance(obj, np.ndarray) and obj.ndim == 3 and obj.dtype == np.dtype(np.float32):
        return obj
    raise not_instance("img", obj, "ndarray")


def to_member(obj, parameter, class_name):
    if type(obj) is not getattr(vc, class_name):
        raise not_instance(parameter, obj, class_name)
    return obj


def convert(function, parameter, obj):
    if parameter == "img":
        return to_image(obj)
    if parameter == "standard":
        return to_member(obj, parameter, "LuminanceStandard")
    if parameter == "filter":
        return to_member(obj, parameter, "ColorFilter")
    if parameter == "params":
        return to_member(obj, parameter, "ZoneParams" if function == "zone_system" else "GuidedFilterParams")
    if parameter == "radius":
        return to_integer(obj, parameter, 0, 2**32 - 1)
    if parameter == "offsets":
        return to_offsets(obj)
    return to_float32(obj, parameter)


def to_offsets(obj):
    if not isinstance(obj, dict):
        raise not_instance("offsets", obj, "dict")
    offsets = {}
    for key, value in dict.items(obj):
        zone = to_integer(key, "offsets", -2**31, 2**31 - 1)
        offsets[zone] = to_float32(value, "offsets")
    return offsets


def shape_check(function, img):
    channels = {"zone_system": 1, "local_contrast": 1, "encode_srgb": None}.get(function, 3)
    if channels is None or img.shape[2] == channels:
        return
    shape = "[" + ", ".join(map(str, img.shape)) + "]"
    if channels == 3:
        raise Refused(ValueError, f"shape error: expected (H, W, 3) RGB array, got shape {shape}")
    raise Refused(ValueError, f"shape error: {function} expects (H, W, 1) luminance input, got shape {shape}")


def expected_outcome(function, args, kwargs):
    """The converted values in parameter order; raises Refused otherwise."""
    values = bind(function, args, kwargs)
    parameters, _ = SIGNATURES[function]
    converted = {p: convert(function, p, values[p]) for p in parameters if p in values}
    if "img" in converted:
        shape_check(function, converted["img"])
        if function in ("encode_srgb", "zone_system") and not c_contiguous(converted["img"]):
            raise Refused(PANIC, f"{function}: input must be C-contiguous")
    return converted


def float_text(value):
    text = np.format_float_positional(np.float32(value), unique=True, trim="-")
    return "NaN" if text == "nan" else text


# ------------------------------------------------------------------ checks


def call_and_compare(function, args, kwargs):
    try:
        converted = expected_outcome(function, args, kwargs)
        refused = None
    except Refused as expected:
        refused = expected
    event("raises " + refused.kind.__name__ if refused else "returns")
    arrays = [(a, a.tobytes()) for a in [*args, *kwargs.values()] if isinstance(a, np.ndarray)]
    target = getattr(vc, function)
    try:
        result = target(*args, **kwargs)
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        if refused is None or type(error) is not refused.kind or str(error) != refused.message:
            raise AssertionError(f"expected {refused and (refused.kind, refused.message)}, "
                                 f"got {type(error).__name__}: {error}") from error
        if refused.cause is not None:
            assert repr(error.__cause__) == refused.cause
    else:
        assert refused is None, f"expected {refused.kind.__name__}: {refused.message}, got a result"
        check_result(function, converted, result)
    for array, before in arrays:
        assert array.tobytes() == before, "the call wrote into its input"
    for obj in [*args, *kwargs.values()]:
        if type(obj) is vc.GuidedFilterParams:
            obj.radius = obj.radius  # no hold may outlive the call
            obj.eps = obj.eps


def expect_refusal(refused, call):
    with pytest.raises(BaseException) as raised:
        call()
    assert type(raised.value) is refused.kind and str(raised.value) == refused.message, raised.value
    if refused.cause is not None:
        assert repr(raised.value.__cause__) == refused.cause


def check_result(function, converted, result):
    assert type(result) is np.ndarray and result.dtype == np.float32
    assert result.flags.c_contiguous and result.flags.writeable and not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    img = converted["img"]
    expected_channels = img.shape[2] if function == "encode_srgb" else 1
    assert result.shape == (*img.shape[:2], expected_channels)
    clean = {p: float(v) if isinstance(v, np.float32) else v for p, v in converted.items() if p != "img"}
    reference = getattr(vc, function)(np.array(img, order="C"), **clean)
    # NaN-blind: which NaN meets which in an addition depends on the split
    # of the work (vector body or scalar tail), not on the argument layer.
    assert same_values(result, reference), "the layout of the input changed the result"
    if function == "channel_mixer_bw":
        with np.errstate(all="ignore"):
            r, g, b = (img[..., k] for k in range(3))
            mixed = (r * converted["wr"] + g * converted["wg"]) + b * converted["wb"]
        assert same_values(result[..., 0], mixed)


def check_guided_params(converted, params):
    radius, eps = converted["radius"], converted["eps"]
    assert params.radius == radius
    assert bits(np.float32(params.eps)) == bits(eps) and type(params.eps) is float
    assert repr(params) == f"GuidedFilterParams(radius={radius}, eps={float_text(eps)})"


def check_zone_params(converted, params):
    entries = ", ".join(f"{z}: {float_text(v)}" for z, v in sorted(converted["offsets"].items()))
    assert repr(params) == f"ZoneParams({{{entries}}})"


CHECK_PARAMS = {"ZoneParams": check_zone_params, "GuidedFilterParams": check_guided_params}


# ------------------------------------------------------------------- tests

KERNELS = ["luminance_bw", "channel_mixer_bw", "color_filter_bw", "zone_system", "local_contrast", "encode_srgb"]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("function", KERNELS)
@FUZZ
@given(data=st.data())
def test_kernel_call(function, data):
    args, kwargs = data.draw(calls(function))
    call_and_compare(function, args, kwargs)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name", ["ZoneParams", "GuidedFilterParams"])
@FUZZ
@given(data=st.data())
def test_params_construction(name, data):
    args, kwargs = data.draw(calls(name))
    cls = getattr(vc, name)
    try:
        converted = expected_outcome(name, args, kwargs)
    except Refused as refused:
        expect_refusal(refused, lambda: cls(*args, **kwargs))
        return
    CHECK_PARAMS[name](converted, cls(*args, **kwargs))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@FUZZ
@given(radius=st.integers(0, 9), eps=st.floats(width=32), prop=st.sampled_from(["radius", "eps"]),
       value=st.integers(0, 2).flatmap(lambda i: [proper("radius", None), proper("eps", None), ANYTHING][i]))
def test_guided_filter_params_setter(radius, eps, prop, value):
    params = vc.GuidedFilterParams(radius, eps)
    state = {"radius": radius, "eps": np.float32(eps)}
    try:
        state[prop] = convert("GuidedFilterParams", prop, value)
    except Refused as refused:
        expect_refusal(refused, lambda: setattr(params, prop, value))
    else:
        setattr(params, prop, value)
    check_guided_params(state, params)
