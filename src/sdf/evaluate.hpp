// Signed distance of a program at one point, or at the few points of a
// normal's stencil.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

#include "sdf/cpu.hpp"
#include "sdf/fused_steps.hpp"
#include "sdf/poll.hpp"
#include "sdf/program.hpp"
#include "sdf/prune_hook.hpp"
#include "sdf/vec.hpp"

namespace sdf {

/// Evaluates one program at many single points, reusing its stack storage
/// so that repeated evaluations (normals, marches) allocate nothing. It
/// counts the instructions it runs, over all its evaluations, and polls
/// `interrupt` as the count grows (an evaluation may throw Interrupted).
///
/// A point of a small program runs through its fused steps (decoded once,
/// here, unless they are kept with the program), any other through the
/// scalar interpreter. Its result is the
/// batch kernel's to the bit whenever it is a number: both perform the same
/// operations in the same order, and whether a value is NaN, or what a
/// comparison with it gives, never depends on a NaN's sign or payload.
/// Those bits alone depend on the machine code (which operand of a sum
/// the compiler puts first), so a NaN result is computed once more by the
/// batch kernel (`kernel`), over one vector of lanes, as a row of a batch
/// would be: eval and eval_vec then agree on every bit.
class KeptSteps;

class Evaluator {
  public:
    /// Throws std::bad_alloc when the program's stacks do not fit the
    /// built-in storage and cannot be allocated. `kept`, if any, must be
    /// the program's own (KeptSteps::make): its steps are then not decoded
    /// again (it is used with the Best kernel only, the one it was made for).
    explicit Evaluator(const Program& program, Interrupt interrupt = {},
                       KernelChoice kernel = KernelChoice::Best,
                       const KeptSteps* kept = nullptr);
    // The stack pointers may point into this object's own inline storage,
    // so a copy or a moved-to evaluator would read another object's frame.
    Evaluator(const Evaluator&) = delete;
    Evaluator& operator=(const Evaluator&) = delete;
    /// The distance at p. (Inline: every sample of a march comes here.)
    float operator()(Vec3 p) const {
        if (steps_.count != 0) {
            const float d = run_steps(steps_, p);
            polls_.count(steps_.work);
            if (d == d) return d;
        }
        return off_steps(p);
    }
    /// out[i] = the distance at points[i], for n <= 8 points (a normal's
    /// stencil); NaN results are computed in one vector of lanes.
    void operator()(const Vec3* points, size_t n, float* out) const;
    const Program& program() const { return program_; }

  private:
    template <bool Prunes>
    float run(Vec3 p) const;
    float scalar(Vec3 p) const;
    float interpreted(Vec3 p) const;
    /// operator() for a program the interpreter runs, or for a NaN of the
    /// steps (whose bits the lanes give).
    float off_steps(Vec3 p) const;
    void in_lanes(const Vec3* points, size_t n, float* out) const;
    static constexpr unsigned kInline = 32;
    const Program& program_;
    std::unique_ptr<Vec3[]> heap_points_;
    std::unique_ptr<float[]> heap_values_;
    mutable Vec3 inline_points_[kInline];
    mutable float inline_values_[kInline];
    Vec3* points_;
    float* values_;
    PointPruner pruner_;  // pruning's run list and reused choices
    mutable PollCounter polls_;
    KernelChoice kernel_;
    // The lanes of a large program, made at its first NaN result.
    mutable std::unique_ptr<float[]> lanes_;
    StepList steps_;  // no steps: the interpreter runs the program
    Step own_steps_[StepList::kStorage];  // steps_'s, unless they are kept
};

static_assert(!std::is_copy_constructible_v<Evaluator> && !std::is_move_constructible_v<Evaluator>,
              "an Evaluator refers to its own storage and must stay where it was made");

/// A program's fused steps decoded once, to keep beside the program for
/// its evaluators (a march decodes no more). Read only once made: safe to
/// share between threads.
class KeptSteps {
  public:
    /// The steps of `program`, or null when the steps cannot run it, or
    /// when keeping them would take more memory than the program's code
    /// (so that what is kept never outgrows the program, nor its tree).
    static std::unique_ptr<const KeptSteps> make(const Program& program);
    const StepList& list() const { return list_; }

  private:
    KeptSteps() = default;
    StepList list_;
    std::unique_ptr<Step[]> steps_;
};

/// One-off evaluation: the distance of the program at p (`kept`: its
/// kept steps, if any).
float evaluate(const Program& program, Vec3 p, Interrupt interrupt = {},
               const KeptSteps* kept = nullptr);

}  // namespace sdf
