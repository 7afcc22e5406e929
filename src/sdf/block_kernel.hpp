// The block interpreter behind batch evaluation: a program run over up to
// a few hundred points at once, one instruction over every lane before the
// next. Every lane performs exactly the single-point evaluator's operations
// through the same inline functions, so results are bit-identical to it;
// the loops over lanes are what the compiler turns into SIMD code.
//
// Everything here is inline, so that each kernel compiled from it (the
// baseline and the AVX2 one in batch.cpp) gets its own copy.
#pragma once

#include <cstdint>
#include <cstring>

#include "sdf/batch.hpp"
#include "sdf/poll.hpp"
#include "sdf/primitives.hpp"
#include "sdf/program.hpp"
#include "sdf/prune_hook.hpp"
#include "sdf/voxel_sdf/voxel_lanes.hpp"

namespace sdf {
namespace block {

/// Registers and stacks of one block: coordinates, distances, and the
/// point and value stacks, each slot `stride` floats per component.
struct BlockState {
    float* x;
    float* y;
    float* z;
    float* d;
    float* point_stack;
    float* value_stack;
    size_t stride;
    uint32_t* runs;   // pruning's run list and scratch (prune_hook.hpp);
    double* scratch;  // null when the program prunes nothing
    PollCounter* polls;  // counts the instructions run, times the lanes
    VoxelLanes voxel_lanes = nullptr;  // the vector voxel leaf, where it runs
    // The children list `preset_index` runs in this block, chosen ahead
    // (ascending program positions); null: it asks the hierarchy.
    const uint32_t* preset = nullptr;
    size_t preset_count = 0;
    uint32_t preset_index = 0;
};

/// The lanes of one point: three arrays.
struct Lanes {
    float* x;
    float* y;
    float* z;
};

/// An instruction copied out of the program: the compiler then knows that
/// writing lanes cannot change its parameters, and vectorises the loops.
struct Loaded {
    Head head;
    float f[kMaxParams];
};

/// The instruction at `at`; the program's zero words after its end make
/// the fixed-size copy safe for the last one.
SDF_INLINE Loaded load(const Word* at) {
    Loaded in;
    in.head = at->head;
    std::memcpy(in.f, at + 1, sizeof in.f);
    return in;
}

SDF_INLINE uint32_t index_of(const Loaded& in) {
    uint32_t k;
    std::memcpy(&k, in.f, sizeof k);
    return k;
}

// Each leaf, as a type, so that its lane loop is instantiated per leaf.
struct SphereLeaf {
    static constexpr Op op = Op::Sphere;
    static SDF_INLINE float at(const float* f, Vec3 p) { return sphere_distance(f, p); }
};
struct PlaneLeaf {
    static constexpr Op op = Op::Plane;
    static SDF_INLINE float at(const float* f, Vec3 p) { return plane_distance(f, p); }
};
struct SegmentLeaf {
    static constexpr Op op = Op::Segment;
    static SDF_INLINE float at(const float* f, Vec3 p) { return segment_distance(f, p); }
};
struct RayLeaf {
    static constexpr Op op = Op::Ray;
    static SDF_INLINE float at(const float* f, Vec3 p) { return ray_distance(f, p); }
};
struct VoxelLeaf {
    static constexpr Op op = Op::Voxel;
    static SDF_INLINE float at(const float* f, Vec3 p) { return sample_trilinear(*grid_at(f), p); }
};

/// The point of lane i, less the leaf's translation when it has one.
template <bool Shifted>
SDF_INLINE Vec3 lane_point(const float* __restrict x, const float* __restrict y,
                           const float* __restrict z, size_t i, Vec3 shift) {
    const Vec3 p{x[i], y[i], z[i]};
    return Shifted ? p - shift : p;
}

/// d[i] = the leaf's distance at lane i, combined as `How` says.
template <class Leaf, bool Shifted, Combine How>
SDF_INLINE void leaf_loop(const Loaded& in, Lanes p, float* __restrict d, size_t n) {
    const float* __restrict x = p.x;
    const float* __restrict y = p.y;
    const float* __restrict z = p.z;
    const Vec3 shift = vec_at(in.f + op_params(Leaf::op));
    for (size_t i = 0; i < n; ++i) {
        const float v = Leaf::at(in.f, lane_point<Shifted>(x, y, z, i, shift));
        d[i] = How == Combine::Assign ? v : combine_distance(How, d[i], v);
    }
}

template <class Leaf, bool Shifted>
SDF_INLINE void leaf_lanes_shifted(const Loaded& in, Lanes p, float* __restrict d, size_t n) {
    switch (in.head.combine()) {
        case Combine::Assign: return leaf_loop<Leaf, Shifted, Combine::Assign>(in, p, d, n);
        case Combine::Union: return leaf_loop<Leaf, Shifted, Combine::Union>(in, p, d, n);
        case Combine::Intersect: return leaf_loop<Leaf, Shifted, Combine::Intersect>(in, p, d, n);
        case Combine::Difference:
            return leaf_loop<Leaf, Shifted, Combine::Difference>(in, p, d, n);
    }
}

template <class Leaf>
SDF_INLINE void leaf_lanes(const Loaded& in, Lanes p, float* __restrict d, size_t n) {
    if (in.head.translated()) return leaf_lanes_shifted<Leaf, true>(in, p, d, n);
    leaf_lanes_shifted<Leaf, false>(in, p, d, n);
}

/// The point stack of a block: slots of three arrays, `stride` floats each.
class PointStack {
  public:
    PointStack(float* base, size_t stride) : next_(base), stride_(stride) {}
    Lanes push() {
        Lanes slot = at(next_);
        next_ += 3 * stride_;
        return slot;
    }
    Lanes top() const { return at(next_ - 3 * stride_); }
    Lanes pop() {
        next_ -= 3 * stride_;
        return at(next_);
    }

