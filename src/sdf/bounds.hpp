// Exact pruning of large unions and intersections.
//
// A union folds its children in order, keeping the smaller value and
// skipping NaN; its result is the first (in child order) of the smallest
// non-NaN values. A child whose value at a point is certainly strictly
// greater than that result, or NaN, can never be the one kept, so leaving
// it out changes no bit, provided the children that are evaluated are still
// folded in their order. An intersection is the mirror image:
// intersect(v...) is -union(-v...) bit for bit (same tie and NaN rules).
//
// "Certainly" is decided from bounds computed when the tree is flattened.
// Every child subtree gets, where it can be had, a bound of the form
//
//     s * value(p) in [ |p - c| - rho - E(P),  |p - c| + sigma + E(P) ]
//
// for every point p with |p| <= P (Euclidean norm), with s = +1 or -1, a
// centre c and E(P) = A + B * P covering every rounding of the float
// evaluation. A child with s = +1 in a union (s = -1 in an intersection) is
// "indexed": it sits in a bounding volume hierarchy over its ball c, rho.
// A query over a region R (one point, or the bounding box of a block of
// points) finds T, the least upper bound over R of the children whose upper
// bound holds and that are never NaN, and keeps every indexed child whose
// lower bound over R is not above T, plus every child that is not indexed.
// The interpreters then run the kept children in their original order.
//
// Nothing here knows about the interpreters beyond program positions: a
// candidate is the position of the first instruction of a child's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "sdf/node.hpp"

