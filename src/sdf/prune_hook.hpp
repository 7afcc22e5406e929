// What an interpreter does at the three pruning instructions (program.hpp).
//
// A pruned list's code is: PushP, Prune, then per child
// `PushD LoadP <child> UnionNext|IntersectNext Next` (fused like any other
// code), then PruneEnd and PopP. Every child's block folds its value into
// D on its own, so running any ascending subset of the blocks folds those
// children in their order. The run list is a stack of program positions:
//
//  - Prune: D = index.start (+inf or -inf) on every lane; find the
//    children the region needs; push kRunDone, the end position and the
//    children's start positions (first on top), and jump to the position
//    popped. Where nothing can be pruned (a region with NaN or infinite or
//    very large coordinates) push kRunAll and fall through (PruneSeeded is
//    then a no-op) to child 0.
//    A block first runs one child alone, the one with the least upper
//    bound at the block's centre: Prune pushes kRunSeeded and the position
//    of PruneSeeded, and jumps to that child, whose Next comes back.
//  - PruneSeeded (after a seed): for one point, PointPruner::seeded; in
//    blocks, pop kRunSeeded; T = the largest
//    folded value over the lanes (an exact upper bound of the list's value
//    at every lane, however the others fold); D = start again; then as
//    Prune, with T as the walk's starting threshold. The seed is chosen
//    again (its lower bound is below its value) and runs in its turn.
//  - Next: under kRunAll fall through to the next child (or to PruneEnd
//    after the last); otherwise jump to the position popped.
//  - PruneEnd: pop the marker.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <limits>
#include <memory>

#include "sdf/bounds.hpp"
#include "sdf/program.hpp"
#include "sdf/vec.hpp"

namespace sdf {

inline Region point_region(Vec3 p) { return {{p.x, p.y, p.z}, {p.x, p.y, p.z}}; }

/// Room the run list and the scratch space need for `program`.
inline size_t run_list_size(const Program& program) { return program.run_depth; }
inline size_t scratch_size(const Program& program) { return program.widest_index; }

/// Starts the run list of a list whose `count` chosen children (ascending)
/// were written at run + 2, or kRunAll for SIZE_MAX; returns the position
/// to continue at (`next_pc` under kRunAll).
inline size_t start_run(const PruneIndex& index, size_t count, size_t next_pc, uint32_t*& run) {
    if (count == SIZE_MAX) {
        *run++ = kRunAll;
        return next_pc;
    }
    uint32_t* base = run;
    base[0] = kRunDone;
    base[1] = index.end_pc;
    std::reverse(base + 2, base + 2 + count);
    run = base + 1 + count;  // the first child's position is popped here
    return base[1 + count];
}

/// Prune: returns the position to continue at (`next_pc` under kRunAll).
inline size_t prune_enter(const PruneIndex& index, const Region& region, size_t next_pc,
                          uint32_t*& run, double* scratch) {
    return start_run(index, collect_candidates(index, region, run + 2, scratch), next_pc, run);
}

/// Blocks prune only lists at least this wide: below it, running every
/// child over a block costs less than choosing (and sorting rows for it).
constexpr uint32_t kMinBlockPruned = 1024;

/// Prune in a block over `region`: the position to continue at. A null
/// `scratch` means blocks that are not compact in space: no pruning.
inline size_t prune_enter_block(const PruneIndex& index, const Region& region, size_t next_pc,
                                uint32_t*& run, double* scratch) {
    if (!scratch || index.child_count < kMinBlockPruned) {
        *run++ = kRunAll;
        return next_pc;
    }
    const Region centre = point_region({region.lo[0] + (region.hi[0] - region.lo[0]) * 0.5f,
                                        region.lo[1] + (region.hi[1] - region.lo[1]) * 0.5f,
                                        region.lo[2] + (region.hi[2] - region.lo[2]) * 0.5f});
    const uint32_t seed = best_child(index, centre);
    if (seed == kNoChild) return prune_enter(index, region, next_pc + kPruneSeededWords, run, scratch);
    *run++ = kRunSeeded;
    *run++ = static_cast<uint32_t>(next_pc);
    return seed;
}

/// PruneSeeded in a block whose lanes hold the seed's folded values `d`
/// (reset to the start value here); `region` is the list's point again.
inline size_t prune_seeded_block(const PruneIndex& index, const Region& region, float* d,
                                 size_t n, size_t next_pc, uint32_t*& run, double* scratch) {
    if (run[-1] == kRunAll) return next_pc;
    --run;  // kRunSeeded
    const bool is_union = index.start > 0;
    float top = is_union ? d[0] : -d[0];
    for (size_t i = 0; i < n; ++i) {
        const float g = is_union ? d[i] : -d[i];
        top = g > top ? g : top;
    }
    for (size_t i = 0; i < n; ++i) d[i] = index.start;
    const size_t count = collect_candidates(index, region, run + 2, scratch, nullptr, double{top});
    return start_run(index, count, next_pc, run);
}

/// Next: the position to continue at.
inline size_t prune_next(size_t next_pc, uint32_t*& run) {
    return run[-1] == kRunAll ? next_pc : *--run;
}

/// PruneEnd.
inline void prune_end(uint32_t*& run) { --run; }

/// Pushes a run list made of `count` chosen children (ascending), or
/// kRunAll for SIZE_MAX; returns the position to continue at.
inline size_t push_run(const PruneIndex& index, const uint32_t* chosen, size_t count,
                       size_t next_pc, uint32_t*& run) {
    if (count != SIZE_MAX) std::copy(chosen, chosen + count, run + 2);
    return start_run(index, count, next_pc, run);
}

/// The single-point interpreter's side of pruning: for every pruned list
/// the children kept for the last region it was asked about, and the lists
/// being run, each a cursor into its kept children (a list never runs
/// inside itself, so its kept children stay put while it runs). One
/// evaluator serves the six points of a normal or the samples of a march:
/// a point inside the last region reuses its children, and a point that
/// moved by a little (delta, at most 1/16 of the last threshold: the
/// stencil of a normal) asks for the box of half-size delta about itself,
/// so that the next few points fall in it.
/// The children kept for a region are right for every point in it.
///
/// A pruner lives as long as one query (an `eval`, a normal, a march), so
/// making it must cost next to nothing: a program with few pruned lists
/// gets its state and room for a few hundred kept children inside the
/// pruner itself, and only a list that keeps more than its share (a point
/// far from every child) makes room on the heap for every list, once.
class PointPruner {
  public:
    /// Throws std::bad_alloc. Inline, so that a program without pruning
    /// lists (every small query) costs no call here.
    explicit PointPruner(const Program& program) {
        if (!program.indexes.empty()) set_up(program);
    }
    // The state points into the pruner itself.
    PointPruner(const PointPruner&) = delete;
    PointPruner& operator=(const PointPruner&) = delete;

