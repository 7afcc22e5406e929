// A shape tree flattened into a straight-line program.
//
// Evaluation then runs one loop over the instructions instead of a
// recursive walk: any tree depth is safe, and the same program can be run
// over one point or over a block of points. Instructions are packed words:
// a head (op, source, combine, length) and then only the parameters that
// op needs, so that a program takes about as much memory as its tree. Every instruction performs the
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
#include <cstring>
#include <vector>

#include "sdf/bounds.hpp"
#include "sdf/node.hpp"

namespace sdf {

enum class Op : uint8_t {
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
    PruneEnd,   // after the last child: drop the marker Prune left
    // bare spheres of a pruned list, read from the tree (see item_sphere)
    ItemBase,   // no-op; f: the address of the node of the item after it
    ItemSphere, // D combined with the sphere of its node
    Skip,       // no-op of `words` words: aligns the next ItemBase
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

/// The first word of an instruction. `words` is its whole length: the head,
/// the op's parameters (op_params), then, for a translated leaf, the three
/// coordinates of the translation it subtracts from its point first.
/// `ends_child` marks the last instruction of a pruned list's child: after
/// it, go to the next child to run (see Prune). Combine and the two marks
/// share one byte (plain bits, so that every compiler lays it out alike).
struct Head {
    Op op;
    Source source;
    uint8_t bits;  // combine, then kTranslated, kEndsChild
    uint8_t words;

    static constexpr uint8_t kCombine = 0x0F;
    static constexpr uint8_t kTranslated = 0x10;
    static constexpr uint8_t kEndsChild = 0x20;

    Combine combine() const { return static_cast<Combine>(bits & kCombine); }
    bool translated() const { return (bits & kTranslated) != 0; }
    bool ends_child() const { return (bits & kEndsChild) != 0; }
};

/// One word of a program: a head, a float parameter, or an integer one
/// (the index of a Prune). A voxel grid's pointer fills two words.
union Word {
    Head head;
    float f;
    uint32_t u;
};
static_assert(sizeof(Word) == 4, "a program word is 32 bits");

/// Parameter words of each op.
constexpr uint32_t op_params(Op op) {
    switch (op) {
        case Op::Sphere: return 4;     // center xyz, radius
        case Op::Plane: return 6;      // point xyz, unit normal xyz
        case Op::Segment: return 7;    // a xyz, e = b - a xyz, e.e
        case Op::Ray: return 6;        // origin xyz, unit dir xyz
        case Op::Voxel:                // the grid's address
        case Op::ItemBase: return 2;   // the first item's node
        case Op::Translate: return 3;  // v xyz
        case Op::Rotate: return 5;     // u xyz, s, w + w
        case Op::Const:
        case Op::ScaleIn:
        case Op::MulK:
        case Op::SubR:
        case Op::AddR:
        case Op::Prune:
        case Op::PruneSeeded: return 1;
        default: return 0;
    }
}

/// Most words one instruction takes (a translated segment), and the zero
/// words after a program's end, so that an interpreter may always copy that
/// many words after a head.
constexpr uint32_t kMaxParams = 10;
constexpr uint32_t kMaxWords = 1 + kMaxParams;
constexpr uint32_t kPruneSeededWords = 1 + op_params(Op::PruneSeeded);

/// A pruned list's children that are bare spheres take one word each:
/// an ItemSphere head, whose parameters are its node's in the tree (the
/// program refers to its tree anyway). Items come in groups that start at
/// a multiple of kItemGroup words with an ItemBase holding the address of
/// the node of the group's first item, so that an item finds its node from
/// its own position alone.
constexpr uint32_t kItemGroup = 64;
constexpr uint32_t kItemBaseWords = 1 + op_params(Op::ItemBase);

/// The sphere (centre xyz, radius: a Sphere's parameters) of the ItemSphere
/// at position `at` of `code`.
inline void item_sphere(const Word* code, size_t at, float f[4]) {
    const size_t base = at & ~size_t{kItemGroup - 1};
    const SdfNode* first;
    std::memcpy(&first, code + base + 1, sizeof first);
    const SdfNode& node = first[at - base - kItemBaseWords];
    static_assert(sizeof node.sphere == 4 * sizeof(float), "a sphere is four floats");
    std::memcpy(f, &node.sphere, sizeof node.sphere);
}

struct Program {
    std::vector<Word> code;    // the instructions, then kMaxParams zero words
    uint32_t words = 0;        // where the instructions end
    uint32_t instructions = 0; // how many there are
    uint32_t point_depth = 0;  // most points saved at once
    uint32_t value_depth = 0;  // most distances saved at once
    // Pruning: one hierarchy per pruned union or intersection, the most
    // entries its evaluation keeps on the run list at once, and the most
    // children of one of them.
    std::vector<PruneIndex> indexes;
    uint32_t run_depth = 0;
    uint32_t widest_index = 0;
};

/// A voxel leaf's grid, from its parameter words.
inline const VoxelGrid* grid_at(const float* f) {
    const VoxelGrid* grid;
    std::memcpy(&grid, f, sizeof grid);
    return grid;
}

/// The run list of pruned lists, shared by both interpreters. A Prune
/// pushes either kRunAll (evaluate every child: the code falls through them
/// in order) or kRunDone, its end position, then the chosen children's
/// start positions, first on top. Next jumps to the position it pops, or
/// falls through under kRunAll; PruneEnd pops the marker. (Next is the
/// step after an instruction marked ends_child.)
constexpr uint32_t kRunAll = 0xFFFFFFFFu;
constexpr uint32_t kRunDone = 0xFFFFFFFEu;
constexpr uint32_t kRunSeeded = 0xFFFFFFFDu;

/// Flattens a tree, in two walks: the first sizes the program, the second
/// writes it, so that nothing is copied or grown. Throws std::bad_alloc
/// (also for a program beyond 2^32 words). The program refers to the
/// tree's voxel grids and to the nodes of bare spheres in pruned lists
/// without owning them: it must not outlive the tree, which must not change.
/// With `prune`, large unions and intersections get a hierarchy and are
/// evaluated through Prune / Next (same results, fewer children run).
Program compile(const SdfNode& root, bool prune = true);

}  // namespace sdf
