"""ZoneParams and GuidedFilterParams: conversion, storage and text.  Their
refusals are in the exact-text table of velkor_testing."""
import math

import pytest
from velkor_testing import Index

from velkor_core import GuidedFilterParams, ZoneParams


class Float:
    def __float__(self):
        return 0.75


# Random ints and floats are shown against NumPy's shortest text in
# test_fuzz_arguments.py; these are the conversions it does not make.
@pytest.mark.parametrize(
    "offsets, text",
    [
        ({5: 0.5, 3: -0.3}, "ZoneParams({3: -0.3, 5: 0.5})"),
        ({1: 1 / 3}, "ZoneParams({1: 0.33333334})"),
        ({5: -0.0, 6: float("nan"), 7: 1e39}, "ZoneParams({5: -0, 6: NaN, 7: inf})"),  # beyond float32: infinity
        ({5: -250.0, 42: float("-inf")}, "ZoneParams({5: -250, 42: -inf})"),  # no range is enforced
        ({True: 0.25, 2**31 - 1: 1.0, -(2**31): 2.0}, "ZoneParams({-2147483648: 2, 1: 0.25, 2147483647: 1})"),
        ({Index(7): Float(), 8: True}, "ZoneParams({7: 0.75, 8: 1})"),
        # Distinct dictionary keys that convert to the same zone: the later wins.
        ({Index(3): 0.1, 3: 0.2}, "ZoneParams({3: 0.2})"),
        ({3: 0.2, Index(3): 0.1}, "ZoneParams({3: 0.1})"),
    ],
)
def test_zone_params_repr(offsets, text):
    assert repr(ZoneParams(offsets)) == text


def test_dict_subclass_is_read_through_its_storage():
    class Lying(dict):
        def items(self):
            return [(9, 9.0)]

        def keys(self):
            return [9]

        def __iter__(self):
            return iter([9])

        def __getitem__(self, key):
            return 9.0

    assert repr(ZoneParams(offsets=Lying({5: 0.5}))) == "ZoneParams({5: 0.5})"


@pytest.mark.parametrize(
    "radius, eps, text",
    [
        (4294967295, 1 / 3, "GuidedFilterParams(radius=4294967295, eps=0.33333334)"),
        (Index(7), Float(), "GuidedFilterParams(radius=7, eps=0.75)"),
        (True, Index(9), "GuidedFilterParams(radius=1, eps=9)"),
    ],
)
def test_guided_filter_params_store_unchecked_values(radius, eps, text):
    assert repr(GuidedFilterParams(radius, eps)) == str(GuidedFilterParams(radius, eps)) == text


def test_guided_filter_params_reads_and_writes():
    params = GuidedFilterParams(8, 0.01)
    assert type(params.radius) is int and params.radius == 8
    assert params.eps == 0.009999999776482582  # the stored single-precision value, widened
    params.eps, params.radius = 1e40, 4294967295
    assert params.eps == math.inf and params.radius == 4294967295
