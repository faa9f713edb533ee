import math

import pytest

from velkor_core import GuidedFilterParams


def test_construction_and_reads():
    params = GuidedFilterParams(8, 0.01)
    assert repr(params) == str(params) == "GuidedFilterParams(radius=8, eps=0.01)"
    assert type(params.radius) is int and params.radius == 8
    assert params.eps == 0.009999999776482582  # the stored single-precision value, widened
    params.eps, params.radius = 1e40, 4294967295
    assert params.eps == math.inf and params.radius == 4294967295


Index = type("Index", (), {"__index__": lambda self: 7})
Float = type("Float", (), {"__float__": lambda self: 0.25})


# The float text itself (-0, NaN, tiny values) is pinned with ZoneParams' repr.
@pytest.mark.parametrize(
    "radius, eps, text",
    [
        (0, 2, "GuidedFilterParams(radius=0, eps=2)"),
        (7, 1e40, "GuidedFilterParams(radius=7, eps=inf)"),  # beyond single precision
        (4294967295, 1 / 3, "GuidedFilterParams(radius=4294967295, eps=0.33333334)"),
        (True, 1e20, "GuidedFilterParams(radius=1, eps=100000000000000000000)"),
        (Index(), Float(), "GuidedFilterParams(radius=7, eps=0.25)"),
        (9, Index(), "GuidedFilterParams(radius=9, eps=7)"),
    ],
)
def test_values_are_stored_unchecked_and_shown(radius, eps, text):
    assert repr(GuidedFilterParams(radius, eps)) == text


OUT_OF_RANGE = (OverflowError, "out of range integral type conversion attempted")

ERRORS = [
    (dict(radius=-1, eps=0.1), *OUT_OF_RANGE),
    (dict(radius=4294967296, eps=0.1), *OUT_OF_RANGE),
    (dict(radius=3.0, eps=0.1), TypeError, "argument 'radius': 'float' object cannot be interpreted as an integer"),
    (dict(radius=3, eps="x"), TypeError, "argument 'eps': must be real number, not str"),
    (dict(radius=3, eps=10**400), OverflowError, "int too large to convert to float"),
    (dict(radius=2**70, eps=0.1), OverflowError, "Python int too large to convert to C long"),
]


@pytest.mark.parametrize("kwargs, error, message", ERRORS)
def test_constructor_and_setters_refuse_alike_and_keep_the_old_value(kwargs, error, message):
    with pytest.raises(error) as raised:
        GuidedFilterParams(**kwargs)
    assert type(raised.value) is error and str(raised.value) == message
    params = GuidedFilterParams(5, 0.5)
    name = "radius" if kwargs["eps"] == 0.1 else "eps"
    with pytest.raises(error) as raised:
        setattr(params, name, kwargs[name])
    assert type(raised.value) is error and str(raised.value) == message
    assert repr(params) == "GuidedFilterParams(radius=5, eps=0.5)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: GuidedFilterParams(), "GuidedFilterParams.__new__() missing 2 required positional arguments: 'radius' and 'eps'"),
        (lambda: GuidedFilterParams(8, 0.1, 2), "GuidedFilterParams.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: GuidedFilterParams(8, radius=2), "GuidedFilterParams.__new__() got multiple values for argument 'radius'"),
        # radius is converted before eps, so its error wins.
        (lambda: GuidedFilterParams(1.5, "x"), "argument 'radius': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize("name", ["radius", "eps"])
def test_properties_cannot_be_deleted(name):
    params = GuidedFilterParams(3, 0.25)
    with pytest.raises(AttributeError) as raised:
        delattr(params, name)
    assert str(raised.value) == "property has no deleter"
    assert repr(params) == "GuidedFilterParams(radius=3, eps=0.25)"


def test_docstrings():
    assert GuidedFilterParams.__doc__ == (
        "Parameters for the guided filter.\n"
        "\n"
        "```python\n"
        "params = velkor_core.GuidedFilterParams(radius=8, eps=0.01)\n"
        "```"
    )
    assert GuidedFilterParams.radius.__doc__ == "Filter radius in pixels. The window is `(2r+1) × (2r+1)`."
    assert GuidedFilterParams.eps.__doc__ == (
        "Regularisation term ε. Controls the degree of smoothing.\n"
        "Larger values → more smoothing, less edge preservation."
    )
