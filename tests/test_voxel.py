"""Sdf.voxel: the distance grid built from an occupancy chunk and its sampler."""

import gc

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.ndimage import distance_transform_edt

from tessaron import Sdf

F = np.float32
N = 16
# Upper clamp bound of the sampler: 16 + (-1.0001) in single precision.
UPPER = F(N) + F(-1.0001)
# Every cell centre, as x, y, z columns, in chunk order (z slowest, x fastest).
CENTRES = np.argwhere(np.ones((N, N, N)))[:, ::-1].astype(np.int32)
INNER = (CENTRES <= 14).all(1)  # centres where the sampler returns the sample itself


def brute_grid(chunk):
    """Distance of every cell centre to the nearest occupied centre, indexed [z, y, x]."""
    occ = np.argwhere(chunk != 0)[:, ::-1].astype(np.int32)  # as (x, y, z)
    best = np.full(len(CENTRES), np.inf, np.float32)
    for start in range(0, len(occ), 256):
        d2 = ((CENTRES[:, None, :] - occ[None, start:start + 256, :]) ** 2).sum(-1).min(1)
        best = np.minimum(best, np.sqrt(d2.astype(np.float32)))
    return best.reshape(N, N, N)


def ref_sample(grid, pts):
    """Clamped trilinear sample of a [z, y, x] grid at float32 points (rows x, y, z)."""
    pts = np.asarray(pts, np.float32)
    idx, frac = [], []
    for a in range(3):
        v = pts[:, a]
        v = np.where(v < 0, F(0), v)
        v = np.where(v > UPPER, UPPER, v)
        i0 = np.clip(np.where(np.isnan(v), 0, np.floor(v)).astype(np.int64), 0, N - 1)
        idx.append((i0, np.minimum(i0 + 1, N - 1)))
        frac.append(v - i0.astype(np.float32))
    (x0, x1), (y0, y1), (z0, z1) = idx
    tx, ty, tz = frac
    one = F(1)
    with np.errstate(invalid="ignore"):
        e = {(j, k): grid[zz, yy, x0] * (one - tx) + grid[zz, yy, x1] * tx
             for j, yy in enumerate((y0, y1)) for k, zz in enumerate((z0, z1))}
        f0 = e[0, 0] * (one - ty) + e[1, 0] * ty
        f1 = e[0, 1] * (one - ty) + e[1, 1] * ty
        return f0 * (one - tz) + f1 * tz


def ev(shape, pts):
    return np.array([shape.eval(tuple(map(float, p))) for p in pts], np.float32)


def assert_same(actual, expected):
    """Equal bit for bit, except that any NaN matches any NaN."""
    nan = np.isnan(expected)
    bad = (np.isnan(actual) != nan) | (~nan & (actual.view(np.uint32) != expected.view(np.uint32)))
    assert not bad.any(), f"first mismatch at {np.argmax(bad)}: {actual[bad][:5]} != {expected[bad][:5]}"


def check_grid(shape, block):
    """The shape's field at every cell centre matches the brute-force grid of `block`."""
    grid = brute_grid(block)
    got = ev(shape, CENTRES)
    assert_same(got, ref_sample(grid, CENTRES))
    if np.isfinite(grid).all():
        assert_same(got[INNER], grid.reshape(-1)[INNER])
    return got


def random_chunk(seed, density):
    rng = np.random.default_rng(seed)
    occupied = rng.random((N, N, N)) < density
    return np.where(occupied, rng.integers(1, 256, (N, N, N)), 0).astype(np.uint8)


@given(st.integers(0, 2**32 - 1), st.sampled_from([0.0003, 0.003, 0.02, 0.1, 0.5, 0.97, 1.0]))
def test_grid_is_exact_euclidean_distance(seed, density):
    chunk = random_chunk(seed, density)
    got = check_grid(Sdf.voxel(chunk), chunk)
    if chunk.any():
        scipy_grid = distance_transform_edt(chunk == 0).astype(np.float32).reshape(-1)
        assert_same(got[INNER], scipy_grid[INNER])


def cells(*where):
    chunk = np.zeros((N, N, N), np.uint8)
    for a, b, c in where:
        chunk[a, b, c] = 1
    return chunk


@pytest.mark.parametrize("chunk", [
    cells((0, 0, 0)), cells((15, 15, 15)), cells((0, 15, 7)), cells((8, 3, 12)),
    cells((0, 0, 0), (0, 1, 2)), np.full((N, N, N), 255, np.uint8),
    np.zeros((N, N, N), np.uint8), (np.indices((N, N, N)).sum(0) % 2).astype(np.uint8),
], ids=["origin", "far-corner", "edge", "inner", "pair", "full", "empty", "checker"])
def test_special_chunks(chunk):
    check_grid(Sdf.voxel(chunk), chunk)


