"""Argument binding and conversion: messages, rewording, rounding and order."""

import collections
import math

import numpy
import pytest

from tessaron import Sdf

S = Sdf.sphere((0, 0, 0), 1.0)
RAY = ((0, 0, -5), (0, 0, 1))  # hits S at t=4 after two samples
Point = collections.namedtuple("Point", "x y z")


def raise_or_return(value):
    if isinstance(value, BaseException):
        raise value
    return value


class Num:
    """A number only through __float__, which returns or raises `value`."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return raise_or_return(self.value)


class Idx:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    """Item access by index; items and the length may be exceptions to raise."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return raise_or_return(self.length)

    def __getitem__(self, i):
        return raise_or_return(self.items[i])


def error_of(call):
    with pytest.raises(BaseException) as excinfo:
        call()
    return excinfo.value


@pytest.mark.parametrize("call,message", [
    (lambda: Sdf.sphere((0, 0, 0), 1, 2), "Sdf.sphere() takes 2 positional arguments but 3 were given"),
    (lambda: Sdf.sphere((0, 0, 0), 1, 2, bogus=3), "Sdf.sphere() takes 2 positional arguments but 3 were given"),
    (lambda: S.scale(1, 2), "Sdf.scale() takes 1 positional arguments but 2 were given"),
    (lambda: Sdf.plane(bogus=1), "Sdf.plane() got an unexpected keyword argument 'bogus'"),
    (lambda: Sdf.sphere(radius=1, Center=(0, 0, 0)), "Sdf.sphere() got an unexpected keyword argument 'Center'"),
    (lambda: Sdf.sphere((0, 0, 0), 1, **{7: 1}), "Sdf.sphere() got an unexpected keyword argument '7'"),
    (lambda: Sdf.sphere(**{"radius": 1, "cent\udcffer": 1}),
     "Sdf.sphere() got an unexpected keyword argument 'cent\udcffer'"),
    (lambda: Sdf.sphere((0, 0, 0), 1, center=(0, 0, 0)), "Sdf.sphere() got multiple values for argument 'center'"),
    (lambda: Sdf.difference(S, b=S, a=S), "Sdf.difference() got multiple values for argument 'a'"),
    (lambda: S.eval(), "Sdf.eval() missing 1 required positional argument: 'p'"),
    (lambda: Sdf.sphere(radius=1), "Sdf.sphere() missing 1 required positional argument: 'center'"),
    (lambda: Sdf.segment(), "Sdf.segment() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: S.raymarch((0, 0, 0), max_dist=1), "Sdf.raymarch() missing 3 required positional arguments: 'dir', 'max_steps', and 'eps'"),
])
def test_binder_messages(call, message):
    exc = error_of(call)
    assert (type(exc), str(exc)) == (TypeError, message)


def test_keywords_bind_like_positions():
    assert Sdf.sphere(center=(1, 2, 3), radius=2.0).eval(p=(1, 2, 3)) == -2.0
    assert Sdf.sphere((1, 2, 3), radius=2.0).eval((1, 2, 6)) == 1.0
    hit = (4.0, (0.0, 0.0, -1.0))
    assert S.raymarch(eps=1e-3, max_dist=100, max_steps=64, dir=RAY[1], origin=RAY[0]) == hit
    assert Sdf.sphere(**{type("K", (str,), {})("center"): (0, 0, 0), "radius": 1}).eval((0, 0, 0)) == -1.0


@pytest.mark.parametrize("call,kind,message", [
    (lambda: S.eval([1, 2, 3]), TypeError, "argument 'p': 'list' object is not an instance of 'tuple'"),
    (lambda: S.eval(None), TypeError, "argument 'p': 'None' is not an instance of 'tuple'"),
    (lambda: S.eval((1, 2)), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (lambda: S.eval((1, 2, "x")), TypeError, "argument 'p': must be real number, not str"),
    (lambda: S.rotate([0, 0, 0, 1]), TypeError, "argument 'q': 'list' object is not an instance of 'tuple'"),
    (lambda: S.rotate((0, 0, 1)), ValueError, "expected tuple of length 4, but got tuple of length 3"),
    (lambda: S.translate((2**1024, 0, 0)), OverflowError, "int too large to convert to float"),
    (lambda: Sdf.sphere((0, 0, 0), "x"), TypeError, "argument 'radius': must be real number, not str"),
    (lambda: S.normal((0, 0, 1), "e"), TypeError, "argument 'eps': must be real number, not str"),
    (lambda: S.raymarch(*RAY, 8, [1], 0.1), TypeError, "argument 'max_dist': must be real number, not list"),
    (lambda: S.raymarch(*RAY, 10.0, 1, 0.1), TypeError, "argument 'max_steps': 'float' object cannot be interpreted as an integer"),
    (lambda: S.raymarch(*RAY, -1, 1, 0.1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: S.raymarch(*RAY, 2**32, 1, 0.1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: S.raymarch(*RAY, 2**64 - 1, 1, 0.1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: S.raymarch(*RAY, 2**64, 1, 0.1), OverflowError, "int too big to convert"),
    (lambda: S.raymarch(*RAY, Idx(1.5), 1, 0.1), TypeError, "argument 'max_steps': __index__ returned non-int (type float)"),
    (lambda: Sdf.union("ab"), TypeError, "argument 'objs': Can't extract `str` to `Vec`"),
    (lambda: Sdf.union({S}), TypeError, "argument 'objs': 'set' object is not an instance of 'Sequence'"),
    (lambda: Sdf.intersect(iter([S])), TypeError, "argument 'objs': 'list_iterator' object is not an instance of 'Sequence'"),
    (lambda: Sdf.union([S, 1]), TypeError, "argument 'objs': 'int' object is not an instance of 'Sdf'"),
    (lambda: Sdf.union(Seq([S, ValueError("boom")], 2)), ValueError, "boom"),
    (lambda: Sdf.union(Seq([S, TypeError("bad item")], 2)), TypeError, "argument 'objs': bad item"),
    (lambda: Sdf.difference(S, 5), TypeError, "argument 'b': 'int' object is not an instance of 'Sdf'"),
])
def test_conversion_errors(call, kind, message):
    exc = error_of(call)
    assert (type(exc), str(exc)) == (kind, message)
    if kind is TypeError:  # reworded: the conversion's own error is not chained
        assert exc.__cause__ is None and exc.__suppress_context__


class SubTypeError(TypeError):
    pass


def test_rewording_rule():
    # Only exactly TypeError is reworded; subclasses and others pass as raised.
    for error in (SubTypeError("sub"), ValueError("val"), ZeroDivisionError("z")):
        assert error_of(lambda: S.scale(Num(error))) is error
    inner = ValueError("inner")
    with_cause = TypeError("outer")
    with_cause.__cause__ = inner
    exc = error_of(lambda: S.erode(Num(with_cause)))
    assert exc is not with_cause and str(exc) == "argument 'r': outer"
    assert exc.__cause__ is inner and exc.__suppress_context__
    exc = error_of(lambda: S.dilate(Num("1.0")))
    assert str(exc) == "argument 'r': Num.__float__ returned non-float (type str)"


def test_accepted_forms_and_rounding():
    f32 = lambda x: float(numpy.float32(x))
    plane_z = Sdf.plane((0, 0, 0), (0, 0, 1))
    assert plane_z.eval((0, 0, 0.1)) == f32(0.1) == 0.10000000149011612
    assert plane_z.eval(Point(5, 5, -2)) == -2.0
    assert plane_z.eval(type("T", (tuple,), {})((1, 1, 3))) == 3.0
    assert plane_z.eval((Num(1.0), Idx(2), Num(-1.0))) == -1.0
    assert plane_z.eval((True, numpy.int32(2), numpy.float64(0.25))) == 0.25
    assert plane_z.eval((0, 0, 1e300)) == math.inf
    assert math.isnan(plane_z.eval((0, 0, math.nan)))
    assert Sdf.sphere((0, 0, 0), -1.0).eval((0, 0, 3)) == 4.0
    assert Sdf.sphere((0, 0, 0), Num(-1.0)).eval((0, 0, 3)) == 4.0
    assert Sdf.sphere((0, 0, 0), 1e39).eval((0, 0, 0)) == -math.inf
    assert Sdf.sphere((0, 0, 0), 0.1).eval((0, 0, 0)) == -f32(0.1)
    assert S.rotate(collections.namedtuple("Q", "x y z w")(0, 0, 0, 2)).eval((0, 0, 2)) == 1.0


def test_max_steps_values():
    surface = ((0, 0, -1), (0, 0, 1))  # a hit needs exactly one sample
    assert S.raymarch(*surface, True, 1, 1e-3) == (0.0, (0.0, 0.0, -1.0))
    assert S.raymarch(*surface, False, 1, 1e-3) is None
    hit = (4.0, (0.0, 0.0, -1.0))
    for steps in (2, 4294967295, numpy.uint32(2), Idx(2), type("I", (int,), {})(2)):
        assert S.raymarch(*RAY, steps, 100.0, 1e-3) == hit
    assert S.raymarch(*RAY, 1, 100, 1e-3) is None


def test_sequences_of_shapes():
    far = S.translate((3, 0, 0))
    for objs in ([], (), range(0), b""):
        assert Sdf.union(objs).eval((0, 0, 0)) == math.inf
    for objs in ([S, far], (S, far), numpy.array([S, far], dtype=object),
                 Seq([S, far], RuntimeError("len")), Seq([S, far], 0), Seq([S, far], 99)):
        assert Sdf.union(objs).eval((3, 0, 0)) == -1.0
        assert Sdf.intersect(objs).eval((3, 0, 0)) == 2.0
    assert Sdf.union([S, S]).eval((0, 0, 0)) == -1.0


@pytest.mark.parametrize("call,message", [
    (lambda: S.raymarch([0], "d", -1, "m", "e"), "argument 'origin': 'list' object is not an instance of 'tuple'"),
    (lambda: S.raymarch(eps="e", dir=(0, 0, 1), origin=[0], max_steps=1, max_dist=1),
     "argument 'origin': 'list' object is not an instance of 'tuple'"),
    (lambda: Sdf.difference(1, 2), "argument 'a': 'int' object is not an instance of 'Sdf'"),
    (lambda: S.normal(("a", "b", "c"), "e"), "argument 'p': must be real number, not str"),
    # The interpreter checks the receiver of a method descriptor before the body runs.
    (lambda: Sdf.eval(5, [1, 2, 3]), "descriptor 'eval' for 'builtins.Sdf' objects doesn't apply to a 'int' object"),
])
def test_first_failing_parameter_is_reported(call, message):
    exc = error_of(call)
    assert (type(exc), str(exc)) == (TypeError, message)

