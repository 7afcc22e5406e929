// Signed distance of a program at one point, or at the few points of a
// normal's stencil.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

#include "sdf/block_lanes.hpp"
#include "sdf/cpu.hpp"
#include "sdf/poll.hpp"
#include "sdf/program.hpp"
#include "sdf/prune_hook.hpp"
#include "sdf/vec.hpp"

namespace sdf {

/// Evaluates one program at many single points, reusing its storage so
/// that repeated evaluations (normals, marches) allocate nothing. A point
/// runs through the batch kernel itself, in one vector of lanes: the very
/// machine code a row of a batch runs through, so that both give the same
/// bits, NaN signs and payloads included, and a point gets the batch's
/// fused chains too. Pruned lists choose their children by the point's own
/// walk (PointPruner), seeded by the previous point. The evaluator counts
/// the work it does, over all its evaluations, and polls `interrupt` as the
/// count grows (an evaluation may throw Interrupted).
class Evaluator {
  public:
    /// Throws std::bad_alloc when the program's lanes do not fit the
    /// built-in storage and cannot be allocated.
    explicit Evaluator(const Program& program, Interrupt interrupt = {},
                       KernelChoice kernel = KernelChoice::Best);
    // The lanes may point into this object's own inline storage, so a
    // copy or a moved-to evaluator would read another object's frame.
    Evaluator(const Evaluator&) = delete;
    Evaluator& operator=(const Evaluator&) = delete;
    float operator()(Vec3 p) const;
    /// out[i] = the distance at points[i], for n <= kVectorLanes points:
    /// one pass over one vector when the program prunes nothing (the lanes
    /// of one point never depend on another's), else one point at a time.
    void operator()(const Vec3* points, size_t n, float* out) const;
    const Program& program() const { return program_; }

  private:
    void run(const Vec3* points, size_t n) const;
    // Room for a program with a few dozen saved points and values: every
    // small query runs without touching the heap.
    static constexpr size_t kInlineFloats = 1024;
    const Program& program_;
    block::LaneKernel kernel_;
    std::unique_ptr<float[]> heap_;
    alignas(32) mutable float inline_[kInlineFloats];
    PointPruner pruner_;  // pruning's run list and reused choices
    mutable PollCounter polls_;
    block::BlockState state_;  // points into the storage above
};

static_assert(!std::is_copy_constructible_v<Evaluator> && !std::is_move_constructible_v<Evaluator>,
              "an Evaluator refers to its own storage and must stay where it was made");

/// One-off evaluation: the distance of the program at p.
float evaluate(const Program& program, Vec3 p, Interrupt interrupt = {});

}  // namespace sdf
