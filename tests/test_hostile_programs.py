"""Whole programs that used to abort, hang, leak or trust blindly: a daemon
thread inside a call when the interpreter exits, a fork during the first
NumPy load, memory running out while trees are copied and released,
subinterpreters, and a NumPy interface table of an unknown layout. Each runs
in a child process of its own."""

import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import tessaron

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def start(script):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(tessaron.__file__))
    return subprocess.Popen([sys.executable, "-W", "ignore", "-c", textwrap.dedent(script)], env=env,
                            text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish(proc, timeout=60):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        return "hung", out, err
    return proc.returncode, out, err


# The main thread ends while a daemon thread is inside a call that lets the
# interpreter lock go: the runtime ends that thread by unwinding its stack.
DAEMON = """
    import threading, time, numpy as np
    from tessaron import Sdf
    s = Sdf.sphere((0, 0, 0), 1.0)
    pts = np.random.default_rng(0).uniform(-2, 2, (200_000, 3))  # float64: astype lets go
    class Slow:
        def __float__(self):
            time.sleep(0.001)
            return 1.0
    calls = [lambda: s.eval_vec(pts), lambda: s.eval((Slow(), 0, 0)), lambda: s.scale(Slow())]
    for call in calls:
        threading.Thread(target=lambda call=call: [call() for _ in iter(int, 1)], daemon=True).start()
    time.sleep(0.3)
"""


def test_daemon_threads_inside_calls_at_exit():
    procs = [start(DAEMON) for _ in range(4)]
    assert [finish(p) for p in procs] == [(0, "", "")] * 4


FORK = """
    import os, threading, time, numpy, numpy.lib
    from tessaron import Sdf
    real, entered = numpy.lib.NumpyVersion, threading.Event()
    def slow_version(version):  # the first load, slowed down
        entered.set()
        time.sleep(0.5)
        return real(version)
    numpy.lib.NumpyVersion = slow_version
    ball, chunk = Sdf.sphere((0, 0, 0), 1.0), numpy.zeros((16, 16, 16), numpy.uint8)
    chunk[3, 4, 5] = 1
    loader = threading.Thread(target=lambda: ball.eval_vec(numpy.zeros((1, 3))))
    loader.start()
    entered.wait()
    waiter = threading.Thread(target=lambda: Sdf.voxel(chunk))  # waits for the loader
    waiter.start()
    time.sleep(0.05)
    pid = os.fork()
    if pid == 0:  # neither thread exists here: this process loads NumPy itself
        ok = ball.eval_vec(numpy.array([[0, 0, 2.0]])).tolist() == [1.0]
        os._exit(0 if ok and Sdf.voxel(chunk).eval((5, 4, 3)) == 0.0 else 3)
    deadline, (done, status) = time.monotonic() + 10, os.waitpid(pid, os.WNOHANG)
    while not done and time.monotonic() < deadline:
        time.sleep(0.02)
        done, status = os.waitpid(pid, os.WNOHANG)
    if not done:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    loader.join()
    waiter.join()
    print("child hung" if not done else os.waitstatus_to_exitcode(status))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_fork_during_first_numpy_load():
    assert finish(start(FORK)) == (0, "0\n", "")


def has_mallinfo2():
    try:
        return hasattr(ctypes.CDLL(None), "mallinfo2")
    except OSError:
        return False


# Child programs that measure the heap: allocated bytes (mallinfo2) and an
# address-space limit of what is mapped now plus some headroom.
MEMORY_TOOLS = """
    import ctypes, os, resource
    from tessaron import Sdf
    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                                   "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    def allocated():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    HARD = resource.getrlimit(resource.RLIMIT_AS)[1]
    def limit(headroom):  # the address space in use now, plus `headroom`
        mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (mapped + headroom if headroom else HARD, HARD))
    try:  # the first C++ exception loads the unwinder: not under the limit
        Sdf.sphere((0, 0), 1.0)
    except ValueError:
        pass
"""


# Copies that run out of memory half way, and releases of wide and nested
# trees with next to no memory free. The heap's allocated bytes must come back
# to where they were: nothing of a failed copy and nothing of a released tree
# may stay behind.
MEMORY = MEMORY_TOOLS + """
    ball = Sdf.sphere((0, 0, 0), 1.0)
    baseline = allocated()
    pair = Sdf.difference(ball.translate((0, 0, 1)).dual(), Sdf.union([ball, ball.scale(2.0)]))
    nested = Sdf.union([pair] * 200_000)  # ~90 MB in a quarter of a million blocks
    values = [nested.eval((0, 0, 1))]  # the first query keeps a flattened copy
    without_wide = allocated()
    wide = Sdf.union([ball] * 2_000_000)  # 64 MB in one block
    values.append(wide.eval((0, 0, 3)))
    built = allocated()
    outcomes = []
    limit(24 << 20)
    for shape in (nested, wide, nested):
        try:
            shape.translate((1, 0, 0))
            outcomes.append("copied")
        except MemoryError:
            outcomes.append(allocated() - built < 16 << 10)
    limit(0)
    print(outcomes, values == [nested.eval((0, 0, 1)), wide.eval((0, 0, 3))] == [1.0, 2.0])
    limit(4 << 20)
    del wide
    after_wide = allocated() - without_wide
    del nested, pair, shape
    after_all = allocated() - baseline
    limit(0)
    print(after_wide < 64 << 10, after_all < 64 << 10)
