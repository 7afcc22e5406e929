"""How query costs grow with the number of parts of a union.

Unions of N random spheres (radius 0.02 to 0.06) and of N random capsules
(segment(a, b).dilate(r), length about 0.1) in the box [-1, 1]^3, for
N = 16, 256 and 4096; 1,000,000 points uniform in the box. Per N: eval_vec ns per
point, eval ns per point, and raymarch (at most 64 samples, from points in
the box in random directions, eps 1e-3, max_dist 4) in ns per sample taken;
then the growth 4096/16. Run alone
(python bench/scaling.py [--quick]) or as part of bench/run.py, which adds
the targets to its table.
"""
import argparse
import sys
import timeit

import numpy as np

from tessaron import Sdf

SIZES = (16, 256, 4096)


def spheres(n, rng):
    centres = rng.uniform(-1, 1, (n, 3))
    radii = rng.uniform(0.02, 0.06, n)
    return Sdf.union([Sdf.sphere(tuple(map(float, c)), float(r)) for c, r in zip(centres, radii)])


def capsules(n, rng):
    ends = rng.uniform(-1, 1, (n, 3))
    way = rng.normal(size=(n, 3))
    way *= rng.uniform(0.05, 0.15, (n, 1)) / np.linalg.norm(way, axis=1, keepdims=True)
    radii = rng.uniform(0.01, 0.03, n)
    return Sdf.union([Sdf.segment(tuple(map(float, a)), tuple(map(float, a + w))).dilate(float(r))
                      for a, w, r in zip(ends, way, radii)])


def best(fn, repeat):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, number // 4)
    return min(timer.repeat(repeat=repeat, number=number)) / number


MARCH = (64, 4.0, 1e-3)  # max_steps, max_dist, eps


def samples_taken(ev, origin, direction):
    """How many samples the march takes: the same loop in float32."""
    f = np.float32
    o, d = np.array(origin, f), np.array(direction, f)
    unit = d * (f(1) / np.sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]))
    max_steps, max_dist, eps = MARCH
    t = f(0)
    for k in range(1, max_steps + 1):
        dist = f(ev(tuple(float(t * u + c) for u, c in zip(unit, o))))
        if abs(dist) < f(eps) or t > f(max_dist):
            return k
        t = t + (dist if dist > f(1e-6) else f(1e-6))
    return max_steps


def measure(shape, rng, quick, repeat):
    """(eval_vec, eval, march) in seconds per point or sample."""
    pts = rng.uniform(-1, 1, (20_000 if quick else 1_000_000, 3)).astype(np.float32)
    singles = [tuple(map(float, p)) for p in pts[:200 if quick else 2_000]]
    rays = [(tuple(map(float, o)), tuple(map(float, d)))
            for o, d in zip(rng.uniform(-1, 1, (50, 3)), rng.normal(size=(50, 3)))]
    ev, march = shape.eval, shape.raymarch
    vec = best(lambda: shape.eval_vec(pts), repeat) / len(pts)
    one = best(lambda: [ev(p) for p in singles], repeat) / len(singles)
    marched = best(lambda: [march(o, d, *MARCH) for o, d in rays], repeat)
    return vec, one, marched / sum(samples_taken(ev, o, d) for o, d in rays)


def scaling_rows(quick=False, repeat=3):
    """{(family, N): (eval_vec, eval, march)}, printed as a table."""
    rows = {}
    print(f"{'union of':<18}{'eval_vec ns/pt':>16}{'eval ns/pt':>12}{'march ns/sample':>17}")
    for family, make in (("spheres", spheres), ("capsules", capsules)):
        for n in SIZES:
            rng = np.random.default_rng(n)
            rows[family, n] = measure(make(n, rng), rng, quick, repeat)
            cells = "".join(f"{t * 1e9:>{w}.1f}" for t, w in zip(rows[family, n], (16, 12, 17)))
            print(f"{n:>5} {family:<12}{cells}", flush=True)
        growth = [big / small for big, small in zip(rows[family, SIZES[-1]], rows[family, SIZES[0]])]
        print(f"{'growth 4096/16':<18}" + "".join(
            f"{g:>{w}.2f}x" for g, w in zip(growth, (15, 11, 16))), flush=True)
    return rows


def bench_scaling(table, quick, repeat):
    """The scaling rows and their targets, added to bench/run.py's table."""
    rows = scaling_rows(quick, repeat)
    small, big = rows["spheres", SIZES[0]], rows["spheres", SIZES[-1]]
    table.add("eval_vec 4096 spheres, per point", big[0], "20 ns budget", 20e-9, 1)
    for what, i, limit in (("eval_vec", 0, 4), ("eval", 1, 5), ("raymarch sample", 2, 5)):
        for family in ("spheres", "capsules"):
            table.add(f"{what} 4096 {family} vs 16", rows[family, SIZES[-1]][i],
                      f"16 {family}", rows[family, SIZES[0]][i], 1 / limit)
    return small, big


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few points: a smoke run")
    args = parser.parse_args(argv)
    scaling_rows(args.quick, 2 if args.quick else 3)
    return 0


if __name__ == "__main__":
    sys.exit(main())
