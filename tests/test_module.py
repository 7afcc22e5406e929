"""The surface of the module and of the Sdf class: names, docs, signatures,
construction rules and the exception type used for internal failures."""

import ast
import os
import pathlib
import subprocess
import sys

import numpy
import pytest

import tessaron
from tessaron import Sdf

# (name, text signature); the static methods are the ones without $self.
METHODS = [
    ("sphere", "(center, radius)"), ("plane", "(point, normal)"), ("segment", "(a, b)"),
    ("ray", "(origin, dir)"), ("voxel", "(py_chunk)"), ("scale", "($self, k)"),
    ("translate", "($self, v)"), ("rotate", "($self, q)"), ("erode", "($self, r)"),
    ("dilate", "($self, r)"), ("dual", "($self)"), ("union", "(objs)"),
    ("intersect", "(objs)"), ("difference", "(a, b)"), ("normal", "($self, p, eps)"),
    ("eval", "($self, p)"), ("eval_vec", "($self, pts)"),
    ("raymarch", "($self, origin, dir, max_steps, max_dist, eps)"),
    ("raymarch_with_normal", "($self, origin, dir, max_steps, max_dist, eps)"),
]


def panic():
    with pytest.raises(BaseException) as excinfo:
        Sdf.voxel(numpy.zeros((15, 16, 16), numpy.uint8))
    return excinfo.value


def test_module_and_class_attributes():
    assert tessaron.__doc__ == ""
    assert type(tessaron.__all__) is list and tessaron.__all__ == ["Sdf"]
    standard = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    assert set(vars(tessaron)) - standard == {"__all__", "Sdf"}
    assert (Sdf.__module__, Sdf.__name__, Sdf.__qualname__) == ("builtins", "Sdf", "Sdf")
    assert Sdf.__doc__ is None and Sdf.__bases__ == (object,)
    # No comparison, hashing or repr of its own: identity semantics from object.
    assert sorted(n for n in vars(Sdf) if n.startswith("__")) == ["__doc__", "__module__", "__new__"]
    a, b = Sdf.sphere((0, 0, 0), 1.0), Sdf.sphere((0, 0, 0), 1.0)
    assert a == a and a != b and hash(a) == object.__hash__(a)
    with pytest.raises(AttributeError) as excinfo:
        a.radius = 2.0
    assert str(excinfo.value) == "'builtins.Sdf' object has no attribute 'radius'"


REFUSED = "cannot create 'builtins.Sdf' instances"


@pytest.mark.parametrize("make,message", [
    (lambda: Sdf(), REFUSED),
    (lambda: Sdf((0, 0, 0), 1.0, center=1), REFUSED),
    (lambda: Sdf.__new__(Sdf), REFUSED),
    (lambda: Sdf.__new__(Sdf, 1, x=2), REFUSED),
    (lambda: object.__new__(Sdf),
     "object.__new__(builtins.Sdf) is not safe, use builtins.Sdf.__new__()"),
    (lambda: type("Sub", (Sdf,), {}), "type 'builtins.Sdf' is not an acceptable base type"),
])
def test_no_construction_or_subclassing(make, message):
    with pytest.raises(TypeError) as excinfo:
        make()
    assert str(excinfo.value) == message


def test_method_table():
    assert [n for n in vars(Sdf) if not n.startswith("__")] == [n for n, _ in METHODS]
    for name, signature in METHODS:
        method = getattr(Sdf, name)
        assert (name, method.__text_signature__, method.__doc__) == (name, signature, None)
        assert isinstance(vars(Sdf)[name], staticmethod) == ("$self" not in signature)


def test_stub_signatures_match_the_text_signatures():
    stub = pathlib.Path(__file__).parents[1] / "stubs" / "tessaron-stubs" / "__init__.pyi"
    sdf = next(node for node in ast.parse(stub.read_text()).body
               if isinstance(node, ast.ClassDef) and node.name == "Sdf")
    stubbed = []
    for fn in sdf.body:
        if isinstance(fn, ast.FunctionDef) and fn.name != "__new__":
            args = fn.args  # written as a text signature: "/" and "*" mark the kinds
            names = ([a.arg for a in args.posonlyargs] + ["/"] * bool(args.posonlyargs)
                     + [a.arg for a in args.args] + ["*"] * bool(args.kwonlyargs)
                     + [a.arg for a in args.kwonlyargs])
            static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)
            stubbed.append((fn.name, "(" + ", ".join(names if static else ["$self"] + names[1:]) + ")"))
    assert stubbed == [(name, getattr(Sdf, name).__text_signature__) for name, _ in METHODS]


def test_static_methods_through_an_instance_ignore_it():
    s = Sdf.sphere((0, 0, 5), 1.0)
    assert s.sphere((0, 0, 0), 2.0).eval((0, 0, 0)) == -2.0
    # Empty combinations hold no child: the instance was not slipped in.
    assert s.union([]).eval((0, 0, 5)) == float("inf")
    assert s.intersect(objs=[]).eval((0, 0, 5)) == float("-inf")
    assert s.difference(Sdf.sphere((0, 0, 0), 1.0), s).eval((0, 0, 0)) == -1.0
    assert s.voxel(numpy.ones((16, 16, 16), numpy.uint8)).eval((0, 0, 0)) == 0.0


@pytest.mark.parametrize("call,message", [
    (lambda s: s.dual(1), "Sdf.dual() takes no arguments (1 given)"),
    (lambda s: s.dual(x=1), "Sdf.dual() takes no keyword arguments"),
])
def test_dual_takes_no_arguments(call, message):
    s = Sdf.sphere((0, 0, 0), 1.0)
    with pytest.raises(TypeError) as excinfo:
        call(s)
    assert str(excinfo.value) == message
    assert s.dual().eval((0, 0, 3)) == -2.0


def test_panic_exception():
    exc = panic()
    kind = type(exc)
    assert (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException")
    assert kind.__bases__ == (BaseException,) and not issubclass(kind, Exception)
    assert exc.args == ("ndarray: index out of bounds",)
    assert "BaseException" in kind.__doc__
    assert not hasattr(tessaron, "PanicException")
    assert type(panic()) is kind  # created once, kept
    with pytest.raises(kind) as excinfo:
        Sdf.sphere((0, 0, 0), 1.0).eval_vec(numpy.zeros((4, 2), numpy.float32))
    assert excinfo.value.args == ("ndarray: index out of bounds",)


def test_reimport_gives_the_same_class(monkeypatch):
    original = sys.modules["tessaron"]
    monkeypatch.delitem(sys.modules, "tessaron")
    import tessaron as again

    assert again is not original and again.Sdf is Sdf
    assert again.__all__ == ["Sdf"] and again.__doc__ == ""
    assert again.Sdf.sphere((0, 0, 0), 1.0).eval((0, 0, 3)) == 2.0


def test_import_does_not_load_numpy():
    code = (
        "import sys, tessaron\n"
        "print('numpy' in sys.modules)\n"
        "s = tessaron.Sdf.sphere((0, 0, 0), 1.0).translate((1, 0, 0))\n"
        "print(s.eval((3, 0, 0)), s.raymarch((5, 0, 0), (-1, 0, 0), 8, 10.0, 1e-3))\n"
        "print('numpy' in sys.modules)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(tessaron.__file__))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["False", "1.0 (3.0, (2.0, 0.0, 0.0))", "False"]
