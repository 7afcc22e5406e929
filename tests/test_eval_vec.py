"""Sdf.eval_vec: many points at once, identical to eval row by row."""

import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessaron import Sdf

# float64 inputs beyond the float32 range become infinities in NumPy's cast, with a warning.
pytestmark = pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
NOT_ARRAY = "object is not an instance of 'ndarray'"

GRIDS = [Sdf.voxel((np.random.default_rng(seed).random((16, 16, 16)) < density).astype(np.uint8))
         for seed, density in [(1, 0.005), (2, 0.2), (3, 0.0)]]
coord = st.floats(-20, 20, width=32)
vec = st.tuples(coord, coord, coord)
leaves = st.one_of(
    st.builds(Sdf.sphere, vec, st.floats(0, 8, width=32)),
    st.builds(Sdf.plane, vec, vec),
    st.builds(Sdf.segment, vec, vec),
    st.builds(Sdf.ray, vec, vec),
    st.sampled_from(GRIDS),
)


def extend(kids):
    offset = st.floats(-5, 5, width=32)
    return st.one_of(
        st.lists(kids, max_size=3).map(Sdf.union),
        st.lists(kids, max_size=3).map(Sdf.intersect),
        st.builds(Sdf.difference, kids, kids),
        st.builds(lambda s, v: s.translate(v), kids, vec),
        st.builds(lambda s, k: s.scale(k), kids, st.floats(-4, 4, width=32)),
        st.builds(lambda s, q: s.rotate(q), kids, st.tuples(coord, coord, coord, coord)),
        st.builds(lambda s, r: s.erode(r), kids, offset),
        st.builds(lambda s, r: s.dilate(r), kids, offset),
        kids.map(lambda s: s.dual()),
    )


trees = st.recursive(leaves, extend, max_leaves=8)
SPECIAL = [np.nan, np.inf, -np.inf, -0.0, 0.0, 15.0, 1e30, -1e30, 1e39, 1e-40, 3.0000001]


def points(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 40))
    pts = rng.uniform(-25, 25, (n, 3))
    grid = rng.random((n, 3)) < 0.3
    pts[grid] = np.round(rng.uniform(-2, 17, grid.sum()) * 2) / 2
    pick = rng.random((n, 3)) < 0.1
    pts[pick] = rng.choice(SPECIAL, pick.sum())
    return pts


def strided(p, dtype=np.float64):
    buf = np.full((2 * len(p), 9), 7.5, dtype)
    buf[::2, 2:8:2] = p
    return buf[::2, 2:8:2]


def unaligned(p):
    """float32 points one byte off alignment, viewing a uint8 buffer."""
    raw = np.zeros(4 * p.size + 1, np.uint8)
    out = raw[1:].view(np.float32).reshape(p.shape)
    out[...] = p
    return out


class Recording(np.ndarray):
    def astype(self, *args, **kwargs):
        self.calls = getattr(self, "calls", []) + [(args, kwargs)]
        return super().astype(*args, **kwargs)


KINDS = {
    "float64": lambda p: p,
    "float32": lambda p: p.astype(np.float32),
    "int64": lambda p: np.clip(np.nan_to_num(p), -1e6, 1e6).astype(np.int64),
    "fortran": np.asfortranarray,
    "strided": strided,
    "reversed": lambda p: p[::-1, ::-1].copy()[::-1, ::-1],
    "extra-columns": lambda p: np.hstack([p, np.full((len(p), 2), np.nan)]),
    # float32 arrays are read where they lie: every layout of them.
    "float32-fortran": lambda p: np.asfortranarray(p, np.float32),
    "float32-strided": lambda p: strided(p, np.float32),
    "float32-reversed": lambda p: p.astype(np.float32)[::-1, ::-1].copy()[::-1, ::-1],
    "float32-unaligned": unaligned,
    "float32-subclass": lambda p: p.astype(np.float32).view(Recording),
}


def rowwise(shape, arr):
    """eval of every row's first three columns, after the float32 cast."""
    rows = np.asarray(arr).astype(np.float32)[:, :3]
    return np.array([shape.eval(tuple(map(float, r))) for r in rows], np.float32)


def same_bits(a, b, any_nan=False):
    """float32 arrays equal bit for bit; with any_nan, a NaN matches any NaN."""
    both_nan = np.isnan(a) & np.isnan(b) if any_nan else False
    return a.dtype == b.dtype == np.float32 and a.shape == b.shape and bool(
        np.all((a.view(np.uint32) == b.view(np.uint32)) | both_nan))


@pytest.mark.parametrize("kind", KINDS)
@given(tree=trees, seed=st.integers(0, 2**32 - 1))
def test_matches_eval_row_by_row(kind, tree, seed):
    arr = KINDS[kind](points(seed))
    # A NaN's sign and payload follow the processor's propagation rules
    # (which operand's NaN an instruction keeps), so any NaN matches any NaN.
    assert same_bits(tree.eval_vec(arr), rowwise(tree, arr), any_nan=True)
    assert getattr(arr, "calls", [(("float32",), {})]) == [(("float32",), {})]