    /// Prune at point p (the list's point); returns the position to
    /// continue at. Out of line, so that the interpreter's loop keeps its
    /// registers: the running lists live here, not in the loop. Throws
    /// std::bad_alloc when a list needs room beyond its share and none is
    /// left.
    ///
    /// With `may_seed`, a point may first run one child alone
    /// (the position returned), whose Next comes back to `next_pc`, the
    /// list's PruneSeeded: seeding() is then true there, and seeded() goes
    /// on with that child's folded value.
    size_t enter(const PruneIndex& index, uint32_t k, Vec3 p, size_t next_pc,
                 bool may_seed = false) const;
    /// At PruneSeeded: whether enter ran a seed (else every child runs).
    bool seeding() const { return top_[-1].at != nullptr; }
    /// At PruneSeeded after a seed whose value folded alone is `d`: the
    /// walk, screened with it; returns the position to continue at
    /// (`next_pc`, the first child's, when every child runs), and the
    /// list's fold so far. The seed does not run again: its value is
    /// folded in its turn, by next(). (Both returned by value, so that the
    /// interpreter's D never has its address taken.)
    struct Resume {
        size_t pc;
        float d;
    };
    Resume seeded(const PruneIndex& index, uint32_t k, float d, size_t next_pc) const;
    /// Next: the next kept child, the list's end after the last, or
    /// `next_pc` when every child runs. (The batch kernel's lanes: no seed.)
    size_t next(size_t next_pc) const {
        Running& r = top_[-1];
        if (!r.at) return next_pc;
        return r.at != r.stop ? *r.at++ : r.end_pc;
    }
    /// Next for a point, whose fold `d` takes in the seed's value when its
    /// turn comes.
    size_t next(size_t next_pc, float& d) const {
        Running& r = top_[-1];
        if (!r.at) return next_pc;
        if (r.loose) note_fold(r, r.at[-1], d);
        return advance(r, d);
    }
    /// PruneEnd: the child that last moved the fold is noted for the
    /// list's next point, to be run first there.
    void end() const {
        const Running& r = *--top_;
        if (r.at && r.moved_fold != kNoChild) r.cache->moved_fold = r.moved_fold;
    }

