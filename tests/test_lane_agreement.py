"""A point given to eval and the same point as a row of eval_vec agree to
the bit, NaN sign and payload included, wherever the row falls in a batch:
a vector's first or last lane, a short tail, either side of a block edge.
(Against the float32 model any NaN agrees with any NaN: its NaN bits are
Python's.)"""

import math

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import strategies as S
from reference import agree, build, compile_tree, evaluate
from test_chains import chain
from tessaron import Sdf

F = np.float32


@st.composite
def voxel_leaf(draw):
    seed = draw(st.integers(0, 2**32 - 1))
    chunk = (np.random.default_rng(seed).random((16, 16, 16)) < 0.05).astype(np.uint8)
    return ("voxel", chunk)


# Every node kind, voxels included, and the fused chains of the batch
# kernel (a leaf under transforms, one distance operation, a fold).
leaf = st.one_of(S.leaf, voxel_leaf())
trees = st.one_of(st.recursive(leaf, S._inner, max_leaves=8),
                  st.tuples(st.sampled_from(["union", "intersect"]),
                            st.lists(chain(), min_size=1, max_size=4)))
SPECIAL = [np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0, 1e30, -3e38]
# Points with NaN of either sign or infinities in a good share of draws:
# where two NaNs meet in one operation, which one survives is the point.
coord = st.one_of(S.coord, st.sampled_from(SPECIAL))
points = st.tuples(coord, coord, coord)

# The row count and where the point goes: a tail-only batch, and a batch
# of two blocks and a tail of seven rows (the last row is in it).
LAYOUTS = [(3, (0, 2)), (1031, (0, 3, 7, 8, 511, 512, 1029, 1030))]


def u32(x):
    return int(F(x).view(np.uint32))


@settings(deadline=None, max_examples=300)
@given(desc=trees, p=points, seed=st.integers(0, 2**32 - 1))
def test_eval_and_every_row_of_eval_vec_agree_to_the_bit(desc, p, seed):
    rng = np.random.default_rng(seed)
    shape = build(desc)
    with np.errstate(over="ignore"):
        point = np.array(p, F)
    got = shape.eval(p)
    assert agree(got, evaluate(compile_tree(desc), tuple(map(float, point))))
    for n, rows in LAYOUTS:
        pts = (rng.normal(size=(n, 3)) * 3).astype(F)
        pick = rng.random((n, 3)) < 0.1
        pts[pick] = rng.choice(SPECIAL, pick.sum())
        pts[list(rows)] = point
        vec = shape.eval_vec(pts).view(np.uint32)
        assert [int(vec[i]) for i in rows] == [u32(got)] * len(rows), (n, hex(u32(got)))


def stencil_normal(shape, p, h):
    """The normalised central differences of the batch distances at the six
    stencil points of a normal."""
    with np.errstate(all="ignore"):
        x, y, z = np.array(p, F)
        h = F(h)
        stencil = np.array([[x + h, y, z], [x - h, y, z], [x, y + h, z],
                            [x, y - h, z], [x, y, z + h], [x, y, z - h]], F)
        v = shape.eval_vec(stencil)
        g = [v[0] - v[1], v[2] - v[3], v[4] - v[5]]
        inv = F(1) / np.sqrt((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2])
        return tuple(float(c * inv) for c in g)


@settings(deadline=None, max_examples=100)
@given(desc=trees, p=points, h=st.sampled_from([1e-3, 0.5, 0.0]))
def test_normal_is_the_stencil_of_eval_vec(desc, p, h):
    shape = build(desc)
    assert agree(shape.normal(p, h), stencil_normal(shape, p, h))


def wide_and_deep(seed, depth):
    """A union wide enough to be pruned (bare spheres and dilated segments),
    nested `depth` levels deep so that its stacks outgrow small storage."""
    rng = np.random.default_rng(seed)
    parts = []
    for i in range(40):
        c = tuple(float(v) for v in rng.normal(size=3) * 4)
        end = (c[0] + 1.0, c[1], c[2])
        parts.append(Sdf.sphere(c, 0.5) if i % 3 else Sdf.segment(c, end).dilate(0.25))
    shape = Sdf.union(parts)
    for _ in range(depth):
        shape = Sdf.union([shape.translate((0.01, 0, 0)), Sdf.sphere((0, 0, 9), 1.0)]).dual()
    return shape


@settings(deadline=None, max_examples=40)
@given(seed=st.integers(0, 2**32 - 1), depth=st.sampled_from([0, 1, 60]), p=points,
       nan_on_top=st.booleans())
def test_pruned_and_deep_programs_agree_too(seed, depth, p, nan_on_top):
    # A union or intersection is never NaN; a dilation by infinity makes its
    # +inf at a NaN point NaN, so that the lanes take over there.
    shape = wide_and_deep(seed, depth)
    if nan_on_top:
        shape = shape.dilate(math.inf)
    pts = np.zeros((9, 3), F)
    with np.errstate(over="ignore"):
        pts[:] = np.array(p, F)
    got = shape.eval(p)
    assert [int(b) for b in shape.eval_vec(pts).view(np.uint32)] == [u32(got)] * 9
    assert agree(shape.normal(p, 1e-3), stencil_normal(shape, p, 1e-3))
