"""Render a small scene of tessaron shapes by sphere tracing, one ray per pixel.

Every pixel is one ``raymarch_with_normal`` call; a hit is shaded with a
Lambert term, a hemisphere fill light and a hard shadow (a second march from
the hit point towards the light). Misses show a sky gradient. With
``--slice`` the distance field on a horizontal plane through the scene is
also drawn as filled contours, computed in one ``eval_vec`` call.

    python examples/render.py --scene gallery --size 256 --output render.png --slice slice.png

Needs the ``examples`` extra (matplotlib).
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from dataclasses import dataclass

import matplotlib

matplotlib.use("Agg")  # files only, never a window

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
from matplotlib.colors import TwoSlopeNorm

from tessaron import Sdf

Vec3 = tuple[float, float, float]
FloatArray = npt.NDArray[np.float64]

MAX_STEPS = 192
MAX_DIST = 40.0
# Surface tolerance, below a pixel's footprint at the default size. Between
# cell centres the interpolated voxel field can be steeper than a true
# distance, so a step may overshoot the surface a little; a tolerance as large
# as those overshoots keeps the rays from being lost inside the object.
EPS = 1e-2
LIGHT: Vec3 = (-0.45, 0.8, -0.4)
SKY_TOP = np.array([0.28, 0.45, 0.78])
SKY_HORIZON = np.array([0.86, 0.90, 0.95])


@dataclass
class Part:
    """One coloured piece of a scene; the scene is the union of its parts."""

    shape: Sdf
    colour: tuple[float, float, float]
    checker: bool = False  # alternate light and dark unit squares (the floor)


@dataclass
class Scene:
    parts: list[Part]
    eye: Vec3
    target: Vec3
    fov_degrees: float  # vertical, for a 4:3 image
    slice_height: float  # y of the horizontal plane shown by --slice
    slice_extent: tuple[float, float, float, float]  # x0, x1, z0, z1


# --- building blocks ----------------------------------------------------------


AXES: list[Vec3] = [(1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]


def slab(axis: Vec3, low: float, high: float) -> Sdf:
    """The solid between the planes at `low` and `high` along a unit axis: the
    side of one plane opposite its normal, and (dual) the normal's side of the other."""
    def at(s: float) -> Vec3:
        return (axis[0] * s, axis[1] * s, axis[2] * s)

    return Sdf.intersect([Sdf.plane(at(high), axis), Sdf.plane(at(low), axis).dual()])


def box(half: float) -> Sdf:
    return Sdf.intersect([slab(axis, -half, half) for axis in AXES])


def turn(axis: Vec3, degrees: float) -> tuple[float, float, float, float]:
    """Quaternion (x, y, z, w) for a turn about an axis; rotate() normalises it."""
    s = math.sin(math.radians(degrees) / 2)
    return (axis[0] * s, axis[1] * s, axis[2] * s, math.cos(math.radians(degrees) / 2))


SPRITE = [  # a little voxel robot, front view, one character per cell
    "....#....",
    "..#####..",
    "..#.#.#..",
    "..#####..",
    "....#....",
    ".#######.",
    "#.#####.#",
    "#.#####.#",
    "#.#####.#",
    "..#...#..",
    "..#...#..",
    ".##...##.",
]


def sprite_chunk(depth: int = 3) -> npt.NDArray[np.uint8]:
    """The sprite extruded `depth` cells deep, centred in a 16^3 chunk.

    Element [z, y, x] is the cell at (x, y, z); every occupied cell stays at
    least one cell away from the chunk's faces, because outside its box the
    voxel field repeats its boundary values.
    """
    chunk = np.zeros((16, 16, 16), np.uint8)
    rows = np.array([[c == "#" for c in row] for row in SPRITE])
    h, w = rows.shape
    x0, y0, z0 = (16 - w) // 2, (16 - h) // 2, (16 - depth) // 2
    # Row 0 of the picture is the top, i.e. the largest y.
    chunk[z0:z0 + depth, y0:y0 + h, x0:x0 + w] = rows[::-1, :]
    return chunk


