"""Long stretches of chains: many children of one union or intersection,
or a leaf under dozens of transforms. Where the processor has AVX-512 the
batch kernel runs such stretches a vector at a time through all of their
steps, decodes them once per batch and cuts long ones into several runs;
every row must still match the float32 model, and a point given to eval
must get the bits (NaN sign and payload included) of its row in eval_vec."""

import math

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from reference import agree, build, compile_tree, evaluate
from strategies import coord, leaf
from test_chains import chain, rows_to_check, transform

# A leaf under more transforms than one run takes: the point goes back to
# memory between runs.
long_chain = st.builds(
    lambda leaf_desc, steps: _wrap(leaf_desc, steps),
    leaf,
    st.lists(transform, min_size=30, max_size=60),
)


def _wrap(desc, steps):
    for kind, arg in steps:
        desc = (kind, arg, desc)
    return desc


# Children whose value is NaN everywhere, at any position of the list.
nan_child = st.builds(lambda c: ("dilate", math.nan, c), chain())
children = st.one_of(chain(), chain(), nan_child)
fold = st.sampled_from(["union", "intersect"])
trees = st.one_of(
    st.tuples(fold, st.lists(children, min_size=5, max_size=24)),
    st.tuples(fold, st.lists(st.one_of(chain(), long_chain), min_size=1, max_size=3)),
    # A difference of two long lists, and a list under a transform: runs
    # that start from a saved point and from a moved one.
    st.tuples(st.just("difference"), st.tuples(fold, st.lists(children, min_size=5, max_size=12)),
              st.tuples(fold, st.lists(children, min_size=5, max_size=12))),
    st.tuples(transform, st.tuples(fold, st.lists(children, min_size=5, max_size=12)))
    .map(lambda t: t[0] + (t[1],)),
)

# Around the 16-lane vectors, and batches of several 512-row blocks (the
# later blocks reuse the runs the first one decoded).
ROWS = [1, 15, 16, 17, 33, 1031, 1537]
SPECIAL = [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 1e30, -3e38]


def u32(x):
    return int(np.float32(x).view(np.uint32))


@settings(deadline=None, max_examples=60)
@given(desc=trees, n=st.sampled_from(ROWS), p=st.tuples(coord, coord, coord),
       seed=st.integers(0, 2**32 - 1))
def test_long_runs_match_model_and_single_points(desc, n, p, seed):
    rng = np.random.default_rng(seed)
    pts = (rng.normal(size=(n, 3)) * 3).astype(np.float32)
    pick = rng.random((n, 3)) < 0.05
    pts[pick] = rng.choice(SPECIAL, pick.sum())
    with np.errstate(over="ignore"):
        pts[n - 1] = pts[0] = np.array(p, np.float32)
    shape = build(desc)
    got = shape.eval_vec(pts)
    model = compile_tree(desc)
    checked = rows_to_check(n)
    for i in checked[:: max(1, len(checked) // 12)]:
        want = evaluate(model, tuple(map(float, pts[i])))
        assert agree(float(got[i]), want), (i, got[i], want)
    # The same point first and last in the batch, and alone.
    one = shape.eval(tuple(map(float, pts[0])))
    assert [u32(got[0]), u32(got[n - 1])] == [u32(one)] * 2, hex(u32(one))


def test_more_steps_than_one_batch_keeps():
    """Nested lists too short to be pruned, with more chain steps than the
    batch keeps decoded: later blocks decode the rest on their own. Every
    row must still be its own point's value."""
    rng = np.random.default_rng(7)

    def part():
        c = tuple(float(v) for v in rng.uniform(-2, 2, 3))
        if rng.random() < 0.5:
            leaf_desc = ("sphere", (0.0, 0.0, 0.0), float(rng.uniform(0.1, 0.4)))
        else:
            leaf_desc = ("segment", (0.0, 0.0, 0.0), c)
        return ("dilate", 0.05, ("scale", 1.5, ("translate", c, leaf_desc)))

    fold_of = ["union", "intersect"]
    desc = ("union", [(fold_of[i % 2], [("union", [part() for _ in range(12)])
                                        for _ in range(12)]) for i in range(12)])
    shape = build(desc)
    n = 1537  # three blocks and a tail
    pts = (rng.normal(size=(n, 3)) * 2).astype(np.float32)
    pts[::97, 1] = np.nan
    got = shape.eval_vec(pts)
    alone = [shape.eval(tuple(map(float, p))) for p in pts]
    assert [u32(g) for g in got] == [u32(a) for a in alone]
    model = compile_tree(desc)
    for i in range(0, n, 200):
        assert agree(float(got[i]), evaluate(model, tuple(map(float, pts[i])))), i
