"""Arbitrary Python values at every parameter of every method.

The only acceptable outcomes are a result of the method's type or one of the
documented exceptions; whatever a hostile protocol method raised itself may
also come through. Strided views (negative, zero, unaligned, huge strides over
valid memory) must read exactly what a contiguous copy reads, and no call may
change the shapes it was given."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from tessaron import Sdf

from hostile import HOWS, SHAPES, Flt, Hostile, Int, Proto, Pts, Tup

# ComplexWarning moved to numpy.exceptions in NumPy 1.25; name it where it lives.
_complex = getattr(np, "exceptions", np).ComplexWarning
pytestmark = pytest.mark.filterwarnings(
    "ignore::RuntimeWarning", "ignore::DeprecationWarning",
    f"ignore::{_complex.__module__}.{_complex.__qualname__}")
try:
    Sdf.voxel(np.zeros((15, 16, 16), np.uint8))
except BaseException as e:  # noqa: B036 - PanicException is not reachable by name
    Panic = type(e)


@st.composite
def strided(draw, dtypes, sides):
    """A view through arbitrary strides over memory that it stays within."""
    dtype = draw(dtypes)
    shape = draw(st.tuples(*[st.sampled_from(n) for n in sides]))
    steps = [draw(st.integers(-300, 300) if n > 1 else st.sampled_from([0, 2**62, -2**40]))
             for n in shape]
    lo = 0 if 0 in shape else sum(min(0, s * (n - 1)) for n, s in zip(shape, steps))
    hi = 0 if 0 in shape else sum(max(0, s * (n - 1)) for n, s in zip(shape, steps))
    rng = np.random.default_rng(draw(st.integers(0, 2**32)))
    buf = (rng.random(hi - lo + 8) < 0.05) * rng.integers(0, 256, hi - lo + 8)
    return np.ndarray(shape, dtype, buffer=buf.astype(np.uint8), offset=-lo, strides=steps)


PROBE = [(0.5, 0.25, 2.0), (3.0, 4.0, 5.0), (-1.0, 16.0, 0.0)]
BEFORE = [[s.eval(p) for p in PROBE] for s in SHAPES]

number = st.one_of(st.floats(), st.floats(width=32), st.integers(-2**70, 2**70), st.booleans(),
                   st.sampled_from([Int(7), Flt(-1.0), np.float64(2.5), np.int8(-3), np.array(1.5)]))
protocol = st.builds(Proto, st.one_of(number, st.integers(0, 9)),
                     st.sampled_from(HOWS))
junk = st.one_of(st.none(), st.text(max_size=3), st.binary(max_size=3), number, protocol,
                 st.complex_numbers(), st.sampled_from([{}, set(), object(), Sdf, iter([]), ...]),
                 st.sampled_from(SHAPES), st.lists(number, max_size=4),
                 hnp.arrays(hnp.scalar_dtypes(), hnp.array_shapes(min_dims=0, max_dims=3, max_side=4)))


def mostly(common, rare, one_in=10):
    return st.integers(1, one_in).flatmap(lambda i: rare if i == one_in else common)


scalar = mostly(number, protocol)


def tuple_of(n):
    items = st.lists(scalar, min_size=n, max_size=n)
    return mostly(items.map(tuple), st.one_of(items.map(Tup), st.lists(scalar, max_size=5).map(tuple)), 4)


uint8 = st.sampled_from([np.uint8, np.dtype("|u1"), np.int8, np.bool_, np.uint16])
chunk = st.one_of(strided(uint8, [[16, 17, 15, 1, 0]] * 3),
                  hnp.arrays(np.uint8, st.sampled_from([(16, 16, 16), (17, 16, 18), (16, 16, 15)])))
any_dtype = st.one_of(hnp.scalar_dtypes(), hnp.unicode_string_dtypes(max_len=3), st.just(np.dtype(object)))
pts = st.one_of(
    hnp.arrays(st.one_of(hnp.floating_dtypes(), hnp.integer_dtypes(), any_dtype),
               st.tuples(st.integers(0, 6), st.sampled_from([3, 3, 4, 2, 0]))),
    hnp.arrays(any_dtype, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5)),
    strided(st.sampled_from(["<f4", "<f4", ">f4", "<f8"]), [[0, 1, 2, 3, 17], [3, 3, 4, 2, 0]]).map(Pts))
GOOD = {"vec3": tuple_of(3), "quat": tuple_of(4), "f32": scalar, "chunk": chunk, "pts": pts,
        "u32": mostly(st.integers(0, 64), st.one_of(st.integers(-2**65, 2**65), protocol, number)),
        "sdf": st.sampled_from(SHAPES),
        "seq": st.one_of(st.lists(st.sampled_from(SHAPES), max_size=4), st.sampled_from(["", b"ab"]),
                         st.lists(st.sampled_from(SHAPES + [1]), max_size=3).map(tuple), protocol)}
MARCH = "vec3 vec3 u32 f32 f32"
METHODS = {  # parameter kinds, in order, and the result's type or form
    "sphere": ("vec3 f32", Sdf), "plane": ("vec3 vec3", Sdf), "segment": ("vec3 vec3", Sdf),
    "ray": ("vec3 vec3", Sdf), "voxel": ("chunk", Sdf), "union": ("seq", Sdf), "intersect": ("seq", Sdf),
    "difference": ("sdf sdf", Sdf), "scale": ("f32", Sdf), "translate": ("vec3", Sdf), "rotate": ("quat", Sdf),
    "erode": ("f32", Sdf), "dilate": ("f32", Sdf), "dual": ("", Sdf), "normal": ("vec3 f32", "vec"),
    "eval": ("vec3", float), "eval_vec": ("pts", np.ndarray), "raymarch": (MARCH, "hit"),
    "raymarch_with_normal": (MARCH, "hit_normal"),
}


def result_ok(kind, r):
    def vec(v):
        return type(v) is tuple and len(v) == 3 and all(type(c) is float for c in v)

    def hit(h):
        return type(h) is tuple and len(h) == 2 and type(h[0]) is float and vec(h[1])
    if isinstance(kind, type):
        return type(r) is kind
    return {"vec": vec(r), "hit": r is None or hit(r),
            "hit_normal": r is None or type(r) is tuple and len(r) == 2 and hit(r[0]) and vec(r[1])}[kind]


def bits(values):
    """Bit patterns, with every NaN alike: which operand's NaN an instruction
    keeps (its sign and payload) is the processor's choice."""
    a = np.asarray(values, np.float32)
    return np.where(np.isnan(a), np.float32(np.nan), a).view(np.uint32).tolist()


