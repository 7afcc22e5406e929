"""Independent float32 model of shape trees, used as the oracle in the tests.

A shape is described by tuples of Python numbers, as passed to the extension:
("sphere", center, radius), ("plane", point, normal), ("segment", a, b),
("ray", origin, dir), ("union" | "intersect", [child, ...]),
("difference", a, b), ("dual", child), ("translate", v, child),
("rotate", q, child), ("dilate" | "erode" | "scale", scalar, child) and
("voxel", chunk) with chunk a 16 x 16 x 16 uint8 array indexed [z, y, x].

`build` makes the `Sdf`; `compile_tree` makes the float32 values the extension
stores (normalising planes, rays and rotations the same way); `evaluate`,
`normal` and `raymarch` recompute the queries with NumPy float32 scalars in the
same order of operations.
"""

import numpy as np

from tessaron import Sdf

F = np.float32
ZERO, ONE, INF = F(0.0), F(1.0), F(np.inf)
STEP_FLOOR = F(1e-6)


def f32(x):
    with np.errstate(over="ignore"):
        return F(x)


def vec(v):
    return tuple(f32(c) for c in v)


def bits(x):
    """The bit pattern of a result float, which must be an exact float32."""
    b = f32(x)
    assert isinstance(x, float) and (float(b) == x or x != x), x
    return int(b.view(np.uint32))


def is_nan_bits(b):
    return b & 0x7FFFFFFF > 0x7F800000


def agree(got, want):
    """Compare result floats (or nested tuples of them, or None) bit for bit.

    Any NaN matches any NaN: IEEE arithmetic leaves the sign and payload of a
    NaN result open, and the compiler uses that freedom (it may fold
    (-a) * (-a) into a * a). Negation is the one plain sign-bit flip, and the
    tests check it separately.
    """
    if got is None or want is None:
        return got is want
    if isinstance(want, tuple):
        return (isinstance(got, tuple) and len(got) == len(want)
                and all(agree(g, w) for g, w in zip(got, want)))
    g, w = bits(got), bits(float(want))
    return is_nan_bits(g) if is_nan_bits(w) else g == w


# -- building the extension's shape ---------------------------------------

def build(desc):
    kind, *args = desc
    if kind in ("sphere", "plane", "segment", "ray", "voxel"):
        return getattr(Sdf, kind)(*args)
    if kind in ("union", "intersect"):
        return getattr(Sdf, kind)([build(c) for c in args[0]])
    if kind in ("difference", "dual"):  # Sdf.dual(s) is s.dual()
        return getattr(Sdf, kind)(*map(build, args))
    return getattr(build(args[1]), kind)(args[0])


# -- construction-time normalisation ---------------------------------------

def _unit(v):
    x, y, z = vec(v)
    inv = ONE / np.sqrt((x * x + y * y) + z * z)
    return (x * inv, y * inv, z * inv)


def _unit_quat(q):
    q0, q1, q2, q3 = vec(q)
    n = np.sqrt((q1 * q1 + q3 * q3) + (q0 * q0 + q2 * q2))
    return (q0 / n, q1 / n, q2 / n, q3 / n)


def voxel_grid(chunk):
    """Distance from every cell centre to the nearest occupied one, [z, y, x]."""
    cells = np.argwhere(np.ones((16, 16, 16)))  # (z, y, x) rows in chunk order
    occupied = np.argwhere(np.asarray(chunk) != 0)
    d2 = np.full(len(cells), np.inf)
    for start in range(0, len(occupied), 256):
        diff = cells[:, None, :] - occupied[None, start:start + 256, :]
        d2 = np.minimum(d2, (diff * diff).sum(-1).min(1))
    return np.sqrt(d2.astype(F)).reshape(16, 16, 16)


def compile_tree(desc):
    kind, *args = desc
    with np.errstate(all="ignore"):
        if kind == "voxel":
            return (kind, voxel_grid(args[0]))
        if kind in ("union", "intersect"):
            return (kind, [compile_tree(c) for c in args[0]])
        if kind in ("difference", "dual"):
            return (kind, *map(compile_tree, args))
        if kind == "sphere":
            return (kind, vec(args[0]), f32(args[1]))
        if kind == "segment":
            return (kind, vec(args[0]), vec(args[1]))
        if kind in ("plane", "ray"):
            return (kind, vec(args[0]), _unit(args[1]))
        if kind == "translate":
            return (kind, vec(args[0]), compile_tree(args[1]))
        if kind == "rotate":
            return (kind, _unit_quat(args[0]), compile_tree(args[1]))
        return (kind, f32(args[0]), compile_tree(args[1]))  # dilate, erode, scale


# -- point evaluation -------------------------------------------------------

def _dot(u, v):
    return (u[0] * v[0] + u[1] * v[1]) + u[2] * v[2]


def _length(u):
    return np.sqrt(_dot(u, u))


def _sub(u, v):
    return (u[0] - v[0], u[1] - v[1], u[2] - v[2])


def _along(v, t, o):
    """v * t + o per component: a product, then a sum."""
    return (v[0] * t + o[0], v[1] * t + o[1], v[2] * t + o[2])


