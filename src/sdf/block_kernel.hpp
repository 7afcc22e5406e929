// The block interpreter behind batch evaluation: a program run over up to
// a few hundred points at once, one instruction (block_lanes.hpp) or one
// fused chain of them (chains.hpp) over every lane before the next.
//
// Everything here is inline, so that each kernel compiled from it (the
// baseline and the AVX2 one in batch.cpp) gets its own copy.
#pragma once

#include <cstdint>
#include <cstring>

#include "sdf/batch.hpp"
#include "sdf/block_lanes.hpp"
#include "sdf/chains.hpp"
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

/// p = the point transform `in` applied to `from`, lane by lane.
SDF_INLINE void transform_one(const Loaded& in, Lanes from, Lanes p, size_t n) {
    switch (in.head.op) {
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
        default:
            transform_lanes(from, p, n, [&in](Vec3 q) SDF_LAMBDA_INLINE {
                return rotate_point(in.f, q);
            });
            break;
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
    LeafFold fold;  // a leaf ahead that folds itself into D (chains.hpp)
    for (size_t pc = 0; pc < size;) {
        work += n;
        if (work >= kWorkPerPoll) {
            s.polls->count(work);
            work = 0;
        }
        const size_t at = pc;
        const Loaded in = load(code + pc);
        pc += in.head.words;
        Lanes from = p;
        if (in.head.source == Source::Saved) from = points.top();
        if (in.head.source == Source::SavedPop) from = points.pop();
        if (at == fold.leaf_at) {
            leaf_fold_lanes(in, fold, from, d, n);
            work += 2 * n;  // the distance operation and the fold
            fold.leaf_at = kNoLeaf;
            pc = fold.ends_child ? prune_next(fold.end, run) : fold.end;
            continue;
        }
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
            case Op::Const:
                for (size_t i = 0; i < n; ++i) d[i] = in.f[0];
                break;
            case Op::Translate:
            case Op::ScaleIn:
            case Op::Rotate:
                if (!in.head.ends_child() && continues_transform(code[pc].head)) {
                    const Loaded next = load(code + pc);
                    pc += next.head.words;
                    work += n;
                    transform_pair_lanes(in, next, from, p, n);
                    break;
                }
                transform_one(in, from, p, n);
                break;
            case Op::MulK: distance_lanes<Op::MulK>(d, in.f[0], n); break;
            case Op::SubR: distance_lanes<Op::SubR>(d, in.f[0], n); break;
            case Op::AddR: distance_lanes<Op::AddR>(d, in.f[0], n); break;
            case Op::Neg: distance_lanes<Op::Neg>(d, 0.0f, n); break;
            case Op::PushP: copy_lanes(p, points.push(), n); break;
            case Op::LoadP: copy_lanes(points.top(), p, n); break;
            case Op::PopP: copy_lanes(points.pop(), p, n); break;
            case Op::PushD:
                if (match_leaf_fold(code, pc, size, fold)) break;  // nothing to save
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
