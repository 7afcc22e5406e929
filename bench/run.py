"""Benchmarks of tessaron against the code a user would otherwise write.

Every row is a ratio measured in this run: the best of several repetitions
of tessaron against the best of a named reference (NumPy float32 over the
same points, the astype copy eval_vec has to make anyway, math.dist for one
point, SciPy's distance transform, a NumPy sphere tracer over the whole
image). Run from the project root:

    pip install '.[bench]' && python bench/run.py [--quick] [--json out.json]
"""
import os

# One core: keep NumPy's and SciPy's thread pools out of the comparison.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import json
import math
import platform
import sys
import timeit

import numpy as np

from scaling import bench_scaling
from tessaron import Sdf

from numba_peer import make_peer

F = np.float32


# --- scenes, each as a tessaron shape and as NumPy float32 code -------------

class NpShape:
    """A NumPy float32 evaluator of a scene, the way pure-Python SDF code
    does it: one vectorised expression per node over all points."""

    def __init__(self, fn):
        self.fn = fn

    def __call__(self, p):
        return self.fn(p)

    @staticmethod
    def sphere(c, r):
        c, r = np.asarray(c, F), F(r)
        return NpShape(lambda p: np.sqrt(((p - c) ** 2).sum(axis=1)) - r)

    @staticmethod
    def plane(o, n):
        o, n = np.asarray(o, F), np.asarray(n, F)
        n = n / np.sqrt((n * n).sum())
        return NpShape(lambda p: (p - o) @ n)

    @staticmethod
    def segment(a, b):
        a, b = np.asarray(a, F), np.asarray(b, F)
        e = b - a
        ee = e @ e

        def fn(p):
            w = p - a
            h = np.clip((w @ e) / ee, F(0), F(1))
            return np.sqrt(((w - h[:, None] * e) ** 2).sum(axis=1))

        return NpShape(fn)

    def translate(self, v):
        v = np.asarray(v, F)
        return NpShape(lambda p: self.fn(p - v))

    def scale(self, k):
        k = F(k)
        return NpShape(lambda p: self.fn(p / k) * k)

    def rotate(self, q):
        q = np.asarray(q, F)
        q = q / np.sqrt((q * q).sum())
        u, w = -q[:3], q[3]

        def fn(p):
            d = p @ u
            c = np.cross(u, p)
            return self.fn(F(2) * w * c + (F(2) * d[:, None] * u + (w * w - u @ u) * p))

        return NpShape(fn)

    @staticmethod
    def union(parts):
        return NpShape(lambda p: np.minimum.reduce([s(p) for s in parts]))


def scene8(lib):
    """Eight parts (spheres, segments, planes) under transforms: ~20 nodes."""
    parts = [
        lib.sphere((0, 0, 0), 1.0).translate((1.5, 0, 0)),
        lib.sphere((0, 0, 0), 0.7).scale(1.3).translate((-1.5, 0.5, 0)),
        lib.segment((0, 0, 0), (0, 2, 0)).translate((0, -1, 1)),
        lib.segment((-1, 0, 0), (1, 0, 0)).rotate((0, 0, 0.38, 0.92)),
        lib.plane((0, -2, 0), (0, 1, 0)),
        lib.plane((0, 0, -3), (0.1, 0, 1)).translate((0, 0, 0.5)),
        lib.sphere((0, 1, 0), 0.5).rotate((0.2, 0.1, 0, 1)).scale(0.8),
        lib.segment((0, 0, -1), (0, 0, 1)).translate((0.5, 0.5, 0.5)).scale(1.2),
    ]
    return lib.union(parts)


def voxel_shape(chunk):
    return Sdf.voxel(chunk).scale(0.25).translate((-2, -2, -2))


def deep_chain(depth):
    shape = Sdf.sphere((0, 0, 0), 1.0)
    for i in range(depth):
        shape = shape.translate((0.001, 0, 0)) if i % 2 else shape.rotate((0, 0, 0.001, 1))
    return shape


# --- timing ---------------------------------------------------------------

def best(fn, repeat, min_time=0.05):
    """Best time of one call, over `repeat` batches of enough calls to last
    about `min_time` seconds each."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number


def show(seconds):
    """A time in the unit that keeps it readable."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


class Table:
    """Rows of `speedup` = reference time / tessaron time; a target is a
    least speedup (a target of 1/3 means "at most 3 times the reference").
    Rows without a meaningful reference show the time alone, per item where
    `per` names the item, against an upper limit when one is set."""

    def __init__(self):
        self.rows = []

    def add(self, measure, ours, reference_name, reference, target=None, per=None, count=1):
        speedup = reference / ours
        met = None if target is None else speedup >= target
        self.rows.append({"measure": measure, "tessaron_s": ours, "reference": reference_name,
                          "reference_s": reference, "speedup": speedup, "target": target,
                          "met": met, "per": per, "count": count})
        goal = "" if target is None else f"  target >= {target:.3g}: {'met' if met else 'MISSED'}"
        unit = f"/{per}" if per else ""
        print(f"{measure:<44} {show(ours / count) + unit:>14}  {reference_name:<16}"
              f"{show(reference / count) + unit:>14}  speedup {speedup:6.3g}{goal}", flush=True)

    def alone(self, measure, ours, per=None, count=1, limit=None):
        met = None if limit is None else ours / count <= limit
        self.rows.append({"measure": measure, "tessaron_s": ours, "per": per, "count": count,
                          "limit_s": limit, "met": met})
        goal = "" if limit is None else f"  target <= {show(limit)}: {'met' if met else 'MISSED'}"
        unit = f"/{per}" if per else ""
        print(f"{measure:<44} {show(ours / count) + unit:>14}{goal}", flush=True)


