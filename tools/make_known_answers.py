"""Writes tests/core/known_answers.txt: random trees, points and the result
bits the float32 model in tests/reference.py gives for them.

The C++ core checks read the file and compare, on every architecture they
are built for (natively, through both batch kernels; for AArch64 under
emulation; for 32-bit x86). Run from the project root after changing the
model or the generator, with the package installed:

    python tools/make_known_answers.py [--check]

--check regenerates in memory and fails if the committed file differs.

Format, one record a line, floats as the 8 hex digits of their float32 bits:
  grid G HEX                 occupancy of chunk G: 4096 bits, x fastest, then y, z
  tree TOKENS                a tree in prefix order (below); the records after
                             it, up to the next tree, are about it
  eval X Y Z D               distance D at (X, Y, Z)
  normal X Y Z H NX NY NZ    normal with step H
  march OX OY OZ DX DY DZ STEPS MAXD EPS -                      a miss
  march OX OY OZ DX DY DZ STEPS MAXD EPS T PX PY PZ NX NY NZ    a hit and
                             its normal (raymarch_with_normal)
Tree tokens: sphere C R | plane O N | segment A B | ray O D | voxel G |
union K CHILD*K | intersect K CHILD*K | difference A B | dilate R CHILD |
erode R CHILD | scale K CHILD | translate V CHILD | rotate Q CHILD | dual CHILD,
where each vector is 3 floats and Q 4. Plane normals and ray directions are
given as drawn (the checker normalises them like the constructors do); Q is
the quaternion as stored, already at unit length.
"""

import argparse
import math
import pathlib
import random
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import reference as ref  # noqa: E402

OUT = ROOT / "tests" / "core" / "known_answers.txt"
F = np.float32
SEED = 20240611
TREES = 240
POINTS, NORMALS, MARCHES = 12, 4, 3
KINDS = ["sphere", "plane", "segment", "ray", "voxel", "union", "intersect", "difference",
         "dilate", "erode", "scale", "translate", "rotate", "dual"]
LEAVES = KINDS[:5]
SPECIAL = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e-41, 3e38, 1e-30]


def hexbits(x):
    with np.errstate(over="ignore"):
        return f"{int(F(x).view(np.uint32)):08x}"


class Maker:
    """Random trees and queries. Every random value is drawn in a statement
    of its own, in a fixed order, so the same seed gives the same file."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def pick(self, n):
        return self.rng.randrange(n)

    def value(self, low=-4.0, high=4.0):
        if self.pick(25) == 0:
            return SPECIAL[self.pick(len(SPECIAL))]
        return float(F(self.rng.uniform(low, high)))

    def vec(self, low=-4.0, high=4.0):
        x = self.value(low, high)
        y = self.value(low, high)
        z = self.value(low, high)
        return (x, y, z)

    def direction(self):
        if self.pick(6) == 0:  # axis-aligned, zero and huge ones included
            x = [0.0, 1.0, -2.0, 1e30][self.pick(4)]
            y = [0.0, 1.0, -2.0][self.pick(3)]
            z = [0.0, 0.5, -1.0][self.pick(3)]
            return (x, y, z)
        return self.vec()

    def chunk(self, density):
        cells = np.zeros(4096, np.uint8)
        for i in range(4096):
            if self.rng.random() < density:
                cells[i] = 1
        return cells.reshape(16, 16, 16)  # [z, y, x]

    def tree(self, depth, grids, kind=None):
        if kind is None:
            kind = self.pick(5) if depth <= 0 else self.pick(len(KINDS))
            kind = KINDS[kind]
        if kind == "sphere":
            c = self.vec()
            return ("sphere", c, self.value(0.05, 3.0))
        if kind in ("plane", "ray"):
            o = self.vec()
            return (kind, o, self.direction())
        if kind == "segment":
            a = self.vec()
            b = a if self.pick(10) == 0 else self.vec()
            return ("segment", a, b)
        if kind == "voxel":
            return ("voxel", self.pick(len(grids)))
        if kind in ("union", "intersect"):
            n = self.pick(4)
            return (kind, [self.tree(depth - 1, grids) for _ in range(n)])
        if kind == "difference":
            a = self.tree(depth - 1, grids)
            return (kind, a, self.tree(depth - 1, grids))
        if kind == "dual":
            return (kind, self.tree(depth - 1, grids))
        if kind == "translate":
            v = self.vec(-8.0, 8.0)
            return (kind, v, self.tree(depth - 1, grids))
        if kind == "rotate":
            q0 = self.value()
            q1 = self.value()
            q2 = self.value()
            q3 = self.value()
            return (kind, (q0, q1, q2, q3), self.tree(depth - 1, grids))
        scalar = self.value(-2.0, 2.0) if kind == "scale" else self.value()
        return (kind, scalar, self.tree(depth - 1, grids))

    def point(self, has_voxel):
        # Voxel chunks span 0..15 in their own coordinates.
        return self.vec(-3.0, 18.0) if has_voxel and self.pick(2) else self.vec(-6.0, 6.0)


def with_grids(desc, chunks):
    """The description with grid numbers replaced by their chunks (for the model)."""
    kind, *args = desc
    if kind == "voxel":
        return (kind, chunks[args[0]])
    if kind in ("union", "intersect"):
        return (kind, [with_grids(c, chunks) for c in args[0]])
    if kind in ("difference", "dual"):
        return (kind, *(with_grids(c, chunks) for c in args))
    if kind in ("sphere", "plane", "segment", "ray"):
        return desc
    return (kind, args[0], with_grids(args[1], chunks))


def tokens(desc, compiled):
    """Prefix tokens of a tree; `compiled` is the model's stored form of it."""
    kind, *args = desc
    if kind == "voxel":
        return ["voxel", str(args[0])]
    if kind in ("sphere", "plane", "segment", "ray"):
        values = [*args[0], *args[1]] if kind != "sphere" else [*args[0], args[1]]
        return [kind, *map(hexbits, values)]
    if kind in ("union", "intersect"):
        out = [kind, str(len(args[0]))]
        for child, stored in zip(args[0], compiled[1]):
            out += tokens(child, stored)
        return out
    if kind == "difference":
        return [kind, *tokens(args[0], compiled[1]), *tokens(args[1], compiled[2])]
    if kind == "dual":
        return [kind, *tokens(args[0], compiled[1])]
    if kind == "rotate":  # the unit quaternion as stored
        return [kind, *map(hexbits, compiled[1]), *tokens(args[1], compiled[2])]
    values = args[0] if kind == "translate" else (args[0],)
    return [kind, *map(hexbits, values), *tokens(args[1], compiled[2])]


