// The block interpreter behind batch evaluation: a program run over up to
// a few hundred points at once, one instruction or one fused chain of them
// (lane_loops.hpp) over every lane before the next.
//
// Included by batch.cpp once per instruction set, inside the namespace
// SDF_BLOCK_NS (see lane_loops.hpp).

#include <cstdint>
#include <cstring>

#include "sdf/batch.hpp"
#include "sdf/block_lanes.hpp"
#include "sdf/chains.hpp"
#include "sdf/fused_runs.hpp"
#include "sdf/lane_loops.hpp"
#include "sdf/child_run_lanes.hpp"  // after lane_loops.hpp: SDF_LANE_LOOP
#include "sdf/poll.hpp"
#include "sdf/primitives.hpp"
#include "sdf/program.hpp"
#include "sdf/prune_hook.hpp"
#include "sdf/voxel_sdf/voxel_lanes.hpp"

// Fused runs pay with sixteen lanes to a register (fused_run_lanes.hpp).
#define SDF_BLOCK_FUSED_RUNS (SDF_HAVE_FUSED_RUNS && SDF_BLOCK_AVX512)
#if SDF_BLOCK_FUSED_RUNS
#include "sdf/fused_run_lanes.hpp"
#endif

namespace sdf {
namespace SDF_BLOCK_NS {

using namespace ::sdf::block;

#if SDF_BLOCK_AVX2
/// Eight packed rows (24 floats) into eight lanes each of x, y and z: three
/// loads; two blends gather each coordinate into one register (in the lane
/// order 0 3 6 1 4 7 2 5 for x, rotated by one row for y and two for z),
/// and a permute puts it in row order. The compiler's own code for the
/// strided loop takes about twice the instructions.
SDF_INLINE void deinterleave8(const float* rows, float* x, float* y, float* z) {
    const __m256 a = _mm256_loadu_ps(rows);
    const __m256 b = _mm256_loadu_ps(rows + 8);
    const __m256 c = _mm256_loadu_ps(rows + 16);
    const __m256 mx = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x92), c, 0x24);
    const __m256 my = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x24), c, 0x49);
    const __m256 mz = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x49), c, 0x92);
    _mm256_storeu_ps(x, _mm256_permutevar8x32_ps(mx, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5)));
    _mm256_storeu_ps(y, _mm256_permutevar8x32_ps(my, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6)));
    _mm256_storeu_ps(z, _mm256_permutevar8x32_ps(mz, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7)));
}
#endif

/// Copies of lane n - 1 up to a whole number of vectors: their results are
/// not read, and they keep the block's box (pruning) as it was.
SDF_INLINE void pad_lanes(float* __restrict x, float* __restrict y, float* __restrict z,
                          size_t n) {
    for (size_t i = n; i < whole_vectors(n); ++i) {
        x[i] = x[n - 1];
        y[i] = y[n - 1];
        z[i] = z[n - 1];
    }
}

