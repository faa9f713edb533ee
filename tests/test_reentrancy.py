"""Python code that runs in the middle of a call: the conversion of a later
argument (a __float__ or __index__) after the image has been borrowed."""
import gc

import numpy as np
import pytest

import velkor_core as vc
from velkor_testing import bits

WEIGHTS = (0.25, 0.5, 0.25)


class Callback:
    """A weight whose conversion first runs `action`."""

    def __init__(self, action, value=0.25):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return self.value


def mixed(img):
    return vc.channel_mixer_bw(img, *WEIGHTS)


@pytest.mark.parametrize("through_view", [False, True], ids=["array", "view of it"])
def test_borrowed_memory_cannot_be_resized_away(through_view):
    owner = np.random.default_rng(2).random((64, 64, 3), dtype=np.float32)
    img = owner[::-1] if through_view else owner

    def move_memory():
        owner.resize((1024, 1024, 3), refcheck=False)

    with pytest.raises(ValueError, match="cannot resize"):
        vc.channel_mixer_bw(img, 0.25, 0.5, Callback(move_memory))
    del img
    gc.collect()
    move_memory()  # the call's guard is gone with the call
    assert owner.shape == (1024, 1024, 3)


def test_dropped_references_and_a_nested_kernel_call_change_nothing():
    held = {"img": np.random.default_rng(3).random((32, 32, 3), dtype=np.float32)}
    expected, inner = mixed(held["img"]), []

    def meddle():
        inner.append(mixed(held["img"][:, ::-1]))
        held.clear()

    result = vc.channel_mixer_bw(held["img"], 0.25, 0.5, Callback(meddle))
    assert not held and bits(result) == bits(expected) and bits(inner[0]) == bits(expected[:, ::-1])
