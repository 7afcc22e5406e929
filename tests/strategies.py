"""Hypothesis strategies for random shape descriptions (see reference.py)."""

import math

from hypothesis import strategies as st

# Mostly ordinary magnitudes, occasionally values that stress IEEE rules:
# signed zeros, infinities, NaN, numbers that overflow or underflow float32.
SPECIAL = st.sampled_from(
    [0.0, -0.0, math.inf, -math.inf, math.nan, 1e39, -1e39, 1e-30, 1e-45, 0.1])
ORDINARY = st.floats(-4.0, 4.0, allow_nan=False, width=32)
SMALL_INT = st.integers(-3, 3).map(float)


def rarely(rare, common, one_in=30):
    """`common` values, with a `rare` one about once in `one_in` draws."""
    return st.integers(1, one_in).flatmap(lambda i: rare if i == one_in else common)


coord = rarely(SPECIAL, st.one_of(ORDINARY, SMALL_INT))
positive = rarely(SPECIAL, st.one_of(st.floats(0.0625, 3.0, width=32), st.floats(0.05, 3.0)))
vec3 = st.tuples(coord, coord, coord)
# Directions are axis-aligned a good share of the time, so that degenerate
# normalisation (all-zero, one huge component) is reached.
axis = st.sampled_from([0.0, 1.0, -2.0, 0.5])
direction = st.one_of(vec3, st.tuples(axis, axis, axis))
quat = rarely(
    st.sampled_from([(0.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 2.0), (1.0, 0.0, 0.0, 0.0)]),
    st.one_of(st.tuples(coord, coord, coord, coord), st.tuples(axis, axis, axis, axis)),
    8,
)
scale_factor = st.one_of(positive, positive.map(lambda k: -k), SMALL_INT)


@st.composite
def segment_desc(draw):
    a = draw(vec3)
    # Coincident ends give 0/0 in the projection and must stay NaN.
    b = a if draw(st.integers(0, 9)) == 0 else draw(vec3)
    return ("segment", a, b)


leaf = st.one_of(
    st.tuples(st.just("sphere"), vec3, positive),
    st.tuples(st.just("plane"), vec3, direction),
    segment_desc(),
    st.tuples(st.just("ray"), vec3, direction),
)


def _inner(children):
    # Empty unions and intersections are infinite everywhere; keep them rare
    # so that they do not swamp the rest of the tree.
    kids = rarely(st.just([]), st.lists(children, min_size=1, max_size=3), 10)
    return st.one_of(
        st.tuples(st.sampled_from(["union", "intersect"]), kids),
        st.tuples(st.just("difference"), children, children),
        st.tuples(st.just("dual"), children),
        st.tuples(st.sampled_from(["dilate", "erode"]), coord, children),
        st.tuples(st.just("scale"), scale_factor, children),
        st.tuples(st.just("translate"), vec3, children),
        st.tuples(st.just("rotate"), quat, children),
    )


trees = st.recursive(leaf, _inner, max_leaves=8)
points = vec3
