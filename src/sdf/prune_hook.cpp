// The single-point interpreter's side of pruning (prune_hook.hpp).
#include "sdf/prune_hook.hpp"

namespace sdf {
namespace {

/// Relative slack on a threshold carried from one point to the next.
constexpr double kStartSlack = 1.0 / 1099511627776.0;  // 2^-40

/// A point that moved by at most this fraction of the last threshold (the
/// stencil of a normal) asks for the box about itself of half-size the
/// move. (Larger boxes along a march were measured: their extra children
/// cost more than the walks they save.)
constexpr double kBoxReach = 1.0 / 16;

}  // namespace

/// Whether the children kept at the last point still do at p: every child
/// left out was at least `gap` there, and the list's value at most
/// `threshold`; both bounds move by at most (1 + slope) times the distance
/// moved (the margin by the slope), so while the one stays below the other
/// the children left out stay above the list's value. The child that gave
/// the threshold bounds the value at p more tightly (by its own upper
/// bound there) when p moved towards it, as a march towards a surface
/// does. Along a march this spares the walk for about half the samples.
bool PointPruner::still_apart(const Cache& c, const PruneIndex& index, Vec3 p) {
    if (!(c.gap > -kInfinity)) return false;  // nothing noted at the last point
    const double x = p.x, y = p.y, z = p.z;
    const double P = std::sqrt(x * x + y * y + z * z);
    if (!(P <= index.max_norm)) return false;  // the bounds hold no further out
    const double dx = x - c.last.x, dy = y - c.last.y, dz = z - c.last.z;
    const double m = (1 + index.slope) * std::sqrt(dx * dx + dy * dy + dz * dz);
    double top = c.threshold + m;
    const ChildBall& n = c.nearest;
    if (n.sigma < kInfinity) {
        const double nx = x - n.c[0], ny = y - n.c[1], nz = z - n.c[2];
        top = std::min(top, std::sqrt(nx * nx + ny * ny + nz * nz) + n.sigma + index.slope * P);
    }
    top += m;
    return top + (std::fabs(top) + std::fabs(c.gap)) * kStartSlack < c.gap;
}

void PointPruner::set_up(const Program& program) {
    program_ = &program;
    const size_t lists = program.indexes.size();
    if (lists > kInlineLists) {
        // Many lists (nested unions): room for all of their children at once.
        heap_caches_.reset(new Cache[lists]);
        heap_running_.reset(new Running[lists]);
        caches_ = heap_caches_.get();
        top_ = heap_running_.get();
        size_t pool = 0;
        for (const PruneIndex& index : program.indexes) pool += index.child_count;
        pool_.reset(new uint32_t[pool]);
        pool = 0;
        for (size_t k = 0; k < lists; ++k) {
            caches_[k].valid = caches_[k].reused = false;
            caches_[k].moved_fold = kNoChild;
            caches_[k].list = pool_.get() + pool;
            caches_[k].room = program.indexes[k].child_count;
            pool += caches_[k].room;
        }
        return;
    }
    caches_ = inline_caches_;
    top_ = inline_running_;
    const size_t share = kInlineRoom / lists;
    for (size_t k = 0; k < lists; ++k) {
        Cache& c = caches_[k];
        c.valid = c.reused = false;
        c.moved_fold = kNoChild;
        c.room = static_cast<uint32_t>(std::min<size_t>(share, program.indexes[k].child_count));
        c.list = inline_room_ + k * share;
    }
}

/// (Only with at most kInlineLists lists: the others have room already.)
void PointPruner::make_room(uint32_t k) const {
    const std::vector<PruneIndex>& indexes = program_->indexes;
    if (!pool_) {
        size_t pool = 0;
        for (const PruneIndex& index : indexes) pool += index.child_count;
        pool_.reset(new uint32_t[pool]);
    }
    size_t at = 0;
    for (uint32_t j = 0; j < k; ++j) at += indexes[j].child_count;
    caches_[k].list = pool_.get() + at;
    caches_[k].room = indexes[k].child_count;
}

// (Inline: the walk of every lone point goes through here.)
inline void PointPruner::walk(Cache& c, const PruneIndex& index, uint32_t k, double exact,
                       const WalkPause* from) const {
    c.threshold = 0;
    double* gap = c.note_gap ? &c.gap : nullptr;
    c.gap = -kInfinity;
    c.count = collect_within(index, c.box, c.list, c.room, c.threshold, c.start, gap, &c.nearest,
                             exact, from);
    if (c.count == kMoreThanRoom) {
        make_room(k);
        c.count = collect_within(index, c.box, c.list, c.room, c.threshold, c.start, gap,
                                 &c.nearest, exact, from);
    }
    c.valid = true;
    c.reused = false;
}

size_t PointPruner::enter(const PruneIndex& index, uint32_t k, Vec3 p, size_t next_pc,
                          bool may_seed) const {
    Cache& c = caches_[k];
    const bool inside = p.x >= c.box.lo[0] && p.x <= c.box.hi[0] && p.y >= c.box.lo[1] &&
                        p.y <= c.box.hi[1] && p.z >= c.box.lo[2] && p.z <= c.box.hi[2];
    bool reuse = c.valid && inside;
    if (c.valid && !inside && still_apart(c, index, p)) reuse = c.reused = true;
    Running& r = *top_++;
    r.cache = &c;
    r.loose = index.loose;
    if (reuse) return run_kept(c, index, r, next_pc);
    Region region = point_region(p);
    double start = kInfinity;
    bool near_last = false;  // a march's next sample, or a stencil's next point
    if (c.valid) {
        const float delta = std::max({std::fabs(p.x - c.last.x), std::fabs(p.y - c.last.y),
                                      std::fabs(p.z - c.last.z)});
        near_last = c.reused || delta <= 2 * std::fabs(c.threshold);
        // How far the region reaches from p along an axis, from its
        // corners as rounded.
        double half = 0;
        if (delta > 0 && delta <= c.threshold * kBoxReach) {
            const float h = delta;
            region = {{p.x - h, p.y - h, p.z - h}, {p.x + h, p.y + h, p.z + h}};
            const float at[3] = {p.x, p.y, p.z};
            for (int a = 0; a < 3; ++a) {
                half = std::max({half, double{at[a]} - region.lo[a], double{region.hi[a]} - at[a]});
            }
        }
        // The child that gave the last threshold is at most the distance
        // moved farther from any point of the new region (p, or a box
        // about it, whose corners are at most sqrt(3) half away), and
        // its rounding margin grows by the slope times the same
        // distance. So the walk can start from there instead of from
        // nothing: along a march, or across a normal's stencil, it then
        // skips most of the hierarchy at once.
        if (c.count != SIZE_MAX && c.threshold < kInfinity) {
            const double dx = double{p.x} - c.last.x, dy = double{p.y} - c.last.y,
                         dz = double{p.z} - c.last.z;
            constexpr double kSqrt3Up = 1.7320508075688774;
            const double moved = (1 + index.slope) * (std::sqrt(dx * dx + dy * dy + dz * dz) +
                                                      kSqrt3Up * half);
            start = c.threshold + moved + (std::fabs(c.threshold) + moved) * kStartSlack;
        }
    }
    // Noting what the walk leaves out costs a little: worth it only
    // where the next point is likely to come close, as it does after a
    // point that came close to the last (not for the first point, often
    // the only one: an eval; nor for points one by one from a batch).
    // (The walk notes it over a point only, not over a box.)
    c.note_gap = near_last;
    // Where bounds are wide, a point first runs one child, the likely
    // nearest, and is walked with its value too (see seeded()): a point
    // on its own, the child the first descent finds (one list at a time
    // goes on from a descent: a list inside the seed walks on its own);
    // a march's next sample, the child that gave the last threshold.
    // (Not a box about the point: a value at the point bounds no other.)
    uint32_t seed = kNoChild;
    c.paused = false;
    if (may_seed && index.loose) {
        if (!near_last && !pausing_) {
            seed = seed_walk(index, region, pause_);
            c.paused = pausing_ = seed != kNoChild;
        } else if (near_last && is_point(region)) {
            // The child whose value was the list's at the last point is
            // likely the nearest still; failing that, the one whose bound
            // gave the last threshold.
            seed = c.moved_fold != kNoChild ? c.moved_fold
                   : c.nearest.sigma < kInfinity ? c.nearest.pc : kNoChild;
        }
    }
    if (seed != kNoChild) {
        // The walk waits for the seed's value (c is the last walk's until
        // then: the seed's value may show its children still do).
        c.seed = seed;
        c.next_box = region;
        c.next_last = p;
        c.next_start = start;
        c.reuse_below = c.paused ? -kInfinity : reuse_limit(c, index, p);
        r.seed_resume[0] = seed;
        r.seed_resume[1] = static_cast<uint32_t>(next_pc);
        r.seed_at = nullptr;
        r.at = r.seed_resume + 1;
        r.stop = r.seed_resume + 2;
        r.fold = index.start;
        r.moved_fold = kNoChild;
        r.end_pc = index.end_pc;
        return seed;
    }
    c.box = region;
    c.last = p;
    c.start = start;
    walk(c, index, k, kInfinity, nullptr);
    return run_kept(c, index, r, next_pc);
}

/// As still_apart, with the list's value at p known to be at most a
/// child's value there: the children kept at the last point still do
/// while that value is below the limit returned (-inf: they cannot).
double PointPruner::reuse_limit(const Cache& c, const PruneIndex& index, Vec3 p) {
    if (!c.valid || c.count == SIZE_MAX || !(c.gap > -kInfinity)) return -kInfinity;
    const double x = p.x, y = p.y, z = p.z;
    if (!(std::sqrt(x * x + y * y + z * z) <= index.max_norm)) return -kInfinity;
    const double dx = x - c.last.x, dy = y - c.last.y, dz = z - c.last.z;
    return c.gap - (1 + index.slope) * std::sqrt(dx * dx + dy * dy + dz * dz);
}

PointPruner::Resume PointPruner::seeded(const PruneIndex& index, uint32_t k, float alone,
                                       size_t next_pc) const {
    Cache& c = caches_[k];
    // The seed's value, folded alone into the start value: a child's exact
    // value, or the start value itself when it was NaN (skipped).
    const float v = index.start > 0 ? alone : -alone;
    const bool paused = c.paused;
    if (paused) pausing_ = false;
    float d = index.start;
    Running& r = top_[-1];
    // Every child left out at the last point is still above the seed's
    // value, so above the list's: its kept children do, if the seed is one.
    const double below = c.reuse_below;
    if (v + (std::fabs(v) + std::fabs(below)) * kStartSlack < below) {
        const uint32_t* at = std::lower_bound(c.list, c.list + c.count, c.seed);
        if (at != c.list + c.count && *at == c.seed) {
            c.reused = true;
            const size_t pc = fold_seed_in_turn(c, index, r, at, alone, d);
            return {pc, d};
        }
    }
    c.box = c.next_box;
    c.last = c.next_last;
    c.start = c.next_start;
    walk(c, index, k, v == v ? double{v} : kInfinity, paused ? &pause_ : nullptr);
    if (c.count == SIZE_MAX) {
        r.at = nullptr;  // every child runs, the seed again among them
        return {next_pc, d};
    }
    // The seed is kept (its lower bound is below its value) unless a child
    // found since certainly beats it. Where kept, its value folded alone
    // is folded into the children's before it in its turn: the same as
    // running it there (a NaN, folded alone, left the start value, which
    // folds as a NaN does: to nothing).
    const uint32_t* at = std::lower_bound(c.list, c.list + c.count, c.seed);
    const size_t pc = fold_seed_in_turn(
        c, index, r, at != c.list + c.count && *at == c.seed ? at : nullptr, alone, d);
    return {pc, d};
}

size_t PointPruner::fold_seed_in_turn(const Cache& c, const PruneIndex& index, Running& r,
                                      const uint32_t* seed_at, float alone, float& d) {
    r.at = c.list;
    r.stop = c.list + c.count;
    r.seed_at = seed_at;
    r.seed_value = alone;
    r.union_fold = index.start > 0;
    r.end_pc = index.end_pc;
    r.fold = d;
    r.moved_fold = kNoChild;
    return advance(r, d);
}

size_t PointPruner::run_kept(const Cache& c, const PruneIndex& index, Running& r,
                             size_t next_pc) {
    if (c.count == SIZE_MAX) {
        r.at = nullptr;
        return next_pc;
    }
    r.at = c.list;
    r.stop = c.list + c.count;
    r.seed_at = nullptr;
    r.end_pc = index.end_pc;
    r.fold = index.start;
    r.moved_fold = kNoChild;
    return r.at != r.stop ? *r.at++ : r.end_pc;
}

}  // namespace sdf
