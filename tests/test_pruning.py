"""Large unions and intersections, which are evaluated with pruning, bit for bit
against the float32 model and against folding their parts one by one."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import reference as ref
from reference import agree, build, compile_tree
from strategies import coord, rarely, trees
from tessaron import Sdf

F = np.float32
INF = math.inf

# Quarter units: values and distances tie often, signed zeros appear.
quarter = st.integers(-8, 8).map(lambda i: i / 4)
num = rarely(coord, st.one_of(quarter, st.floats(-2, 2, width=32)), 12)
vec = st.tuples(num, num, num)
radius = rarely(coord, st.one_of(st.sampled_from([0.0, 0.25, 0.5]), st.floats(0.01, 0.3)), 12)


@st.composite
def part(draw, sense):
    """A bounded part whose value grows away from it (sense +1) or its
    complement (sense -1), under random transforms; now and then a random
    tree (planes, rays, NaN parameters, anything)."""
    if draw(st.integers(0, 14)) == 0:
        return draw(trees)
    c = draw(vec)
    if draw(st.booleans()):
        node = ("sphere", c, draw(radius))
    else:
        node = ("segment", c, draw(st.one_of(st.just(c), vec)))
        node = ("dilate", draw(radius), node)
    for _ in range(draw(st.integers(0, 3))):
        op = draw(st.sampled_from(["translate", "rotate", "scale", "dilate", "erode"]))
        if op == "translate":
            node = (op, draw(vec), node)
        elif op == "rotate":
            node = (op, draw(st.tuples(num, num, num, num)), node)
        elif op == "scale":
            k = draw(rarely(st.sampled_from([0.0, -1.0, -0.5, INF, math.nan]),
                            st.sampled_from([0.5, 1.0, 2.0, 0.3]), 6))
            node = (op, k, node)
            sense = -sense if k < 0 else sense
        else:
            node = (op, draw(rarely(coord, st.floats(-0.2, 0.2), 10)), node)
    wrong_way = sense < 0
    if wrong_way != draw(st.integers(0, 20).map(lambda i: i == 0)):
        node = ("dual", node)
    return node


@st.composite
def big_list(draw, depth=0):
    kind = draw(st.sampled_from(["union", "union", "intersect"]))
    sense = 1 if kind == "union" else -1
    kids = []
    for _ in range(draw(st.integers(32, 64))):
        if kids and draw(st.integers(0, 5)) == 0:
            # A twin: the same part, nudged or not, so values nearly tie.
            twin = kids[-1]
            nudge = draw(st.sampled_from([0.0, 1e-3, -3e-7]))
            kids.append(("dilate", nudge, twin) if nudge else twin)
        elif depth == 0 and draw(st.integers(0, 40)) == 0:
            kids.append(draw(big_list(depth=1)))
        else:
            kids.append(draw(part(sense)))
    return (kind, kids)


@st.composite
def placed(draw):
    """A big list, possibly transformed as a whole."""
    desc = draw(big_list())
    outer = draw(st.sampled_from([None, "translate", "scale", "rotate", "dual"]))
    if outer == "translate":
        desc = (outer, draw(vec), desc)
    elif outer == "scale":
        desc = (outer, draw(st.sampled_from([2.0, -1.0, 0.5])), desc)
    elif outer == "rotate":
        desc = (outer, (0.0, 0.6, 0.0, 0.8), desc)
    elif outer == "dual":
        desc = (outer, desc)
    return desc


query = rarely(st.tuples(coord, coord, coord), st.tuples(num, num, num), 10)


def bits(values):
    return np.asarray(values, F).view(np.uint32)


@settings(max_examples=40, deadline=None)
@given(placed(), st.lists(query, min_size=1, max_size=12), st.sampled_from([0.01, 0.002]))
def test_large_lists_match_model(desc, pts, h):
    shape, node = build(desc), compile_tree(desc)
    got = [shape.eval(p) for p in pts]
    for p, g in zip(pts, got):
        assert agree(g, ref.evaluate(node, p)), (p, g)
    # Batches of several sizes, rows shuffled so that blocks differ: the
    # same bits as eval, NaN included.
    with np.errstate(over="ignore"):  # coordinates beyond float32 become inf, as in eval
        rows = np.array(pts * 13, F)
    order = np.random.default_rng(len(pts)).permutation(len(rows))
    for n in (1, len(pts), len(rows)):
        out = shape.eval_vec(rows[order[:n]])
        want = [got[i % len(pts)] for i in order[:n]]
        assert (bits(out) == bits(want)).all()
    p = pts[0]
    assert agree(shape.normal(p, h), ref.normal(node, p, h))
    aim = (0.3, -0.2, 1.0)
    for with_normal in (False, True):
        method = shape.raymarch_with_normal if with_normal else shape.raymarch
        want = ref.raymarch(node, p, aim, 40, 10.0, 1e-3, with_normal=with_normal)
        assert agree(method(p, aim, 40, 10.0, 1e-3), want)


def fold(kind, values):
    """The unpruned fold of a union or intersection, in child order."""
    acc = F(INF) if kind == "union" else F(-INF)
    for v in values:
        if (v < acc) if kind == "union" else (v > acc):
            acc = v
    return acc


@settings(max_examples=15, deadline=None)
@given(st.sampled_from(["union", "intersect"]), st.integers(0, 2**32 - 1))
def test_lists_with_voxels_match_their_parts(kind, seed):
    # The model has no voxels: the parts, each evaluated on its own (too
    # small to prune), folded in order are the oracle.
    rng = np.random.default_rng(seed)
    chunk = (rng.random((16, 16, 16)) < 0.01).astype(np.uint8)
    sense = 1.0 if kind == "union" else -1.0
    parts = []
    for i in range(48):
        if i % 9 == 0:
            v = Sdf.voxel(chunk if i % 2 else np.zeros_like(chunk))
            s = v.scale(float(rng.choice([0.125, 0.25]))).translate(tuple(rng.uniform(-3, 1, 3)))
        else:
            s = Sdf.sphere(tuple(rng.uniform(-2, 2, 3)), float(rng.uniform(0.05, 0.4)))
            s = s.scale(sense)
        parts.append(s)
    shape = getattr(Sdf, kind)(parts)
    pts = rng.uniform(-2.5, 2.5, (150, 3)).astype(F)
    pts[::17] = np.round(pts[::17] * 4) / 4
    want = [fold(kind, [F(s.eval(tuple(map(float, p)))) for s in parts]) for p in pts]
    assert (bits(shape.eval_vec(pts)) == bits(want)).all()
    assert (bits([shape.eval(tuple(map(float, p))) for p in pts]) == bits(want)).all()


@settings(max_examples=20, deadline=None)
@given(st.sampled_from(["union", "intersect"]), st.data())
def test_batches_choosing_per_cell_match_their_parts(kind, data):
    # Rows enough (over 4 a part) that a batch chooses the list's children
    # per cell of its grid, dense in the middle of the parts so that cells
    # are small beside them, with odd rows among them. The parts, each too
    # small to prune (and checked against the model elsewhere), folded in
    # order are the oracle: the model point by point would take minutes.
    sense = 1 if kind == "union" else -1
    parts = [build(d) for d in data.draw(st.lists(part(sense), min_size=64, max_size=96))]
    shape = getattr(Sdf, kind)(parts)
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    pts = rng.uniform(-0.75, 0.75, (16_000, 3)).astype(F)
    # Grids without extent along an axis, or along all three (every row
    # the same point), are chosen for too.
    layout = data.draw(st.sampled_from(["spread", "flat", "one point"]))
    if layout == "one point":
        pts[:] = pts[0]
    else:
        if layout == "flat":
            pts[:, 1] = pts[0, 1]
        pts[::89] = rng.choice(np.array([np.nan, np.inf, -1e13, 0.25, 2.5], F), (len(pts[::89]), 3))
    acc = np.full(len(pts), INF if kind == "union" else -INF, F)
    with np.errstate(invalid="ignore"):
        for p in parts:
            v = p.eval_vec(pts)
            acc = np.where(v < acc if kind == "union" else v > acc, v, acc)
    assert (bits(shape.eval_vec(pts)) == bits(acc)).all()


@settings(max_examples=6, deadline=None)
@given(st.integers(0, 2**32 - 1),
       st.lists(st.one_of(st.integers(0, 299), st.integers(139_700, 139_999),
                          st.integers(0, 139_999)), min_size=1, max_size=6, unique=True))
def test_wide_batches_with_outlying_rows_match_their_parts(seed, outliers):
    # Rows enough for a grid of 16 cells a side (sorted in several groups
    # of cells), and a few rows far out, each the only one beside a part of
    # its own (often among the first or the last rows): the cells at the
    # grid's border reach out to them, so that a row the box of the rows
    # missed would get another part's value.
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-1, 1, (80, 3))
    centres[:6] = [[4, 0, 0], [-4, 0, 0], [0, 4, 0], [0, -4, 0], [0, 0, 4], [0, 0, -4]]
    radii = rng.uniform(0.02, 0.2, len(centres))
    parts = [Sdf.sphere(tuple(map(float, c)), float(r)) for c, r in zip(centres, radii)]
    shape = Sdf.union(parts)
    pts = rng.uniform(-1, 1, (140_000, 3)).astype(F)
    for k, i in enumerate(outliers):
        pts[i] = centres[k % 6] * rng.uniform(0.9, 1.1) + rng.uniform(-0.1, 0.1, 3)
    pts[rng.integers(0, len(pts), 3), rng.integers(0, 3, 3)] = [np.nan, np.inf, -np.inf]
    acc = np.full(len(pts), INF, F)
    with np.errstate(invalid="ignore"):
        for part_ in parts:
            v = part_.eval_vec(pts)
            acc = np.where(v < acc, v, acc)
    assert (bits(shape.eval_vec(pts)) == bits(acc)).all()


@settings(max_examples=4, deadline=None)
@given(st.sampled_from(["union", "intersect"]), st.sampled_from(["clusters", "edges", "spread"]),
       st.integers(1, 3000), st.data())
def test_batches_of_more_rows_than_one_sort_match_their_parts(kind, layout, extra, data):
    # Over 2^20 rows: sorted in two chunks, the first on a grid with a cell
    # for each part and up to a few hundred rows a cell. The rows come in
    # tight clusters of repeated rows, on the edges of the cells (eighths
    # over [-1, 1], where the grid then lies) or spread out.
    sense = 1 if kind == "union" else -1
    parts = [build(d) for d in data.draw(st.lists(part(sense), min_size=64, max_size=80))]
    shape = getattr(Sdf, kind)(parts)
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    n = 2**20 + extra
    if layout == "clusters":
        centres = rng.uniform(-1, 1, (12, 3))
        distinct = centres[rng.integers(0, 12, 4096)] + rng.normal(0, 1e-3, (4096, 3))
        pts = distinct[rng.integers(0, 4096, n)].astype(F)
    elif layout == "edges":
        pts = (rng.integers(-8, 9, (n, 3)) / 8).astype(F)
        pts[::3] = rng.uniform(-1, 1, (len(pts[::3]), 3))
    else:
        pts = rng.uniform(-1, 1, (n, 3)).astype(F)
    pts[rng.integers(0, n, 5), rng.integers(0, 3, 5)] = [np.nan, np.inf, -np.inf, 1e30, -0.0]
    acc = np.full(n, INF if kind == "union" else -INF, F)
    with np.errstate(invalid="ignore"):
        for p in parts:
            v = p.eval_vec(pts)
            acc = np.where(v < acc if kind == "union" else v > acc, v, acc)
    assert (bits(shape.eval_vec(pts)) == bits(acc)).all()


@settings(max_examples=8, deadline=None)
@given(st.integers(0, 2**32 - 1), st.sampled_from([2**15 - 1, 2**15 + 1, 2**16 + 1, 3 * 2**15]),
       st.booleans(), st.sampled_from(["packed", "strided", "one point"]))
def test_rows_in_slabs_across_sort_pieces_match_their_parts(seed, n, ascending, layout):
    # The sort takes the rows in pieces of 2^15: here each piece lies in a
    # slab of space of its own (rows ordered along x), so most groups of
    # cells have rows in one piece or two and none in the others; or every
    # row is one point, in one cell from every piece. Row counts either
    # side of whole pieces, non-finite rows first and last; rows packed
    # (three floats each) or columns of a wider array.
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-1, 1, (256, 3))
    radii = rng.uniform(0.02, 0.06, len(centres))
    parts = [Sdf.sphere(tuple(map(float, c)), float(r)) for c, r in zip(centres, radii)]
    shape = Sdf.union(parts)
    pts = rng.uniform(-1, 1, (n, 3)).astype(F)
    pts = pts[np.argsort(pts[:, 0] if ascending else -pts[:, 0], kind="stable")]
    if layout == "one point":
        pts[:] = centres[0] + F(0.25) * radii[0]
    pts[[0, -1, n // 2], [0, 2, 1]] = [np.nan, np.inf, -np.inf]
    if layout == "strided":
        pts = np.hstack([pts, rng.uniform(-9, 9, (n, 2)).astype(F)])[:, :3]
    acc = np.full(n, INF, F)
    with np.errstate(invalid="ignore"):
        for p in parts:
            v = p.eval_vec(pts)
            acc = np.where(v < acc, v, acc)
    assert (bits(shape.eval_vec(pts)) == bits(acc)).all()


hostile = st.sampled_from([0.0, -0.0, INF, -INF, math.nan, 1e-30, 1e30])
offset = rarely(hostile, num, 5)
factor = rarely(hostile, st.sampled_from([0.5, 2.0, 1.5, -1.0, -0.5]), 4)
turns = [(0.0, 0.6, 0.0, 0.8), (1.0, 2.0, -0.5, 0.25), (0.0, 0.0, 0.0, 0.0)]
turn = rarely(st.tuples(offset, offset, offset, offset), st.sampled_from(turns), 3)


@st.composite
def moved(draw, inner):
    """`inner` under 1 to 3 point transforms, then now and then a dilate
    or a dual."""
    for _ in range(draw(st.integers(1, 3))):
        op = draw(st.sampled_from(["translate", "rotate", "scale"]))
        arg = {"translate": st.tuples(offset, offset, offset), "rotate": turn, "scale": factor}[op]
        inner = (op, draw(arg), inner)
    after = draw(st.sampled_from([None, None, "dilate", "dual"]))
    if after == "dilate":
        return (after, draw(offset), inner)
    return ("dual", inner) if after else inner


def moved_model(node, pts, inner):
    """The float32 model (reference.py) of a compiled chain of transforms
    over `inner`, vectorised over the rows: `inner` maps the list's points
    (an N x 3 float32 array) to its values."""
    kind = node[0]
    p = tuple(pts[:, i] for i in range(3))
    with np.errstate(all="ignore"):
        if kind == "translate":
            return moved_model(node[2], np.stack(ref._sub(p, node[1]), 1), inner)
        if kind == "rotate":
            return moved_model(node[2], np.stack(ref._rotate_point(node[1], p), 1), inner)
        if kind == "scale":
            k = node[1]
            return moved_model(node[2], np.stack([c / k for c in p], 1), inner) * k
        if kind == "dilate":
            return moved_model(node[2], pts, inner) - node[1]
        if kind == "dual":
            return -moved_model(node[1], pts, inner)
    return inner(pts)


@settings(max_examples=30, deadline=None)
@given(st.sampled_from(["union", "intersect"]), st.data())
def test_batches_on_moved_lists_match_their_parts(kind, data):
    # A large list under translations, rotations and scales (zero, negative,
    # NaN and infinite ones too): a batch sorts its rows by the list's own
    # point. Oracles: the model of the chain over the parts folded one by
    # one, and the same batch in slices too short to be sorted (NaN bits
    # included).
    # Small parts spread over [-1, 1]^3, as in a scene, so that cells need
    # few of them: a row placed in the wrong cell would miss its nearest.
    sense = 1 if kind == "union" else -1
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    parts_desc = [("sphere", tuple(map(float, c)), float(r))
                  for c, r in zip(rng.uniform(-1, 1, (72, 3)), rng.uniform(0.02, 0.1, 72))]
    parts_desc = [d if sense > 0 else ("dual", d) for d in parts_desc]
    for d in data.draw(st.lists(part(sense), max_size=8)):
        parts_desc.insert(int(rng.integers(0, len(parts_desc) + 1)), d)
    desc = data.draw(moved((kind, parts_desc)))
    parts = [build(d) for d in parts_desc]
    shape = build(desc)
    pts = rng.uniform(-1.5, 1.5, (16_000, 3)).astype(F)
    pts[::97] = rng.choice(np.array([np.nan, np.inf, -1e13, 0.25, 2.5], F), (len(pts[::97]), 3))

    def folded(at):
        acc = np.full(len(at), INF if kind == "union" else -INF, F)
        with np.errstate(invalid="ignore"):
            for p in parts:
                v = p.eval_vec(at)
                acc = np.where(v < acc if kind == "union" else v > acc, v, acc)
        return acc

    got = shape.eval_vec(pts)
    want = moved_model(compile_tree(desc), pts, folded)
    nan = np.isnan(want)
    assert (np.isnan(got) == nan).all()
    assert (bits(got)[~nan] == bits(want)[~nan]).all()
    sliced = np.concatenate([shape.eval_vec(pts[i:i + 200]) for i in range(0, len(pts), 200)])
    assert (bits(got) == bits(sliced)).all()


def sphere_union_model(centres, radii, pts):
    """The float32 model of a union of spheres, vectorised over the points:
    the same operations in the same order, folded in child order."""
    acc = np.full(len(pts), np.inf, F)
    with np.errstate(all="ignore"):
        for c, r in zip(centres.astype(F), radii.astype(F)):
            d = pts - c
            v = np.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]) - r
            acc = np.where(v < acc, v, acc)
    return acc


def test_many_spheres_match_model_everywhere():
    # A scene of the kind pruning is for, wide enough that batches prune
    # too: small spheres (and twins: the same sphere again, or its radius
    # a hair larger), points all over the box, on surfaces and at centres,
    # far away and not finite, in batches of every block shape.
    rng = np.random.default_rng(7)
    centres = np.round(rng.uniform(-1, 1, (1100, 3)) * 8) / 8
    radii = rng.choice([0.0625, 0.125, 0.03, 0.0], 1100)
    centres[1::7], radii[1::7] = centres[::7][:len(centres[1::7])], radii[::7][:len(radii[1::7])]
    radii[2::11] = np.nextafter(radii[2::11].astype(F), F(1))
    shape = Sdf.union([Sdf.sphere(tuple(map(float, c)), float(r)) for c, r in zip(centres, radii)])
    pts = rng.uniform(-1.2, 1.2, (18_000, 3)).astype(F)  # batches prune from 16 rows a child
    pts[:300] = centres[:300]  # on the surfaces, and at the centres
    pts[:150, 0] += radii[:150]
    pts[300:310] *= 1e12
    pts[310:315, 1] = np.nan
    pts[315:320, 2] = np.inf
    want = sphere_union_model(centres, radii, pts)
    order = rng.permutation(len(pts))
    for n in (1, 65, 18_000):
        assert (bits(shape.eval_vec(pts[order[:n]])) == bits(want[order[:n]])).all()
    single = [shape.eval(tuple(map(float, p))) for p in pts[::60]]
    assert (bits(single) == bits(want[::60])).all()


@settings(max_examples=4, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(400, 512))
def test_crowded_spheres_with_near_ties_match_model(seed, count):
    # Spheres dense enough that a batch's cells have long lists and each
    # block cuts its list down with a bound from the spheres nearest it;
    # twins (the same sphere, or a radius one step larger)
    # make values tie or nearly tie, and rows on the surfaces and at the
    # centres sit right at the bounds.
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-1, 1, (count, 3)).astype(F)
    radii = rng.uniform(0.02, 0.1, count).astype(F)
    centres[1::5], radii[1::5] = centres[::5][:len(centres[1::5])], radii[::5][:len(radii[1::5])]
    radii[2::9] = np.nextafter(radii[2::9], F(1))
    shape = Sdf.union([Sdf.sphere(tuple(map(float, c)), float(r)) for c, r in zip(centres, radii)])
    pts = rng.uniform(-1, 1, (200_000, 3)).astype(F)
    k = rng.integers(0, count, 4000)
    pts[:4000] = centres[k]
    pts[:2000, rng.integers(0, 3)] += radii[k[:2000]]
    order = rng.permutation(len(pts))
    got = shape.eval_vec(pts[order])
    assert (bits(got) == bits(sphere_union_model(centres, radii, pts[order]))).all()


def test_points_near_hundreds_of_equal_parts_match_model():
    # Hundreds of shells about one centre (radii a hair apart or equal)
    # among scattered spheres: near any point they are about equally close,
    # so a point keeps more parts than a query first makes room for, and
    # the normal and the march after it reuse the room made.
    rng = np.random.default_rng(11)
    centres = rng.uniform(-2, 2, (700, 3))
    radii = rng.uniform(0.02, 0.1, 700)
    centres[::2] = (0.25, 0.0, 0.0)
    radii[::2] = 0.5 + (np.arange(350) % 7) * 1e-7
    desc = ("union", [("sphere", tuple(map(float, c)), float(r)) for c, r in zip(centres, radii)])
    shape, node = build(desc), compile_tree(desc)
    pts = rng.uniform(-3, 3, (12, 3))
    pts[:2] = centres[0]  # at the shells' centre, and on the outermost shell
    pts[1, 0] += 0.5
    for p in map(tuple, pts):
        assert agree(shape.eval(p), ref.evaluate(node, p)), p
        assert agree(shape.normal(p, 0.01), ref.normal(node, p, 0.01)), p
        aim = (0.25 - p[0], -p[1], 0.1 - p[2])
        want = ref.raymarch(node, p, aim, 40, 10.0, 1e-3, with_normal=True)
        assert agree(shape.raymarch_with_normal(p, aim, 40, 10.0, 1e-3), want), p


@pytest.mark.parametrize("capsules", [False, True])
@settings(max_examples=6, deadline=None)
@given(seed=st.integers(0, 2**32 - 1))
def test_marches_through_a_cloud_match_model(capsules, seed):
    # Long marches through a dense cloud (twins among the parts), with a
    # tight eps: many samples near a surface reuse the last sample's parts,
    # grazing rays step small and then far again, rays from inside step by
    # the least step. Each march's hit, normal and miss against the model.
    # Capsules' bounds are wide: their samples run the last nearest part
    # first, and keep the last parts while its value allows.
    rng = np.random.default_rng(seed)
    centres = np.round(rng.uniform(-1, 1, (160, 3)) * 16) / 16
    radii = rng.choice([0.03, 0.0625, 0.1, 0.0], len(centres))
    centres[1::9], radii[1::9] = centres[::9][:len(centres[1::9])], radii[::9][:len(radii[1::9])]
    ends = centres + np.round(rng.normal(size=centres.shape) * 1.6) / 16
    desc = ("union", [("dilate", float(r), ("segment", tuple(map(float, c)), tuple(map(float, e))))
                      if capsules else ("sphere", tuple(map(float, c)), float(r))
                      for c, e, r in zip(centres, ends, radii)])
    shape, node = build(desc), compile_tree(desc)
    origins = rng.uniform(-1.2, 1.2, (12, 3))
    # Half the rays aimed just past a sphere's rim: they graze it.
    k = rng.integers(0, len(centres), 12)
    rim = rng.normal(size=(12, 3))
    rim *= (radii[k] * rng.uniform(1.0, 1.3, 12) / np.linalg.norm(rim, axis=1))[:, None]
    aims = np.where(np.arange(12)[:, None] % 2 == 0, centres[k] + rim - origins,
                    rng.normal(size=(12, 3)))
    for origin, aim in zip(origins, aims):
        o, a = tuple(map(float, origin)), tuple(map(float, aim))
        want = ref.raymarch(node, o, a, 64, 3.0, 1e-4, with_normal=True)
        assert agree(shape.raymarch_with_normal(o, a, 64, 3.0, 1e-4), want), (o, a)


@st.composite
def runs_of_parts(draw, sense):
    """A large list's children in runs: bare spheres (often more than
    sixteen in a row, and more than sixty-four), bare capsules
    (segment.dilate), and any other part between them; numbers on the
    quarter grid (values tie at signed zeros), now and then NaN or infinite.
    An intersection gets complements enough among the others to be pruned
    (bare parts grow the wrong way for it)."""
    kids, others = [], 0
    while len(kids) < 64 or (sense < 0 and others < 40):
        what = draw(st.sampled_from(["spheres", "capsules", "other"]))
        longest = {"spheres": 80, "capsules": 6, "other": 2 if sense > 0 else 12}[what]
        for _ in range(draw(st.integers(1, longest))):
            others += what == "other"
            if what == "spheres":
                kids.append(("sphere", draw(vec), draw(radius)))
            elif what == "capsules":
                a = draw(vec)  # now and then a segment of one point: NaN along it
                kids.append(("dilate", draw(radius), ("segment", a, draw(st.one_of(st.just(a), vec)))))
            else:
                kids.append(draw(part(sense)))
    return kids


@settings(max_examples=12, deadline=None)
@given(st.sampled_from(["union", "intersect"]), st.data())
def test_runs_of_bare_parts_match_their_parts(kind, data):
    # Runs of bare spheres and capsules go through a list's blocks together,
    # vector by vector: here across the run list's choices per cell (many
    # rows), across every child in code order (few rows), and in a list
    # nested in another.
    sense = 1 if kind == "union" else -1
    kids = data.draw(runs_of_parts(sense))
    desc = (kind, kids)
    if data.draw(st.booleans()):
        other = "intersect" if kind == "union" else "union"
        desc = (kind, [(other, [desc, ("sphere", (0.0, 0.0, 0.0), 0.5)])] + kids[:40])
    shape, parts = build(desc), [build(k) for k in desc[1]]
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    pts = rng.uniform(-1.2, 1.2, (8 * len(kids), 3)).astype(F)
    pts[::7] = np.round(pts[::7] * 4) / 4
    pts[::97] = rng.choice(np.array([np.nan, np.inf, -0.0, 1e30], F), (len(pts[::97]), 3))
    acc = np.full(len(pts), INF if kind == "union" else -INF, F)
    with np.errstate(invalid="ignore"):
        for p in parts:
            v = p.eval_vec(pts)
            acc = np.where(v < acc if kind == "union" else v > acc, v, acc)
    for n in (len(pts), 100, 9):
        assert (bits(shape.eval_vec(pts[:n])) == bits(acc[:n])).all()
    node = compile_tree(desc)
    for p, got in zip(pts[:4], acc[:4]):
        assert agree(float(got), ref.evaluate(node, tuple(map(float, p))))


@st.composite
def cloud(draw):
    """A union of spheres and capsules, or an intersection of their
    complements, on quarter units (values tie and reach zero), with now
    and then a part that is NaN or infinite, and twins; moved as a whole
    or not. Lone points in it are walked with the value of one part run
    first: for an intersection, the negated value."""
    kind = draw(st.sampled_from(["union", "intersect"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    quarters = lambda: tuple(float(v) for v in rng.integers(-8, 9, 3) / 4)  # noqa: E731
    kids = []
    for _ in range(int(rng.integers(40, 100))):
        r = float(rng.integers(1, 3) / 4)
        if rng.integers(0, 30) == 0:
            r = float(rng.choice([math.nan, INF, -INF]))
        c = quarters()
        if kids and rng.integers(0, 6) == 0:
            node = kids[-1]
        elif rng.integers(0, 4) == 0:  # mostly capsules, whose bounds are wide
            node = ("sphere", c, r)
        else:
            end = tuple(a + b / 2 for a, b in zip(c, quarters()))
            node = ("dilate", r, ("segment", c, end))
        kids.append(node)
    if kind == "intersect":
        kids = [("dual", k) for k in kids]
    desc = (kind, kids)
    outer = draw(st.sampled_from([None, "translate", "scale", "rotate"]))
    if outer == "translate":
        desc = (outer, (0.25, -0.5, 1.0), desc)
    elif outer == "scale":
        desc = (outer, draw(st.sampled_from([2.0, -1.0, 0.5])), desc)
    elif outer == "rotate":
        desc = (outer, (0.0, 0.6, 0.0, 0.8), desc)
    return desc


@settings(max_examples=20, deadline=None)
@given(cloud(), st.lists(st.tuples(quarter, quarter, quarter) | st.tuples(num, num, num),
                         min_size=4, max_size=10))
def test_lone_points_in_clouds_match_model(desc, pts):
    # Each eval, each normal's first point and each march's first sample
    # is a point on its own, away from the last one.
    shape, node = build(desc), compile_tree(desc)
    for p in pts:
        assert agree(shape.eval(p), ref.evaluate(node, p)), p
    for p in pts[:2]:
        assert agree(shape.normal(p, 0.01), ref.normal(node, p, 0.01)), p
    aim = (0.3, -0.2, 1.0)
    want = ref.raymarch(node, pts[0], aim, 24, 6.0, 1e-3, with_normal=True)
    assert agree(shape.raymarch_with_normal(pts[0], aim, 24, 6.0, 1e-3), want)


@pytest.mark.parametrize("kind", ["union", "intersect"])
def test_part_run_first_loses_a_tie_of_zeros_to_an_earlier_one(kind):
    # At p the capsule listed second is at +0 and nearest, so it is run
    # first; the plane listed before it is at -0 there (every product of
    # its dot is -0). Folded in order the plane wins the tie: -0 for the
    # union, and its negation, +0, for the intersection of complements.
    p = (0.25, 0.0, 0.25)
    down = -1 / math.sqrt(3)
    parts = [("plane", p, (down, down, down)), ("dilate", 0.25, ("segment", (0, 0, 0), (0, 0, 0.5)))]
    rng = np.random.default_rng(5)
    for a in rng.uniform(1, 2, (40, 3)) * rng.choice([-1, 1], (40, 3)):
        parts.append(("dilate", 0.05, ("segment", tuple(map(float, a)), tuple(map(float, a + 0.2)))))
    if kind == "intersect":
        parts = [("dual", d) for d in parts]
    desc = (kind, parts)
    want = ref.evaluate(compile_tree(desc), p)
    assert want == 0 and math.copysign(1, want) == (-1 if kind == "union" else 1)
    assert agree(build(desc).eval(p), want)


@settings(max_examples=4, deadline=None)
@given(seed=st.integers(0, 2**32 - 1))
def test_marches_through_nested_clouds_match_model(seed):
    # A cloud of capsules holding, as two of its parts, clouds of their own
    # seen through a short translation and a scale, all in the same box:
    # each list's samples run first a part of that list only, at that
    # list's point. A part of one list run at another's point gives a value
    # that bounds nothing there, often below the list's own.
    rng = np.random.default_rng(seed)

    def capsules(n, shift, k):
        ends = rng.uniform(-1, 1, (n, 3))
        ways = np.round(rng.normal(size=(n, 3)) * 1.6) / 16
        radii = rng.choice([0.02, 0.05], n)
        return [("dilate", float(r), ("segment", tuple(map(float, (a - shift) / k)),
                                      tuple(map(float, (a + w - shift) / k))))
                for a, w, r in zip(ends, ways, radii)]

    shift = np.array([0.25, -0.25, 0.125])
    parts = capsules(40, 0.0, 1.0)
    parts.insert(7, ("translate", tuple(map(float, shift)), ("union", capsules(40, shift, 1.0))))
    parts.insert(23, ("scale", 0.5, ("union", capsules(40, 0.0, 0.5))))
    desc = ("union", parts)
    shape, node = build(desc), compile_tree(desc)
    for origin, aim in zip(rng.uniform(-1.2, 1.2, (16, 3)), rng.normal(size=(16, 3))):
        o, a = tuple(map(float, origin)), tuple(map(float, aim))
        want = ref.raymarch(node, o, a, 64, 3.0, 1e-4, with_normal=True)
        assert agree(shape.raymarch_with_normal(o, a, 64, 3.0, 1e-4), want), (o, a)


@pytest.mark.parametrize("offset", [0.0, 3000.0, -250000.0])
def test_points_on_far_capsules_match_model(offset):
    # Leaves screen their parts in float lanes, with room for a rounding
    # that grows with the coordinates: clouds of capsules about the origin
    # and far from it, each part's lone points on its surface (at an end and
    # beside its middle, where it is nearest by a hair or ties with a twin),
    # and marches aimed at parts, each sample walked with its room.
    rng = np.random.default_rng(int(abs(offset)) + 3)
    n, size = 240, 1 + abs(offset) / 1000
    ends = (rng.uniform(-1, 1, (n, 3)) * size + offset).astype(F)
    ways = (rng.normal(size=(n, 3)) * 0.08 * size).astype(F)
    radii = (rng.uniform(0.01, 0.03, n) * size).astype(F)
    ends[1::8], ways[1::8] = ends[::8][:len(ends[1::8])], ways[::8][:len(ways[1::8])]
    desc = ("union", [("dilate", float(r), ("segment", tuple(map(float, a)), tuple(map(float, a + w))))
                      for a, w, r in zip(ends, ways, radii)])
    shape, node = build(desc), compile_tree(desc)
    away = rng.normal(size=(n, 3))
    away /= np.linalg.norm(away, axis=1, keepdims=True)
    side = np.cross(ways, away)
    side /= np.linalg.norm(side, axis=1, keepdims=True)
    pts = np.concatenate([ends - away * radii[:, None] * np.sign((away * ways).sum(1))[:, None],
                          ends + ways / 2 + side * radii[:, None]])
    for p in map(tuple, pts[rng.permutation(len(pts))[:160]].astype(float)):
        assert agree(shape.eval(p), ref.evaluate(node, p)), p
    for k in rng.integers(0, n, 6):
        o = tuple(map(float, ends[k] + away[k] * 0.3 * size))
        aim = tuple(map(float, ends[k] + ways[k] / 2 - np.array(o)))
        want = ref.raymarch(node, o, aim, 48, 2.0 * size, 1e-3 * size, with_normal=True)
        assert agree(shape.raymarch_with_normal(o, aim, 48, 2.0 * size, 1e-3 * size), want), o
