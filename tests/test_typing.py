"""The type stubs: they match the built module, describe its results precisely,
and type-check the examples."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import tessaron

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent
RUNTIME_DIR = Path(tessaron.__file__).parent
# An installed wheel carries its stubs next to the module; a development build
# uses the stub package from the source tree.
STUBS_DIR = RUNTIME_DIR if (RUNTIME_DIR / "tessaron-stubs").is_dir() else ROOT / "stubs"
# Stub-only packages (name-stubs) are looked up on the import path, not MYPYPATH.
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(RUNTIME_DIR), str(STUBS_DIR)])}
# Some of the examples' own dependencies ship no type information (and an
# environment without the examples extra has none of them); they count as
# untyped, tessaron does not.
CONFIG = """[mypy]
disallow_untyped_defs = True
warn_unused_ignores = True
[mypy-matplotlib.*,mpl_toolkits.*,distributed.*,dask.*,joblib.*,skimage.*,trimesh.*]
ignore_missing_imports = True
"""

USAGE = """\
import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type
from tessaron import Sdf

Vec = tuple[float, float, float]
s = Sdf.union([Sdf.sphere((0, 0, 0), 1), Sdf.voxel(np.zeros((16, 16, 16), np.uint8)).dual()])
assert_type(s.eval((1, 2, 3)), float)
assert_type(s.normal((1, 2, 3), 1e-3), Vec)
assert_type(s.eval_vec(np.zeros((4, 3))), npt.NDArray[np.float32])
assert_type(s.raymarch((0, 0, -5), (0, 0, 1), 64, 100.0, 1e-3), tuple[float, Vec] | None)
hit = s.raymarch_with_normal(origin=(0, 0, -5), dir=(0, 0, 1), max_steps=64, max_dist=100, eps=1e-3)
assert_type(hit, tuple[tuple[float, Vec], Vec] | None)
Sdf()
s.eval([1, 2, 3])
s.raymarch((0, 0, -5), (0, 0, 1), 64.0, 100.0, 1e-3)
Sdf.union([s, 1])
s.eval_vec([[0, 0, 0]])
"""


def mypy(tmp_path, *args):
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=ENV,
                          capture_output=True, text=True, timeout=300)


def test_stubs_match_the_runtime_module(tmp_path):
    run = mypy(tmp_path, "mypy.stubtest", "tessaron")
    assert run.returncode == 0, run.stdout + run.stderr


def test_stubs_give_precise_types_and_reject_misuse(tmp_path):
    (tmp_path / "usage.py").write_text(USAGE)
    run = mypy(tmp_path, "mypy", "--cache-dir", str(tmp_path / "cache"), "usage.py")
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    # Exactly the last five lines are errors: calling the class, a list for a
    # point, a float step count, a non-shape operand, points without astype.
    first_bad = USAGE.count("\n") - 4
    assert [int(e.split(":")[1]) for e in errors] == list(range(first_bad, first_bad + 5)), run.stdout


def test_examples_type_check(tmp_path):
    (tmp_path / "mypy.ini").write_text(CONFIG)
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    run = mypy(tmp_path, "mypy", "--config-file", "mypy.ini", "--cache-dir", str(tmp_path / "cache"),
               *examples)
    assert run.returncode == 0, run.stdout + run.stderr


def test_every_stub_method_has_a_one_line_docstring():
    # Editors show these on hover; the runtime methods keep their text
    # signatures only (checked in test_module).
    import ast

    tree = ast.parse((STUBS_DIR / "tessaron-stubs" / "__init__.pyi").read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Sdf")
    docs = {f.name: ast.get_docstring(f) for f in cls.body
            if isinstance(f, ast.FunctionDef) and f.name != "__new__"}
    runtime = {n for n in vars(tessaron.Sdf) if not n.startswith("_")}
    assert set(docs) == runtime and len(runtime) == 19
    assert [n for n, d in docs.items() if not d or "\n" in d or len(d) > 100] == []
