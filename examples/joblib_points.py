"""Evaluate a shape at many random points with joblib worker processes.

The block function, ``parts.part_distances``, lives in an importable module, so
joblib sends it to the workers by name and each worker imports ``parts`` (and
with it ``tessaron``) itself. The same function written in this script would
need ``from tessaron import Sdf`` inside its body instead: see the README's
"Scaling out" and dask_points.py.

    python examples/joblib_points.py --points 20_000_000 --jobs 4

The fraction of points inside the part estimates its volume. Needs the
``examples`` extra (joblib).
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
from joblib import Parallel, delayed

from parts import CSG_BOUNDS, part_distances


def points_per_second(count: int, seconds: float) -> str:
    """A rate in millions of points per second, or in points for small counts."""
    rate = count / seconds if seconds > 0 else float("inf")
    return f"{rate / 1e6:.1f} million points/s" if rate >= 1e6 else f"{rate:,.0f} points/s"


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--points", type=int, default=10_000_000, help="number of points (default: 10^7)")
    parser.add_argument("--chunk", type=int, default=1_000_000, help="points per task (default: 10^6)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="worker processes (default: one per CPU)")
    args = parser.parse_args(argv)
    if min(args.points, args.chunk, args.jobs) < 1:
        parser.error("--points, --chunk and --jobs must be positive")

    lo, hi = np.array(CSG_BOUNDS[:3]), np.array(CSG_BOUNDS[3:])
    rng = np.random.default_rng(0)
    starts = range(0, args.points, args.chunk)
    chunks = [(lo + (hi - lo) * rng.random((min(args.chunk, args.points - s), 3))).astype(np.float32)
              for s in starts]

    start = time.perf_counter()
    with Parallel(n_jobs=args.jobs, timeout=600) as pool:
        parts = pool(delayed(part_distances)(chunk) for chunk in chunks)
    elapsed = time.perf_counter() - start

    dist = np.concatenate(parts)
    inside = int((dist < 0).sum())
    volume = float(np.prod(hi - lo)) * inside / args.points
    print(f"{args.points:,} points in {len(chunks)} chunks on {args.jobs} worker processes")
    print(f"inside the part: {inside:,} (volume estimate {volume:.4f})")
    print(f"time to evaluate the points: {elapsed:.2f} s ({points_per_second(args.points, elapsed)})")


if __name__ == "__main__":
    main()
