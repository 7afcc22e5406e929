"""Batches over chains: point transforms in any order and number, a leaf,
a distance operation, all folded into a union, intersection or difference.
The batch kernel runs such chains in fused passes; every row must still
match the float32 model bit for bit, wherever it falls in a block."""

import math

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from reference import agree, build, compile_tree, evaluate
from strategies import coord, leaf, quat, scale_factor, vec3

transform = st.one_of(
    st.tuples(st.just("translate"), vec3),
    st.tuples(st.just("scale"), scale_factor),
    st.tuples(st.just("rotate"), quat),
)
# What may follow the leaf: nothing, or one operation on its distance (a
# scale is both: it scales the point before and the distance after).
after = st.one_of(
    st.none(),
    st.tuples(st.sampled_from(["dilate", "erode"]), coord),
    st.tuples(st.just("scale"), scale_factor),
    st.just(("dual",)),
)


@st.composite
def chain(draw):
    desc = draw(leaf)
    for kind, arg in draw(st.lists(transform, max_size=3)):
        desc = (kind, arg, desc)
    op = draw(after)
    if op is None:
        return desc
    return ("dual", desc) if op[0] == "dual" else (op[0], op[1], desc)


combined = st.one_of(
    st.tuples(st.sampled_from(["union", "intersect"]), st.lists(chain(), min_size=1, max_size=4)),
    st.tuples(st.just("difference"), chain(), chain()),
)
# Sometimes under a transform: the chains then start from a saved point
# that is not the row itself.
trees = st.one_of(combined, st.tuples(transform, combined).map(lambda t: t[0] + (t[1],)))

# Row counts around the 8- and 16-lane vectors and the 512-row blocks.
ROWS = [1, 7, 9, 15, 17, 511, 512, 513, 1031]
SPECIAL = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1e30, -3e38, 1e-40]


def rows_to_check(n):
    """Every row of a small batch; of a large one, those at the ends of
    vectors and blocks and a spread in between."""
    if n <= 16:
        return range(n)
    edges = {0, 1, 7, 8, 9, 15, 16, 17, n - 1, n - 2, n - 8, n - 16}
    edges |= {b + d for b in range(0, n, 512) for d in (-1, 0, 1)}
    return sorted(i for i in edges | set(range(3, n, 97)) if 0 <= i < n)


@settings(deadline=None)
@given(desc=trees, n=st.sampled_from(ROWS), seed=st.integers(0, 2**32 - 1))
def test_chains_match_model_in_every_block_position(desc, n, seed):
    rng = np.random.default_rng(seed)
    pts = (rng.normal(size=(n, 3)) * 3).astype(np.float32)
    pick = rng.random((n, 3)) < 0.05
    pts[pick] = rng.choice(SPECIAL, pick.sum())
    got = build(desc).eval_vec(pts)
    model = compile_tree(desc)
    for i in rows_to_check(n):
        want = evaluate(model, tuple(map(float, pts[i])))
        assert agree(float(got[i]), want), (i, got[i], want)

