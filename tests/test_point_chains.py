"""Single points through long chains: normals and marches evaluate a small
shape's program as fused steps (point transforms, a leaf, operations on its
distance, the fold into the list), with saved points in fixed slots. Every
order and length of transforms, every fold, lists nested under moved points
and programs past the steps' limits must match the float32 model bit for
bit."""

import math
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import given, strategies as st

import reference as ref
from reference import agree, build, compile_tree
from strategies import coord, leaf, points, quat, rarely, scale_factor, vec3

transform = st.one_of(
    st.tuples(st.just("translate"), vec3),
    st.tuples(st.just("scale"), scale_factor),
    st.tuples(st.just("rotate"), quat),
)
distance_op = st.one_of(
    st.tuples(st.sampled_from(["dilate", "erode"]), coord),
    st.tuples(st.just("scale"), scale_factor),
    st.just(("dual",)),
)


def wrap(desc, op):
    return ("dual", desc) if op[0] == "dual" else (op[0], op[1], desc)


@st.composite
def chain(draw, inner=leaf):
    """Up to six transforms around a leaf (or a list), then up to two
    operations on its distance."""
    desc = draw(inner)
    for kind, arg in draw(st.lists(transform, max_size=6)):
        desc = (kind, arg, desc)
    for op in draw(st.lists(distance_op, max_size=2)):
        desc = wrap(desc, op)
    return desc


def lists_of(children):
    return st.one_of(
        st.tuples(st.sampled_from(["union", "intersect"]),
                  rarely(st.just([]), st.lists(children, min_size=1, max_size=4), 12)),
        st.tuples(st.just("difference"), children, children),
    )


# Lists of chains, nested: a list inside a chain saves points that are no
# longer the evaluated point (real copies), and a list as a child is not a
# chain (its fold is a step of its own).
shapes = st.recursive(chain(), lambda inner: lists_of(st.one_of(chain(), chain(inner))),
                      max_leaves=10)
steps = st.floats(-0.5, 0.5) | st.sampled_from([1e-3, 0.0, math.nan])


def assert_normal(desc, p, h):
    got = build(desc).normal(p, h)
    want = ref.normal(compile_tree(desc), p, h)
    assert agree(got, want), (got, want)


@given(shapes, points, steps)
def test_chain_normals_match_model(desc, p, h):
    assert_normal(desc, p, h)


# Rays from about 8 units out aimed near the origin, where the shapes are:
# a hit's t is the sum of the distances sampled on the way, so it shows
# each value, not only differences as a normal does.
aimed_rays = st.tuples(st.tuples(*[st.floats(-1.0, 1.0)] * 3), st.tuples(*[st.floats(-0.3, 0.3)] * 3))


@given(shapes, aimed_rays)
def test_chain_marches_match_model(desc, ray):
    way, aim = ray
    origin = tuple(8.0 * c + 0.5 for c in way)
    args = (origin, tuple(a - o for a, o in zip(aim, origin)), 60, 30.0, 1e-3)
    got = build(desc).raymarch_with_normal(*args)
    want = ref.raymarch(compile_tree(desc), *args, with_normal=True)
    assert agree(got, want), (got, want)


def long_transform_chain(n):
    """n point transforms in a row before one leaf (no scales: each would
    add an operation on the distance after it)."""
    desc = ("segment", (0.0, 0.0, -1.0), (0.5, 0.0, 1.0))
    for i in range(n):
        desc = (("translate", (0.01, -0.02, 0.03)) if i % 2 else ("rotate", (0.1, 0.0, 0.2, 1.0))) + (desc,)
    return ("union", [desc, ("sphere", (3.0, 0.0, 0.0), 1.0)])


def many_steps(n):
    """A union of n translated, dilated spheres folded two at a time: more
    steps than a short list holds, no list wide enough to be pruned."""
    desc = ("sphere", (0.0, 0.0, 0.0), 0.5)
    for i in range(n):
        part = ("dilate", 0.125, ("translate", (0.3 * i, 0.0, 0.1), ("sphere", (0.0, 0.0, 0.0), 0.5)))
        desc = ("union", [desc, part]) if i % 2 else ("intersect", [part, ("dual", desc)])
    return desc


def deep_lists(depth):
    """Lists nested under rotations `depth` deep: one saved point a level."""
    desc = ("sphere", (0.5, 0.0, 0.0), 1.0)
    for i in range(depth):
        desc = ("rotate", (0.0, 0.1, 0.0, 1.0),
                ("union", [("translate", (0.1 * i, 0.0, 0.0), desc), ("plane", (0.0, -3.0 - i, 0.0),
                                                                       (0.0, 1.0, 0.0))]))
    return desc


# Around the limits of the steps (255 transforms a step, 16 saved points,
# 64 steps): past them, a chain splits or the interpreter takes over.
@pytest.mark.parametrize("desc", [long_transform_chain(n) for n in (254, 255, 256, 600)]
                         + [many_steps(n) for n in (8, 15, 16, 40, 80)]
                         + [deep_lists(d) for d in (15, 16, 17, 40)])
@pytest.mark.parametrize("p", [(0.3, -0.2, 0.7), (2.5, 1.0, -1.0)])
def test_programs_at_the_step_limits(desc, p):
    assert_normal(desc, p, 1e-3)
    args = (p, (-1.0, 0.5, 0.25), 30, 20.0, 1e-4)
    assert agree(build(desc).raymarch_with_normal(*args),
                 ref.raymarch(compile_tree(desc), *args, with_normal=True))


