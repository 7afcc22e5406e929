// Decoding a program into fused steps, and running them at one point.
#include "sdf/fused_steps.hpp"

#include "sdf/chains.hpp"
#include "sdf/cpu.hpp"
#include "sdf/poll.hpp"
#include "sdf/primitives.hpp"

namespace sdf {
namespace {

using block::is_distance_op;
using block::is_point_transform;

// --- step kinds ------------------------------------------------------------
//
// A step's kind picks its code in the steps' loop (step_loop.inc): one
// instruction run alone, a chain of point transforms, or a leaf step, whose
// code is specialised per leaf, fold, the form of the distance operation
// after it, where its point is (see From), and whether it carries a
// translation of its own: every test a step would make is made once, when
// decoding.

constexpr uint16_t kEnd = 0;  // after the last step: the loop needs no other end test
constexpr uint16_t kSingle = 1;
constexpr uint16_t kFirstChainKind = 2;
constexpr unsigned kFolds = 6;

/// A chain step's transforms: one (Translate, ScaleIn, Rotate), two (the
/// nine pairs, first * 3 + second after the three singles), or any number
/// in a loop over the instructions.
constexpr unsigned kPairShapes = 3;
constexpr unsigned kLoopShape = kPairShapes + 9;
constexpr unsigned kChainShapes = kLoopShape + 1;

/// Where a step's point is: in a saved point's slot, or the evaluated
/// point or P, both kept in registers.
enum class From : uint8_t { Slot, Entry, P };
constexpr unsigned kFroms = 3;

/// The kind of a chain step of shape `shape` that reads its point `from`.
constexpr uint16_t chain_kind(unsigned shape, From from) {
    return static_cast<uint16_t>(kFirstChainKind + shape * kFroms + static_cast<unsigned>(from));
}

constexpr uint16_t kFirstLeafKind = chain_kind(kChainShapes, From::Slot);

/// The distance operation after a leaf: none, a product (MulK, Neg) or a
/// difference (SubR, AddR); see post_value.
enum class Post : uint8_t { None, Mul, Sub };
constexpr unsigned kPosts = 3;

/// The kind of a step with a formula leaf, fold, distance operation, the
/// point it reads, a translation of its own or not.
constexpr uint16_t leaf_kind(Op leaf, Fold fold, Post post, From from, bool translated) {
    return static_cast<uint16_t>(
        kFirstLeafKind +
        (((static_cast<unsigned>(leaf) * kFolds + static_cast<unsigned>(fold)) * kPosts +
          static_cast<unsigned>(post)) * kFroms + static_cast<unsigned>(from)) * 2 +
        translated);
}

/// The same leaf step (of a kind reading a slot) reading its point `from`.
constexpr uint16_t leaf_from(uint16_t leaf, From from) {
    return static_cast<uint16_t>(leaf + static_cast<unsigned>(from) * 2);
}

// --- running ---------------------------------------------------------------
//
// Without jumps (no pruning), the depth of both stacks at each instruction
// is known when decoding: a saved point or distance lives in a fixed slot,
// which the step names, instead of behind a moving stack pointer (see
// kPointSlot for the points' slots).

/// Runs n >= 1 point transforms from `at`, leaving `at` after them.
SDF_INLINE Vec3 transform_chain(const Word*& at, unsigned n, Vec3 q) {
    do {
        const Head head = at->head;
        const float* f = &at[1].f;
        if (head.op == Op::Translate) {
            q = q - vec_at(f);
        } else if (head.op == Op::ScaleIn) {
            q = scale_point(f, q);
        } else {
            q = rotate_point(f, q);
        }
        at += head.words;
    } while (--n != 0);
    return q;
}

/// The transform of index i in a chain's shape (see kLoopShape).
constexpr Op shape_op(unsigned i) { return i == 0 ? Op::Translate : i == 1 ? Op::ScaleIn : Op::Rotate; }

/// The index of a transform in a chain's shape.
unsigned shape_index(Op op) { return op == Op::Translate ? 0 : op == Op::ScaleIn ? 1 : 2; }

/// One point transform T with its parameters at f.
template <Op T>
SDF_INLINE Vec3 transform_point(const float* f, Vec3 q) {
    if constexpr (T == Op::Translate) return q - vec_at(f);
    if constexpr (T == Op::ScaleIn) return scale_point(f, q);
    if constexpr (T == Op::Rotate) return rotate_point(f, q);
}

/// The transforms of a chain of shape Shape from `at`, in straight-line
/// code for one or two of them (whose lengths decoding checked), in the
/// loop otherwise.
template <unsigned Shape>
SDF_INLINE Vec3 chain_value(const Word* at, unsigned n, Vec3 q) {
    if constexpr (Shape == kLoopShape) {
        return transform_chain(at, n, q);
    } else if constexpr (Shape < kPairShapes) {
        (void)n;
        return transform_point<shape_op(Shape)>(&at[1].f, q);
    } else {
        (void)n;
        constexpr Op first = shape_op((Shape - kPairShapes) / 3);
        constexpr Op second = shape_op((Shape - kPairShapes) % 3);
        q = transform_point<first>(&at[1].f, q);
        return transform_point<second>(&at[2 + op_params(first)].f, q);
    }
}

template <Op L>
SDF_INLINE float leaf_value(const float* f, Vec3 q) {
    if constexpr (L == Op::Sphere) return sphere_distance(f, q);
    if constexpr (L == Op::Plane) return plane_distance(f, q);
    if constexpr (L == Op::Segment) return segment_distance(f, q);
    if constexpr (L == Op::Ray) return ray_distance(f, q);
}

/// A distance operation as v * mul or v - sub, which give each one's bits
/// whenever v is a number: -v is v * -1, and x + y is x - -y, so
///   MulK k = v * k, Neg = v * -1, SubR r = v - r, AddR r = v - -r.
/// (Two forms for the four: fewer kinds of step, and no operation that
/// does nothing, such as a product by 1, lengthens a sample's chain.)
template <Post P>
SDF_INLINE float post_value(float v, float mul, float sub) {
    if constexpr (P == Post::Mul) return v * mul;
    if constexpr (P == Post::Sub) return v - sub;
    return v;
}

Post set_post(Op op, float k, Step& s) {
    s.mul = op == Op::MulK ? k : -1.0f;
    s.sub = op == Op::SubR ? k : -k;
    return op == Op::MulK || op == Op::Neg ? Post::Mul : Post::Sub;
}

/// The point slots: the evaluated point, P once it has moved from there,
/// then the saved points. Neither of the first two is in memory: the
/// evaluated point `entry` and P are kept in registers (a copy in memory
/// would add a store and a load to the path of every sample), so the
/// array's first two entries are never used.
constexpr unsigned kEntrySlot = 0;
constexpr unsigned kPointSlot = 1;
constexpr unsigned kFirstSavedSlot = 2;
constexpr unsigned kPointSlots = kFirstSavedSlot + StepList::kMaxSaved;

/// A point slot in memory, at its byte offset.
SDF_INLINE Vec3& slot_at(Vec3* slots, uint8_t offset) {
    return *reinterpret_cast<Vec3*>(reinterpret_cast<char*>(slots) + offset);
}

/// The byte offset of point slot i.
constexpr uint8_t point_slot(unsigned i) { return static_cast<uint8_t>(i * sizeof(Vec3)); }

static_assert(kPointSlots * sizeof(Vec3) <= 256, "a slot's offset fits a byte");

/// The point in the slot at `offset`, wherever it is. (A leaf or chain
/// step's kind says where its point is: see step_point.)
SDF_INLINE Vec3 read_slot(Vec3* slots, uint8_t offset, Vec3 entry, Vec3 p) {
    if (offset == point_slot(kEntrySlot)) return entry;
    if (offset == point_slot(kPointSlot)) return p;
    return slot_at(slots, offset);
}

template <Fold F>
SDF_INLINE float fold_value(float d, float v) {
    if constexpr (F == Fold::Assign) return v;
    if constexpr (F == Fold::Union) return combine_distance(Combine::Union, d, v);
    if constexpr (F == Fold::Intersect) return combine_distance(Combine::Intersect, d, v);
    if constexpr (F == Fold::Difference) return combine_distance(Combine::Difference, d, v);
    if constexpr (F == Fold::UnionFirst) return union_first(v);
    if constexpr (F == Fold::IntersectFirst) return intersect_first(v);
}

/// The point a step reads, from where decoding found it.
template <From R>
SDF_INLINE Vec3 step_point(const Step& s, Vec3* slots, Vec3 entry, Vec3 p) {
    if constexpr (R == From::Entry) return entry;
    if constexpr (R == From::P) return p;
    if constexpr (R == From::Slot) return slot_at(slots, s.slot);
}

/// A leaf step: the leaf at its point less its own translation (if
/// Translated), the distance operation, the fold into d.
template <Op L, Fold F, Post P, From R, bool Translated>
SDF_INLINE float leaf_step(const Step& s, Vec3* slots, Vec3 entry, Vec3 p, float d) {
    Vec3 q = step_point<R>(s, slots, entry, p);
    const float* f = &s.at[1].f;
    if constexpr (Translated) q = q - vec_at(f + op_params(L));
    return fold_value<F>(d, post_value<P>(leaf_value<L>(f, q), s.mul, s.sub));
}

/// A chain step: its transforms of its point, which they leave in P, as
/// the instructions do.
template <unsigned Shape, From R>
SDF_INLINE Vec3 chain_step(const Step& s, Vec3* slots, Vec3 entry, Vec3 p) {
    return chain_value<Shape>(s.at, s.transforms, step_point<R>(s, slots, entry, p));
}

/// A voxel leaf, with its combine: the trilinear read costs far more than
/// a step's dispatch, so it is not specialised.
float voxel_leaf(const Word* at, Vec3 q, float d) {
    const Head head = at->head;
    const float* f = &at[1].f;
    if (head.translated()) q = q - vec_at(f + op_params(Op::Voxel));
    return combine_distance(head.combine(), d, sample_trilinear(*grid_at(f), q));
}

/// An instruction that is not part of a chain, run as the interpreter
/// runs it, with its stack slot from the step.
SDF_INLINE float single_op(const Step& s, Vec3* slots, Vec3 entry, Vec3& p, float* saved,
                           float d) {
    const Word* at = s.at;
    const float k = at[1].f;  // every program ends in zero words: always readable
    switch (at->head.op) {
        case Op::Const: return k;
        case Op::MulK: return distance_op<Op::MulK>(d, k);
        case Op::SubR: return distance_op<Op::SubR>(d, k);
        case Op::AddR: return distance_op<Op::AddR>(d, k);
        case Op::Neg: return distance_op<Op::Neg>(d, k);
        case Op::PushP: slot_at(slots, s.slot) = p; return d;
        case Op::LoadP:
        case Op::PopP: p = slot_at(slots, s.slot); return d;
        case Op::PushD: saved[s.slot] = d; return d;
        case Op::UnionFirst: return union_first(d);
        case Op::IntersectFirst: return intersect_first(d);
        case Op::Voxel:
            return voxel_leaf(at, read_slot(slots, s.slot, entry, p), d);
        default: return combine_distance(combine_of_next(at->head.op), saved[s.slot], d);
    }
}

// --- decoding --------------------------------------------------------------

/// Ops that a single step runs (the rest of a chain is in leaf and
/// transform steps; any other op leaves the program to the interpreter).
bool is_single_op(Op op) {
    switch (op) {
        case Op::Const:
        case Op::PushP:
        case Op::LoadP:
        case Op::PopP:
        case Op::PushD:
        case Op::UnionFirst:
        case Op::IntersectFirst:
        case Op::UnionNext:
        case Op::IntersectNext:
        case Op::DifferenceNext:
        case Op::Voxel: return true;
        default: return is_distance_op(op);
    }
}

/// The shape of a chain of n transforms from `at` (see kLoopShape): one
/// or two of the usual length run straight, any others in the loop.
unsigned chain_shape(const Word* at, unsigned n) {
    const auto usual = [](const Word& w) { return w.head.words == 1 + op_params(w.head.op); };
    if (n == 1 && usual(at[0])) return shape_index(at[0].head.op);
    if (n == 2 && usual(at[0])) {
        const Word& second = at[at[0].head.words];
        if (usual(second)) {
            return kPairShapes + 3 * shape_index(at[0].head.op) + shape_index(second.head.op);
        }
    }
    return kLoopShape;
}

bool is_next(Op op) {
    return op == Op::UnionNext || op == Op::IntersectNext || op == Op::DifferenceNext;
}

Fold fold_of(Combine how) {
    switch (how) {
        case Combine::Union: return Fold::Union;
        case Combine::Intersect: return Fold::Intersect;
        case Combine::Difference: return Fold::Difference;
        default: return Fold::Assign;
    }
}

/// Reads the chain at `pc`: point transforms (the first from any source,
/// the others from P) and a formula leaf reading P after them, its
/// distance operation and fold. After a PushD (`folds_saved`), the chain
/// must end in the fold that pops it. Returns the position after the
/// chain, or 0 when there is none there. Without a leaf, the transforms
/// alone make a step. `s` gets the transforms' count and the leaf's kind
/// (reading its slot; kNoLeaf without one), `leaf_at` where the leaf is.
/// (The slot is the caller's, and so is the split into the transforms'
/// step and the leaf's.)
constexpr uint16_t kNoLeaf = 0xFFFF;

size_t match_chain(const Word* code, size_t pc, size_t end, bool folds_saved, Step& s,
                   size_t& leaf_at) {
    size_t at = pc;
    unsigned transforms = 0;
    while (at < end && is_point_transform(code[at].head.op) && transforms < 255 &&
           (transforms == 0 || code[at].head.source == Source::Registers)) {
        at += code[at].head.words;
        ++transforms;
    }
    s = Step{kNoLeaf, 0, static_cast<uint8_t>(transforms), 1.0f, 0.0f, code + pc};
    leaf_at = at;
    const bool has_leaf = at < end && block::is_formula_leaf(code[at].head.op) &&
                          (transforms == 0 || code[at].head.source == Source::Registers);
    if (!has_leaf) return folds_saved || transforms == 0 ? 0 : at;
    const Head leaf = code[at].head;
    size_t next = at + leaf.words;
    Post post = Post::None;
    if (leaf.combine() == Combine::Assign && next < end && is_distance_op(code[next].head.op)) {
        post = set_post(code[next].head.op, code[next + 1].f, s);
        next += code[next].head.words;
    }
    Fold fold = fold_of(leaf.combine());
    const Op after = next < end ? code[next].head.op : Op::Skip;
    if (folds_saved) {
        if (leaf.combine() != Combine::Assign || !is_next(after)) return 0;
        fold = fold_of(combine_of_next(after));
        next += code[next].head.words;
    } else if (leaf.combine() == Combine::Assign &&
               (after == Op::UnionFirst || after == Op::IntersectFirst)) {
        fold = after == Op::UnionFirst ? Fold::UnionFirst : Fold::IntersectFirst;
        next += code[next].head.words;
    }
    s.kind = leaf_kind(leaf.op, fold, post, From::Slot, leaf.translated());
    return next;
}

/// Decoding state: where the instructions are, how deep both stacks are
/// at the current one and where each saved point and P are. A point saved
/// or reloaded while it is still the evaluated point itself needs no copy:
/// it stays in the entry slot, which nothing writes.
struct Decoder {
    const Word* code;
    size_t end;
    uint8_t p_at = point_slot(kEntrySlot);
    uint8_t saved_at[StepList::kMaxSaved] = {};
    unsigned points = 0;  // saved points
    unsigned values = 0;  // saved distances

