// Programs that are one fused run (fused_runs.hpp) from start to end, run
// straight from the rows of a batch. The block kernel otherwise copies a
// block's rows into its x, y, z lanes first (and a program that saves the
// point at its start copies them once more); these runs load each vector
// of rows into registers as they go. That spares the passes, and their
// reads of the batch's memory come a vector at a time between the
// arithmetic, where the processor's own prefetching keeps up with them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdf/block_lanes.hpp"
#include "sdf/fused_runs.hpp"
#include "sdf/program.hpp"

namespace sdf {
namespace block {

/// A parameter of a step in every lane of a vector (one cache line).
struct alignas(64) SplatParam {
    float lane[kVectorLanes];
};

/// A step of a row run with its parameters already in every lane, read
/// as whole vectors by the instructions that use them. Broadcasting a
/// float into a vector takes a slot of the floating-point units that do
/// the arithmetic (about 34 per vector of scene8's rows); a vector operand
/// from memory takes a load only. Filling them costs 704 bytes a step, once
/// per batch.
struct WideStep {
    uint16_t kind;
    const float* x;
    const float* y;
    const float* z;
    SplatParam f[kMaxParams];
    SplatParam k;
};

/// A whole program as one run, whose steps read the row's point: the run's
/// shared point is loaded from the rows, and steps that read the point's
/// lanes read the block's x, y, z lanes, where the run stores the row's
/// point as it goes (when one does). Each step keeps its kind, and so the
/// operations it has when the rows are copied first, in the same order;
/// only its parameters come as vectors (WideStep). Which of two NaNs an
/// operation keeps follows the operand order its compiled code happens to
/// have: a product that takes its parameter from memory has it second,
/// where a broadcast may have had it first. The two differ only where a NaN
/// parameter meets a NaN of other bits in one operation; the core checks
/// compare the rows read in place with the AVX2 passes, NaN bits included.
struct RowRun : FusedRun {
    size_t program_instructions = 0;  // for the work count: a PushP first too
    bool stores_row = false;          // a step reads the block's lanes
    WideStep wide[kMaxRunSteps];      // the steps, parameters in every lane
};

/// Fills run.wide from run.steps.
inline void widen_steps(RowRun& run) {
    for (size_t k = 0; k < run.count; ++k) {
        const RunStep& step = run.steps[k];
        WideStep& wide = run.wide[k];
        wide.kind = step.kind;
        wide.x = step.x;
        wide.y = step.y;
        wide.z = step.z;
        for (size_t i = 0; i < kMaxParams; ++i) {
            for (float& lane : wide.f[i].lane) lane = step.f[i];
        }
        for (float& lane : wide.k.lane) lane = step.k;
    }
}

/// A run whose first step on D is a leaf that sets it, followed by a
/// UnionFirst (IntersectFirst), spares that step: the leaf folds its value
/// into D by union (intersection) instead, D starting at +inf (-inf).
/// v < inf ? v : inf is then the very select of the step left out, with the
/// same operands: each lane keeps its bits. Before that leaf nothing reads
/// D, so nothing else sees the value it starts with.
inline void fold_first_into_leaf(RowRun& run) {
    size_t k = 0;
    while (k < run.count && run.steps[k].kind < kLeafSteps) ++k;  // point transforms
    if (k + 1 >= run.count || run.steps[k].kind >= kDistanceSteps) return;
    const LeafKind leaf = leaf_kind(run.steps[k].kind);
    const unsigned next = run.steps[k + 1].kind;
    const unsigned union_first = kDistanceSteps + static_cast<unsigned>(StepDistance::UnionFirst);
    const unsigned intersect_first =
        kDistanceSteps + static_cast<unsigned>(StepDistance::IntersectFirst);
    if (leaf.fold != StepFold::Assign || (next != union_first && next != intersect_first)) return;
    const bool is_union = next == union_first;
    run.steps[k].kind = static_cast<uint16_t>(leaf_step(
        leaf.leaf, leaf.shifted, leaf.from, is_union ? StepFold::Union : StepFold::Intersect));
    run.start_distance = is_union ? kInfinity : -kInfinity;
    for (size_t j = k + 1; j + 1 < run.count; ++j) run.steps[j] = run.steps[j + 1];
    --run.count;
}

/// Decodes `program` as a row run, with the lanes of `s` (those the block
/// kernel would use) telling which points the steps read: false unless
/// the program is an optional PushP and then one run to its end, whose
/// steps read only the row's point (its lanes, or the copy the PushP
/// saved) or the run's own registers.
inline bool decode_row_run(const Program& program, const BlockState& s, RowRun& out) {
    if (!program.indexes.empty() || program.words == 0) return false;
    const Word* code = program.code.data();
    const Lanes p{s.x, s.y, s.z};
    PointStack points(s.point_stack, s.stride);
    size_t pc = 0;
    const float* copy = nullptr;  // the saved row's x lanes
    if (code[0].head.op == Op::PushP) {
        copy = points.push().x;
        pc = code[0].head.words;
    }
    if (!decode_run(code, pc, program.words, p, points, out)) return false;
    // (A run that read D first would read it before anything set it.)
    if (out.end != program.words || out.reads_distance) return false;
    const auto is_row = [&](const float* x) { return x == p.x || (copy && x == copy); };
    if (out.shared[0] && !is_row(out.shared[0])) return false;
    out.stores_row = false;
    for (size_t k = 0; k < out.count; ++k) {
        RunStep& step = out.steps[k];
        if (!reads_point(step.kind) || source_of_kind(step.kind) != StepSource::Lanes) continue;
        if (!is_row(step.x)) return false;
        if (is_translation(step.kind)) {
            // A subtraction has one operand order: it may as well read the
            // row from the registers the run loaded it into.
            step.kind = static_cast<uint16_t>(with_source(step.kind, StepSource::Shared));
            continue;
        }
        step.x = p.x;
        step.y = p.y;
        step.z = p.z;
        out.stores_row = true;
    }
    out.store_point = false;  // nothing reads P after the program's end
    out.program_instructions = out.instructions + (pc > 0);
    fold_first_into_leaf(out);
    widen_steps(out);
    return true;
}

/// Can a row run read n rows of `view` itself: packed, aligned rows of
/// three floats, and whole vectors of them?
SDF_INLINE bool rows_readable(const PointsView& view, size_t n) {
    const bool aligned = reinterpret_cast<uintptr_t>(view.data) % alignof(float) == 0;
    return aligned && view.col_stride == sizeof(float) && view.row_stride == 3 * sizeof(float) &&
           n % kVectorLanes == 0;
}

}  // namespace block
}  // namespace sdf