def test_known_values():
    one = Sdf.voxel(cells((0, 0, 0)))
    assert one.eval((3, 4, 0)) == 5.0
    skew = Sdf.voxel(cells((2, 5, 9)))  # element [a, b, c] is the cell at x=c, y=b, z=a
    assert skew.eval((9, 5, 2)) == 0.0 and skew.eval((2, 5, 9)) == float(F(np.sqrt(98)))
    pair = Sdf.voxel(cells((0, 0, 0), (0, 1, 2)))
    assert pair.eval((0, 3, 0)) == float(F(np.sqrt(8)))
    # The value at 15 is not the last sample: 0.0001 of the one below is mixed in.
    at15 = one.eval((15, 0, 0))
    assert at15 != 15.0 and abs(at15 - 14.9999) < 2e-6
    # Outside the box the point is clamped onto it, faces, edges and corners alike.
    assert one.eval((-100, 3.5, 2.25)) == one.eval((0, 3.5, 2.25)) > 4
    assert one.eval((100, -1e30, np.inf)) == one.eval((float(UPPER), 0, float(UPPER)))
    assert one.eval((1e30, 0, 0)) == at15 and one.eval((-7, -7, -7)) == 0.0
    full = Sdf.voxel(np.ones((N, N, N), np.uint8))
    assert {full.eval(p) for p in [(-100, 3, 1e30), (7.5, 7.5, 7.5), (15, 15, 15)]} == {0.0}
    empty = Sdf.voxel(np.zeros((N, N, N), np.uint8))
    assert empty.eval((0.5, 0.5, 0.5)) == np.inf and empty.eval((20, 30, 40)) == np.inf
    for p in [(3, 4, 5), (-5, 0.5, 0.5), (0.5, float("nan"), 0.5)]:
        assert np.isnan(empty.eval(p))


SPECIAL = np.array([np.nan, np.inf, -np.inf, -0.0, 0, 14, 15, 16, 1e30, -1e30, -100, 100,
                    14.9999, 14.99989, 14.9998, np.nextafter(F(15), F(0)), 1e-40], np.float32)


def test_sampler_at_random_points():
    rng = np.random.default_rng(12345)
    for chunk in [random_chunk(1, 0.003), random_chunk(2, 0.1), cells((15, 0, 15))]:
        shape, grid = Sdf.voxel(chunk), brute_grid(chunk)
        pts = rng.uniform(-3, 19, (6000, 3)).astype(np.float32)
        pts[:1000] = np.round(pts[:1000] * 2) / 2
        pick = rng.random(pts.shape) < 0.15
        pts[pick] = rng.choice(SPECIAL, pick.sum())
        assert_same(ev(shape, pts), ref_sample(grid, pts))


def nan_payloads(rng, count):
    """NaNs of either sign with random payloads, quiet and signalling."""
    bits = rng.integers(1, 1 << 23, count, dtype=np.uint32) | np.uint32(0x7F800000)
    return (bits | (rng.integers(0, 2, count, dtype=np.uint32) << 31)).view(np.float32)


@given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 600), shift=st.booleans(),
       combine=st.sampled_from(["alone", "union", "difference"]))