def _rotate_point(q, p):
    ux, uy, uz, w = -q[0], -q[1], -q[2], q[3]
    px, py, pz = p
    s = w * w - ((ux * ux + uy * uy) + uz * uz)
    d = (ux * px + uy * py) + uz * pz
    d2 = d + d
    c = (uy * pz - py * uz, uz * px - pz * ux, ux * py - px * uy)
    w2 = w + w
    return (w2 * c[0] + (d2 * ux + s * px),
            w2 * c[1] + (d2 * uy + s * py),
            w2 * c[2] + (d2 * uz + s * pz))


# The sampler's upper clamp bound: 16 + (-1.0001) in single precision.
VOXEL_UPPER = F(16) + F(-1.0001)


def _sample(grid, p):
    """Clamped trilinear sample of a [z, y, x] grid at p (grid coordinates)."""
    lo, t = [], []
    for v in p:
        v = ZERO if v < ZERO else v    # a NaN coordinate passes both clamps
        v = VOXEL_UPPER if v > VOXEL_UPPER else v
        i = 0 if np.isnan(v) else min(max(int(np.floor(v)), 0), 15)
        lo.append(i)
        t.append(v - F(i))
    (x0, y0, z0), (tx, ty, tz) = lo, t
    x1, y1, z1 = min(x0 + 1, 15), min(y0 + 1, 15), min(z0 + 1, 15)

    def along_x(y, z):
        return grid[z, y, x0] * (ONE - tx) + grid[z, y, x1] * tx
    f0 = along_x(y0, z0) * (ONE - ty) + along_x(y1, z0) * ty
    f1 = along_x(y0, z1) * (ONE - ty) + along_x(y1, z1) * ty
    return f0 * (ONE - tz) + f1 * tz


def _eval(node, p):
    kind = node[0]
    if kind == "voxel":
        return _sample(node[1], p)
    if kind == "sphere":
        return _length(_sub(p, node[1])) - node[2]
    if kind == "plane":
        o, n = node[1], node[2]
        return ((p[0] - o[0]) * n[0] + (p[1] - o[1]) * n[1]) + (p[2] - o[2]) * n[2]
    if kind == "segment":
        a = node[1]
        e = _sub(node[2], a)
        h = _dot(_sub(p, a), e) / _dot(e, e)
        h = ZERO if ZERO > h else h   # a NaN h passes both clamps
        h = ONE if ONE < h else h
        return _length(_sub(p, _along(e, h, a)))
    if kind == "ray":
        o, v = node[1], node[2]
        t = _dot(_sub(p, o), v)
        t = t if t > ZERO else ZERO   # a NaN t becomes 0
        return _length(_sub(p, _along(v, t, o)))
    if kind in ("union", "intersect"):
        # NaN children fail the comparison and are skipped; ties keep acc.
        union = kind == "union"
        acc = INF if union else -INF
        for child in node[1]:
            v = _eval(child, p)
            if (v < acc) if union else (v > acc):
                acc = v
        return acc
    if kind == "difference":
        da, nb = _eval(node[1], p), -_eval(node[2], p)  # a first, then b
        return nb if np.isnan(da) or nb > da else da
    if kind == "dual":
        return -_eval(node[1], p)
    if kind in ("dilate", "erode"):
        d = _eval(node[2], p)
        return d - node[1] if kind == "dilate" else d + node[1]
    if kind == "scale":
        k = node[1]
        return _eval(node[2], (p[0] / k, p[1] / k, p[2] / k)) * k
    if kind == "translate":
        return _eval(node[2], _sub(p, node[1]))
    if kind == "rotate":
        return _eval(node[2], _rotate_point(node[1], p))
    raise ValueError(f"unknown kind {kind!r}")


def evaluate(node, p):
    """Distance of a compiled tree at p (any 3 numbers), as a float32."""
    with np.errstate(all="ignore"):
        return _eval(node, vec(p))


# -- queries ----------------------------------------------------------------

def _normal(node, p, h):
    px, py, pz = p
    a, b = _eval(node, (px + h, py, pz)), _eval(node, (px - h, py, pz))
    c, d = _eval(node, (px, py + h, pz)), _eval(node, (px, py - h, pz))
    e, g = _eval(node, (px, py, pz + h)), _eval(node, (px, py, pz - h))
    D = (a - b, c - d, e - g)
    inv = ONE / _length(D)
    return (D[0] * inv, D[1] * inv, D[2] * inv)


def normal(node, p, h):
    with np.errstate(all="ignore"):
        return tuple(float(c) for c in _normal(node, vec(p), f32(h)))


def raymarch(node, origin, direction, max_steps, max_dist, eps,
             with_normal=False):
    """The march, returning the same Python objects as the extension."""
    o, max_dist, eps = vec(origin), f32(max_dist), f32(eps)
    with np.errstate(all="ignore"):
        dhat, t = _unit(direction), ZERO
        for _ in range(max_steps):
            p = _along(dhat, t, o)
            d = _eval(node, p)
            if abs(d) < eps:
                hit = (float(t), tuple(float(c) for c in p))
                if not with_normal:
                    return hit
                n = _normal(node, p, eps + eps)
                return hit, tuple(float(c) for c in n)
            if t > max_dist:
                return None
            t = t + (d if d > STEP_FLOOR else STEP_FLOOR)
    return None
