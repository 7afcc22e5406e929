// Single points through fused steps: a small program decoded once into a
// short list of steps, each of which runs a whole chain of instructions
// (the point transforms before a leaf, the leaf, an operation on its
// distance and the fold into D) as one piece of straight-line code.
//
// The interpreter pays a dispatch, a decode of the head and its point
// source for every instruction; a march or a normal evaluates the same
// program many times, so decoding the chains once pays for itself (a
// single evaluation does only where the steps are kept with the program:
// see KeptSteps and evaluate()). Each step performs the
// instructions' own operations in their order, through the same inline
// functions (a distance operation in a form with the same bits, see
// post_value), so the values are the interpreter's to the bit (see
// run_steps for where a NaN's bits may differ).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdf/cpu.hpp"
#include "sdf/program.hpp"
#include "sdf/vec.hpp"

namespace sdf {

/// How a step's distance v enters D: the leaf's combine, the fold after a
/// PushD (same rule), or the first child of a union or intersection.
enum class Fold : uint8_t { Assign, Union, Intersect, Difference, UnionFirst, IntersectFirst };

/// One fused step. `at` is the step's first instruction in the program.
/// A chain step runs the `transforms` point transforms from `at` (the
/// first reading the point in the slot at byte offset `slot`, see
/// run_steps, the others P) into P. A leaf step reads the point in its
/// slot (P after a chain step), runs the leaf at `at`, then the optional
/// operation on its distance v, as v * mul - sub, then the fold. A single
/// instruction's step keeps the slot it reads or writes there.
struct Step {
    uint16_t kind;       // see fused_steps.cpp: a single op, a chain, or a leaf
    uint8_t slot;        // where the point (or saved distance) it reads is
    uint8_t transforms;  // a chain step's point transforms
    float mul, sub;      // the distance operation
    const Word* at;
};

/// The decoded steps of one program, in storage of the caller's (at most
/// kMaxSteps, then the end step that stops the loop): a program that needs more, or more saved points or
/// distances than run_steps keeps, or has an instruction no step runs
/// (pruning), is left to the interpreter (`count` 0).
struct StepList {
    static constexpr unsigned kMaxSteps = 64;
    static constexpr unsigned kStorage = kMaxSteps + 1;  // with the end step
    static constexpr unsigned kMaxSaved = 16;
    const Step* steps = nullptr;
    uint32_t count = 0;  // not counting the end step
    // The work the interpreter would count for one evaluation (its
    // instructions, the voxel samples' extra, the call).
    uint64_t work = 0;
    // The steps' loop, built for the instruction set decoding chose.
    // (The point comes as three floats: three registers, where a Vec3
    // argument may pass through memory on the way.)
    float (*run)(const StepList& list, float x, float y, float z) = nullptr;
};

/// Decodes `program` into `out`, its steps into `storage`, to run with the
/// build `kernel` picks; false (and out.count 0) when the steps cannot run
/// it. `call_work` is what one evaluation adds to the work besides its
/// instructions.
bool decode_steps(const Program& program, uint64_t call_work, KernelChoice kernel,
                  Step (&storage)[StepList::kStorage], StepList& out);

/// The distance at p. A non-NaN result is the interpreter's to the bit,
/// and a NaN result comes out NaN (its sign and payload may differ: the
/// Evaluator recomputes NaN results anyway).
inline float run_steps(const StepList& list, Vec3 p) { return list.run(list, p.x, p.y, p.z); }

}  // namespace sdf
