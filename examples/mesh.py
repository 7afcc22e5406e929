"""Export a shape as a triangle mesh (STL, PLY, OBJ, ...).

The distance field is sampled on a regular grid with ``eval_vec``, one slab of
grid planes at a time so that the point arrays stay small at any resolution;
``skimage.measure.marching_cubes`` extracts the zero level set, and
``trimesh`` writes the file in the format its suffix names.

    python examples/mesh.py --resolution 64 --output shape.stl
    python examples/mesh.py --bounds -2,-2,-2,2,2,2 --output shape.ply --picture mesh.png

The default shape is the classic CSG part (parts.csg_part). Parts of the shape
outside --bounds are cut off and closed there, so the mesh is watertight.
Needs the ``examples`` extra (scikit-image, trimesh; matplotlib for --picture).
"""

from __future__ import annotations

import argparse
import math
import time
from pathlib import Path

import numpy as np
import numpy.typing as npt
import trimesh
from skimage.measure import marching_cubes

from parts import CSG_BOUNDS, csg_part
from tessaron import Sdf

Bounds = tuple[float, float, float, float, float, float]
# Grid points evaluated per eval_vec call: about 12 MB of float32 points.
CHUNK_POINTS = 1 << 20


def grid_axes(bounds: Bounds, resolution: int) -> list[npt.NDArray[np.float64]]:
    """Sample positions along x, y and z: `resolution` cells along the longest
    side of the box, cells of the same size (cubes) along the others."""
    lo, hi = np.array(bounds[:3]), np.array(bounds[3:])
    step = float((hi - lo).max()) / resolution
    counts = [max(2, math.ceil((h - l) / step - 1e-9) + 1) for l, h in zip(lo, hi)]
    return [l + step * np.arange(n) for l, n in zip(lo, counts)]


def sample(shape: Sdf, axes: list[npt.NDArray[np.float64]],
           chunk_points: int = CHUNK_POINTS) -> npt.NDArray[np.float32]:
    """The distances at every grid point, as an array indexed [ix, iy, iz]."""
    xs, ys, zs = axes
    field = np.empty((len(xs), len(ys), len(zs)), np.float32)
    # A slab is a run of whole x planes; at least one plane per call.
    planes = max(1, chunk_points // (len(ys) * len(zs)))
    for i in range(0, len(xs), planes):
        # indexing="ij" keeps the axes in x, y, z order; the default ("xy")
        # would swap x and y in the result.
        gx, gy, gz = np.meshgrid(xs[i:i + planes], ys, zs, indexing="ij")
        points = np.stack([gx.ravel(), gy.ravel(), gz.ravel()], axis=1).astype(np.float32)
        field[i:i + planes] = shape.eval_vec(points).reshape(gx.shape)
    return field


def mesh_shape(shape: Sdf, bounds: Bounds, resolution: int,
               chunk_points: int = CHUNK_POINTS) -> trimesh.Trimesh:
    """The zero level set of `shape` inside `bounds`, as a closed triangle mesh."""
    axes = grid_axes(bounds, resolution)
    step = float(axes[0][1] - axes[0][0])
    field = sample(shape, axes, chunk_points)
    # A layer of outside values all round closes the surface where the shape
    # reaches the bounds; NaN (e.g. a degenerate segment) counts as outside.
    field = np.pad(np.nan_to_num(field, nan=step), 1, constant_values=step)
    # A sample on the surface (or nearly) puts triangle corners on the grid
    # point itself, and the triangles around it collapse to lines and leave
    # holes once their vertices are merged; keep every sample a little off it.
    tiny = np.float32(1e-4 * step)
    field[np.abs(field) < tiny] = np.copysign(tiny, field[np.abs(field) < tiny])
    if not (field.min() < 0 < field.max()):
        raise ValueError("the shape has no surface inside the bounds")
    verts, faces, _, _ = marching_cubes(field, level=0.0, spacing=(step, step, step))
    # marching_cubes works in grid units from the first sample (scaled by
    # spacing): move the vertices to the grid's origin, one padding cell out.
    origin = np.array([axis[0] for axis in axes]) - step
    return trimesh.Trimesh(vertices=verts + origin, faces=faces)


def save_picture(mesh: trimesh.Trimesh, path: Path) -> None:
    """A shaded view of the mesh's triangles, drawn with matplotlib."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection

    light = np.array([-0.4, -0.5, 0.75])
    shade = 0.25 + 0.75 * np.clip(mesh.face_normals @ (light / np.linalg.norm(light)), 0, 1)
    colours = np.outer(shade, [0.95, 0.55, 0.2])
    fig = plt.figure(figsize=(4, 4), dpi=80)
    ax = fig.add_subplot(projection="3d")
    ax.add_collection3d(Poly3DCollection(mesh.triangles, facecolors=colours, linewidths=0))
    lo, hi = mesh.bounds
    centre, half = (lo + hi) / 2, float((hi - lo).max()) / 2
    ax.set(xlim=(centre[0] - half, centre[0] + half), ylim=(centre[1] - half, centre[1] + half),
           zlim=(centre[2] - half, centre[2] + half))
    ax.set_box_aspect((1, 1, 1))
    ax.view_init(elev=25, azim=-60)
    ax.set_axis_off()
    fig.savefig(path, bbox_inches="tight")
    plt.close(fig)


def parse_bounds(text: str) -> Bounds:
    values = [float(v) for v in text.split(",")]
    if len(values) != 6 or not all(values[i] < values[i + 3] for i in range(3)):
        raise argparse.ArgumentTypeError("expected xmin,ymin,zmin,xmax,ymax,zmax with min < max")
    return (values[0], values[1], values[2], values[3], values[4], values[5])


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--resolution", type=int, default=128,
                        help="grid cells along the longest side of the bounds (default: 128)")
    parser.add_argument("--output", type=Path, default=Path("shape.stl"),
                        help="mesh file; the suffix picks the format (default: shape.stl)")
    parser.add_argument("--bounds", type=parse_bounds, default=CSG_BOUNDS,
                        help="xmin,ymin,zmin,xmax,ymax,zmax (default: the CSG part's box)")
    parser.add_argument("--picture", type=Path, help="also draw the mesh into this PNG file")
    args = parser.parse_args(argv)
    if args.resolution < 2:
        parser.error("--resolution must be at least 2")

    start = time.perf_counter()
    mesh = mesh_shape(csg_part(), args.bounds, args.resolution)
    mesh.export(args.output)
    elapsed = time.perf_counter() - start
    print(f"wrote {args.output}: {len(mesh.faces):,} faces, "
          f"watertight: {'yes' if mesh.is_watertight else 'no'}, {elapsed:.2f} s")
    if args.picture:
        save_picture(mesh, args.picture)
        print(f"wrote {args.picture}")


if __name__ == "__main__":
    main()
