"""Normals and ray marching, bit for bit against the float32 model."""

import math

import pytest
from hypothesis import given, strategies as st

import reference as ref
from reference import agree, build, compile_tree
from strategies import direction, points, rarely, trees, vec3

NAN = math.nan
UNIT = ("sphere", (0, 0, 0), 1.0)
SPHERE = build(UNIT)
RAY = ((0, 0, -5), (0, 0, 2))

# Random trees may never be reached, so budgets stay modest; the tiny ones
# exercise the first samples of the loop.
steps = rarely(st.integers(0, 3), st.integers(20, 60), 6)
tolerance = rarely(st.sampled_from([0.0, -0.1, math.inf, NAN]), st.floats(1e-3, 0.5), 8)
limit = rarely(st.sampled_from([0.0, -1.0, math.inf, NAN]), st.floats(0.5, 50.0), 6)
step_size = st.one_of(st.sampled_from([0.001, 0.002, 0.0, -0.001, NAN]),
                      st.floats(-0.5, 0.5))


def assert_normal(desc, p, h):
    got = build(desc).normal(p, h)
    want = ref.normal(compile_tree(desc), p, h)
    assert agree(got, want), (got, want)


def assert_march(desc, args, with_normal=False):
    s = build(desc)
    method = s.raymarch_with_normal if with_normal else s.raymarch
    got = method(*args)
    want = ref.raymarch(compile_tree(desc), *args, with_normal=with_normal)
    assert agree(got, want), (got, want)


@given(trees, points, step_size)
def test_random_normals_match_model(desc, p, h):
    assert_normal(desc, p, h)


@st.composite
def rays(draw):
    # Half the rays aim at a random point, half go anywhere (zero, huge or
    # NaN directions included); most miss, see the sphere test for hits.
    o = draw(vec3)
    d = draw(st.one_of(direction, vec3.map(lambda t: tuple(a - b for a, b in zip(t, o)))))
    return (o, d, draw(steps), draw(limit), draw(tolerance))


@given(trees, rays(), st.booleans())
def test_random_marches_match_model(desc, args, with_normal):
    assert_march(desc, args, with_normal)


@given(vec3, st.floats(0.25, 2.0), rays(), st.tuples(*[st.floats(-0.7, 0.7)] * 3))
def test_marches_aimed_at_a_sphere(center, radius, args, offset):
    # Aiming near the centre makes nearly every march end on the surface,
    # after several steps, which checks t, the sample point and the normal.
    origin, _, _, max_dist, eps = args
    aim = tuple(c + radius * k - o for c, k, o in zip(center, offset, origin))
    desc = ("sphere", center, radius)
    assert_march(desc, (origin, aim, 60, max_dist, eps), with_normal=True)


# -- normals ------------------------------------------------------------------

@pytest.mark.parametrize("p, h, expected", [
    ((0, 0, -1), 0.002, (0.0, 0.0, -1.0)),
    ((0, 0, -1), 0.001, (0.0, 0.0, -1.0)),
    ((0, 0, -1), -0.001, (0.0, 0.0, 1.0)),
])
def test_sphere_normal_exact(p, h, expected):
    assert SPHERE.normal(p, h) == expected


def test_sphere_normal_off_axis():
    n = SPHERE.normal((0.3, 0.4, 0), 0.001)
    assert n[:2] == pytest.approx((0.6, 0.8), abs=1e-4)
    assert n[2] == 0.0
    assert_normal(UNIT, (0.3, 0.4, 0), 0.001)


@pytest.mark.parametrize("desc, p, h", [
    (UNIT, (0, 0, 0), 0.001),                          # centre: all samples equal
    (UNIT, (0.3, 0.4, 0), 0.0),                        # zero step
    (("plane", (0, 0, 0), (0, 0, 1)), (1, 2, 3), 1e-30),  # steps lost to rounding
    (("union", []), (0, 0, 0), 0.01),                  # inf - inf
])
def test_flat_stencil_gives_nan(desc, p, h):
    n = build(desc).normal(p, h)
    assert len(n) == 3 and all(math.isnan(c) for c in n)
    assert_normal(desc, p, h)


@given(trees, points, st.floats(1e-3, 0.5))
def test_negative_step_gives_opposite_normal(desc, p, h):
    s = build(desc)
    forward, backward = s.normal(p, h), s.normal(p, -h)
    for f, b in zip(forward, backward):
        assert (math.isnan(f) and math.isnan(b)) or f == -b


