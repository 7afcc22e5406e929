// What the block interpreter's kernels share, whatever instruction set
// they are compiled for: a block's state, instructions as the lane loops
// read them, and each leaf as a type over one lane.
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

/// The clamp bounds 0 and 1 of the segment and ray leaves, made opaque
/// once per lane loop (see opaque()).
struct ClampBounds {
    float zero, one;
};
SDF_INLINE ClampBounds clamp_bounds() { return {opaque(0.0f), opaque(1.0f)}; }

// Each leaf, as a type, so that its lane loop is instantiated per leaf.
struct SphereLeaf {
    static constexpr Op op = Op::Sphere;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds) {
        return sphere_distance(f, p);
    }
};
struct PlaneLeaf {
    static constexpr Op op = Op::Plane;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds) {
        return plane_distance(f, p);
    }
};
struct SegmentLeaf {
    static constexpr Op op = Op::Segment;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds b) {
        return segment_distance(f, p, b.zero, b.one);
    }
};
struct RayLeaf {
    static constexpr Op op = Op::Ray;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds b) {
        return ray_distance(f, p, b.zero);
    }
};
struct VoxelLeaf {
    static constexpr Op op = Op::Voxel;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds) {
        return sample_trilinear(*grid_at(f), p);
    }
};

/// The point of lane i, less the leaf's translation when it has one.
template <bool Shifted>
SDF_INLINE Vec3 lane_point(const float* __restrict x, const float* __restrict y,
                           const float* __restrict z, size_t i, Vec3 shift) {
    const Vec3 p{x[i], y[i], z[i]};
    return Shifted ? p - shift : p;
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

class FusedRunCache;
struct RowRun;

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
    // Single points: the lanes hold one point (or a few unpruned ones), and
    // pruned lists choose their children through this walk, seeded by the
    // previous point, instead of the run list.
    const PointPruner* pruner = nullptr;
    // The fused runs of the program, decoded by the first block that met
    // them, for the blocks after it (fused_runs.hpp); null: each block
    // decodes its own.
    FusedRunCache* fused_runs = nullptr;
    // The whole program as one run that reads packed rows itself
    // (row_runs.hpp), where the AVX-512 kernel runs; null: none.
    const RowRun* row_run = nullptr;
};

/// Every lane loop runs over whole vectors of this many lanes: blocks are
/// padded to a multiple of it, and a single point fills one such vector.
/// No scalar remainder loop then ever runs, so every lane of every block
/// goes through the same machine instructions, and a result (down to a
/// NaN's sign and payload) cannot depend on where its row falls.
/// (Sixteen: the AVX-512 kernel's vector; the others run two or four of
/// theirs for one.)
constexpr size_t kVectorLanes = 16;

SDF_INLINE size_t whole_vectors(size_t n) {
    return (n + kVectorLanes - 1) / kVectorLanes * kVectorLanes;
}

/// The block interpreter compiled for one instruction set, and the voxel
/// lane code that goes with it (null: the interpreter's own loop).
struct LaneKernel {
    void (*run)(const Program& program, const BlockState& s, size_t n);
    VoxelLanes voxel;
};

/// The kernel for `choice` on this processor: the same one batches use.
LaneKernel lane_kernel(KernelChoice choice);

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

}  // namespace block
}  // namespace sdf
