"""Evaluate a shape at a very large cloud of random points with Dask.

The points are made and evaluated chunk by chunk on a local cluster of worker
processes: ``eval_vec`` keeps the interpreter lock for a whole batch, so
processes, not threads, are what runs batches side by side. Shapes cannot be
pickled, so every task builds its own copy of the shape with ``build_scene()``
(that takes microseconds) instead of receiving one. These functions are
defined in the script, so Dask sends them by value: they import ``tessaron``
inside their bodies. The other way that works is a block function in an
importable module, as joblib_points.py does with parts.py.

    python examples/dask_points.py --points 100_000_000 --chunk 2_000_000 --workers 4

The fraction of points inside the shape also estimates its volume. Needs the
``examples`` extra (dask[array,distributed]).
"""

from __future__ import annotations

import argparse
import os
import time
from typing import TYPE_CHECKING

import dask.array as da
import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from tessaron import Sdf

# The points are drawn uniformly from the cube [-HALF, HALF]^3.
HALF = 2.0


def build_scene() -> Sdf:
    """A drilled ball, a ring of capsules and a little voxel block, all in the cube."""
    # Imported here rather than at the top: when this file runs as a script its
    # functions travel to the workers by value, with the globals they use. The
    # class names itself builtins.Sdf, so it cannot go by reference and arrives
    # as a broken copy; importing inside the task sends only the module name.
    from tessaron import Sdf

    drill = Sdf.union([
        Sdf.segment((-2.0, 0.0, 0.0), (2.0, 0.0, 0.0)),
        Sdf.segment((0.0, -2.0, 0.0), (0.0, 2.0, 0.0)),
    ]).dilate(0.35)
    ball = Sdf.difference(Sdf.sphere((0.0, 0.0, 0.0), 1.0), drill)
    ring = Sdf.union([
        Sdf.segment((1.5, 0.0, -1.5), (1.5, 0.0, 1.5)),
        Sdf.segment((-1.5, 0.0, -1.5), (-1.5, 0.0, 1.5)),
    ]).dilate(0.2).rotate((0.0, 0.0, 0.3826834, 0.9238795))  # 45 degrees about z
    chunk = np.zeros((16, 16, 16), np.uint8)
    chunk[4:12, 4:12, 4:12] = 1
    block = Sdf.voxel(chunk).dilate(0.5).translate((-7.5, -7.5, -7.5)).scale(0.05)
    block = block.translate((0.0, 1.4, 1.4))
    return Sdf.union([ball, ring, block])


def distances(points: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """The block function: distances of the shape at one chunk of points (rows x, y, z)."""
    return build_scene().eval_vec(points)


def point_cloud(count: int, chunk: int, seed: int = 0) -> da.Array:
    """count x 3 float32 points, uniform in the cube, in chunks of `chunk` rows."""
    rng = da.random.default_rng(seed)
    unit = rng.random((count, 3), chunks=(chunk, 3), dtype=np.float32)
    return unit * np.float32(2 * HALF) - np.float32(HALF)


def evaluate(points: da.Array) -> da.Array:
    """One float32 distance per row of `points`, chunked like its rows."""
    return da.map_blocks(distances, points, drop_axis=1, dtype=np.float32,
                         meta=np.empty((0,), np.float32))


def points_per_second(count: int, seconds: float) -> str:
    """A rate in millions of points per second, or in points for small counts."""
    rate = count / seconds if seconds > 0 else float("inf")
    return f"{rate / 1e6:.1f} million points/s" if rate >= 1e6 else f"{rate:,.0f} points/s"


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--points", type=int, default=100_000_000,
                        help="number of points (default: 10^8)")
    parser.add_argument("--chunk", type=int, default=2_000_000, help="points per task (default: 2*10^6)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes (default: one per CPU)")
    args = parser.parse_args(argv)
    if min(args.points, args.chunk, args.workers) < 1:
        parser.error("--points, --chunk and --workers must be positive")

    # Only the cluster needs distributed; the functions above need dask.array alone.
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(args.workers)
        dist = evaluate(point_cloud(args.points, args.chunk))
        start = time.perf_counter()
        inside, nearest = da.compute((dist < 0).sum(), dist.min())
        elapsed = time.perf_counter() - start

    volume = (2 * HALF) ** 3 * int(inside) / args.points
    print(f"{args.points:,} points in {dist.numblocks[0]} chunks on {args.workers} worker processes")
    print(f"inside the shape: {int(inside):,} (volume estimate {volume:.4f})")
    print(f"smallest distance: {float(nearest):.6g}")
    print(f"time to make and evaluate the points: {elapsed:.2f} s "
          f"({points_per_second(args.points, elapsed)})")


if __name__ == "__main__":
    main()
