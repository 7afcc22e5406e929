"""Batches whose whole program is one fused run: where the processor has
AVX-512, such a run reads packed float32 rows itself, sixteen at a time,
instead of a copy of them in lanes; and it multiplies by the reciprocal of
a scale factor, or of a segment's squared length, that is a power of two.
Every row must match the float32 model, and have the bits, NaN ones
included, of its point given alone and of the same rows read through
another layout (copied first)."""

import math
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from reference import agree, build, compile_tree, evaluate
from strategies import coord, leaf, quat, vec3
from test_chains import rows_to_check

# Powers of two around the ends of the normal range (2^127's reciprocal
# and 2^-130 itself are subnormal, 2^128 overflows), of both signs.
power_of_two = st.tuples(st.sampled_from([1.0, -1.0]), st.integers(-130, 128)).map(
    lambda t: t[0] * 2.0**t[1])
# A segment along small steps: e.e is often a power of two (1, 2, 4, 1/4 ...).
step = st.sampled_from([0.0, 1.0, -1.0, 2.0, 0.5, -0.25])
axis_segment = st.tuples(st.just((0, 0, 0)), st.tuples(step, step, step)).map(
    lambda t: ("segment",) + t)
# Offsets with +0 and -0 coordinates in every pattern: the runs leave out
# subtractions of +0 (never of -0, which turns -0 into +0), and join a
# translation with a leaf's own offset where one of them is zero. Their
# leaves then take the point itself where they took a difference: a NaN
# parameter meeting a NaN row must keep the same one of the two.
sparse = st.sampled_from([0.0, 0.0, -0.0, 1.5, -2.0, math.nan])
sparse3 = st.tuples(sparse, sparse, sparse)
sparse_leaf = st.one_of(
    st.tuples(st.just("sphere"), sparse3, st.just(1.0)),
    st.tuples(st.just("plane"), sparse3, st.tuples(sparse, sparse, sparse)),
    st.tuples(st.just("segment"), sparse3, sparse3),
)
transform = st.one_of(
    st.tuples(st.just("scale"), power_of_two),
    st.tuples(st.just("translate"), vec3),
    st.tuples(st.just("translate"), sparse3),
    st.tuples(st.just("rotate"), quat),
)


@st.composite
def chain(draw):
    desc = draw(st.one_of(axis_segment, leaf, sparse_leaf))
    for kind, arg in draw(st.lists(transform, max_size=3)):
        desc = (kind, arg, desc)
    return desc


trees = st.tuples(st.sampled_from(["union", "intersect"]), st.lists(chain(), min_size=1, max_size=6))
# Whole vectors of rows (read in place), blocks of 512 and partial tails.
ROWS = [16, 32, 48, 512, 528, 1040, 1047]
SPECIAL = [math.nan, -math.nan, math.inf, -math.inf, -0.0, 1e-40, 3e38]


@settings(deadline=None, max_examples=80)
@given(desc=trees, n=st.sampled_from(ROWS), seed=st.integers(0, 2**32 - 1), p=coord)
def test_rows_read_in_place_match_model_and_copied_rows(desc, n, seed, p):
    rng = np.random.default_rng(seed)
    pts = (rng.normal(size=(n, 3)) * 3).astype(np.float32)
    pick = rng.random((n, 3)) < 0.05
    pts[pick] = rng.choice(SPECIAL, pick.sum())
    # NaNs of both signs in one row: which one an operation keeps follows
    # its operand order, which must be the same however the row is read.
    pts[rng.random(n) < 0.2, :2] = [math.nan, -math.nan]
    with np.errstate(over="ignore"):
        pts[rng.integers(n)] = np.float32(p)  # one row in all three coordinates
    shape = build(desc)
    got = shape.eval_vec(pts)
    # Columns apart in memory: the rows are copied into lanes first.
    apart = shape.eval_vec(np.asfortranarray(pts))
    assert got.view(np.uint32).tolist() == apart.view(np.uint32).tolist()
    model = compile_tree(desc)
    # Every position of the first vector, and the usual edges; a point
    # given alone gets its row's bits, NaN sign and payload included.
    for i in sorted(set(range(16)) | set(rows_to_check(n))):
        point = tuple(map(float, pts[i]))
        assert agree(float(got[i]), evaluate(model, point)), (i, got[i])
        assert got[i:i + 1].view(np.uint32)[0] == np.float32(shape.eval(point)).view(np.uint32), i


