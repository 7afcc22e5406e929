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
//    very large coordinates) push kRunAll and fall through to child 0.
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

/// Room the run list and the scratch space need for `program`.
inline size_t run_list_size(const Program& program) { return program.run_depth; }
inline size_t scratch_size(const Program& program) { return program.widest_index; }

/// Prune: returns the position to continue at (`next_pc` under kRunAll).
inline size_t prune_enter(const PruneIndex& index, const Region& region, size_t next_pc,
                          uint32_t*& run, double* scratch) {
    uint32_t* base = run;
    const size_t n = collect_candidates(index, region, base + 2, scratch);
    if (n == SIZE_MAX) {
        *run++ = kRunAll;
        return next_pc;
    }
    base[0] = kRunDone;
    base[1] = index.end_pc;
    std::reverse(base + 2, base + 2 + n);
    run = base + 1 + n;  // the first child's position is popped here
    return base[1 + n];
}

/// Next: the position to continue at.
inline size_t prune_next(size_t next_pc, uint32_t*& run) {
    return run[-1] == kRunAll ? next_pc : *--run;
}

/// PruneEnd.
inline void prune_end(uint32_t*& run) { --run; }

inline Region point_region(Vec3 p) { return {{p.x, p.y, p.z}, {p.x, p.y, p.z}}; }

/// Pushes a run list made of `count` chosen children (ascending), or
/// kRunAll for SIZE_MAX; returns the position to continue at.
inline size_t push_run(const PruneIndex& index, const uint32_t* chosen, size_t count,
                       size_t next_pc, uint32_t*& run) {
    if (count == SIZE_MAX) {
        *run++ = kRunAll;
        return next_pc;
    }
    uint32_t* base = run;
    base[0] = kRunDone;
    base[1] = index.end_pc;
    for (size_t i = 0; i < count; ++i) base[2 + i] = chosen[count - 1 - i];
    run = base + 1 + count;
    return base[1 + count];
}

/// The single-point interpreter's side of pruning: the run list, and for
/// every pruned list the children kept for the last region it was asked
/// about. One evaluator serves the six points of a normal or the samples
/// of a march: a point inside the last region reuses its children, and a
/// point that moved by a little (delta, at most 1/16 of the last threshold:
/// the stencil of a normal) asks for the box
/// of half-size delta about itself, so that the next few points fall in it.
/// The children kept for a region are right for every point in it.
class PointPruner {
  public:
    /// Throws std::bad_alloc.
    explicit PointPruner(const Program& program) {
        if (program.indexes.empty()) return;
        size_t pool = 0;
        for (const PruneIndex& index : program.indexes) pool += index.child_count;
        runs_.reset(new uint32_t[run_list_size(program)]);
        scratch_.reset(new double[scratch_size(program)]);
        pool_.reset(new uint32_t[pool]);
        caches_.reset(new Cache[program.indexes.size()]);
        pool = 0;
        for (size_t k = 0; k < program.indexes.size(); ++k) {
            caches_[k].list = pool_.get() + pool;
            pool += program.indexes[k].child_count;
        }
    }

    uint32_t* runs() const { return runs_.get(); }

    /// Prune at point p.
    size_t enter(const PruneIndex& index, uint32_t k, Vec3 p, size_t next_pc,
                 uint32_t*& run) const {
        Cache& c = caches_[k];
        if (!(c.valid && inside(p, c.box))) {
            Region r = point_region(p);
            if (c.valid) {
                const float delta = std::max({std::fabs(p.x - c.last.x), std::fabs(p.y - c.last.y),
                                              std::fabs(p.z - c.last.z)});
                if (delta > 0 && delta <= c.threshold / 16) {
                    r = {{p.x - delta, p.y - delta, p.z - delta},
                         {p.x + delta, p.y + delta, p.z + delta}};
                }
            }
            c.threshold = 0;
            c.count = collect_candidates(index, r, c.list, scratch_.get(), &c.threshold);
            c.box = r;
            c.last = p;
            c.valid = true;
        }
        return push_run(index, c.list, c.count, next_pc, run);
    }

  private:
    struct Cache {
        Region box;
        Vec3 last;
        double threshold;
        size_t count;
        uint32_t* list;
        bool valid = false;
    };

    static bool inside(Vec3 p, const Region& r) {
        return p.x >= r.lo[0] && p.x <= r.hi[0] && p.y >= r.lo[1] && p.y <= r.hi[1] &&
               p.z >= r.lo[2] && p.z <= r.hi[2];
    }

    std::unique_ptr<uint32_t[]> runs_;
    std::unique_ptr<double[]> scratch_;
    std::unique_ptr<uint32_t[]> pool_;
    std::unique_ptr<Cache[]> caches_;
};

/// The bounding box of n lanes (n >= 1); NaN anywhere makes it NaN.
SDF_INLINE Region lanes_region(const float* __restrict x, const float* __restrict y,
                               const float* __restrict z, size_t n) {
    float lo[3] = {x[0], y[0], z[0]}, hi[3] = {x[0], y[0], z[0]};
    bool nan = false;
    const float* lanes[3] = {x, y, z};
    for (int a = 0; a < 3; ++a) {
        const float* __restrict v = lanes[a];
        float l = lo[a], h = hi[a];
        bool bad = false;
        for (size_t i = 0; i < n; ++i) {
            l = v[i] < l ? v[i] : l;
            h = v[i] > h ? v[i] : h;
            bad = bad | (v[i] != v[i]);
        }
        lo[a] = l;
        hi[a] = h;
        nan = nan || bad;
    }
    Region r{{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}};
    if (nan) r.lo[0] = std::numeric_limits<float>::quiet_NaN();
    return r;
}

}  // namespace sdf
