"""Shapes shared by the examples, and a block function for process pools.

This file is an importable module, and that matters for process pools: a pool
sends a function defined in a module by reference (module name and function
name), so each worker imports this module and finds ``Sdf`` there. A function
defined in the script that is run (``__main__``) travels by value instead, and
the ``Sdf`` global it uses cannot: the class calls itself ``builtins.Sdf``, so
it arrives broken. See joblib_points.py and the README's "Scaling out".
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from tessaron import Sdf

Vec3 = tuple[float, float, float]

# The box that holds csg_part(), with a margin: xmin, ymin, zmin, xmax, ymax, zmax.
CSG_BOUNDS = (-1.1, -1.1, -1.1, 1.1, 1.1, 1.1)


def box(lo: Vec3, hi: Vec3) -> Sdf:
    """The box between the corners `lo` and `hi`: six half-spaces, each plane's
    normal pointing out of the box."""
    (x0, y0, z0), (x1, y1, z1) = lo, hi
    return Sdf.intersect([
        Sdf.plane((x1, 0.0, 0.0), (1.0, 0.0, 0.0)), Sdf.plane((x0, 0.0, 0.0), (-1.0, 0.0, 0.0)),
        Sdf.plane((0.0, y1, 0.0), (0.0, 1.0, 0.0)), Sdf.plane((0.0, y0, 0.0), (0.0, -1.0, 0.0)),
        Sdf.plane((0.0, 0.0, z1), (0.0, 0.0, 1.0)), Sdf.plane((0.0, 0.0, z0), (0.0, 0.0, -1.0)),
    ])


def csg_part() -> Sdf:
    """The classic CSG part: a ball intersected with a cube, minus three
    cylinders (dilated segments) along the axes, all within [-1, 1]^3."""
    rounded_cube = Sdf.intersect([Sdf.sphere((0.0, 0.0, 0.0), 1.0),
                                  box((-0.75, -0.75, -0.75), (0.75, 0.75, 0.75))])
    drills = Sdf.union([
        Sdf.segment((-2.0, 0.0, 0.0), (2.0, 0.0, 0.0)),
        Sdf.segment((0.0, -2.0, 0.0), (0.0, 2.0, 0.0)),
        Sdf.segment((0.0, 0.0, -2.0), (0.0, 0.0, 2.0)),
    ]).dilate(0.4)
    return Sdf.difference(rounded_cube, drills)


def part_distances(points: npt.NDArray[np.floating]) -> npt.NDArray[np.float32]:
    """Block function for process pools: the distances of csg_part() at rows x, y, z.

    The shape is built inside the task (it takes microseconds) because shapes
    cannot be pickled."""
    return csg_part().eval_vec(points)
