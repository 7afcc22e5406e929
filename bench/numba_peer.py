"""The strongest hand-written peer: scene8 as Numba @njit float32 code, the
way a careful user writes it (a loop over separate x, y, z column arrays,
no fastmath), and a per-ray sphere tracer over the same scene. Every
operation is the extension's in the same order, so the results must agree
bit for bit; run.py checks that before timing anything.

Parameters are float32 scalars computed here as the extension stores them
(planes' normals, rotations' quaternions normalised once, rotation terms
formed once), so Numba types every operation as float32."""

import numpy as np

F = np.float32
INF = F(np.inf)
ZERO, ONE, MIN_STEP = F(0), F(1), F(1e-6)


def _unit(v):
    x, y, z = (F(c) for c in v)
    inv = ONE / np.sqrt((x * x + y * y) + z * z)
    return x * inv, y * inv, z * inv


def _rotation(q):
    x, y, z, w = (F(c) for c in q)
    n = np.sqrt((y * y + w * w) + (x * x + z * z))
    x, y, z, w = x / n, y / n, z / n, w / n
    ux, uy, uz = -x, -y, -z
    return ux, uy, uz, w * w - ((ux * ux + uy * uy) + uz * uz), w + w


def make_peer():
    """(scene8 column loop, per-ray tracer), or None without Numba."""
    try:
        from numba import njit
    except ImportError:
        return None

    # scene8's parameters, in the order of bench/run.py's scene8.
    R4 = _rotation((0, 0, 0.38, 0.92))
    R7 = _rotation((0.2, 0.1, 0, 1))
    N5 = _unit((0, 1, 0))
    N6 = _unit((0.1, 0, 1))
    K2, K7, K8 = F(1.3), F(0.8), F(1.2)

    @njit(inline="always")
    def length(x, y, z):
        return np.sqrt((x * x + y * y) + z * z)

    @njit(inline="always")
    def segment(x, y, z, ax, ay, az, ex, ey, ez):
        wx, wy, wz = x - ax, y - ay, z - az
        h = ((wx * ex + wy * ey) + wz * ez) / ((ex * ex + ey * ey) + ez * ez)
        h = ZERO if ZERO > h else h
        h = ONE if ONE < h else h
        return length(x - (ex * h + ax), y - (ey * h + ay), z - (ez * h + az))

    @njit(inline="always")
    def rotate(x, y, z, ux, uy, uz, s, w2):
        d = (ux * x + uy * y) + uz * z
        d2 = d + d
        cx, cy, cz = uy * z - y * uz, uz * x - z * ux, ux * y - x * uy
        return (w2 * cx + (d2 * ux + s * x), w2 * cy + (d2 * uy + s * y),
                w2 * cz + (d2 * uz + s * z))

    @njit(inline="always")
    def scene8(x, y, z):
        v = length(x - F(1.5), y - ZERO, z - ZERO) - ONE
        acc = v if v < INF else INF
        qx, qy, qz = (x - F(-1.5)) / K2, (y - F(0.5)) / K2, (z - ZERO) / K2
        v = (length(qx, qy, qz) - F(0.7)) * K2
        acc = v if v < acc else acc
        v = segment(x - ZERO, y - F(-1), z - ONE, ZERO, ZERO, ZERO, ZERO, F(2), ZERO)
        acc = v if v < acc else acc
        qx, qy, qz = rotate(x, y, z, R4[0], R4[1], R4[2], R4[3], R4[4])
        v = segment(qx, qy, qz, F(-1), ZERO, ZERO, F(2), ZERO, ZERO)
        acc = v if v < acc else acc
        v = ((x - ZERO) * N5[0] + (y - F(-2)) * N5[1]) + (z - ZERO) * N5[2]
        acc = v if v < acc else acc
        qz = z - F(0.5)
        v = ((x - ZERO) * N6[0] + (y - ZERO) * N6[1]) + (qz - F(-3)) * N6[2]
        acc = v if v < acc else acc
        qx, qy, qz = rotate(x / K7, y / K7, z / K7, R7[0], R7[1], R7[2], R7[3], R7[4])
        v = (length(qx - ZERO, qy - ONE, qz - ZERO) - F(0.5)) * K7
        acc = v if v < acc else acc
        qx, qy, qz = x / K8 - F(0.5), y / K8 - F(0.5), z / K8 - F(0.5)
        v = segment(qx, qy, qz, ZERO, ZERO, F(-1), ZERO, ZERO, F(2)) * K8
        return v if v < acc else acc

    @njit
    def columns(x, y, z, out):
        for i in range(x.shape[0]):
            out[i] = scene8(x[i], y[i], z[i])

    @njit
    def trace(origin, dirs, max_steps, max_dist, eps, t_out, normal_out):
        """raymarch_with_normal per ray; returns the number of distance
        samples taken by the marches (normals not counted)."""
        samples = 0
        ox, oy, oz = origin[0], origin[1], origin[2]
        for r in range(dirs.shape[0]):
            dx, dy, dz = dirs[r, 0], dirs[r, 1], dirs[r, 2]
            inv = ONE / length(dx, dy, dz)
            dx, dy, dz = dx * inv, dy * inv, dz * inv
            t = ZERO
            t_out[r] = np.nan
            for _ in range(max_steps):
                px, py, pz = t * dx + ox, t * dy + oy, t * dz + oz
                d = scene8(px, py, pz)
                samples += 1
                if abs(d) < eps:
                    t_out[r] = t
                    h = eps + eps
                    gx = scene8(px + h, py, pz) - scene8(px - h, py, pz)
                    gy = scene8(px, py + h, pz) - scene8(px, py - h, pz)
                    gz = scene8(px, py, pz + h) - scene8(px, py, pz - h)
                    n_inv = ONE / length(gx, gy, gz)
                    normal_out[r, 0], normal_out[r, 1], normal_out[r, 2] = (
                        gx * n_inv, gy * n_inv, gz * n_inv)
                    break
                if t > max_dist:
                    break
                t = t + (d if d > MIN_STEP else MIN_STEP)
        return samples

    return columns, trace
