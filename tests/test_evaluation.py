"""Point evaluation of shape trees, bit for bit against the float32 model."""

import gc
import math

import pytest
from hypothesis import given

from reference import agree, bits, build, compile_tree, evaluate
from strategies import points, trees
from tessaron import Sdf

NAN = math.nan
INF = math.inf
UNIT = ("sphere", (0, 0, 0), 1.0)


def assert_matches(desc, p):
    got = build(desc).eval(p)
    want = evaluate(compile_tree(desc), p)
    assert agree(got, want), (got, want)


@given(trees, points)
def test_random_trees_match_model(desc, p):
    assert_matches(desc, p)


SIGN = 0x80000000


@given(trees, trees, points)
def test_negations_flip_only_the_sign_bit(a, b, p):
    # dual, and difference's -b, negate without arithmetic: NaN and zero
    # results come out with exactly the opposite sign bit.
    sa, sb = build(a), build(b)
    da, db = bits(sa.eval(p)), bits(sb.eval(p))
    assert bits(sa.dual().eval(p)) == da ^ SIGN
    assert bits(sa.dual().dual().eval(p)) == da
    if da & 0x7FFFFFFF > 0x7F800000:  # a NaN first operand yields exactly -b
        assert bits(Sdf.difference(sa, sb).eval(p)) == db ^ SIGN


NAN_CHILD = ("segment", (1, 1, 1), (1, 1, 1))   # NaN everywhere
ZERO_PLANE = ("plane", (0, 0, 0), (0, 0, 0))     # NaN everywhere
FLOOR = ("plane", (0, 0, 0), (0, 0, 1))


@pytest.mark.parametrize("desc, p, expected", [
    # Union skips NaN children; all-NaN or empty gives +inf.
    (("union", [NAN_CHILD, UNIT]), (0, 0, 3), 2.0),
    (("union", [UNIT, NAN_CHILD]), (0, 0, 3), 2.0),
    (("union", [NAN_CHILD, ZERO_PLANE]), (0, 0, 3), INF),
    (("union", []), (1e30, NAN, 0), INF),
    # Intersect: the mirror image.
    (("intersect", [NAN_CHILD, UNIT]), (0, 0, 3), 2.0),
    (("intersect", [NAN_CHILD, ZERO_PLANE]), (0, 0, 3), -INF),
    (("intersect", []), (0, 0, 0), -INF),
    # Difference: a NaN side yields the other side's value.
    (("difference", NAN_CHILD, UNIT), (0, 0, 3), -2.0),
    (("difference", UNIT, NAN_CHILD), (0, 0, 3), 2.0),
    (("difference", UNIT, ("sphere", (0, 0, 0), 0.5)), (0, 0, 0), 0.5),
    # Ties keep the earlier value; only +0 against -0 shows it (exact bits
    # are checked against the model).
    (("difference", FLOOR, FLOOR), (1, 2, 0), 0.0),
    (("union", [("dual", FLOOR), FLOOR]), (1, 2, 0), -0.0),
    (("union", [FLOOR, ("dual", FLOOR)]), (1, 2, 0), 0.0),
    (("intersect", [("dual", FLOOR), FLOOR]), (1, 2, 0), -0.0),
    (("dual", ("dual", UNIT)), (0, 0, 1), 0.0),
    (("dual", UNIT), (0, 0, 1), -0.0),
    # Primitives.
    (("ray", (0, 0, 0), (1, 0, 0)), (-3, 4, 0), 5.0),
    (("ray", (0, 0, 0), (7, 0, 0)), (3, 4, 0), 4.0),
    (("ray", (0, 0, 0), (0, 1, 0)), (INF, 0, 0), INF),  # t = inf * 0 = NaN -> 0
    (("plane", (0, 0, 0), (0, 0, 1)), (5, 5, -2), -2.0),
    (("plane", (0, 0, 0), (0, 0, 2)), (5, 5, 2), 2.0),
    (("segment", (0, 0, 0), (0, 0, 2)), (0, 3, 1), 3.0),
    (("segment", (0, 0, 0), (0, 0, 2)), (0, 0, -4), 4.0),
    # Transforms.
    (("scale", 2.0, UNIT), (0, 3, 0), 1.0),
    (("scale", -1.0, ("sphere", (1, 0, 0), 0.5)), (-1, 0, 0), 0.5),
    (("erode", 0.5, UNIT), (0, 0, 0), -0.5),
    (("dilate", 0.5, UNIT), (0, 0, 0), -1.5),
    (("dual", UNIT), (0, 0, 3), -2.0),
    (("translate", (0, 0, 3), UNIT), (0, 0, 3), -1.0),
    (("rotate", (0, 0, 0, 2), ("sphere", (1, 2, 3), 1.0)), (1, 2, 5), 1.0),
    # Normalisation: a reciprocal times 41 is one ulp short of 1, while the
    # quaternion is divided by its length and stays exactly the identity.
    (("plane", (0, 0, 0), (41, 0, 0)), (1, 0, 0), 1 - 2 ** -24),
    (("rotate", (0, 0, 0, 41), ("sphere", (1, 2, 3), 1.0)), (1, 2, 5), 1.0),
    # Float widening: radius 1e39 rounds to +inf.
    (("sphere", (0, 0, 0), 1e39), (0, 0, 0), -INF),
    (("sphere", (0, 0, 0), 0.0), (0.1, 0, 0), 0.10000000149011612),
])
def test_telling_cases(desc, p, expected):
    assert build(desc).eval(p) == expected
    assert_matches(desc, p)