def voxel_torus() -> npt.NDArray[np.uint8]:
    z, y, x = np.mgrid[0:16, 0:16, 0:16] - 7.5
    ring = np.hypot(np.hypot(x, z) - 4.6, y)
    return (ring < 1.9).astype(np.uint8)


def voxel_object(chunk: npt.NDArray[np.uint8], size: float) -> Sdf:
    """A voxel chunk as a solid of about `size` units, centred on the origin.

    The field is the unsigned distance to the nearest occupied cell centre, so
    dilating it by a little over half a cell turns it into a surface of rounded
    cubes that merge with their neighbours. A bounding sphere keeps the marching
    steps long away from the chunk, where the clamped field would only ever
    report the distance at the chunk's box.
    """
    cells = Sdf.voxel(chunk).dilate(0.6)
    bound = Sdf.sphere((7.5, 7.5, 7.5), 7.4)
    centred = Sdf.intersect([cells, bound]).translate((-7.5, -7.5, -7.5))
    return centred.scale(size / 16)


# --- scenes -------------------------------------------------------------------


def floor() -> Part:
    return Part(Sdf.plane((0.0, 0.0, 0.0), (0.0, 1.0, 0.0)), (0.80, 0.78, 0.72), checker=True)


def gallery() -> Scene:
    """Every kind of shape: CSG centrepiece, cut shell, gate, voxel robot."""
    # A rounded cube (box of planes and dual planes, intersected with a ball)
    # drilled through along all three axes by capsules.
    drill = Sdf.union([
        Sdf.segment((-2.0, 0.0, 0.0), (2.0, 0.0, 0.0)),
        Sdf.segment((0.0, -2.0, 0.0), (0.0, 2.0, 0.0)),
        Sdf.segment((0.0, 0.0, -2.0), (0.0, 0.0, 2.0)),
    ]).dilate(0.32)
    cube = Sdf.intersect([box(0.62), Sdf.sphere((0.0, 0.0, 0.0), 0.82)])
    centrepiece = (
        Sdf.difference(cube, drill)
        .rotate(turn((0.6, 0.0, 0.8), 30.0))
        .rotate(turn(AXES[1], 25.0))
        .translate((0.0, 1.05, 0.3))
    )
    # A ball hollowed by its own eroded copy and cut open towards the camera.
    ball = Sdf.sphere((-1.95, 0.75, 0.3), 0.75)
    shell = Sdf.intersect([
        Sdf.difference(ball, ball.erode(0.08)),
        Sdf.plane((-1.95, 0.95, 0.3), (0.25, 1.0, -0.55)),
    ])
    # A gate behind: two posts (half-lines going up, thickened, cut at the
    # lintel's height) and two beams (thickened segments).
    posts = Sdf.intersect([
        Sdf.union([
            Sdf.ray((-1.5, 0.0, 2.6), (0.0, 1.0, 0.0)),
            Sdf.ray((1.5, 0.0, 2.6), (0.0, 1.0, 0.0)),
        ]).dilate(0.13),
        Sdf.plane((0.0, 2.45, 0.0), (0.0, 1.0, 0.0)),
    ])
    beams = Sdf.union([
        Sdf.segment((-2.1, 2.55, 2.6), (2.1, 2.55, 2.6)).dilate(0.14),
        Sdf.segment((-1.6, 2.05, 2.6), (1.6, 2.05, 2.6)).dilate(0.08),
    ])
    robot = voxel_object(sprite_chunk(), 2.3).rotate(turn(AXES[1], -20.0)).translate((2.0, 0.88, 0.2))
    return Scene(
        parts=[
            floor(),
            Part(centrepiece, (0.95, 0.55, 0.20)),
            Part(shell, (0.20, 0.70, 0.70)),
            Part(Sdf.union([posts, beams]), (0.80, 0.18, 0.15)),
            Part(robot, (0.45, 0.80, 0.30)),
        ],
        eye=(0.5, 2.7, -6.0),
        target=(0.1, 0.95, 0.8),
        fov_degrees=40.0,
        slice_height=0.9,
        slice_extent=(-3.4, 3.4, -1.4, 3.4),
    )


