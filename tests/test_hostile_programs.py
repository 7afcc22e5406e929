"""Whole programs that used to abort, hang or leak: a daemon thread inside a
call when the interpreter exits, a fork during the first NumPy load, and
memory running out while trees are copied and released. Each runs in a
child process of its own."""

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
