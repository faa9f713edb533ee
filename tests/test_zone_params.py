import pytest

from velkor_testing import panic_type

from velkor_core import ZoneParams


@pytest.mark.parametrize(
    "offsets, text",
    [
        ({5: 0.5, 3: -0.3}, "ZoneParams({3: -0.3, 5: 0.5})"),
        ({}, "ZoneParams({})"),
        ({1: 1 / 3}, "ZoneParams({1: 0.33333334})"),
        ({-1: 1e20}, "ZoneParams({-1: 100000000000000000000})"),
        ({4: 1e-7}, "ZoneParams({4: 0.0000001})"),
        ({5: -0.0}, "ZoneParams({5: -0})"),
        ({5: float("nan")}, "ZoneParams({5: NaN})"),
        ({5: 1e39}, "ZoneParams({5: inf})"),  # beyond float32: infinity
        ({5: -250.0, 42: float("-inf")}, "ZoneParams({5: -250, 42: -inf})"),  # no range is enforced
        ({10: 0.1, -2: 0.2, 3: 0.3}, "ZoneParams({-2: 0.2, 3: 0.3, 10: 0.1})"),
        ({True: 0.25}, "ZoneParams({1: 0.25})"),
        ({2**31 - 1: 1.0, -(2**31): 2.0}, "ZoneParams({-2147483648: 2, 2147483647: 1})"),
    ],
)
def test_repr(offsets, text):
    assert repr(ZoneParams(offsets)) == text


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 0.75


def test_conversion_protocols_keyword_and_duplicates():
    assert repr(ZoneParams(offsets={Index(7): Float(), 8: True})) == "ZoneParams({7: 0.75, 8: 1})"
    # Distinct dictionary keys that convert to the same zone: the later wins.
    assert repr(ZoneParams({Index(3): 0.1, 3: 0.2})) == "ZoneParams({3: 0.2})"
    assert repr(ZoneParams({3: 0.2, Index(3): 0.1})) == "ZoneParams({3: 0.1})"


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

    assert repr(ZoneParams(Lying({5: 0.5}))) == "ZoneParams({5: 0.5})"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ZoneParams([(5, 0.5)]), TypeError, "argument 'offsets': 'list' object is not an instance of 'dict'"),
        (lambda: ZoneParams(), TypeError, "ZoneParams.__new__() missing 1 required positional argument: 'offsets'"),
        (lambda: ZoneParams({2**31: 0.0}), OverflowError, "out of range integral type conversion attempted"),
        # Beyond 64 bits the interpreter's own conversion fails first.
        (lambda: ZoneParams({2**70: 0.0}), OverflowError, "Python int too large to convert to C long"),
        (lambda: ZoneParams({5.0: 0.0}), TypeError, "argument 'offsets': 'float' object cannot be interpreted as an integer"),
        (lambda: ZoneParams({5: "0.5"}), TypeError, "argument 'offsets': must be real number, not str"),
        (lambda: ZoneParams({5: 10**400}), OverflowError, "int too large to convert to float"),
    ],
)
def test_construction_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "offsets, error",
    [
        ({5: "x", "y": 0.0}, "must be real number"),  # the first entry decides
        ({"y": "x", 5: "x"}, "cannot be interpreted as an integer"),  # key before value
        ({2**31: "x"}, "out of range"),
    ],
)
def test_first_failing_entry_decides(offsets, error):
    with pytest.raises((TypeError, OverflowError), match=error):
        ZoneParams(offsets)


@pytest.mark.parametrize(
    "mutate, message",
    [
        (lambda d, key: d.__setitem__(100, 1.0), "dictionary changed size during iteration"),
        (lambda d, key: d.pop(2), "dictionary changed size during iteration"),
        (lambda d, key: (d.pop(key), d.__setitem__(10, 0.0)), "dictionary keys changed during iteration"),
    ],
)
def test_dict_mutated_during_conversion_panics(mutate, message):
    class Key:
        def __index__(self):
            mutate(d, self)
            return 1

    d = {Key(): 0.5, 2: 0.2}
    with pytest.raises(panic_type()) as raised:
        ZoneParams(d)
    assert str(raised.value) == message
    assert not isinstance(raised.value, Exception)