"""


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux") or not has_mallinfo2(),
                    reason="needs glibc's own allocator statistics")
def test_memory_running_out_while_copying_and_releasing():
    code, out, err = finish(start(MEMORY))
    assert (code, err, out.splitlines()) == (0, "", ["[True, True, True] True", "True True"])


# Interpreters that share the main interpreter's lock can share the one Sdf
# type; from 3.12 on, interpreters that check their extensions (all with a
# lock of their own among them) refuse the import instead.
INTERPRETERS = """
    import sys
    USE = ("from tessaron import Sdf\\n"
           "assert Sdf.sphere((0, 0, 0), 1.0).translate((0, 0, 1)).eval((0, 0, 3)) == 1.0")
    if sys.version_info >= (3, 13):
        import _interpreters
        def run(name, **config):
            interp = _interpreters.create(_interpreters.new_config(name, **config))
            failure = _interpreters.run_string(interp, USE)
            _interpreters.destroy(interp)
            return failure and f"{failure.type.__name__}: {failure.msg}"
        print(run("legacy"), run("legacy", check_multi_interp_extensions=True), run("isolated"))
    else:
        import _xxsubinterpreters as _interpreters
        def run(**config):
            interp = _interpreters.create(**config)
            try:
                _interpreters.run_string(interp, USE)
            except _interpreters.RunFailedError as failure:
                return str(failure).replace("<class 'ImportError'>", "ImportError")
            finally:
                _interpreters.destroy(interp)
        print(run(isolated=False), *([run(isolated=True)] * 2 if sys.version_info >= (3, 12) else [None] * 2))
"""


def test_subinterpreters():
    refused = "ImportError: module tessaron does not support loading in subinterpreters"
    expected = "None None None" if sys.version_info < (3, 12) else f"None {refused} {refused}"
    assert finish(start(INTERPRETERS)) == (0, expected + "\n", "")


# An interface table whose ABI version is none of the layouts the module
# knows is refused before any other entry is called; the real one then loads.
UNKNOWN_ABI = """
    import ctypes, numpy
    from tessaron import Sdf
    multiarray = numpy._core.multiarray if int(numpy.__version__.split(".")[0]) > 1 else numpy.core.multiarray
    version = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: 0x03000000)
    table = (ctypes.c_void_p * 4)(ctypes.cast(version, ctypes.c_void_p).value)  # the rest: NULL
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    real, multiarray._ARRAY_API = multiarray._ARRAY_API, new_capsule(ctypes.addressof(table), None, None)
    try:
        Sdf.sphere((0, 0, 0), 1.0).eval_vec(numpy.zeros((1, 3)))
    except BaseException as failure:
        print(type(failure).__name__, failure.args)
    multiarray._ARRAY_API = real
    print(Sdf.sphere((0, 0, 0), 1.0).eval_vec(numpy.zeros((1, 3))).tolist())
"""


def test_interface_table_of_an_unknown_abi():
    message = ("Failed to access NumPy array API capsule: ImportError: NumPy C ABI version 0x3000000 is "
               "neither 0x1000009 (NumPy 1.x) nor 0x2000000 (NumPy 2.x)")
    assert finish(start(UNKNOWN_ABI)) == (0, f"PanicException ('{message}',)\n[-1.0]\n", "")


# The first query on a shape flattens its tree and keeps the result. With
# the address space limited to what is mapped plus three times the tree,
# the first query of each kind must answer. The tree: a union of 1000
# translated unions of 1000 spheres (~32 MB, both levels wide enough to
# get a pruning hierarchy), a new one for each query.
FIRST_QUERY = MEMORY_TOOLS + """
    import numpy as np
    part = Sdf.union([Sdf.sphere((i * 1e-3, 0, 0), 0.5) for i in range(1000)])
    pts = np.zeros((1000, 3), np.float32)
    queries = [lambda s: s.eval((0, 0, 0)), lambda s: s.normal((0, 0, 0.6), 1e-3)[2],
               lambda s: s.raymarch((0, 0, -3), (0, 0, 1), 100, 10.0, 1e-4)[0],
               lambda s: float(s.eval_vec(pts)[0])]
    for query in queries:
        before = allocated()
        big = Sdf.union([part.translate((0, j * 1e-3, 0)) for j in range(1000)])
        tree = allocated() - before
        ctypes.CDLL(None).malloc_trim(0)  # freed heap handed back: it cannot be reused
        limit(3 * tree)
        try:
            print(round(query(big), 4))
        except MemoryError:
            print("MemoryError")
        limit(0)
        del big
"""


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux") or not has_mallinfo2(),
                    reason="needs glibc's own allocator statistics")
def test_first_queries_fit_in_three_times_the_tree():
    code, out, err = finish(start(FIRST_QUERY), timeout=120)
    assert (code, err, out.split()) == (0, "", ["-0.5", "1.0", "2.5", "-0.5"])
