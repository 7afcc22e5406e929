"""Values that misbehave inside the module's argument conversions, shared by
the hypothesis fuzz suite (test_fuzz.py) and the atheris target
(tools/fuzz_atheris.py)."""

import numpy as np

from tessaron import Sdf

# Shapes the hostile values hand back, and that every fuzzed call may use.
SHAPES = [Sdf.sphere((0, 0, 0), 1.0), Sdf.union([]),
          Sdf.voxel(np.eye(16, dtype=np.uint8)[None].repeat(16, 0)).rotate((0, 1, 0, 1))]

# How a Proto misbehaves: not at all, by raising, by returning the wrong type,
# or by building and querying shapes from inside the conversion.
HOWS = ("ok", "raise", "wrong", "reenter")


class Hostile(Exception):
    """Raised by the protocol methods below; must reach the caller unchanged."""


class Tup(tuple): pass  # noqa: E701
class Int(int): pass  # noqa: E701
class Flt(float): pass  # noqa: E701


class Proto:
    """A value only through protocol methods, each of which may misbehave."""

    def __init__(self, value, how):
        self.value, self.how = value, how

    def _act(self):
        if self.how == "raise":
            raise Hostile(self.value)
        if self.how == "reenter":
            Sdf.union([SHAPES[0], SHAPES[1].dual()]).eval((0.0, 0.0, 0.0))
        return "wrong type" if self.how == "wrong" else self.value

    __float__ = __index__ = __len__ = _act

    def __iter__(self):
        for i in range(int(self.value) % 5):
            if i == 2 and self.how == "raise":
                raise Hostile
            yield SHAPES[i % len(SHAPES)] if self.how != "wrong" else i

    def __getitem__(self, i):
        raise Hostile  # only reached if iteration ignored __iter__


class Pts:
    """An object whose astype returns a prepared array itself (a view: no
    copy), so that its strides reach eval_vec."""

    def __init__(self, array):
        self.array = array

    def astype(self, dtype):
        return self.array