namespace sdf {

/// One indexed child, packed: its centre as a fraction of its leaf's box
/// (8 bits an axis), and its radius and upper-bound offset as the top 16
/// bits of a float, both rounded up and grown by the centre's rounding
/// (conservative bounds keep pruning exact). The offset is +inf when the
/// child gives no threshold.
struct PruneChild {
    uint32_t pc;  // first instruction of the child's code (its ordinal until resolved)
    uint8_t q[3];
    uint8_t unused;
    uint16_t rho;
    uint16_t sigma;
};
static_assert(sizeof(PruneChild) == 12, "a packed child takes 12 bytes");

/// The packed children of a hierarchy, in storage from malloc, leaf by
/// leaf: the children [first, first + count) of a leaf take the 12 count
/// bytes from 12 first on, field by field (so that a leaf's children are
/// screened side by side, eight lanes at once): every pc (4 bytes each),
/// every q[0], every q[1], every q[2], every unused byte, every rho and
/// every sigma (2 bytes each). kPad zero bytes more at the end let a
/// field of the last leaf be read as eight lanes whatever its count. The
/// builder packs the children over the wider records it sorted (in the
/// same storage) and then shrinks it, so that both never take room at once.
class PackedChildren {
  public:
    static constexpr size_t kPad = 16;
    PackedChildren() = default;
    /// Takes over `storage` (from malloc, at least 12 count + kPad bytes)
    /// holding `count` packed children at its start; zeroes the pad and
    /// shrinks it to them.
    PackedChildren(void* storage, size_t count);
    PackedChildren(PackedChildren&& other) noexcept : data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    PackedChildren& operator=(PackedChildren&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    PackedChildren(const PackedChildren&) = delete;
    PackedChildren& operator=(const PackedChildren&) = delete;
    ~PackedChildren() { std::free(data_); }

    /// The bytes of the leaf whose children start at `first`.
    const unsigned char* leaf_bytes(uint32_t first) const { return data_ + 12 * size_t{first}; }
    size_t size() const { return size_; }

    /// Child j of the leaf [first, first + count).
    static PruneChild get(const unsigned char* leaf, uint32_t count, uint32_t j) {
        PruneChild k;
        std::memcpy(&k.pc, leaf + 4 * j, 4);
        for (int a = 0; a < 3; ++a) k.q[a] = leaf[(4 + a) * count + j];
        k.unused = 0;
        std::memcpy(&k.rho, leaf + 8 * count + 2 * j, 2);
        std::memcpy(&k.sigma, leaf + 10 * count + 2 * j, 2);
        return k;
    }
    static void put(unsigned char* leaf, uint32_t count, uint32_t j, const PruneChild& k) {
        std::memcpy(leaf + 4 * j, &k.pc, 4);
        for (int a = 0; a < 3; ++a) leaf[(4 + a) * count + j] = k.q[a];
        leaf[7 * count + j] = 0;
        std::memcpy(leaf + 8 * count + 2 * j, &k.rho, 2);
        std::memcpy(leaf + 10 * count + 2 * j, &k.sigma, 2);
    }
    /// The pc of child j of the leaf whose children start at `first`.
    uint32_t& pc(uint32_t first, uint32_t j) const {
        return reinterpret_cast<uint32_t*>(data_ + 12 * size_t{first})[j];
    }

  private:
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

/// A node of the hierarchy: a box holding the balls below it and the
/// largest rho below it. Leaves hold children [first, first + count);
/// inner nodes (count == 0) have their two children at first, first + 1.
struct PruneNode {
    float lo[3];
    float hi[3];
    float rho_max;
    uint32_t first;
    uint32_t count;
};

/// The hierarchy of one union or intersection.
struct PruneIndex {
    PackedChildren children;           // in hierarchy order
    std::vector<PruneNode> nodes;      // nodes[0] is the root
    std::vector<uint32_t> always;      // children that are never skipped, ascending
    uint32_t child_count = 0;          // all children, indexed or not
    uint32_t end_pc = 0;               // the instruction after the last child
    double slope = 0;                  // B, the largest over the children
    double max_norm = 0;               // no pruning for regions with |p| beyond this
    float start = 0;                   // +inf for a union, -inf for an intersection
    bool loose = false;                // most children's bounds are wide: worth seeding

    size_t bytes() const;
    /// Calls f(pc) with a reference to every indexed child's pc.
    template <class F>
    void for_each_pc(F f) {
        for (const PruneNode& n : nodes) {
            for (uint32_t j = 0; j < n.count; ++j) f(children.pc(n.first, j));
        }
    }
};

/// Children below this many are always evaluated in full.
constexpr size_t kMinIndexedChildren = 32;

/// Builds the hierarchy of a Union or Intersect node whose list has at
/// least kMinIndexedChildren indexable children; the `pc` of each child and
/// the entries of `always` are child ordinals until the compiler resolves
/// them. Returns false (and leaves `out` empty) when too few children have
/// usable bounds. Throws std::bad_alloc.
bool build_prune_index(const SdfNode& list_node, PruneIndex& out);

/// A region of points at one combination: an axis-aligned box (lo == hi
/// for one point). Any NaN or infinity in it disables pruning.
struct Region {
    float lo[3];
    float hi[3];
};

inline bool is_point(const Region& r) {
    return r.lo[0] == r.hi[0] && r.lo[1] == r.hi[1] && r.lo[2] == r.hi[2];
}

/// The kept children of `index` over `region`, written to `out` (room for
/// index.child_count entries) in ascending program order; returns how many.
/// `scratch` has room for index.child_count doubles, or is null: the walk
/// then needs no memory beyond `out`, at the cost of looking at the
/// children of the leaves it entered twice. Returns SIZE_MAX when
/// nothing can be pruned (every child must run). `threshold`, when given,
/// receives T (the scale of the region's neighbourhood). `start` is an
/// upper bound of the list's normalised value (its value for a union, its
/// negation for an intersection) at every point of the region, known from
/// elsewhere (from evaluating one child there), or +inf.
size_t collect_candidates(const PruneIndex& index, const Region& region, uint32_t* out,
                          double* scratch, double* threshold = nullptr,
                          double start = std::numeric_limits<double>::infinity());

/// As collect_candidates without scratch, into `out` with room for `room`
/// entries only: returns kMoreThanRoom (and leaves out and `threshold` in
/// no particular state) when the walk needs more room than that, which
/// room for index.child_count entries never does. `threshold` receives T.
/// `gap`, when given, receives a lower bound (over the region) of every
/// indexed child left out, or -inf: a nearby point may reuse the choice
/// while the children left out stay certainly above its value. With it,
/// `nearest` receives the child whose upper bound is T (sigma +inf when T
/// came from `start`, or is not known).
/// `exact`, when below `start`, is the list's normalised value at the
/// region of one of its children, evaluated there (ignored unless the
/// region is a point): the children are screened with it as well, while
/// `threshold`, `gap` and `nearest` stay in terms of the bounds, which a
/// nearby point can move to itself.
/// `from`, when given, is where seed_walk left the walk over the same
/// point: it goes on from there (without noting `gap`).
constexpr size_t kMoreThanRoom = SIZE_MAX - 1;
struct ChildBall;
struct WalkPause;
size_t collect_within(const PruneIndex& index, const Region& region, uint32_t* out, size_t room,
                      double& threshold, double start, double* gap = nullptr,
                      ChildBall* nearest = nullptr,
                      double exact = std::numeric_limits<double>::infinity(),
                      const WalkPause* from = nullptr);

/// The indexed child with the least upper bound over the region (its start
/// position), or kNoChild: one worth evaluating first to learn T exactly.
constexpr uint32_t kNoChild = 0xFFFFFFFFu;
uint32_t best_child(const PruneIndex& index, const Region& region);

/// Where a walk over one point stands after its first descent: the
/// nodes passed by (each with its key), and the leaf reached.
struct WalkPause {
    static constexpr int kDepth = 64;  // the walk's own stack
    struct Pending {
        uint32_t node;
        float key;
    };
    Pending stack[kDepth];
    int top;
    uint32_t leaf;
};

/// The first descent of the walk over one point, to its nearest leaf,
/// noted in `pause`; returns the child with the least upper bound in that
/// leaf (its start position), or kNoChild (none there has one, or the
/// point cannot be pruned). Evaluated first, that child gives the rest of
/// the walk (collect_within from `pause`) an exact threshold, mostly near
/// the least one, for no more descent than the walk makes anyway.
uint32_t seed_walk(const PruneIndex& index, const Region& point, WalkPause& pause);

/// An indexed child's bounds, for callers that bin the children in space
/// themselves (the cell lists of batches): over a region of margin M
/// (region_margin), its value is at least |R - c| - rho - M (the distance
/// from the region to c) and at most the farthest distance from the region
/// to c plus sigma + M (none when sigma is +inf).
struct ChildBall {
    double c[3];
    double rho;
    double sigma;
    uint32_t pc;  // the child's start position
};

/// A ChildBall in floats, to bin many children with little memory: the
/// centre rounded to float, and rho and sigma grown by how far that moved
/// it and rounded up, so that both bounds still hold (they only widen).
struct FloatBall {
    float c[3];
    float rho;
    float sigma;
    uint32_t pc;
};

/// The indexed children of `index` in ascending program order.
std::vector<FloatBall> child_balls(const PruneIndex& index);

/// The rounding margin M of the bounds over `region`, or false when the
/// region cannot be pruned (not finite, or too far out).
bool region_margin(const PruneIndex& index, const Region& region, double& margin);

}  // namespace sdf