POISON = np.uint32(0x7FBADBAD)  # a NaN no evaluation makes


def _cloud(n, rng):
    centres = rng.uniform(-1, 1, (n, 3))
    return Sdf.union([Sdf.sphere(tuple(map(float, c)), 0.05) for c in centres])


@pytest.mark.parametrize("n", [1, 9, 513, 5000])
@pytest.mark.parametrize("shape", [
    Sdf.sphere((0, 0, 0), 1), Sdf.union([Sdf.sphere((i, 0, 0), 0.5).translate((0, 1, 0))
                                         for i in range(5)]),
    _cloud(300, np.random.default_rng(1)), _cloud(300, np.random.default_rng(2)).translate((1, 0, 0)),
], ids=["sphere", "small-union", "pruned-cloud", "moved-cloud"])
def test_every_row_written(shape, n):
    # The result array is not zero-filled: memory just freed with a marker
    # in it is what a new array of that size most likely gets, so a row the
    # evaluator missed would show the marker (and differ from eval).
    rng = np.random.default_rng(n)
    pts = rng.uniform(-1.2, 1.2, (n, 3)).astype(np.float32)
    pts[rng.random(n) < 0.02, 0] = np.nan
    want = rowwise(shape, pts)
    for _ in range(3):
        marked = np.full(n, POISON, np.uint32)
        del marked
        got = shape.eval_vec(pts)
        assert not np.any(got.view(np.uint32) == POISON)
        assert same_bits(got, want)


ZERO_SPHERE = Sdf.sphere((0, 0, 0), 0)


@pytest.mark.parametrize("tree", [
    Sdf.segment((1, 1, 1), (1, 1, 1)), Sdf.segment((1, 1, 1), (1, 1, 1)).dual(),
    ZERO_SPHERE.rotate((0, 0, 0, 0)), ZERO_SPHERE.rotate((0, 0, 0, 0)).dual(),
    ZERO_SPHERE.scale(0), GRIDS[2].translate((0.5, 0, 0)).dual(),
], ids=["segment", "dual-segment", "rotate-zero", "dual-rotate-zero", "scale-zero", "empty-grid"])
def test_degenerate_trees_give_nan(tree):
    pts = np.array([[1, 2, 3], [0, 0, 0], [-4, 0.5, 9]], np.float32)
    out = tree.eval_vec(pts)
    assert np.isnan(out).all() and same_bits(out, rowwise(tree, pts), any_nan=True)


def test_known_values_and_input_types():
    unit = Sdf.sphere((0, 0, 0), 1)
    assert unit.eval_vec(np.array([[0, 0, 0], [2, 0, 0]])).tolist() == [-1.0, 1.0]
    assert unit.eval_vec(np.array([[3, 4, 0, 9, 9], [0, 0, 5, 0, 0]])).tolist() == [4.0, 4.0]
    values = np.array([[1, -2, 7], [1000, 0, -3], [5, 5, 5], [14, 15, 2]], np.float64)
    expected = rowwise(GRIDS[1], values)
    for arr in [values, values.astype(np.int32), values.astype(str), values.astype(np.float16)]:
        assert same_bits(GRIDS[1].eval_vec(arr), expected)


@pytest.mark.parametrize("dims", [(0, 3), (0, 0), (0, 7)])
def test_empty_input(dims):
    out = GRIDS[0].eval_vec(np.zeros(dims))
    assert out.dtype == np.float32 and out.shape == (0,)