def bench_eval_vec(table, sizes, repeat):
    rng = np.random.default_rng(1)
    chunk = (rng.random((16, 16, 16)) < 0.05).astype(np.uint8)
    scenes = {
        "sphere": (Sdf.sphere((0, 0, 0), 1.0), NpShape.sphere((0, 0, 0), 1.0)),
        "scene8": (scene8(Sdf), scene8(NpShape)),
        "voxel": (voxel_shape(chunk), None),
        "chain1000": (deep_chain(1000), None),
    }
    for n in sizes:
        pts = rng.normal(scale=2.0, size=(n, 3))
        pts32 = pts.astype(F)
        copy_time = best(lambda: pts.astype("float32"), repeat)
        for name, (shape, reference) in scenes.items():
            ours = best(lambda: shape.eval_vec(pts), repeat)
            if reference is not None and n >= 1000:
                table.add(f"eval_vec {name} N={n}", ours, "NumPy float32",
                          best(lambda: reference(pts32), repeat),
                          30 if (name, n) == ("scene8", 1_000_000) else None, "point", n)
            elif n >= 1000:
                table.alone(f"eval_vec {name} N={n}", ours, "point", n)
            if name == "sphere" and n >= 100_000:
                # The copy astype makes of float64 points, which eval_vec needs
                # anyway: a yardstick only where it is a large share of the work.
                table.add(f"eval_vec {name} N={n}", ours, "astype copy", copy_time,
                          1 / 3 if (name, n) == ("sphere", 1_000_000) else None, "point", n)


def bench_peers(table, n, repeat):
    """scene8 against the Numba peer: the column loop at n points, the march
    per distance sample; a sphere on float32 points against the bare copy;
    one translated voxel chunk per point."""
    rng = np.random.default_rng(3)
    pts32 = rng.normal(scale=2.0, size=(n, 3)).astype(F)
    sphere = Sdf.sphere((0, 0, 0), 1.0)
    table.add(f"eval_vec sphere float32 N={n}", best(lambda: sphere.eval_vec(pts32), repeat),
              "astype float32", best(lambda: pts32.astype("float32"), repeat), 1, "point", n)
    chunk = (rng.random((16, 16, 16)) < 0.05).astype(np.uint8)
    voxel = Sdf.voxel(chunk).translate((1.5, 2.5, 3.5))
    table.alone(f"eval_vec one translated voxel chunk N={n}",
                best(lambda: voxel.eval_vec(pts32), repeat), "point", n, 3e-9)
    peer = make_peer()
    if peer is None:
        print("(Numba missing: peer rows skipped; pip install '.[bench]')")
        return
    columns, trace = peer
    shape = scene8(Sdf)
    x, y, z = (np.ascontiguousarray(pts32[:, i]) for i in range(3))
    out = np.empty(n, F)
    columns(x, y, z, out)
    ours = shape.eval_vec(pts32)
    if not np.array_equal(out.view(np.uint32), ours.view(np.uint32)):
        raise SystemExit("the Numba scene8 differs from tessaron's: no comparison")
    table.add(f"eval_vec scene8 N={n}", best(lambda: shape.eval_vec(pts32), repeat),
              "Numba columns", best(lambda: columns(x, y, z, out), repeat), 1, "point", n)

    # From outside, rays hit after ~14 samples, so the call made per ray
    # weighs on each sample. From the far side the camera is inside the
    # tilted plane's half-space: no ray hits, each creeps its 64 samples,
    # and the row shows the march's own work per sample.
    march_row(table, repeat, shape, trace, "from outside", camera_rays(64))
    march_row(table, repeat, shape, trace, "64-sample rays", camera_rays(64, inside=True))