@pytest.mark.parametrize("desc", [
    NAN_CHILD,                                  # coincident segment ends
    ZERO_PLANE,                                 # zero normal
    ("ray", (0, 0, 0), (0, 0, 0)),              # zero direction
    ("rotate", (0, 0, 0, 0), UNIT),             # zero quaternion
    ("scale", 0.0, UNIT),                       # 0/0, or inf * 0
])
@pytest.mark.parametrize("p", [(0, 0, 0), (1, 2, 3), (-5, 0.5, 1e30)])
def test_degenerate_parameters_give_nan(desc, p):
    assert math.isnan(build(desc).eval(p))
    assert_matches(desc, p)


@pytest.mark.parametrize("p", [(0, 1, 0), (0.3, -0.7, 2.0), (1, 1, 1)])
@pytest.mark.parametrize("q", [(0, 0, math.sin(math.pi / 4), math.cos(math.pi / 4)),
                               (0, 0, 1, 1), (1, 2, 3, 4), (-0.5, 0.5, 0.5, -0.5),
                               # lengths that depend on the summation grouping
                               (0.1, 0.1, 0.2, 2), (0.1, 0.3, 2, 0.7)])
def test_rotations(q, p):
    desc = ("rotate", q, ("sphere", (1, 0, 0), 0.5))
    assert_matches(desc, p)


def test_quarter_turn_moves_sphere():
    q = (0, 0, math.sin(math.pi / 4), math.cos(math.pi / 4))
    s = Sdf.sphere((1, 0, 0), 0.5).rotate(q)
    assert s.eval((0, 1, 0)) == pytest.approx(-0.5, abs=1e-6)
    assert s.eval((1, 0, 0)) == pytest.approx(math.sqrt(2) - 0.5, abs=1e-6)


def test_shapes_are_independent_copies():
    base = Sdf.sphere((0, 0, 0), 1.0)
    derived = [base.translate((0, 0, 1)), Sdf.union([base, base]),
               Sdf.difference(base, base), base.scale(2.0), base.dual()]
    assert base.eval((0, 0, 3)) == 2.0  # the receiver is unchanged
    del base
    gc.collect()
    assert [s.eval((0, 0, 3)) for s in derived] == [1.0, 2.0, 2.0, 1.0, -2.0]
    base = derived[0].erode(1.0)  # and the other way round
    del derived
    gc.collect()
    assert base.eval((0, 0, 3)) == 2.0


@pytest.mark.parametrize("p", [(0, 0, 0), (1, 2, 3), (-2.5, 0.25, 1)])
def test_deep_chain_matches_model(p):
    desc = UNIT
    for i in range(60):
        desc = [("translate", (0.1, 0, 0), desc), ("rotate", (0, 0, 1, 7), desc),
                ("scale", 1.5, desc), ("erode", 0.01, desc)][i % 4]
    assert_matches(desc, p)