    /// The slot of the point an instruction with source `source` reads,
    /// popping it for SavedPop; false if there is none to read.
    bool read_point(Source source, uint8_t& slot) {
        if (source == Source::Registers) {
            slot = p_at;
            return true;
        }
        if (points == 0) return false;
        slot = saved_at[points - 1];
        if (source == Source::SavedPop) --points;
        return true;
    }

    /// The slot of a single instruction, moving the depths as it does;
    /// false when no step runs it. `needed` is false for a move of the
    /// entry point, which is only noted.
    bool single_slot(const Head head, uint8_t& slot, bool& needed) {
        needed = true;
        switch (head.op) {
            case Op::PushP:
                if (points == StepList::kMaxSaved) return false;
                needed = p_at != point_slot(kEntrySlot);
                slot = needed ? point_slot(kFirstSavedSlot + points) : p_at;
                saved_at[points++] = slot;
                return true;
            case Op::LoadP:
            case Op::PopP:
                if (!read_point(head.op == Op::LoadP ? Source::Saved : Source::SavedPop, slot)) {
                    return false;
                }
                needed = slot != point_slot(kEntrySlot);
                p_at = needed ? point_slot(kPointSlot) : slot;
                return true;
            case Op::Voxel: return read_point(head.source, slot);
            case Op::PushD:
                if (values == StepList::kMaxSaved) return false;
                slot = static_cast<uint8_t>(values++);
                return true;
            case Op::UnionNext:
            case Op::IntersectNext:
            case Op::DifferenceNext:
                if (values == 0) return false;
                slot = static_cast<uint8_t>(--values);
                return true;
            default: slot = 0; return true;
        }
    }

