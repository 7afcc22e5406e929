"""Results do not depend on the caller's floating-point mode.

A small C library, compiled here, switches the thread to flush-to-zero,
denormals-are-zero and rounding toward zero, as a library built with
fast-math (or a call of fesetround) would leave it. Every method must still
give the round-to-nearest results of the float32 model, and hand the
caller's mode back unchanged.
"""

import ctypes
import platform
import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference as ref
from reference import agree, build, compile_tree
from strategies import direction, points, trees, vec3
from tessaron import Sdf

HELPER = r"""
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
unsigned long long get_mode(void) { return _mm_getcsr(); }
void set_mode(unsigned long long m) { _mm_setcsr((unsigned)m); }
#elif defined(__aarch64__)
unsigned long long get_mode(void) {
    unsigned long long m;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(m));
    return m;
}
void set_mode(unsigned long long m) { __asm__ __volatile__("msr fpcr, %0" : : "r"(m)); }
#endif
"""

# Bits to set in the control register: flush-to-zero (and denormals-are-zero
# on x86) plus rounding toward zero; and the bits that are status flags, not
# mode (MXCSR keeps both in one register).
X86, ARM = (0x8000 | 0x0040 | 0x6000, 0x3F), ((1 << 24) | (3 << 22), 0)
HOSTILE_BITS = {"x86_64": X86, "AMD64": X86, "aarch64": ARM, "arm64": ARM}


@pytest.fixture(scope="module")
def fpmode(tmp_path_factory):
    machine = platform.machine()
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if machine not in HOSTILE_BITS or not cc:
        pytest.skip("needs a C compiler on x86-64 or AArch64")
    folder = tmp_path_factory.mktemp("fpmode")
    (folder / "fpmode.c").write_text(HELPER)
    library = folder / "libfpmode.so"
    build_run = subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(library),
                                str(folder / "fpmode.c")], capture_output=True, text=True)
    if build_run.returncode:
        pytest.skip(f"cannot build the mode helper: {build_run.stderr}")
    lib = ctypes.CDLL(str(library))
    lib.get_mode.restype = ctypes.c_ulonglong
    lib.set_mode.argtypes = [ctypes.c_ulonglong]
    return lib, HOSTILE_BITS[machine]


def in_hostile_mode(fpmode, calls):
    """Runs each call with the hostile mode set; returns the results (or the
    exceptions raised) and the mode found after each call."""
    lib, (extra, flags) = fpmode
    normal = lib.get_mode() & ~flags
    hostile = normal | extra
    results, after = [], []
    lib.set_mode(hostile)
    try:
        for call in calls:
            try:
                results.append(call())
            except Exception as e:  # noqa: BLE001 - the exception is the result
                results.append(e)
            after.append(lib.get_mode() & ~flags)
    finally:
        lib.set_mode(normal)
    assert after == [hostile] * len(calls), [hex(m) for m in after]
    return results


def test_subnormal_results_survive_flush_to_zero(fpmode):
    # float64 rows, so that NumPy's cast to float32 runs in the call too; the
    # square of 1e-20 is subnormal in float32.
    tiny = np.array([[1e-40, 0.0, 0.0], [1e-20, 0.0, 0.0]])
    plane, sphere = ("plane", (0, 0, 0), (1, 0, 0)), ("sphere", (0, 0, 0), 1e-39)
    got = in_hostile_mode(fpmode, [
        lambda: Sdf.plane((0, 0, 0), (1, 0, 0)).eval((1e-40, 0, 0)),
        lambda: Sdf.sphere((0, 0, 0), 1e-39).eval((0, 0, 0)),
        lambda: build(plane).eval_vec(tiny),
        lambda: build(sphere).eval_vec(tiny),
        lambda: Sdf.sphere((0, 0, 0), 1.0).eval(("not a number", 0, 0)),
    ])
    assert got[0] == 9.99994610111476e-41
    assert got[1] == -1.0000002153053333e-39
    for shape, vec in [(plane, got[2]), (sphere, got[3])]:
        assert vec.tolist() == [float(ref.evaluate(compile_tree(shape), row)) for row in tiny]
    assert got[2][0] == got[0] and got[3][1] > 0  # -1e-39 if the square were flushed
    assert str(got[4]) == "argument 'p': must be real number, not str"


@st.composite
def march_args(draw):
    return (draw(vec3), draw(direction), draw(st.integers(0, 40)),
            draw(st.floats(0.5, 50.0)), draw(st.floats(1e-3, 0.5)))


@settings(max_examples=60)
@given(trees, points, st.floats(-0.5, 0.5), march_args())
def test_queries_match_model_in_hostile_mode(fpmode, desc, p, h, march):
    # Construction (the normalisations of plane, ray and rotate, and every
    # argument conversion) runs in the hostile mode as well as the queries.
    tree = compile_tree(desc)
    pts = np.array([p, [c * 0.1 for c in p]], dtype=np.float64)
    want = [ref.evaluate(tree, p), ref.normal(tree, p, h),
            ref.raymarch(tree, *march, with_normal=True)]
    with np.errstate(over="ignore"):
        want_vec = [ref.evaluate(tree, row) for row in pts.astype(np.float32)]
    with np.errstate(over="ignore"):  # NumPy's cast of huge coordinates
        got = in_hostile_mode(fpmode, [
            lambda: build(desc).eval(p),
            lambda: build(desc).normal(p, h),
            lambda: build(desc).raymarch_with_normal(*march),
            lambda: build(desc).eval_vec(pts),
        ])
    assert all(agree(g, w) for g, w in zip(got[:3], want)), (got, want)
    assert all(agree(float(g), float(w)) for g, w in zip(got[3], want_vec)), (got[3], want_vec)


def test_voxel_grid_built_in_hostile_mode(fpmode):
    # The grid's square roots round too: sqrt(2) toward zero is one ulp low.
    rng = np.random.default_rng(7)
    chunk = (rng.random((16, 16, 16)) < 0.01).astype(np.uint8)
    desc = ("voxel", chunk)
    tree = compile_tree(desc)
    probes = [tuple(map(float, rng.uniform(-1, 17, 3))) for _ in range(200)]
    (shape,) = in_hostile_mode(fpmode, [lambda: build(desc)])
    for p in probes:
        assert agree(shape.eval(p), ref.evaluate(tree, p)), p


def test_callbacks_run_in_the_core_mode(fpmode):
    # Conversions round, so the whole call runs in the core's mode, Python
    # code called by the conversions included; the caller gets its own back.
    lib, (_, flags) = fpmode
    seen = []

    class Probe:
        def __float__(self):
            seen.append(lib.get_mode() & ~flags)
            return 1e-40

    core_mode = lib.get_mode() & ~flags  # the test process runs in the default mode
    plane = Sdf.plane((0, 0, 0), (1, 0, 0))
    (distance,) = in_hostile_mode(fpmode, [lambda: plane.eval((Probe(), 0, 0))])
    assert seen == [core_mode] and distance == 9.99994610111476e-41