/// Rows start .. start + n - 1 of the view into the block's x, y, z lanes.
SDF_INLINE void copy_rows(const PointsView& view, size_t start, size_t n, const BlockState& s) {
    float* __restrict x = s.x;
    float* __restrict y = s.y;
    float* __restrict z = s.z;
    const bool aligned = reinterpret_cast<uintptr_t>(view.data) % alignof(float) == 0;
    if (aligned && view.col_stride == sizeof(float) && view.row_stride == 3 * sizeof(float)) {
        // Packed rows of three floats, as astype makes them for N x 3 input.
        const float* __restrict rows = reinterpret_cast<const float*>(view.data) + 3 * start;
        size_t i = 0;
#if SDF_BLOCK_AVX2
        for (; i + 8 <= n; i += 8) deinterleave8(rows + 3 * i, x + i, y + i, z + i);
#endif
        for (; i < n; ++i) {
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

/// The rows, padded to whole vectors (pad_lanes).
SDF_LANE_LOOP void gather_rows(const PointsView& view, size_t start, size_t n,
                               const BlockState& s) {
    copy_rows(view, start, n, s);
    pad_lanes(s.x, s.y, s.z, n);
}

/// Next (after a pruned list's child): from the point's walk or the run list.
SDF_INLINE size_t next_child(const BlockState& s, size_t next_pc, uint32_t*& run) {
    return s.pruner ? s.pruner->next(next_pc) : prune_next(next_pc, run);
}

/// Runs the simple children from the one at `at` (of kind `kind`) on, as
/// far as they go in a row (gather_run), folding into d. Returns the
/// position to go on at.
SDF_INLINE size_t run_children(const Program& program, size_t at, RunKind kind, Combine how,
                               Lanes from, float* d, size_t n, uint32_t*& run, uint64_t& work) {
    ChildRun children;
    const size_t next = gather_run(program.code.data(), program.words, at, kind, how, children, run);
    child_run_lanes(children, from, d, n);
    work += children.count * n;
    return next;
}

/// Runs the fused run that starts at `pc`, if one does (fused_runs.hpp):
/// then pc, the point stack and the work count are past it. `met` counts
/// the block's runs so far; `local` holds a run decoded for this block.
SDF_INLINE bool fused_run_at(const Word* code, size_t& pc, size_t size, Lanes p,
                             PointStack& points, float* d, size_t n, uint64_t& work,
                             FusedRunCache* cache, size_t& met, FusedRun& local) {
#if SDF_BLOCK_FUSED_RUNS
    const RunShape* run = &local;
    const RunStep* steps = local.steps;
    if (!cache || !cache->find(met, pc, run, steps)) {
        if (!decode_run(code, pc, size, p, points, local)) return false;
        if (cache) cache->keep(met, pc, local);
    }
    ++met;
    run_fused(*run, steps, p, d, n, nullptr, false);
    for (size_t i = 0; i < run->pops; ++i) points.pop();
    work += (run->instructions - 1) * n;  // the loop counted one
    pc = run->end;
    return true;
#else
    (void)code, (void)pc, (void)size, (void)p, (void)points, (void)d, (void)n, (void)work;
    (void)cache, (void)met, (void)local;
    return false;
#endif
}

/// Runs rows start .. start + n - 1 of the view with the block's row run
/// (row_runs.hpp), where there is one and it can read them: true if it
/// did. Counts the work the program's instructions would have counted.
SDF_INLINE bool row_run_block(const PointsView& view, size_t start, size_t n,
                              const BlockState& s) {
#if SDF_BLOCK_FUSED_RUNS
    if (!s.row_run || !rows_readable(view, n)) return false;
    const float* rows = reinterpret_cast<const float*>(view.data) + 3 * start;
    run_rows(*s.row_run, rows, {s.x, s.y, s.z}, s.d, n);
    s.polls->count(s.row_run->program_instructions * n);
    return true;
#else
    (void)view, (void)start, (void)n, (void)s;
    return false;
#endif
}

/// Runs the program over lanes 0 .. n - 1 of the block; n is a whole
/// number of vectors (kVectorLanes).
inline void run_block(const Program& program, const BlockState& s, size_t n) {
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
    // Programs that prune run as passes: a pruned list's children end in
    // jumps, and fused runs stop before each.
    const bool fused = SDF_BLOCK_FUSED_RUNS && program.indexes.empty();
    FusedRun local;
    size_t runs_met = 0;
    for (size_t pc = 0; pc < size;) {
        work += n;
        if (work >= kWorkPerPoll) {
            s.polls->count(work);
            work = 0;
        }
        if (fused && fold.leaf_at == kNoLeaf &&
            fused_run_at(code, pc, size, p, points, d, n, work, s.fused_runs, runs_met, local)) {
            continue;
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
            pc = fold.ends_child ? next_child(s, fold.end, run) : fold.end;
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
            case Op::ItemSphere: {
                if (!s.pruner) {
                    pc = run_children(program, at, RunKind::Sphere, in.head.combine(),
                                      points.top(), d, n, run, work);
                    continue;
                }
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
            case Op::PushD: {
                // (A capsule child only ends a child of a pruned list: inside
                // one, the run list holds something.)
                Combine how;
                if (!s.pruner && run != s.runs &&
                    child_kind(code, size, at, how) == RunKind::Capsule) {
                    pc = run_children(program, at, RunKind::Capsule, how, points.top(), d, n,
                                      run, work);
                    continue;
                }
                if (match_leaf_fold(code, pc, size, fold)) break;  // nothing to save
                std::memcpy(values, d, n * sizeof(float));
                values += row;
                break;
            }
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
                if (s.pruner) {
                    pc = s.pruner->enter(index, index_of(in), {p.x[0], p.y[0], p.z[0]}, pc);
                    break;
                }
                if (s.preset && index_of(in) == s.preset_index) {
                    pc = push_run(index, s.preset, s.preset_count, pc, run);
                    break;
                }
                pc = prune_enter_block(index, lanes_region(p.x, p.y, p.z, n), pc, run,
                                       s.scratch);
                break;
            }
            case Op::PruneSeeded: {
                if (s.pruner) break;  // a point's walk seeds itself
                const Lanes at = points.top();  // the list's point
                pc = prune_seeded_block(program.indexes[index_of(in)],
                                        lanes_region(at.x, at.y, at.z, n), d, n, pc, run,
                                        s.scratch);
                break;
            }
            case Op::PruneEnd:
                if (s.pruner) {
                    s.pruner->end();
                } else {
                    prune_end(run);
                }
                break;
        }
        if (in.head.ends_child()) pc = next_child(s, pc, run);
    }
    s.polls->count(work);
}

}  // namespace SDF_BLOCK_NS
}  // namespace sdf