def check_eval_vec(receiver, arg, result, error):
    """eval_vec against astype and row-by-row eval of the converted array."""
    try:
        conv = arg.astype("float32")
    except Exception as e:  # astype's own failure must come through unchanged
        assert type(error) is type(e) and result is None
        return
    if not (isinstance(conv, np.ndarray) and conv.ndim == 2 and conv.dtype == np.float32
            and conv.dtype.isnative):
        assert type(error) is TypeError and str(error).endswith("object is not an instance of 'ndarray'")
    elif conv.shape[0] and conv.shape[1] < 3:
        assert type(error) is Panic and error.args == ("ndarray: index out of bounds",)
    else:
        assert error is None and result.dtype == np.float32 and result.shape == conv.shape[:1]
        assert bits(result) == bits([receiver.eval(tuple(map(float, row[:3]))) for row in conv])


def check_voxel(arg, result, error):
    if not (isinstance(arg, np.ndarray) and arg.ndim == 3 and arg.dtype == np.uint8):
        assert type(error) is TypeError and "is not an instance of 'ndarray'" in str(error)
    elif min(arg.shape) < 16:
        assert type(error) is Panic and error.args == ("ndarray: index out of bounds",)
    else:
        expected = Sdf.voxel(np.ascontiguousarray(arg[:16, :16, :16]))
        cells = [(0, 0, 0), (15, 15, 15), (3.5, 7, 12.25), (9, 2, 14)]
        assert error is None
        assert bits([result.eval(c) for c in cells]) == bits([expected.eval(c) for c in cells])


def signature(name):
    """(static, parameter names, their kinds) of a method, from its text signature."""
    names = getattr(Sdf, name).__text_signature__.strip("()").split(", ")
    return names[0] != "$self", [n for n in names if n and n != "$self"], METHODS[name][0].split()


@st.composite
def calls(draw, name):
    static, names, kinds = signature(name)
    values = [draw(mostly(GOOD[kind], st.one_of(GOOD[kind], junk), 8)) for kind in kinds]
    receiver = None if static else draw(mostly(st.sampled_from(SHAPES), junk, 12))
    split = draw(st.integers(0, len(names)))  # leading arguments by position, the rest by keyword
    args = values[:split]
    kwargs = dict(draw(st.permutations(list(zip(names[split:], values[split:])))))
    odd = draw(mostly(st.none(), st.sampled_from(["drop", "extra"]), 15))  # a binding error
    if odd == "drop" and names:
        kwargs.pop(names[-1]) if names[-1] in kwargs else args.pop()
    elif odd == "extra":
        kwargs[draw(st.sampled_from(["x", "p", "objs", "eps"]))] = None
    return receiver, values, args, kwargs


@pytest.mark.parametrize("name", METHODS)
@given(data=st.data())
def test_only_documented_outcomes(name, data):
    receiver, values, args, kwargs = data.draw(calls(name))
    static, names, _ = signature(name)
    method = getattr(Sdf, name)
    result = error = None
    try:
        result = method(*args, **kwargs) if static else method(receiver, *args, **kwargs)
    except (TypeError, ValueError, OverflowError, AttributeError, Hostile, Panic) as e:
        error = e
    if error is None:
        assert result_ok(METHODS[name][1], result), (name, result)
    if isinstance(error, Panic):
        assert name in ("voxel", "eval_vec") and error.args == ("ndarray: index out of bounds",)
    assert type(error) is not AttributeError or name == "eval_vec"
    bound = len(args) + len(kwargs) == len(names) and set(kwargs) <= set(names)
    if bound and (static or type(receiver) is Sdf) and not any(isinstance(v, Proto) for v in values):
        if name == "eval_vec" and hasattr(values[0], "astype"):
            check_eval_vec(receiver, values[0], result, error)
        elif name == "voxel":
            check_voxel(values[0], result, error)
    assert [[s.eval(p) for p in PROBE] for s in SHAPES] == BEFORE