def test_negative_zero_offsets_are_subtracted():
    """x - (-0) is x + 0, which turns -0 into +0: a run may leave out only
    subtractions of +0. At (-0, -0, -0) a plane through (-0, -0, -0) along
    x is +0 (the sum of -0 * 1 and two -0 * 0 would be -0), and so is the
    same plane through the origin moved there by a translation. (A far
    sphere beside it makes the program a run.)"""
    pts = np.full((32, 3), -0.0, np.float32)
    far = ("sphere", (9.0, 9.0, 9.0), 1.0)
    for plane in [("plane", (-0.0, -0.0, -0.0), (1.0, 0.0, 0.0)),
                  ("translate", (-0.0, -0.0, -0.0), ("plane", (0.0, 0.0, 0.0), (1.0, 0.0, 0.0)))]:
        desc = ("union", [plane, far])
        want = evaluate(compile_tree(desc), (-0.0, -0.0, -0.0))
        assert math.copysign(1.0, want) == 1.0 and want == 0.0
        got = build(desc).eval_vec(pts)
        assert got.view(np.uint32).tolist() == [0] * 32, desc


# Rows read in place go through a run's steps 32 at a time, two vectors per
# step, and a last odd vector alone: scene8's kinds of steps, a translation
# joined with a leaf's own offset, a NaN offset, and a NaN normal and a NaN
# rotation, which NaN rows meet in products (whose operand order picks the
# NaN kept). A union's (intersection's) first leaf folds into D from +inf
# (-inf) in place of the step after it: a NaN value there must still turn
# into +inf (-inf), alone or before a plane.
PAIRED = [
    ("union", [("sphere", (0, 0, 0), math.nan), ("plane", (0, -2, 0), (0, 1, 0))]),
    ("intersect", [("translate", (1.5, 0, 0), ("sphere", (0, 0, 0), math.nan))]),
    ("union", [("translate", (1.5, 0, 0), ("sphere", (0, 0, 0), 1.0)),
               ("scale", 1.3, ("rotate", (0.2, 0.1, 0, 1), ("sphere", (0, 1, 0), 0.5))),
               ("scale", 1.2, ("translate", (0.5, 0.5, 0.5), ("segment", (0, 0, -1), (0, 0, 1))))]),
    ("intersect", [("plane", (0, math.nan, -3), (0.1, 0, 1)),
                   ("translate", (0, 0, 0.5), ("plane", (0, 0, -3), (0.1, 0, 1))),
                   ("rotate", (0, 0, 0.38, 0.92), ("segment", (-1, 0, 0), (1, 0, 0)))]),
    ("scale", 1.3, ("translate", (0, 0.5, 0), ("plane", (0, 0, 0), (math.nan, 0, 1)))),
    ("rotate", (0, 0, math.nan, 1), ("rotate", (0.5, -0.5, 0, 0.6), ("sphere", (0.5, 1, 0), 1.0))),
]


# Which NaN a product or sum of two NaNs keeps follows the operand order the
# optimiser gives these commutative operations; the sanitizer build is
# optimised differently (and may put a NaN row first where the release build
# puts the NaN normal first). There only the rows' NaN-ness is compared.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def payloads_as_built(bits):
    """The bits, with every NaN made one NaN under the sanitizer."""
    bits = np.asarray(bits, np.uint32)
    if SANITIZED:
        bits = np.where((bits & 0x7FFFFFFF) > 0x7F800000, np.uint32(0x7FC00000), bits)
    return bits.tolist()


# (4151: a chunk of 4096 rows taken in one call, then a pair, an odd vector
# and a copied tail of 7.)
@pytest.mark.parametrize("n", [32, 48, 80, 560, 4151])
def test_each_vector_of_a_pair_keeps_its_rows(n):
    """Every row of either vector of a pair, and of the odd one, has the bits
    of its point given alone. NaN rows (x -NaN and y +NaN, or z a signalling
    NaN) sit in the second vector of each pair and the odd last one only:
    they give +inf, -inf and NaNs of other bits where the other rows give
    finite values and +NaN, so a vector that took the other's lanes, or
    kept the other NaN, would show."""
    rng = np.random.default_rng(n)
    pts = (rng.normal(size=(n, 3)) * 3).astype(np.float32)
    for start in range(16, n, 32):
        rows = start + rng.choice(min(16, n - start), 6, replace=False)
        pts[rows[:3], :2] = [-math.nan, math.nan]
        pts[rows[3:], 2] = np.uint32(0x7F800123).view(np.float32)
    for desc in PAIRED:
        shape = build(desc)
        got = shape.eval_vec(pts).view(np.uint32)
        alone = [np.float32(shape.eval(tuple(map(float, p)))).view(np.uint32) for p in pts]
        assert payloads_as_built(got) == payloads_as_built(alone), desc
        copied = shape.eval_vec(np.asfortranarray(pts)).view(np.uint32)
        assert payloads_as_built(got) == payloads_as_built(copied)