def voxels() -> Scene:
    """Voxel objects up close: the robot and a voxelised torus."""
    robot = voxel_object(sprite_chunk(4), 2.2).rotate(turn(AXES[1], -25.0)).translate((-0.95, 0.84, 0.0))
    torus = (
        voxel_object(voxel_torus(), 2.4)
        .rotate(turn(AXES[0], -50.0))
        .translate((1.2, 1.0, 0.3))
    )
    return Scene(
        parts=[floor(), Part(robot, (0.55, 0.35, 0.85)), Part(torus, (0.95, 0.70, 0.20))],
        eye=(0.0, 2.2, -4.3),
        target=(0.1, 0.75, 0.2),
        fov_degrees=40.0,
        slice_height=1.0,
        slice_extent=(-2.6, 2.6, -1.6, 1.8),
    )


SCENES: dict[str, Callable[[], Scene]] = {"gallery": gallery, "voxels": voxels}


# --- rendering ----------------------------------------------------------------


def normalise(v: FloatArray) -> FloatArray:
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def cross(a: FloatArray, b: FloatArray) -> FloatArray:
    # The dtype spelt out: NumPy 1.x's annotations of np.cross can make a
    # type checker take float arguments for booleans.
    return np.asarray(np.cross(a, b), dtype=np.float64)


def sky(direction_y: float) -> FloatArray:
    s = max(direction_y, 0.0) ** 0.6
    return (1.0 - s) * SKY_HORIZON + s * SKY_TOP


def ray_directions(scene: Scene, width: int, height: int) -> FloatArray:
    """One unit direction per pixel, shape (height, width, 3), row 0 at the top."""
    eye, target = np.array(scene.eye), np.array(scene.target)
    forward = normalise(target - eye)
    right = normalise(cross(np.array([0.0, 1.0, 0.0]), forward))
    up = cross(forward, right)
    aspect = width / height
    # fov_degrees is the vertical field of view of a 4:3 image; narrower
    # images open it up so that the scene's full width stays in the frame.
    half = math.tan(math.radians(scene.fov_degrees) / 2) * max(1.0, 4 / 3 / aspect)
    u = (np.arange(width) + 0.5) / width * 2 - 1
    v = 1 - (np.arange(height) + 0.5) / height * 2
    dirs = (forward[None, None, :] + u[None, :, None] * half * aspect * right
            + v[:, None, None] * half * up)
    return normalise(dirs)


def render(scene: Scene, width: int, height: int) -> FloatArray:
    world = Sdf.union([part.shape for part in scene.parts])
    light = tuple(normalise(np.array(LIGHT)).tolist())
    eye = scene.eye
    image = np.empty((height, width, 3))
    dirs = ray_directions(scene, width, height).tolist()
    for row in range(height):
        for col in range(width):
            d = dirs[row][col]
            found = world.raymarch_with_normal(eye, (d[0], d[1], d[2]), MAX_STEPS, MAX_DIST, EPS)
            if found is None:
                image[row, col] = sky(d[1])
                continue
            (t, p), n = found
            nearest = min(scene.parts, key=lambda part: abs(part.shape.eval(p)))
            colour = np.array(nearest.colour)
            if nearest.checker and (math.floor(p[0]) + math.floor(p[2])) % 2:
                colour = colour * 0.82
            lambert = n[0] * light[0] + n[1] * light[1] + n[2] * light[2]
            if lambert > 0:
                # Start well off the surface, or the shadow ray hits its own start;
                # a looser tolerance keeps grazing rays from slipping into voxels.
                lift = 5 * EPS
                start = (p[0] + lift * n[0], p[1] + lift * n[1], p[2] + lift * n[2])
                if world.raymarch(start, (light[0], light[1], light[2]), 96, 20.0, 2 * EPS) is not None:
                    lambert = 0.0
            fill = 0.5 + 0.5 * n[1]  # brighter where the surface faces the sky
            shaded = colour * (0.85 * max(lambert, 0.0) + 0.28 * fill + 0.05)
            fog = 1.0 - math.exp(-((t / 22.0) ** 2))
            image[row, col] = (1 - fog) * shaded + fog * SKY_HORIZON
    return np.clip(image, 0.0, 1.0) ** (1 / 1.2)