@pytest.mark.parametrize("dims", [(4, 2), (1, 0), (3, 1)])
def test_too_few_columns_panics(dims):
    pts = np.ones(dims)
    refs = sys.getrefcount(pts)
    with pytest.raises(BaseException) as info:
        Sdf.sphere((0, 0, 0), 1).eval_vec(pts)
    exc = info.value
    assert (type(exc).__module__, type(exc).__name__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(exc, Exception) and exc.args == ("ndarray: index out of bounds",)
    del info, exc
    assert sys.getrefcount(pts) == refs


def test_result_is_new_owned_array():
    pts = np.random.default_rng(0).normal(size=(50, 3)).astype(np.float32)
    snapshot, refs = pts.copy(), sys.getrefcount(pts)
    out = Sdf.sphere((1, 2, 3), 0.5).eval_vec(pts=pts)
    fresh = np.zeros(50, np.float32)
    assert out.dtype == np.float32 and out.ndim == 1 and out.shape == (50,)
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    assert not np.shares_memory(out, pts) and sys.getrefcount(out) == sys.getrefcount(fresh)
    assert np.array_equal(pts, snapshot) and sys.getrefcount(pts) == refs


class Outer:
    class Points:
        """Stands in for an array: astype records its call and returns `result`."""

        def __init__(self, result):
            self.result, self.calls = result, []

        def astype(self, *args, **kwargs):
            self.calls.append((args, kwargs))
            if isinstance(self.result, type):
                raise self.result("boom")
            return self if self.result is None else self.result


def test_astype_always_called():
    converted = np.array([[3, 4, 0], [0, 0, 0]], np.float32)
    pts, refs = Outer.Points(converted), sys.getrefcount(converted)
    assert Sdf.sphere((0, 0, 0), 1).eval_vec(pts).tolist() == [4.0, -1.0]
    assert pts.calls == [(("float32",), {})] and sys.getrefcount(converted) == refs
    sub = np.array([[0.0, 0, 2]], np.float32).view(Recording)
    assert Sdf.sphere((0, 0, 0), 1).eval_vec(sub).tolist() == [1.0]
    assert sub.calls == [(("float32",), {})]


def numpy_message(arr):
    try:
        arr.astype("float32")
    except ValueError as exc:
        return str(exc)


UNPARSABLE = np.array([["1", "x", "3"]])


@pytest.mark.parametrize("arg, error, message", [
    ([[0.0, 0.0, 0.0]], AttributeError, "'list' object has no attribute 'astype'"),
    ((0.0, 0.0, 0.0), AttributeError, "'tuple' object has no attribute 'astype'"),
    (np.zeros(3), TypeError, f"'ndarray' {NOT_ARRAY}"),
    (np.zeros((2, 3, 3)), TypeError, f"'ndarray' {NOT_ARRAY}"),
    (np.float64(1), TypeError, f"'float32' {NOT_ARRAY}"),
    (UNPARSABLE, ValueError, numpy_message(UNPARSABLE)),
    (Outer.Points(KeyError), KeyError, "'boom'"),
    (Outer.Points([[1.0, 2.0, 3.0]]), TypeError, f"'list' {NOT_ARRAY}"),
    (Outer.Points(None), TypeError, f"'Outer.Points' {NOT_ARRAY}"),
    (Outer.Points(np.zeros((2, 3))), TypeError, f"'ndarray' {NOT_ARRAY}"),
])
def test_refused_points(arg, error, message):
    refs = sys.getrefcount(arg)
    inner = getattr(arg, "result", None)
    inner_refs = sys.getrefcount(inner)
    with pytest.raises(error) as info:
        Sdf.sphere((0, 0, 0), 1).eval_vec(arg)
    assert type(info.value) is error and str(info.value) == message
    del info  # the exception and its traceback may hold the argument themselves
    assert sys.getrefcount(arg) == refs
    assert inner is None or sys.getrefcount(inner) == inner_refs


def run_python(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=os.environ.copy(), timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def test_numpy_loaded_only_when_needed():
    assert run_python("""
        import sys
        assert "numpy" not in sys.modules
        from tessaron import Sdf
        s = Sdf.union([Sdf.sphere((0, 0, 0), 1).translate((0, 0, 3)), Sdf.plane((0, 0, -9), (0, 0, 1))])
        s.eval((0, 0, 0)), s.normal((0, 0, 5), 0.001), s.raymarch((0, 0, -5), (0, 0, 1), 64, 99.0, 0.001)
        print("numpy" in sys.modules)
        import numpy as np
        print(s.eval_vec(np.array([[0, 0, 0], [0, 0, 5]])).tolist())
    """) == ["False", "[2.0, 1.0]"]


def test_numpy_unavailable_then_restored():
    assert run_python("""
        import sys
        import numpy as np
        from tessaron import Sdf
        chunk, pts = np.ones((16, 16, 16), np.uint8), np.zeros((2, 3))
        saved, sys.modules["numpy"] = sys.modules["numpy"], None
        for call in (lambda: Sdf.voxel(chunk), lambda: Sdf.sphere((0, 0, 0), 1).eval_vec(pts)):
            try:
                call()
            except BaseException as exc:
                print(type(exc).__name__, exc.args[0].startswith("Failed to access NumPy array API capsule: "))
        print(Sdf.sphere((0, 0, 0), 2).eval((3, 4, 0)))
        sys.modules["numpy"] = saved
        print(Sdf.voxel(chunk).eval((3, 4, 5)), Sdf.sphere((0, 0, 0), 1).eval_vec(pts).tolist())
    """) == ["PanicException True", "PanicException True", "3.0", "0.0 [-1.0, -1.0]"]


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("read", ["owner", "view"])
def test_points_resized_by_a_signal_handler(read):
    """An array read in place loses its memory to a handler mid-call: the
    call stops with an error instead of reading freed memory."""
    shape = Sdf.union([Sdf.sphere((i, 0, 0), 1) for i in range(40)])
    previous = signal.getsignal(signal.SIGALRM)
    errors = []
    try:
        for _ in range(5):  # again if the timer fired before the call began
            owner = np.random.default_rng(0).normal(size=(2_000_000, 3)).astype(np.float32)
            pts = owner if read == "owner" else owner[::2, :]
            signal.signal(signal.SIGALRM,
                          lambda *_: owner.resize((1, 3), refcheck=False))  # frees 24 MB
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            try:
                shape.eval_vec(pts)
            except RuntimeError as exc:
                errors.append(str(exc))
                break
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert errors == ["the points array (or an array it views) was resized while it was read"]