def march_row(table, repeat, shape, trace, label, camera):
    """raymarch_with_normal per ray from Python against the Numba tracer
    over the same rays, per distance sample taken (same hits checked)."""
    origin, dirs = camera
    dirs32 = dirs.astype(F)
    rays = [tuple(map(float, r)) for r in dirs32]
    march = shape.raymarch_with_normal
    t_out, n_out = np.empty(len(rays), F), np.zeros((len(rays), 3), F)
    samples = trace(np.asarray(origin, F), dirs32, 64, F(20.0), F(1e-3), t_out, n_out)
    hits = [march(origin, r, 64, 20.0, 1e-3) for r in rays]
    t_ours = np.array([np.nan if h is None else h[0][0] for h in hits], F)
    if not np.array_equal(t_ours.view(np.uint32), t_out.view(np.uint32)):
        raise SystemExit("the Numba tracer differs from tessaron's: no comparison")
    table.add(f"raymarch_with_normal scene8 {label}, per sample",
              best(lambda: [march(origin, r, 64, 20.0, 1e-3) for r in rays], repeat, 0.2),
              "Numba tracer", best(lambda: trace(np.asarray(origin, F), dirs32, 64, F(20.0),
                                                 F(1e-3), t_out, n_out), repeat, 0.2),
              1, "sample", samples)


def bench_single_point(table, repeat):
    sphere = Sdf.sphere((0, 0, 0), 1.0)
    p, c = (0.5, 0.2, 3.0), (0.0, 0.0, 0.0)
    table.add("eval sphere, one point", best(lambda: sphere.eval(p), repeat),
              "math.dist", best(lambda: math.dist(p, c), repeat), 1 / 1.1)
    scene = scene8(Sdf)
    table.alone("eval scene8, one point", best(lambda: scene.eval(p), repeat))


def bench_voxel(table, repeat):
    try:
        from scipy.ndimage import distance_transform_edt
    except ImportError:
        print("(SciPy missing: voxel row skipped; pip install '.[bench]')")
        return
    chunk = (np.random.default_rng(2).random((16, 16, 16)) < 0.05).astype(np.uint8)
    table.add("Sdf.voxel, 5% occupied chunk", best(lambda: Sdf.voxel(chunk), repeat),
              "SciPy EDT", best(lambda: distance_transform_edt(chunk == 0), repeat), 20)


def camera_rays(size, inside=False):
    """A camera 6 units out on the z axis looking at the origin; `inside`
    puts it on the far side, where scene8's tilted plane has it inside."""
    z = -6.0 if inside else 6.0
    ys, xs = np.mgrid[0:size, 0:size]
    u = (xs + 0.5) / size * 2 - 1
    v = 1 - (ys + 0.5) / size * 2
    dirs = np.stack([u, v, np.full_like(u, -z / 4)], axis=-1).reshape(-1, 3)
    return (0.0, 0.0, z), dirs


def numpy_trace(shape, origin, dirs, max_steps, max_dist, eps):
    """Sphere tracing of every ray at once, then normals at the hits."""
    d = (dirs / np.sqrt((dirs * dirs).sum(axis=1))[:, None]).astype(F)
    o = np.asarray(origin, F)
    t = np.zeros(len(d), F)
    active = np.ones(len(d), bool)
    hit = np.zeros(len(d), bool)
    for _ in range(max_steps):
        idx = np.nonzero(active)[0]
        if idx.size == 0:
            break
        dist = shape(t[idx, None] * d[idx] + o)
        now_hit = np.abs(dist) < eps
        hit[idx[now_hit]] = True
        gone = now_hit | (t[idx] > max_dist)
        active[idx[gone]] = False
        t[idx] += np.maximum(dist, F(1e-6))
    p = t[hit, None] * d[hit] + o
    h = F(2 * eps)
    grad = np.stack([shape(p + e) - shape(p - e) for e in np.eye(3, dtype=F) * h], axis=1)
    return hit, grad / np.sqrt((grad * grad).sum(axis=1))[:, None]


def bench_render(table, size, repeat):
    ours_shape, np_shape = scene8(Sdf), scene8(NpShape)
    origin, dirs = camera_rays(size)
    dir_tuples = [tuple(map(float, r)) for r in dirs]
    march = ours_shape.raymarch_with_normal

    def ours():
        return [march(origin, r, 64, 20.0, 1e-3) for r in dir_tuples]

    table.add(f"raymarch_with_normal {size}x{size} scene8", best(ours, repeat, 0.2),
              "NumPy tracer", best(lambda: numpy_trace(np_shape, origin, dirs, 64, 20.0, 1e-3),
                                   repeat, 0.2), 3)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes: a smoke run")
    parser.add_argument("--json", metavar="PATH", help="also write the table as JSON")
    args = parser.parse_args(argv)
    sizes = [1, 1000] if args.quick else [1, 1000, 100_000, 1_000_000]
    repeat = 2 if args.quick else 5
    print(f"tessaron benchmark: Python {platform.python_version()}, NumPy {np.__version__}, "
          f"{platform.machine()} {platform.processor() or ''}".rstrip())
    table = Table()
    bench_single_point(table, repeat)
    bench_voxel(table, repeat)
    bench_eval_vec(table, sizes, repeat)
    bench_peers(table, 1000 if args.quick else 1_000_000, repeat)
    bench_render(table, 16 if args.quick else 128, repeat)
    bench_scaling(table, args.quick, repeat)
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"python": sys.version, "numpy": np.__version__,
                       "machine": platform.machine(), "rows": table.rows}, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