    /// Decodes the steps of the instructions at `pc` into out: a single
    /// instruction's, or a chain's (its transforms' step, its leaf's, or
    /// both); `made` of them (none for an instruction that needs no step).
    /// Returns the position after them, or 0 when no step runs the
    /// instruction there.
    size_t step(size_t pc, Step (&out)[2], unsigned& made) {
        const Head head = code[pc].head;
        made = 0;
        size_t next = 0;
        Step s;
        size_t leaf_at = 0;
        if (head.op == Op::PushD) {
            next = match_chain(code, pc + 1, end, true, s, leaf_at);
        } else if (is_point_transform(head.op) || block::is_formula_leaf(head.op)) {
            next = match_chain(code, pc, end, false, s, leaf_at);
        }
        if (next != 0) {
            const Source source = head.op == Op::PushD ? code[pc + 1].head.source : head.source;
            if (!read_point(source, s.slot)) return 0;
            From from = s.slot == point_slot(kEntrySlot)   ? From::Entry
                        : s.slot == point_slot(kPointSlot) ? From::P
                                                           : From::Slot;
            if (s.transforms != 0) {
                out[made] = s;
                out[made].kind = chain_kind(chain_shape(s.at, s.transforms), from);
                out[made].mul = 1.0f;
                out[made].sub = 0.0f;
                ++made;
                p_at = point_slot(kPointSlot);
                from = From::P;
            }
            if (s.kind != kNoLeaf) {
                out[made] = s;
                out[made].transforms = 0;
                out[made].at = code + leaf_at;
                out[made].kind = leaf_from(s.kind, from);
                ++made;
            }
            return next;
        }
        if (!is_single_op(head.op)) return 0;
        out[0] = Step{kSingle, 0, 0, 1.0f, 0.0f, code + pc};
        bool needed;
        if (!single_slot(head, out[0].slot, needed)) return 0;
        made = needed;
        return pc + head.words;
    }
};

// Every kind of chain and leaf step, in the order of their kinds: X(kind,
// label, step) for each, `step` the code of the step's case.
#define SDF_TRANSLATED_STEPS(X, L, F, D, R)                                                   \
    X(leaf_kind(Op::L, Fold::F, Post::D, From::R, false), leaf_##L##_##F##_##D##_##R##_0,      \
      (d = leaf_step<Op::L, Fold::F, Post::D, From::R, false>(*s, slots, entry, p, d)))        \
    X(leaf_kind(Op::L, Fold::F, Post::D, From::R, true), leaf_##L##_##F##_##D##_##R##_1,       \
      (d = leaf_step<Op::L, Fold::F, Post::D, From::R, true>(*s, slots, entry, p, d)))
#define SDF_READ_STEPS(X, L, F, D) \
    SDF_TRANSLATED_STEPS(X, L, F, D, Slot) SDF_TRANSLATED_STEPS(X, L, F, D, Entry) SDF_TRANSLATED_STEPS(X, L, F, D, P)
#define SDF_FOLD_STEPS(X, L, F) \
    SDF_READ_STEPS(X, L, F, None) SDF_READ_STEPS(X, L, F, Mul) SDF_READ_STEPS(X, L, F, Sub)
#define SDF_LEAF_STEPS(X, L)                                                                  \
    SDF_FOLD_STEPS(X, L, Assign) SDF_FOLD_STEPS(X, L, Union) SDF_FOLD_STEPS(X, L, Intersect)  \
    SDF_FOLD_STEPS(X, L, Difference) SDF_FOLD_STEPS(X, L, UnionFirst)                        \
    SDF_FOLD_STEPS(X, L, IntersectFirst)
#define SDF_CHAIN_STEP(X, S, R) \
    X(chain_kind(S, From::R), chain_##S##_##R, (p = chain_step<S, From::R>(*s, slots, entry, p)))
#define SDF_CHAIN_STEPS(X, S) SDF_CHAIN_STEP(X, S, Slot) SDF_CHAIN_STEP(X, S, Entry) SDF_CHAIN_STEP(X, S, P)
#define SDF_ALL_STEPS(X)                                                                      \
    SDF_CHAIN_STEPS(X, 0) SDF_CHAIN_STEPS(X, 1) SDF_CHAIN_STEPS(X, 2) SDF_CHAIN_STEPS(X, 3)  \
    SDF_CHAIN_STEPS(X, 4) SDF_CHAIN_STEPS(X, 5) SDF_CHAIN_STEPS(X, 6) SDF_CHAIN_STEPS(X, 7)  \
    SDF_CHAIN_STEPS(X, 8) SDF_CHAIN_STEPS(X, 9) SDF_CHAIN_STEPS(X, 10)                       \
    SDF_CHAIN_STEPS(X, 11) SDF_CHAIN_STEPS(X, 12)                                            \
    SDF_LEAF_STEPS(X, Sphere) SDF_LEAF_STEPS(X, Plane) SDF_LEAF_STEPS(X, Segment)            \
    SDF_LEAF_STEPS(X, Ray)

static_assert(kChainShapes == 13, "SDF_ALL_STEPS has the steps of each chain shape");
static_assert(kFirstChainKind == kSingle + 1 && kSingle == kEnd + 1, "the kinds' order");

#define SDF_KIND_OF(kind, label, step) kind,
/// The kinds of SDF_ALL_STEPS, which must be in order with nothing left
/// out, for the table of labels that runs them (see run_list).
constexpr uint16_t kStepKinds[] = {SDF_ALL_STEPS(SDF_KIND_OF)};
#undef SDF_KIND_OF

constexpr bool kinds_in_order() {
    for (size_t i = 0; i < sizeof kStepKinds / sizeof kStepKinds[0]; ++i) {
        if (kStepKinds[i] != kFirstChainKind + i) return false;
    }
    return true;
}
static_assert(kinds_in_order(), "SDF_ALL_STEPS lists every kind in order");
static_assert(kFirstChainKind + sizeof kStepKinds / sizeof kStepKinds[0] ==
                  leaf_kind(Op::Ray, Fold::IntersectFirst, Post::Sub, From::P, true) + 1,
              "SDF_ALL_STEPS lists every kind");

#if defined(__GNUC__) || defined(__clang__)
// Each step jumps straight to the next one's code, through a table of the
// labels of the steps' code (a compiler extension): one indirect jump a
// step, and no jump back to a shared dispatch.
#define SDF_THREADED_STEPS 1
#endif

#define SDF_LABEL_OF(kind, label, step) &&label,
#define SDF_LABELLED_STEP(kind, label, step) \
    label:                                   \
    step;                                    \
    SDF_NEXT_STEP;
#define SDF_CASE_STEP(kind, label, step) \
    case kind:                           \
        step;                            \
        break;

namespace baseline {
#include "sdf/step_loop.inc"
}  // namespace baseline

#ifdef SDF_HAVE_AVX2_KERNELS
// The same code with VEX encodings: three-operand arithmetic saves the
// register copies that two-operand SSE needs (the operations are the same,
// and no fused multiply-add is enabled).
SDF_AVX2_BEGIN
namespace avx2 {
#include "sdf/step_loop.inc"
}  // namespace avx2
SDF_AVX2_END
#endif

#undef SDF_LABEL_OF
#undef SDF_LABELLED_STEP
#undef SDF_CASE_STEP

}  // namespace

#undef SDF_ALL_STEPS
#undef SDF_CHAIN_STEPS
#undef SDF_CHAIN_STEP
#undef SDF_LEAF_STEPS
#undef SDF_FOLD_STEPS
#undef SDF_READ_STEPS
#undef SDF_TRANSLATED_STEPS

bool decode_steps(const Program& program, uint64_t call_work, KernelChoice kernel,
                  Step (&storage)[StepList::kStorage], StepList& out) {
    out.steps = storage;
    out.count = 0;
    out.run = baseline::run_list;
#ifdef SDF_HAVE_AVX2_KERNELS
    if (use_avx2(kernel)) out.run = avx2::run_list;
#endif
    if (!program.indexes.empty()) return false;
    Decoder decoder{program.code.data(), program.words};
    uint64_t work = call_work + program.instructions;
    unsigned n = 0;
    for (size_t pc = 0; pc < program.words;) {
        if (program.code[pc].head.op == Op::Voxel) work += kVoxelWork;
        Step made_steps[2];
        unsigned made;
        pc = decoder.step(pc, made_steps, made);
        if (pc == 0 || n + made > StepList::kMaxSteps) return false;
        for (unsigned i = 0; i < made; ++i) storage[n++] = made_steps[i];
    }
    storage[n] = Step{kEnd, 0, 0, 1.0f, 0.0f, program.code.data() + program.words};
    out.count = n;
    out.work = work;
    return true;
}

}  // namespace sdf
