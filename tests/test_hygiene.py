"""No call leaves a reference behind on its receiver, operands or arguments,
whether it succeeds or fails; shapes stay independent of what built them."""

import gc
import sys

import numpy
import pytest

from tessaron import Sdf

A = Sdf.sphere((0, 0, 0), 1.0)
B = Sdf.sphere((2, 0, 0), 1.0)
P = (0.5, float(7), 1.5)  # a fresh float object inside
ORIGIN, DIR = (0, 0, -5.0), (0, 0, float(2))
LIST = [A, B, A]
BAD_LIST = [A, B, 3]
STEPS = 2**20 + 1  # not a cached small int
CHUNK = numpy.zeros((16, 16, 16), numpy.uint8)
SHORT_CHUNK = numpy.zeros((16, 15, 16), numpy.uint8)
PTS = numpy.ones((5, 3))
NARROW = numpy.ones((5, 2), numpy.float32)
QUAT = (0, 0, 1.0, 1.0)
EPS = float("1e-3")

CALLS = [
    lambda: Sdf.sphere(P, EPS), lambda: Sdf.plane(P, P), lambda: Sdf.segment(P, P),
    lambda: Sdf.ray(P, P), lambda: Sdf.voxel(CHUNK), lambda: A.scale(EPS),
    lambda: A.translate(P), lambda: A.rotate(QUAT), lambda: A.erode(EPS),
    lambda: A.dilate(EPS), lambda: A.dual(), lambda: Sdf.union(LIST),
    lambda: Sdf.intersect(tuple(LIST)), lambda: Sdf.difference(A, B),
    lambda: A.normal(P, EPS), lambda: A.eval(P), lambda: A.eval_vec(PTS),
    lambda: A.raymarch(ORIGIN, DIR, STEPS, EPS, EPS),
    lambda: A.raymarch_with_normal(ORIGIN, DIR, STEPS, EPS, EPS),
]
FAILING = [
    lambda: Sdf.sphere(P, LIST), lambda: Sdf.voxel(SHORT_CHUNK), lambda: Sdf.voxel(LIST),
    lambda: A.translate(QUAT), lambda: A.rotate(P), lambda: A.scale(P), lambda: A.dual(P),
    lambda: Sdf.union(BAD_LIST), lambda: Sdf.intersect(BAD_LIST), lambda: Sdf.difference(A, LIST),
    lambda: Sdf.difference(LIST, A), lambda: A.normal(P, LIST), lambda: A.eval(LIST),
    lambda: A.eval(P, P), lambda: A.eval_vec(NARROW), lambda: A.eval_vec(LIST),
    lambda: A.raymarch(P, P, -STEPS, EPS, EPS), lambda: A.raymarch_with_normal(P, P, STEPS, EPS, LIST),
    lambda: Sdf.eval(B, P, p=P), lambda: A.raymarch(P, P, EPS, EPS, EPS),
]
TRACKED = [A, B, P, P[1], ORIGIN, DIR, DIR[2], LIST, BAD_LIST, STEPS, CHUNK, SHORT_CHUNK, PTS, NARROW, QUAT, EPS]


def counts():
    return [sys.getrefcount(obj) for obj in TRACKED]


@pytest.mark.parametrize("call", CALLS + FAILING)
def test_calls_leave_reference_counts_unchanged(call):
    failing = call in FAILING
    for _ in range(3):  # warm up one-time caches (NumPy interface, Sequence)
        try:
            call()
        except BaseException:
            pass
    before = counts()
    for _ in range(200):
        try:
            result = call()
        except BaseException:
            assert failing
        else:
            assert not failing
            assert result is not None and sys.getrefcount(result) == 2
            if isinstance(result, tuple):
                assert all(sys.getrefcount(result[i]) == 2 for i in range(len(result)))
            del result
    assert counts() == before


def test_voxel_grid_outlives_its_shape():
    chunk = numpy.zeros((16, 16, 16), numpy.uint8)
    chunk[5, 4, 3] = chunk[7, 2, 10] = 1  # cells (3, 4, 5) and (10, 2, 7)
    points = [(3, 4, 5), (10, 2, 7), (0.5, 6.25, 3.75), (20, -3, 8), (7.5, 7.5, 7.5)]
    voxel = Sdf.voxel(chunk)
    expected = [voxel.eval(p) for p in points]
    assert expected.count(0.0) == 2 and min(expected[2:]) > 0
    moved = voxel.translate((1, 0, 0))
    both = Sdf.union([voxel, Sdf.sphere((100, 0, 0), 1.0)])
    chunk[:] = 1  # the grid was computed, not kept as a view of the chunk
    del voxel, chunk
    gc.collect()
    # Churn the allocator so a freed grid would be overwritten.
    others = [Sdf.voxel(numpy.ones((16, 16, 16), numpy.uint8)) for _ in range(8)]
    assert [moved.eval((x + 1, y, z)) for x, y, z in points] == expected
    del moved
    others += [Sdf.voxel(numpy.ones((16, 16, 16), numpy.uint8)) for _ in range(8)]
    assert [both.eval(p) for p in points] == expected
    assert all(o.eval((3, 4, 5)) == 0.0 for o in others)


def test_shapes_are_independent_copies():
    base = Sdf.sphere((0, 0, 0), 1.0)
    moved = base.translate((0, 0, 3))
    pair = Sdf.union([base, base])
    cut = Sdf.difference(base, moved)
    del base
    assert (moved.eval((0, 0, 3)), pair.eval((0, 0, 0)), cut.eval((0, 0, 0))) == (-1.0, -1.0, -1.0)
    assert cut.eval((0, 0, 2)) == 1.0  # a stays first, b second
    outer = moved.scale(2.0)
    del moved, pair
    assert outer.eval((0, 0, 6)) == -2.0 and cut.eval((0, 0, 0.5)) == -0.5