  private:
    struct Cache;
    struct Running;
    static bool still_apart(const Cache& c, const PruneIndex& index, Vec3 p);
    void set_up(const Program& program);
    void make_room(uint32_t k) const;
    /// The walk over c.box from c.start, screened with `exact` too, and
    /// resumed `from` a first descent, if given.
    void walk(Cache& c, const PruneIndex& index, uint32_t k, double exact,
              const WalkPause* from) const;
    /// Points r at the children kept in c; the position to go to.
    static size_t run_kept(const Cache& c, const PruneIndex& index, Running& r, size_t next_pc);
    static double reuse_limit(const Cache& c, const PruneIndex& index, Vec3 p);
    /// Points r at the children kept in c, the seed's value `alone` to
    /// be folded at `seed_at` (null: not kept); the position to go to.
    static size_t fold_seed_in_turn(const Cache& c, const PruneIndex& index, Running& r,
                                    const uint32_t* seed_at, float alone, float& d);
    /// The next kept child's position (or the end), folding the seed's
    /// value into d instead of running it again.
    static size_t advance(Running& r, float& d) {
        if (r.at == r.seed_at) {
            d = r.union_fold ? (r.seed_value < d ? r.seed_value : d)
                             : (r.seed_value > d ? r.seed_value : d);
            note_fold(r, *r.at, d);
            ++r.at;
        }
        return r.at != r.stop ? *r.at++ : r.end_pc;
    }
    /// Notes `pc` as the child that gave the fold d when it moved it.
    /// (Only a choice of which child to run first rests on it: a NaN or a
    /// zero of the other sign may fool it at no cost to any result.)
    static void note_fold(Running& r, uint32_t pc, float d) {
        if (d != r.fold) {
            r.fold = d;
            r.moved_fold = pc;
        }
    }
    struct Cache {
        Region box;
        Vec3 last;
        double start;  // the walk's bound from the last point, or +inf
        double threshold;
        double gap;  // below every child left out at `last` (a point), or -inf
        ChildBall nearest;  // the child that gave the threshold there (sigma +inf: none)
        size_t count;
        uint32_t* list;
        uint32_t room;  // entries `list` holds
        bool valid;
        bool reused;  // since the last walk
        bool note_gap;  // the walk notes `gap`
        bool paused;  // the seed's walk goes on from pause_
        uint32_t seed;  // the child run first (its start position)
        // The child that last moved the fold at the last point (its
        // value was the list's there), or kNoChild.
        uint32_t moved_fold;
        // While the seed runs: the walk to make after it, and the limit
        // below which its value lets the last walk's children do.
        Region next_box;
        Vec3 next_last;
        double next_start;
        double reuse_below;
    };

    /// A list being run: its kept children not run yet, [at, stop), and
    /// its end; a null `at` when it runs every child. While its seed runs,
    /// [at, stop) holds its PruneSeeded alone (seed_resume[1], after the
    /// seed's own position, so that at[-1] is always the child just run).
    /// After, `seed_at` is the seed's entry among the kept children (if
    /// kept), whose value folded alone, `seed_value`, is folded there in
    /// its stead. `fold` is the fold as last seen, and `moved_fold` the
    /// child that last moved it (kNoChild: none yet).
    struct Running {
        const uint32_t* at;
        const uint32_t* stop;
        const uint32_t* seed_at;
        Cache* cache;
        uint32_t end_pc;
        uint32_t seed_resume[2];
        uint32_t moved_fold;
        float fold;
        float seed_value;
        bool union_fold;
        bool loose;  // the list seeds (index.loose): worth noting who moves the fold
    };

    static constexpr size_t kInlineLists = 4;
    static constexpr size_t kInlineRoom = 256;  // kept children, shared by the lists

    const Program* program_ = nullptr;
    Cache* caches_ = nullptr;
    mutable Running* top_ = nullptr;  // one past the innermost list running
    std::unique_ptr<Cache[]> heap_caches_;
    std::unique_ptr<Running[]> heap_running_;
    mutable std::unique_ptr<uint32_t[]> pool_;  // room for every child of every list
    Cache inline_caches_[kInlineLists];
    Running inline_running_[kInlineLists];
    uint32_t inline_room_[kInlineRoom];
    mutable bool pausing_ = false;
    mutable WalkPause pause_;  // the first descent of the list seeding (last: rarely used)
};

/// The least and greatest of n lanes (n >= 1), and whether one is NaN.
/// Eight running extremes, so that the loops vectorise (which lane holds
/// which extreme does not matter for a bounding box); a NaN lane fails
/// every comparison and is caught by its own loop.
SDF_INLINE void lanes_range(const float* __restrict v, size_t n, float& lo, float& hi,
                            bool& nan) {
    float l[8], h[8];
    for (int j = 0; j < 8; ++j) l[j] = h[j] = v[0];
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (int j = 0; j < 8; ++j) l[j] = v[i + j] < l[j] ? v[i + j] : l[j];
        for (int j = 0; j < 8; ++j) h[j] = v[i + j] > h[j] ? v[i + j] : h[j];
    }
    for (; i < n; ++i) {
        l[0] = v[i] < l[0] ? v[i] : l[0];
        h[0] = v[i] > h[0] ? v[i] : h[0];
    }
    for (int j = 1; j < 8; ++j) {
        l[0] = l[j] < l[0] ? l[j] : l[0];
        h[0] = h[j] > h[0] ? h[j] : h[0];
    }
    unsigned bad = 0;
    for (i = 0; i < n; ++i) bad |= static_cast<unsigned>(v[i] != v[i]);
    lo = l[0];
    hi = h[0];
    nan = nan || bad != 0;
}

/// The bounding box of n lanes (n >= 1); NaN anywhere makes it NaN.
SDF_INLINE Region lanes_region(const float* x, const float* y, const float* z, size_t n) {
    Region r;
    bool nan = false;
    lanes_range(x, n, r.lo[0], r.hi[0], nan);
    lanes_range(y, n, r.lo[1], r.hi[1], nan);
    lanes_range(z, n, r.lo[2], r.hi[2], nan);
    if (nan) r.lo[0] = std::numeric_limits<float>::quiet_NaN();
    return r;
}

}  // namespace sdf