def plot_slice(scene: Scene, path: str, resolution: int = 320) -> None:
    """Filled contours of the distance on the plane y = scene.slice_height."""
    world = Sdf.union([part.shape for part in scene.parts])
    x0, x1, z0, z1 = scene.slice_extent
    xs = np.linspace(x0, x1, resolution)
    zs = np.linspace(z0, z1, int(resolution * (z1 - z0) / (x1 - x0)))
    gx, gz = np.meshgrid(xs, zs)
    pts = np.stack([gx.ravel(), np.full(gx.size, scene.slice_height), gz.ravel()], axis=1)
    dist = world.eval_vec(pts).reshape(gx.shape)
    fig, ax = plt.subplots(figsize=(6.4, 6.4 * (z1 - z0) / (x1 - x0) + 0.6), layout="constrained")
    low, high = min(float(dist.min()), -1e-3), max(float(dist.max()), 1e-3)
    # Blue inside, red outside, white at the surface, each side at its own scale.
    levels = np.concatenate([np.linspace(low, 0.0, 8, endpoint=False), np.linspace(0.0, high, 25)])
    norm = TwoSlopeNorm(0.0, low, high)
    filled = ax.contourf(gx, gz, dist, levels=levels, cmap="RdBu_r", norm=norm)
    ax.contour(gx, gz, dist, levels=levels[8::4], colors="k", linewidths=0.3, alpha=0.4)
    ax.contour(gx, gz, dist, levels=[0.0], colors="k", linewidths=1.8)
    fig.colorbar(filled, ax=ax, label="signed distance")
    ax.set_aspect("equal")
    ax.set_xlabel("x")
    ax.set_ylabel("z")
    ax.set_title(f"distance on the plane y = {scene.slice_height:g} (black: surface)")
    fig.savefig(path, dpi=100)
    plt.close(fig)


def image_size(text: str) -> tuple[int, int]:
    """Parse N (a square image of N x N pixels) or WxH (width x height)."""
    parts = text.split("x")
    size = (int(parts[0]), int(parts[-1]))  # a malformed number raises ValueError
    if len(parts) > 2 or min(size) < 1:
        raise argparse.ArgumentTypeError(f"not a positive size: {text!r}")
    return size


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--size", type=image_size, default="256",
                        help="image size in pixels, N or WxH (default: 256)")
    parser.add_argument("--output", default="render.png", help="PNG file to write (default: render.png)")
    parser.add_argument("--scene", choices=sorted(SCENES), default="gallery",
                        help="scene to render (default: gallery)")
    parser.add_argument("--slice", metavar="PATH",
                        help="also plot the distance on a horizontal slice through the scene to PATH")
    args = parser.parse_args(argv)
    width, height = args.size

    scene = SCENES[args.scene]()
    start = time.perf_counter()
    image = render(scene, width, height)
    elapsed = time.perf_counter() - start
    plt.imsave(args.output, image)
    print(f"wrote {args.output} ({width}x{height}, scene {args.scene!r}) in {elapsed:.2f} s")
    if args.slice:
        plot_slice(scene, args.slice)
        print(f"wrote {args.slice}")


if __name__ == "__main__":
    main()