TRANSFORMS = [("translate", (0.25, -0.5, 0.125)), ("scale", 1.25), ("rotate", (0.1, -0.3, 0.2, 1.0))]
LEAVES = [("sphere", (0.5, 0.0, 0.0), 0.75), ("plane", (0.0, -1.0, 0.5), (0.0, 0.6, 0.8)),
          ("segment", (0.0, 0.0, -1.0), (0.5, 0.25, 1.0)), ("ray", (0.0, 0.5, 0.0), (0.6, 0.0, -0.8))]


def moved(transforms, desc):
    for kind, arg in reversed(transforms):
        desc = (kind, arg, desc)
    return desc


@pytest.mark.parametrize("first", TRANSFORMS + [None])
@pytest.mark.parametrize("second", TRANSFORMS)
def test_each_one_or_two_transform_chain(first, second):
    """Chains of one or two transforms have straight-line code of their
    own for each order: every pair and single, before every leaf, reading
    the evaluated point (in the outer union), a saved moved point (in the
    union under a rotation) and P (after a run of 255 transforms)."""
    chain = [t for t in (first, second) if t]
    children = [moved(chain, leaf) for leaf in LEAVES]
    long_chain = moved([TRANSFORMS[i % 2 * 2] for i in range(255)] + chain, LEAVES[2])
    # (Each program in fewer steps than a list holds.)
    for desc in [("union", children), ("rotate", (0.0, 0.2, 0.1, 1.0), ("union", children)),
                 ("union", [long_chain, LEAVES[0]])]:
        for p in [(0.3, -0.2, 0.7), (2.5, 1.0, -1.0), (-1.5, 0.5, 2.0)]:
            assert_normal(desc, p, 1e-3)
        args = ((0.4, 0.3, 6.0), (-0.05, -0.04, -1.0), 60, 20.0, 1e-4)
        assert agree(build(desc).raymarch_with_normal(*args),
                     ref.raymarch(compile_tree(desc), *args, with_normal=True))


def moved_pairs(n):
    """A union of n rotated, translated spheres folded two at a time: two
    steps a part (its transforms, its leaf), around the steps' limit."""
    desc = ("sphere", (0.0, 0.0, 0.0), 0.5)
    for i in range(n):
        part = ("translate", (0.3 * i, 0.1, 0.0), ("rotate", (0.1 * i, 0.0, 0.2, 1.0),
                                                   ("sphere", (0.0, 0.5, 0.0), 0.5)))
        desc = ("union", [desc, part])
    return desc


@pytest.mark.parametrize("n", range(29, 35))
def test_two_step_parts_around_the_step_limit(n):
    desc = moved_pairs(n)
    for p in [(0.3, -0.2, 0.7), (2.5, 1.0, -1.0)]:
        assert_normal(desc, p, 1e-3)
    args = ((1.0, 0.5, 6.0), (0.1, -0.05, -1.0), 40, 20.0, 1e-4)
    assert agree(build(desc).raymarch_with_normal(*args),
                 ref.raymarch(compile_tree(desc), *args, with_normal=True))


def test_voxel_leaf_in_a_fused_union():
    z, y, x = np.indices((16, 16, 16))
    chunk = ((x + y + z) % 7 == 0).astype(np.uint8)
    desc = ("union", [("translate", (1.0, 2.0, 3.0), ("voxel", chunk)),
                      ("scale", 0.5, ("rotate", (0.0, 0.0, 0.3, 1.0), ("voxel", chunk))),
                      ("dilate", 0.25, ("segment", (0.0, 0.0, 0.0), (4.0, 4.0, 4.0)))])
    # A voxel leaf reads the evaluated point, P, or (under a moved union) a
    # saved point.
    nested = ("translate", (0.5, -0.5, 0.25), ("union", [("voxel", chunk), desc]))
    for shape in (desc, nested):
        for p in [(5.0, 5.0, 5.0), (1.5, 2.5, 3.5), (-1.0, 8.0, 2.0)]:
            assert_normal(shape, p, 0.01)


def test_one_shape_queried_from_many_threads():
    """A shape's decoded steps are kept with it after its first query and
    shared by every later one, on any thread: each thread's mix of evals,
    normals and marches must still give the model's answers."""
    desc = ("union", [deep_lists(2), ("scale", 1.5, long_transform_chain(4))])
    tree = compile_tree(desc)
    shape = build(desc)
    rng = np.random.default_rng(5)
    points = [tuple(map(float, p)) for p in rng.uniform(-3.0, 3.0, size=(24, 3))]
    rays = [(p, (0.3 - p[0], -p[1], 0.2 - p[2]), 40, 20.0, 1e-3) for p in points]
    want = [(ref.evaluate(tree, p), ref.normal(tree, p, 1e-3),
             ref.raymarch(tree, *ray, with_normal=True)) for p, ray in zip(points, rays)]
    start = threading.Barrier(4)

    def work(order):
        start.wait()  # the first query races with the others
        return [(shape.eval(points[i]), shape.normal(points[i], 1e-3),
                 shape.raymarch_with_normal(*rays[i])) for i in order]

    orders = [list(range(len(points)))[::step] for step in (1, -1, 2, -2)]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(work, orders))
    for order, got in zip(orders, results):
        for i, answers in zip(order, got):
            assert all(agree(g, w) for g, w in zip(answers, want[i])), (i, answers, want[i])