def has_kind(desc, wanted):
    kind, *args = desc
    if kind == wanted:
        return True
    if kind in ("union", "intersect"):
        return any(has_kind(c, wanted) for c in args[0])
    return any(isinstance(a, tuple) and has_kind(a, wanted) for a in args)


def generate():
    maker = Maker(SEED)
    chunks = [maker.chunk(0.0), maker.chunk(0.004), maker.chunk(0.05)]
    lines = ["# Known answers of the float32 model; written by tools/make_known_answers.py."]
    for g, chunk in enumerate(chunks):
        bits = "".join(str(int(c != 0)) for c in chunk.reshape(-1)[::-1])
        lines.append(f"grid {g} {int(bits, 2):01024x}")
    for case in range(TREES):
        # Every kind is the root of some trees, whatever the draws.
        desc = maker.tree(1 + case % 5, chunks, KINDS[case % len(KINDS)])
        voxel = has_kind(desc, "voxel")
        shrink = None
        if case % 8 == 7:
            # Shrunk to subnormal size, with points to match: distances and
            # points pass through subnormal arithmetic.
            k = [1e-39, -3e-39, 1e-41, 1e-36][maker.pick(4)]
            desc, shrink = ("scale", k, desc), F(k)

        def draw_point():
            p = maker.point(voxel)
            return p if shrink is None else tuple(float(F(c) * shrink) for c in p)

        model = ref.compile_tree(with_grids(desc, chunks))
        lines.append("tree " + " ".join(tokens(desc, model)))
        for _ in range(POINTS):
            p = draw_point()
            lines.append("eval " + " ".join(map(hexbits, [*p, ref.evaluate(model, p)])))
        for _ in range(NORMALS):
            p = draw_point()
            h = [0.001, 0.01, 0.5, -0.001, 0.002, 0.05, 0.0, math.nan][maker.pick(8)]
            n = ref.normal(model, p, h)
            lines.append("normal " + " ".join(map(hexbits, [*p, h, *n])))
        for _ in range(MARCHES):
            o = maker.vec(-8.0, 8.0)
            if maker.pick(3):  # most aim at a point near the shapes
                target = draw_point()
                d = tuple(float(F(t) - F(s)) for t, s in zip(target, o))
            else:
                d = maker.direction()
            steps = maker.pick(64)
            max_dist = maker.value(1.0, 40.0)
            eps = [0.001, 0.01, 0.1, 0.05, 0.0, math.inf][maker.pick(6)]
            result = ref.raymarch(model, o, d, steps, max_dist, eps, with_normal=True)
            query = [*map(hexbits, [*o, *d]), str(steps), hexbits(max_dist), hexbits(eps)]
            if result is None:
                answer = ["-"]
            else:
                (t, p), n = result
                answer = list(map(hexbits, [t, *p, *n]))
            lines.append("march " + " ".join(query + answer))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="fail if the committed file differs from a fresh one")
    args = parser.parse_args()
    text = generate()
    if args.check:
        if OUT.read_text() != text:
            sys.exit(f"{OUT} is out of date: run python tools/make_known_answers.py")
        print(f"{OUT.name}: up to date")
        return
    OUT.write_text(text)
    print(f"wrote {OUT} ({len(text.splitlines())} lines)")


if __name__ == "__main__":
    main()