  private:
    Lanes at(float* slot) const { return {slot, slot + stride_, slot + 2 * stride_}; }
    float* next_;
    size_t stride_;
};

/// d = op(d, k) lane by lane, for the operations on the distance alone.
template <Op op>
SDF_INLINE void distance_lanes(float* __restrict d, float k, size_t n) {
    for (size_t i = 0; i < n; ++i) d[i] = distance_op<op>(d[i], k);
}

/// d = the fold of d into the saved values acc, lane by lane.
template <Combine How>
SDF_INLINE void fold_lanes(const float* __restrict acc, float* __restrict d, size_t n) {
    for (size_t i = 0; i < n; ++i) d[i] = combine_distance(How, acc[i], d[i]);
}

SDF_INLINE void copy_lanes(Lanes from, Lanes to, size_t n) {
    std::memcpy(to.x, from.x, n * sizeof(float));
    std::memcpy(to.y, from.y, n * sizeof(float));
    std::memcpy(to.z, from.z, n * sizeof(float));
}

/// x, y, z = transform(fx, fy, fz) lane by lane, from a saved point.
template <class Transform>
SDF_INLINE void transform_copy(const float* __restrict fx, const float* __restrict fy,
                               const float* __restrict fz, float* __restrict x,
                               float* __restrict y, float* __restrict z, size_t n,
                               Transform transform) {
    for (size_t i = 0; i < n; ++i) {
        const Vec3 q = transform({fx[i], fy[i], fz[i]});
        x[i] = q.x;
        y[i] = q.y;
        z[i] = q.z;
    }
}

/// p = transform(from) lane by lane; `from` is either p itself or a saved
/// point, and the two loops let the compiler know which.
template <class Transform>
SDF_INLINE void transform_lanes(Lanes from, Lanes p, size_t n, Transform transform) {
    if (from.x != p.x) return transform_copy(from.x, from.y, from.z, p.x, p.y, p.z, n, transform);
    for (size_t i = 0; i < n; ++i) {
        const Vec3 q = transform({p.x[i], p.y[i], p.z[i]});
        p.x[i] = q.x;
        p.y[i] = q.y;
        p.z[i] = q.z;
    }
}

inline float read_float(const char* at) {
    float v;
    std::memcpy(&v, at, sizeof v);  // strides need not keep floats aligned
    return v;
}

inline Vec3 read_row(const PointsView& view, size_t i) {
    const char* row = view.data + static_cast<ptrdiff_t>(i) * view.row_stride;
    return {read_float(row), read_float(row + view.col_stride),
            read_float(row + 2 * view.col_stride)};
}

/// Rows start .. start + n - 1 of the view into the block's x, y, z lanes.
SDF_INLINE void gather_rows(const PointsView& view, size_t start, size_t n, const BlockState& s) {
    float* __restrict x = s.x;
    float* __restrict y = s.y;
    float* __restrict z = s.z;
    const bool aligned = reinterpret_cast<uintptr_t>(view.data) % alignof(float) == 0;
    if (aligned && view.col_stride == sizeof(float) && view.row_stride == 3 * sizeof(float)) {
        // Packed rows of three floats, as astype makes them for N x 3 input.
        const float* __restrict rows = reinterpret_cast<const float*>(view.data) + 3 * start;
        for (size_t i = 0; i < n; ++i) {
            x[i] = rows[3 * i];
            y[i] = rows[3 * i + 1];
            z[i] = rows[3 * i + 2];
        }
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        const Vec3 p = read_row(view, start + i);
        x[i] = p.x;
        y[i] = p.y;
        z[i] = p.z;
    }
}

SDF_INLINE void run_block(const Program& program, const BlockState& s, size_t n) {
    const Lanes p{s.x, s.y, s.z};
    float* __restrict d = s.d;
    PointStack points(s.point_stack, s.stride);
    float* values = s.value_stack;  // next free value slot
    const size_t row = s.stride;    // floats between value slots
    uint32_t* run = s.runs;
    const Word* code = program.code.data();
    const size_t size = program.words;
    // Work since the last report, kept in a register: one huge tree can
    // take far longer than a poll's interval over a single block.
    uint64_t work = 0;
    for (size_t pc = 0; pc < size;) {
        work += n;
        if (work >= kWorkPerPoll) {
            s.polls->count(work);
            work = 0;
        }
        const Loaded in = load(code + pc);
        pc += in.head.words;
        Lanes from = p;
        if (in.head.source == Source::Saved) from = points.top();
        if (in.head.source == Source::SavedPop) from = points.pop();
        switch (in.head.op) {
            case Op::Sphere: leaf_lanes<SphereLeaf>(in, from, d, n); break;
            case Op::Plane: leaf_lanes<PlaneLeaf>(in, from, d, n); break;
            case Op::Segment: leaf_lanes<SegmentLeaf>(in, from, d, n); break;
            case Op::Ray: leaf_lanes<RayLeaf>(in, from, d, n); break;
            case Op::Voxel:
                if (s.voxel_lanes && is_chunk_grid(*grid_at(in.f))) {
                    const VoxelLeafParams leaf{
                        grid_at(in.f), in.head.translated() ? in.f + op_params(Op::Voxel) : nullptr,
                        in.head.combine()};
                    s.voxel_lanes(leaf, from.x, from.y, from.z, d, n);
                } else {
                    leaf_lanes<VoxelLeaf>(in, from, d, n);
                }
                work += kVoxelWork * n;
                break;
            case Op::ItemSphere: {
                Loaded sphere = in;
                item_sphere(code, pc - 1, sphere.f);
                leaf_lanes<SphereLeaf>(sphere, from, d, n);
                break;
            }
            case Op::ItemBase:
            case Op::Skip: break;
            case Op::Const:
                for (size_t i = 0; i < n; ++i) d[i] = in.f[0];
                break;
            case Op::Translate: {
                const Vec3 v = vec_at(in.f);
                transform_lanes(from, p, n, [v](Vec3 q) SDF_LAMBDA_INLINE { return q - v; });
                break;
            }
            case Op::ScaleIn:
                transform_lanes(from, p, n, [&in](Vec3 q) SDF_LAMBDA_INLINE {
                    return scale_point(in.f, q);
                });
                break;
            case Op::Rotate:
                transform_lanes(from, p, n, [&in](Vec3 q) SDF_LAMBDA_INLINE {
                    return rotate_point(in.f, q);
                });
                break;
            case Op::MulK: distance_lanes<Op::MulK>(d, in.f[0], n); break;
            case Op::SubR: distance_lanes<Op::SubR>(d, in.f[0], n); break;
            case Op::AddR: distance_lanes<Op::AddR>(d, in.f[0], n); break;
            case Op::Neg: distance_lanes<Op::Neg>(d, 0.0f, n); break;
            case Op::PushP: copy_lanes(p, points.push(), n); break;
            case Op::LoadP: copy_lanes(points.top(), p, n); break;
            case Op::PopP: copy_lanes(points.pop(), p, n); break;
            case Op::PushD:
                std::memcpy(values, d, n * sizeof(float));
                values += row;
                break;
            case Op::UnionFirst:
                for (size_t i = 0; i < n; ++i) d[i] = union_first(d[i]);
                break;
            case Op::IntersectFirst:
                for (size_t i = 0; i < n; ++i) d[i] = intersect_first(d[i]);
                break;
            case Op::UnionNext:
            case Op::IntersectNext:
            case Op::DifferenceNext: {
                values -= row;
                const float* __restrict acc = values;
                // One loop per rule, so that each is vectorised on its own.
                switch (combine_of_next(in.head.op)) {
                    case Combine::Union: fold_lanes<Combine::Union>(acc, d, n); break;
                    case Combine::Intersect: fold_lanes<Combine::Intersect>(acc, d, n); break;
                    default: fold_lanes<Combine::Difference>(acc, d, n); break;
                }
                break;
            }
            case Op::Prune: {
                const PruneIndex& index = program.indexes[index_of(in)];
                const float start = index.start;
                for (size_t i = 0; i < n; ++i) d[i] = start;
                if (s.preset && index_of(in) == s.preset_index) {
                    pc = push_run(index, s.preset, s.preset_count, pc, run);
                    break;
                }
                pc = prune_enter_block(index, lanes_region(p.x, p.y, p.z, n), pc, run,
                                       s.scratch);
                break;
            }
            case Op::PruneSeeded: {
                const Lanes at = points.top();  // the list's point
                pc = prune_seeded_block(program.indexes[index_of(in)],
                                        lanes_region(at.x, at.y, at.z, n), d, n, pc, run,
                                        s.scratch);
                break;
            }
            case Op::PruneEnd: prune_end(run); break;
        }
        if (in.head.ends_child()) pc = prune_next(pc, run);
    }
    s.polls->count(work);
}

}  // namespace block
}  // namespace sdf