# -- marching -------------------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    ((*RAY, 64, 100.0, 0.001), (4.0, (0.0, 0.0, -1.0))),
    ((*RAY, 64, 3.0, 0.001), (4.0, (0.0, 0.0, -1.0))),   # overshoots the limit by a step
    ((*RAY, 64, -1.0, 0.001), None),                     # only the origin is sampled
    ((*RAY, 0, 100.0, 0.001), None),
    ((*RAY, 1, 100.0, 0.001), None),
    ((*RAY, 2, 100.0, 0.001), (4.0, (0.0, 0.0, -1.0))),
    (((0, 0, -5), (0, 0, 0.5), 64, 100.0, 0.001), (4.0, (0.0, 0.0, -1.0))),
    (((0, 0, -5), (1, 0, 0), 64, 10.0, 0.001), None),
    ((*RAY, 64, 100, 0.001), (4.0, (0.0, 0.0, -1.0))),   # int max_dist
    (((0, 0, -1), (0, 1, 0), 64, -1.0, 0.001), (0.0, (0.0, 0.0, -1.0))),
    (((0, 0, -1), (0, 1, 0), 64, NAN, 0.001), (0.0, (0.0, 0.0, -1.0))),
    (((0, 0, -5), (0, 0, 0), 50, 100.0, 0.001), None),  # zero direction
    ((*RAY, 64, 100.0, 0.0), None),
    ((*RAY, 64, 100.0, -0.5), None),
    ((*RAY, 64, 100.0, NAN), None),
    (((0, 0, 0), (0, 0, 1), 100, 100.0, 0.001), None),  # inside: creeps by 1e-6
])
def test_sphere_march_cases(args, expected):
    assert SPHERE.raymarch(*args) == expected
    assert_march(UNIT, args)
    assert_march(UNIT, args, with_normal=True)


def test_nan_sample_advances_by_the_floor():
    # The squared length of this segment underflows to 0, so its distance is
    # 0/0 = NaN exactly on the plane x = 0 and finite everywhere else. The
    # march lands on x = 0 at t = 5, creeps past by 1e-6 and hits.
    desc = ("segment", (0, 0, 0), (1e-30, 0, 0))
    args = ((-5, 0, 0), (1, 0, 0), 10, 100.0, 0.001)
    assert math.isnan(build(desc).eval((0, 0, 0)))
    t, p = build(desc).raymarch(*args)
    assert t == pytest.approx(5 + 1e-6, abs=1e-6) and t > 5
    assert_march(desc, args)


def test_march_normal_uses_twice_eps():
    assert SPHERE.raymarch_with_normal(*RAY, 64, 100.0, 0.001) == (
        (4.0, (0.0, 0.0, -1.0)), (0.0, 0.0, -1.0))
    # An off-axis hit on a unit sphere: the normal's rounding depends on the
    # step, so the hit normal must equal normal() with 2 * eps, not eps.
    args = ((0.3, 0.4, -5), (0, 0, 1), 64, 100.0, 0.001)
    (t, p), n = SPHERE.raymarch_with_normal(*args)
    assert (t, p) == SPHERE.raymarch(*args)
    assert n == SPHERE.normal(p, 0.002) != SPHERE.normal(p, 0.001)


@pytest.mark.parametrize("method", ["raymarch", "raymarch_with_normal"])
def test_keyword_and_positional_calls_agree(method):
    f = getattr(SPHERE, method)
    positional = f((0.3, 0.4, -5), (0, 0, 1), 64, 100.0, 0.001)
    assert positional is not None
    assert f(eps=0.001, max_dist=100.0, max_steps=64, dir=(0, 0, 1),
             origin=(0.3, 0.4, -5)) == positional
    assert f((0.3, 0.4, -5), (0, 0, 1), 64, eps=0.001, max_dist=100) == positional
    assert SPHERE.normal(eps=0.001, p=(0.3, 0.4, 0)) == SPHERE.normal((0.3, 0.4, 0), 0.001)


# A corridor: a wall at x = 10 plus a plane parallel to the ray at distance 1,
# so the march advances exactly one unit per sample and hits on the 11th.
CORRIDOR = ("union", [("plane", (10, 0, 0), (-1, 0, 0)), ("plane", (0, -1, 0), (0, 1, 0))])


@pytest.mark.parametrize("max_steps, expected", [
    (10, None), (11, (10.0, (10.0, 0.0, 0.0))), (2 ** 32 - 1, (10.0, (10.0, 0.0, 0.0))),
])
def test_march_budget_counts_samples(max_steps, expected):
    args = ((0, 0, 0), (3, 0, 0), max_steps, 100.0, 0.5)
    assert build(CORRIDOR).raymarch(*args) == expected
    if max_steps < 100:
        assert_march(CORRIDOR, args)
