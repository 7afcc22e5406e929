"""Trees far deeper than any C stack could recurse through are built, queried
and released, both on the main thread and on a thread with a small stack.
Each run happens in a child process, so a crash fails the test instead of
killing the session; both children are started together to share the cores.
The main-thread child runs with a 1 MiB stack, the thread with 256 KiB."""

import os
import resource
import subprocess
import sys

import pytest

import tessaron

SCRIPT = r"""
import sys, threading
from tessaron import Sdf

def transforms(n):
    # Every 8 levels: a shift of 0.5 along z, the distance otherwise unchanged.
    steps = [lambda s: s.translate((0, 0, 0.5)), Sdf.dual, lambda s: s.dilate(0.25), Sdf.dual,
             lambda s: s.dilate(0.25), lambda s: s.rotate((0, 0, 0, 1)),
             lambda s: s.scale(2.0), lambda s: s.scale(0.5)]
    s = Sdf.sphere((0, 0, 0), 1.0)
    for i in range(n):
        s = steps[i % 8](s)
    return s

def combinators(n):
    # Every step leaves the unit sphere's distance near it unchanged; the deep
    # operand sits on either side of a difference and in unions/intersections.
    far, huge = Sdf.sphere((100, 0, 0), 1.0), Sdf.sphere((0, 0, 0), 1000.0)
    steps = [lambda s: Sdf.union([far, s]), lambda s: Sdf.difference(s, far),
             lambda s: Sdf.difference(huge, s.dual()), lambda s: Sdf.intersect((s, huge))]
    s = Sdf.sphere((0, 0, 0), 1.0)
    for i in range(n):
        s = steps[i % 4](s)
    return s

def work():
    s = transforms(20000)  # sphere now centred at (0, 0, 1250)
    print(s.eval((0, 0, 0)), s.normal((0, 0, 1251), 1e-3))
    print(s.raymarch_with_normal((0, 0, -5), (0, 0, 1), 100, 1e4, 1e-3))
    s = s.translate((0, 0, -1250))  # the old tree is released here
    print(s.eval((0, 0, 3)))
    s = combinators(8000)
    print(s.eval((0, 0, 3)), s.normal((0, 0, -1), 1e-3))
    print(s.raymarch((0, 0, -5), (0, 0, 1), 100, 1e4, 1e-3))
    del s
    print("done")

if sys.argv[1] == "thread":
    threading.stack_size(256 * 1024)
    worker = threading.Thread(target=work)
    worker.start()
    worker.join()
else:
    work()
"""

EXPECTED = ["1249.0 (0.0, 0.0, 1.0)", "((1254.0, (0.0, 0.0, 1249.0)), (0.0, 0.0, -1.0))", "2.0",
            "2.0 (0.0, 0.0, -1.0)", "(4.0, (0.0, 0.0, -1.0))", "done"]


def small_stack():
    resource.setrlimit(resource.RLIMIT_STACK, (1 << 20, resource.getrlimit(resource.RLIMIT_STACK)[1]))


@pytest.fixture(scope="module")
def children():
    env = dict(os.environ, PYTHONPATH=os.path.dirname(tessaron.__file__))
    procs = {
        mode: subprocess.Popen([sys.executable, "-c", SCRIPT, mode], env=env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=small_stack)
        for mode in ("main", "thread")
    }
    yield procs
    for proc in procs.values():
        proc.kill()  # no-op for a child that already finished
        proc.wait()


@pytest.mark.parametrize("mode", ["main", "thread"])
def test_deep_trees(children, mode):
    out, err = children[mode].communicate(timeout=300)
    assert (children[mode].returncode, err) == (0, "")
    assert out.splitlines() == EXPECTED