def test_batch_sampler(seed, rows, shift, combine):
    """eval_vec samples as the reference does, at every block and tail size, and gives the
    single-point eval's bits, NaN signs and payloads included."""
    rng = np.random.default_rng(seed)
    chunk = random_chunk(seed, rng.choice([0.0, 0.01, 0.2]))
    pts = rng.uniform(-3, 19, (rows, 3)).astype(np.float32)
    pts[: rows // 3] = np.round(pts[: rows // 3] * 2) / 2
    pick = rng.random(pts.shape) < 0.2
    pts[pick] = np.where(rng.random(pick.sum()) < 0.5, nan_payloads(rng, pick.sum()),
                         rng.choice(SPECIAL, pick.sum()))
    offset = np.array([0.5, -1.25, 2.0] if shift else [0, 0, 0], np.float32)
    voxel = Sdf.voxel(chunk).translate(tuple(map(float, offset)))
    shape = {"alone": voxel, "union": Sdf.union([Sdf.sphere((8, 8, 8), 3), voxel]),
             "difference": Sdf.difference(Sdf.sphere((8, 8, 8), 6), voxel)}[combine]
    got = shape.eval_vec(pts)
    assert got.view(np.uint32).tolist() == ev(shape, pts).view(np.uint32).tolist()
    if combine == "alone":
        with np.errstate(invalid="ignore"):  # signalling NaNs
            assert_same(got, ref_sample(brute_grid(chunk), pts - offset))


class Chunk(np.ndarray):
    pass


BASE = random_chunk(5, 0.02)
BIG = np.random.default_rng(6).integers(0, 2, (40, 40, 40)).astype(np.uint8) * 3
OUTER_ONLY = np.ones((20, 20, 20), np.uint8)
OUTER_ONLY[:16, :16, :16] = 0
READONLY = BASE.copy()
READONLY.flags.writeable = False


@pytest.mark.parametrize("array", [
    np.asfortranarray(BASE), BASE[::-1], BASE[:, ::-1, ::-1], BASE.transpose(2, 0, 1),
    BASE.T, READONLY, BASE.view(Chunk), BIG[:20, :20, :20], BIG[1::2, ::-2, 3:37],
    BIG[::-1, 5:, ::2], np.broadcast_to(BASE[3], (N, N, N)), OUTER_ONLY,
], ids=["fortran", "reversed", "reversed-yx", "transposed", "T", "readonly", "subclass",
        "20-cube", "sliced", "sliced-reversed", "zero-stride", "outside-block"])
def test_array_layouts(array):
    snapshot = array.copy()
    check_grid(Sdf.voxel(array), np.ascontiguousarray(array[:N, :N, :N]))
    assert np.array_equal(array, snapshot)


class Outer:
    class Inner(list):
        pass


NOT_ARRAY = "object is not an instance of 'ndarray'"


WRONG_ARRAYS = [np.zeros((N, N, N), t) for t in (bool, np.int8, np.float32, np.uint16)] + [
    np.zeros((N, N), np.uint8), np.zeros((N, N, N, 1), np.uint8), np.zeros((15, N, N), bool)]


@pytest.mark.parametrize("arg, message", [(a, f"'ndarray' {NOT_ARRAY}") for a in WRONG_ARRAYS] + [
    (np.zeros((N, N, N), np.uint8).tolist(), f"'list' {NOT_ARRAY}"),
    (Outer.Inner(), f"'Outer.Inner' {NOT_ARRAY}"),
    (bytes(4096), f"'bytes' {NOT_ARRAY}"),
    (None, "'None' is not an instance of 'ndarray'"),
])
def test_refused_chunks(arg, message):
    with pytest.raises(TypeError) as info:
        Sdf.voxel(arg)
    assert str(info.value) == f"argument 'py_chunk': {message}"


@pytest.mark.parametrize("dims", [(15, N, N), (N, 15, N), (N, N, 15), (0, 0, 0), (40, 40, 3)])
def test_short_chunk_panics(dims):
    with pytest.raises(BaseException) as info:
        Sdf.voxel(np.ones(dims, np.uint8)[::-1])
    exc = info.value
    assert (type(exc).__module__, type(exc).__name__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(exc, Exception) and exc.args == ("ndarray: index out of bounds",)


def test_derived_shapes_keep_shared_grid():
    chunk = cells((0, 0, 0))
    base = Sdf.voxel(py_chunk=chunk)
    q = (0.0, 0.0, float(np.sin(np.pi / 4)), float(np.cos(np.pi / 4)))
    derived = [base.translate((10, 0, 0)), base.scale(2), base.dual(), base.erode(1.5),
               base.rotate(q), Sdf.union([base.translate((0, 0, 5)), Sdf.sphere((0, 0, 0), 1)]),
               Sdf.difference(base, Sdf.sphere((3, 4, 0), 1))]
    pts = np.random.default_rng(3).uniform(-4, 20, (300, 3)).astype(np.float32)
    before = [ev(d, pts) for d in derived]
    chunk[:] = 0  # the grid is a copy: later writes to the array do not reach it
    del base, chunk
    gc.collect()
    for d, values in zip(derived, before):
        assert_same(ev(d, pts), values)
    moved, scaled, dual, eroded, _, union, diff = derived
    assert moved.eval((10, 0, 0)) == 0.0 and scaled.eval((6, 8, 0)) == 10.0
    assert dual.eval((3, 4, 0)) == -5.0 and eroded.eval((0, 0, 0)) == 1.5
    assert union.eval((0, 0, 0)) == -1.0 and union.eval((3, 4, 5)) == 5.0
    assert diff.eval((3, 4, 0)) == 5.0
