// A shape tree flattened into a straight-line program.
//
// Evaluation then runs one loop over a vector of instructions instead of a
// recursive walk: any tree depth is safe, and the same program can be run
// over one point or over a block of points. Every instruction performs the
// tree's floating-point operations in the same order, so results are
// bit-identical to a direct walk of the tree.
//
// Registers: the current point P and the current distance D. A point stack
// saves P where a node has several children; a value stack holds the
// distances combined so far.
//
// After flattening, common sequences are fused: a leaf or point transform
// may read its point straight from the saved point (instead of a LoadP or
// PopP before it), a leaf may first subtract a translation from its point
// (instead of a Translate before it: P is never read again after a leaf
// without being reloaded), and a leaf may combine its distance into D
// (instead of PushD before its subtree and a UnionNext, IntersectNext or
// DifferenceNext after it). Fusion changes where values are kept, never an
// operation or its order.
#pragma once

#include <cstdint>
#include <vector>

#include "sdf/bounds.hpp"
#include "sdf/node.hpp"

namespace sdf {

enum class Op : uint32_t {
    // leaves: D = distance at P
    Sphere,     // f: center xyz, radius
    Plane,      // f: point xyz, unit normal xyz
    Segment,    // f: a xyz, e = b - a xyz, e.e
    Ray,        // f: origin xyz, unit dir xyz
    Voxel,      // grid
    Const,      // D = f[0] (an empty union or intersection)
    // point transforms
    Translate,  // P = P - v
    ScaleIn,    // P = P / k
    Rotate,     // P = P turned by the conjugate; f: u xyz, s, w + w
    // distance transforms
    MulK,       // D = D * k
    SubR,       // D = D - r
    AddR,       // D = D + r
    Neg,        // D = -D
    // stacks and combinations
    PushP,      // save P
    LoadP,      // P = saved P
    PopP,       // P = saved P, and drop it
    PushD,      // save D
    UnionFirst,        // D = D < +inf ? D : +inf
    IntersectFirst,    // D = D > -inf ? D : -inf
    UnionNext,         // a = pop; D = D < a ? D : a
    IntersectNext,     // a = pop; D = D > a ? D : a
    DifferenceNext,    // a = pop; nb = -D; D = isnan(a) ? nb : (nb > a ? nb : a)
    // pruning of a large union or intersection (see bounds.hpp)
    Prune,      // D = start value; push the children to run; go to the first
    PruneSeeded,  // blocks: after one child ran first, pick the others
    Next,       // end of one child's code: go to the next child to run
    PruneEnd,   // after the last child: drop the marker Prune left
};

struct VoxelGrid;

/// Where a leaf or point transform takes its point from.
enum class Source : uint8_t {
    Registers,   // P
    Saved,       // the saved point on top of the stack
    SavedPop,    // the saved point on top of the stack, which is dropped
};

/// How a leaf's distance v enters D.
enum class Combine : uint8_t {
    Assign,      // D = v
    Union,       // D = v < D ? v : D
    Intersect,   // D = v > D ? v : D
    Difference,  // D = the difference rule of D (first operand) and v
};

struct Instr {
    Op op;
    Source source = Source::Registers;
    Combine combine = Combine::Assign;
    bool translated = false;  // a leaf: evaluate at (point - shift)
    union {
        float f[7];
        const VoxelGrid* grid;
        uint32_t index;  // Prune, PruneSeeded: which of Program::indexes
    };
    float shift[3];
};

struct Program {
    std::vector<Instr> code;
    uint32_t point_depth = 0;  // most points saved at once
    uint32_t value_depth = 0;  // most distances saved at once
    // Pruning: one hierarchy per pruned union or intersection, the most
    // entries its evaluation keeps on the run list at once, and the most
    // children of one of them.
    std::vector<PruneIndex> indexes;
    uint32_t run_depth = 0;
    uint32_t widest_index = 0;
};

/// The run list of pruned lists, shared by both interpreters. A Prune
/// pushes either kRunAll (evaluate every child: the code falls through them
/// in order) or kRunDone, its end position, then the chosen children's
/// start positions, first on top. Next jumps to the position it pops, or
/// falls through under kRunAll; PruneEnd pops the marker.
constexpr uint32_t kRunAll = 0xFFFFFFFFu;
constexpr uint32_t kRunDone = 0xFFFFFFFEu;
constexpr uint32_t kRunSeeded = 0xFFFFFFFDu;

/// Flattens a tree. Throws std::bad_alloc. The program refers to the
/// tree's voxel grids without owning them: it must not outlive the tree.
/// With `prune`, large unions and intersections get a hierarchy and are
/// evaluated through Prune / Next (same results, fewer children run).
Program compile(const SdfNode& root, bool prune = true);

}  // namespace sdf
