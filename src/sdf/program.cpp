// Flattening a shape tree into a program, with an explicit work stack.
//
// The compiler walks the tree twice: once to count the words, once to write
// them into storage of exactly that size. Fusion happens as instructions
// are emitted, on the last one held back (`pending_`) and, for a leaf that
// folds into D, on the PushD a few words before it; both walks make the
// same choices, so the count is exact.
#include "sdf/program.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace sdf {
namespace {

/// An instruction before it is written: head and parameters.
struct Instr {
    Op op;
    Source source = Source::Registers;
    Combine combine = Combine::Assign;
    bool translated = false;
    bool ends_child = false;
    float f[kMaxParams] = {};
    uint32_t index = 0;  // Prune, PruneSeeded; Skip: its length

    uint32_t words() const {
        return op == Op::Skip ? index : 1 + op_params(op) + (translated ? 3 : 0);
    }
};

Instr instr(Op op, std::initializer_list<float> values = {}) {
    Instr in{};
    in.op = op;
    std::copy(values.begin(), values.end(), in.f);
    return in;
}

bool is_leaf(Op op) {
    return op == Op::Sphere || op == Op::Plane || op == Op::Segment || op == Op::Ray ||
           op == Op::Voxel;
}

bool takes_point(Op op) {
    return is_leaf(op) || op == Op::Translate || op == Op::ScaleIn || op == Op::Rotate;
}

bool folds(Op op) {
    return op == Op::UnionNext || op == Op::IntersectNext || op == Op::DifferenceNext;
}

Combine combine_of(Op op) {
    switch (op) {
        case Op::UnionNext: return Combine::Union;
        case Op::IntersectNext: return Combine::Intersect;
        default: return Combine::Difference;
    }
}

/// A pending step of the flattening. Lists and differences are one task
/// each that comes back after every child (its `step` counting), so that
/// the work stack grows with the tree's depth, never with its width.
enum class Step : uint8_t { Visit, Emit, List, Pruned, Difference };

struct Task {
    const SdfNode* node;
    uint32_t step;  // List, Pruned: the next child; Difference: 0 or 1
    Op op;          // Emit: what to emit (its parameter in `k`)
    Step what;
    float k;
};

constexpr uint32_t kNone = 0xFFFFFFFFu;

class Compiler {
  public:
    Compiler(bool prune, Program& program) : prune_(prune), prog_(program) {}

    /// One walk; writes when the program's storage is in place.
    void run(const SdfNode& root, bool writing) {
        writing_ = writing;
        size_ = 0;
        count_ = 0;
        points_ = values_ = 0;
        next_index_ = 0;
        run_depth_ = 0;
        has_pending_ = false;
        open_pushd_ = kNone;
        tasks_.clear();
        tasks_.push_back({&root, 0, Op::Sphere, Step::Visit, 0});
        while (!tasks_.empty()) {
            const Task t = tasks_.back();
            tasks_.pop_back();
            switch (t.what) {
                case Step::Visit: visit(t.node); break;
                case Step::Emit: emit(instr(t.op, {t.k})); break;
                case Step::List: list_step(t); break;
                case Step::Pruned: pruned_step(t); break;
                case Step::Difference: difference_step(t); break;
            }
        }
        flush();
    }

    uint64_t size() const { return size_; }
    uint32_t instructions() const { return count_; }

  private:
    // --- emitting, with fusion ------------------------------------------

    SDF_INLINE void emit(const Instr& in) {
        switch (in.op) {
            case Op::PushP: ++points_; break;
            case Op::PopP: --points_; break;
            case Op::PushD: ++values_; break;
            case Op::UnionNext:
            case Op::IntersectNext:
            case Op::DifferenceNext: --values_; break;
            default: break;
        }
        prog_.point_depth = std::max(prog_.point_depth, points_);
        prog_.value_depth = std::max(prog_.value_depth, values_);
        if (has_pending_ && fuse(in)) return;
        flush();
        pending_ = in;
        has_pending_ = true;
    }

    /// Merges `in` into the pending instruction where it can; true if so.
    bool fuse(const Instr& in) {
        Instr& last = pending_;
        // LoadP or PopP, then a leaf or point transform: it reads the saved point.
        if ((last.op == Op::LoadP || last.op == Op::PopP) && takes_point(in.op)) {
            const Source source = last.op == Op::LoadP ? Source::Saved : Source::SavedPop;
            last = in;
            last.source = source;
            return true;
        }
        // Translate, then a leaf reading P: the leaf subtracts the translation.
        if (last.op == Op::Translate && is_leaf(in.op)) {
            const Instr shift = last;
            last = in;
            last.source = shift.source;
            last.translated = true;
            std::copy(shift.f, shift.f + 3, last.f + op_params(in.op));
            return true;
        }
        // PushD, point transforms, a leaf, then a fold: the leaf folds itself.
        if (folds(in.op) && is_leaf(last.op) && last.combine == Combine::Assign &&
            open_pushd_ != kNone) {
            drop_pushd();
            last.combine = combine_of(in.op);
            return true;
        }
        return false;
    }

    /// Removes the PushD at open_pushd_; the point transforms after it move
    /// down one word.
    void drop_pushd() {
        if (writing_) {
            Word* at = prog_.code.data() + open_pushd_;
            std::memmove(at, at + 1, (size_ - open_pushd_ - 1) * sizeof(Word));
        }
        --size_;
        --count_;
        open_pushd_ = kNone;
    }

    void flush() {
        if (!has_pending_) return;
        has_pending_ = false;
        const Instr& in = pending_;
        if (in.op == Op::PushD) {
            open_pushd_ = static_cast<uint32_t>(size_);
        } else if (!(takes_point(in.op) && !is_leaf(in.op))) {
            open_pushd_ = kNone;
        }
        const uint32_t n = in.words();
        if (writing_) write(in, prog_.code.data() + size_);
        size_ += n;
        ++count_;
        if (size_ > kLargest) throw std::bad_alloc();
    }

    static void write(const Instr& in, Word* to) {
        Head head{};
        head.op = in.op;
        head.source = in.source;
        head.words = static_cast<uint8_t>(in.words());
        head.bits = static_cast<uint8_t>(static_cast<uint8_t>(in.combine) |
                                         (in.translated ? Head::kTranslated : 0) |
                                         (in.ends_child ? Head::kEndsChild : 0));
        to[0].head = head;
        const uint32_t params = op_params(in.op);
        if (in.op == Op::Prune || in.op == Op::PruneSeeded) {
            to[1].u = in.index;
        } else if (in.op == Op::Skip) {
            for (uint32_t i = 1; i < in.index; ++i) to[i].u = 0;
        } else if (in.op == Op::ItemBase) {
            std::memcpy(to + 1, in.f, op_params(in.op) * sizeof(Word));  // the address's bits
        } else {
            for (uint32_t i = 0; i < params; ++i) to[1 + i].f = in.f[i];
        }
        if (in.translated) {
            for (uint32_t i = 0; i < 3; ++i) to[1 + params + i].f = in.f[params + i];
        }
    }

    /// The position the next instruction will take, once the pending one
    /// is written (that one never fuses with what follows: see callers).
    uint32_t here() {
        flush();
        return static_cast<uint32_t>(size_);
    }

    // --- the walk ---------------------------------------------------------

    void later(const SdfNode* node, Step what, uint32_t step = 0) {
        tasks_.push_back({node, step, Op::Sphere, what, 0});
    }
    void later_emit(Op op, float k = 0) { tasks_.push_back({nullptr, 0, op, Step::Emit, k}); }

    void visit(const SdfNode* n) {
        switch (n->kind) {
            case Kind::Sphere: {
                const auto& s = n->sphere;
                emit(instr(Op::Sphere, {s.center.x, s.center.y, s.center.z, s.radius}));
                break;
            }
            case Kind::Plane: {
                const auto& p = n->plane;
                emit(instr(Op::Plane, {p.point.x, p.point.y, p.point.z,
                                       p.normal.x, p.normal.y, p.normal.z}));
                break;
            }
            case Kind::Segment: {
                const Vec3 a = n->segment.a;
                const Vec3 e = n->segment.b - a;
                emit(instr(Op::Segment, {a.x, a.y, a.z, e.x, e.y, e.z, dot(e, e)}));
                break;
            }
            case Kind::Ray: {
                const auto& r = n->ray;
                emit(instr(Op::Ray, {r.origin.x, r.origin.y, r.origin.z,
                                     r.dir.x, r.dir.y, r.dir.z}));
                break;
            }
            case Kind::Voxel: {
                Instr in = instr(Op::Voxel);
                std::memcpy(in.f, &n->voxel.grid, sizeof n->voxel.grid);
                emit(in);
                break;
            }
            case Kind::Union:
            case Kind::Intersect:
                if (!visit_pruned(*n)) visit_list(*n);
                break;
            case Kind::Difference:
                // PushP a PushD PopP b DifferenceNext
                emit(instr(Op::PushP));
                later(n, Step::Difference, 0);
                later(n->difference.a, Step::Visit);
                break;
            case Kind::Dilate:
                later_emit(Op::SubR, n->offset.r);
                later(n->offset.child, Step::Visit);
                break;
            case Kind::Erode:
                later_emit(Op::AddR, n->offset.r);
                later(n->offset.child, Step::Visit);
                break;
            case Kind::Scale:
                emit(instr(Op::ScaleIn, {n->scale.k}));
                later_emit(Op::MulK, n->scale.k);
                later(n->scale.child, Step::Visit);
                break;
            case Kind::Translate: {
                const Vec3 v = n->translate.v;
                emit(instr(Op::Translate, {v.x, v.y, v.z}));
                later(n->translate.child, Step::Visit);
                break;
            }
            case Kind::Rotate: {
                // Everything that depends on the quaternion alone is formed
                // once here, with the evaluator's operations and order.
                const Quat q = n->rotate.q;
                const Vec3 u{-q.x, -q.y, -q.z};
                const float s = q.w * q.w - dot(u, u);
                emit(instr(Op::Rotate, {u.x, u.y, u.z, s, q.w + q.w}));
                later(n->rotate.child, Step::Visit);
                break;
            }
            case Kind::Dual:
                later_emit(Op::Neg);
                later(n->dual.child, Step::Visit);
                break;
        }
    }

    void difference_step(const Task& t) {
        if (t.step == 0) {
            emit(instr(Op::PushD));
            emit(instr(Op::PopP));
            later(t.node, Step::Difference, 1);
            later(t.node->difference.b, Step::Visit);
        } else {
            emit(instr(Op::DifferenceNext));
        }
    }

    /// Execution order: [PushP] c0 First (PushD LoadP|PopP ci Next)...
    void visit_list(const SdfNode& n) {
        const NodeList& list = n.list;
        if (list.len == 0) {
            emit(instr(Op::Const, {n.kind == Kind::Union ? kInfinity : -kInfinity}));
            return;
        }
        if (list.len > 1) emit(instr(Op::PushP));
        later(&n, Step::List, 1);
        later(&list.items[0], Step::Visit);
    }

    void list_step(const Task& t) {
        const bool is_union = t.node->kind == Kind::Union;
        const NodeList& list = t.node->list;
        const uint32_t i = t.step;
        if (i == 1) {
            emit(instr(is_union ? Op::UnionFirst : Op::IntersectFirst));
        } else {
            emit(instr(is_union ? Op::UnionNext : Op::IntersectNext));
        }
        if (i == list.len) return;
        emit(instr(Op::PushD));
        emit(instr(i + 1 == list.len ? Op::PopP : Op::LoadP));
        later(t.node, Step::List, i + 1);
        later(&list.items[i], Step::Visit);
    }

    /// A large list with a hierarchy: every child's code folds into D on
    /// its own, so that Prune can start D and run any ascending subset.
    /// Execution order: PushP Prune PruneSeeded (PushD LoadP ci Next')...
    /// PruneEnd PopP, Next' the list's UnionNext or IntersectNext, which ends
    /// the child.
    bool visit_pruned(const SdfNode& n) {
        if (!prune_ || n.list.len < kMinIndexedChildren) return false;
        if (!writing_) {
            // The first walk decides and builds the hierarchies; the second
            // meets the same lists in the same order.
            PruneIndex index;
            if (!build_prune_index(n, index)) return false;
            index.end_pc = 0;
            prog_.indexes.push_back(std::move(index));
            pruned_lists_.push_back(&n);
        } else if (next_index_ == pruned_lists_.size() || pruned_lists_[next_index_] != &n) {
            return false;
        }
        const uint32_t k = next_index_++;
        PruneIndex& index = prog_.indexes[k];
        emit(instr(Op::PushP));
        Instr head = instr(Op::Prune);
        head.index = k;
        emit(head);
        head.op = Op::PruneSeeded;
        emit(head);
        // Both walks place every instruction alike, so the first one learns
        // where the children start, while the code takes no room yet.
        if (!writing_) {
            open_.push_back({k, std::unique_ptr<uint32_t[]>(new uint32_t[index.child_count])});
            run_depth_ += index.child_count + 2;
            prog_.run_depth = std::max<uint64_t>(prog_.run_depth, run_depth_);
            prog_.widest_index = std::max(prog_.widest_index, index.child_count);
        }
        later(&n, Step::Pruned, 0);
        return true;
    }

    void pruned_step(const Task& t) {
        const NodeList& list = t.node->list;
        uint32_t i = t.step;
        if (i > 0) {
            emit(instr(t.node->kind == Kind::Union ? Op::UnionNext : Op::IntersectNext));
            pending_.ends_child = true;  // the fold, or the leaf that took it in
        }
        i = emit_items(*t.node, i);
        const uint32_t at = here();
        if (i == list.len) {
            if (!writing_) close_index(at);
            emit(instr(Op::PruneEnd));
            emit(instr(Op::PopP));
            return;
        }
        if (!writing_) open_.back().starts[i] = at;
        emit(instr(Op::PushD));
        emit(instr(Op::LoadP));
        later(t.node, Step::Pruned, i + 1);
        later(&list.items[i], Step::Visit);
    }

    /// Children from `i` on that are bare spheres, when there are at least
    /// kMinItems of them, become items (see kItemGroup); returns the child
    /// after them. (Fewer would not pay for aligning their group.)
    uint32_t emit_items(const SdfNode& n, uint32_t i) {
        const NodeList& list = n.list;
        uint32_t end = i;
        while (end < list.len && list.items[end].kind == Kind::Sphere) ++end;
        if (end - i < kMinItems) return i;
        const uint32_t pad = (kItemGroup - here() % kItemGroup) % kItemGroup;
        if (pad > 0) {
            Instr skip = instr(Op::Skip);
            skip.index = pad;
            emit(skip);
        }
        Instr item = instr(Op::ItemSphere);
        item.source = Source::Saved;
        item.combine = n.kind == Kind::Union ? Combine::Union : Combine::Intersect;
        item.ends_child = true;
        for (; i < end; ++i) {
            if (here() % kItemGroup == 0) {
                Instr base = instr(Op::ItemBase);
                const SdfNode* first = &list.items[i];
                std::memcpy(base.f, &first, sizeof first);
                emit(base);
            }
            if (!writing_) open_.back().starts[i] = here();
            emit(item);
        }
        return end;
    }

    /// The innermost open list ends at `end`: its children's ordinals
    /// become their start positions.
    void close_index(uint32_t end) {
        Open& open = open_.back();
        PruneIndex& index = prog_.indexes[open.index];
        index.end_pc = end;
        index.for_each_pc([&](uint32_t& pc) { pc = open.starts[pc]; });
        for (uint32_t& pc : index.always) pc = open.starts[pc];
        run_depth_ -= index.child_count + 2;
        open_.pop_back();
    }

    static constexpr uint32_t kMinItems = 16;

    // Positions are 32 bits, and the run list's markers sit at the top.
    static constexpr uint64_t kLargest = uint64_t{kRunSeeded} - 1 - kMaxParams;

    struct Open {
        uint32_t index;
        std::unique_ptr<uint32_t[]> starts;  // per child ordinal
    };

    bool prune_;
    bool writing_ = false;
    Program& prog_;
    std::vector<Task> tasks_;
    std::vector<Open> open_;
    std::vector<const SdfNode*> pruned_lists_;  // the lists with a hierarchy, in order
    Instr pending_{};
    bool has_pending_ = false;
    uint32_t open_pushd_ = kNone;  // a PushD followed only by point transforms
    uint64_t size_ = 0;
    uint32_t count_ = 0;
    uint32_t points_ = 0;
    uint32_t values_ = 0;
    uint32_t next_index_ = 0;
    uint64_t run_depth_ = 0;
};

}  // namespace

Program compile(const SdfNode& root, bool prune) {
    Program program;
    Compiler compiler(prune, program);
    compiler.run(root, false);
    const uint64_t words = compiler.size();
    program.code.reserve(words + kMaxParams);
    program.code.resize(words + kMaxParams, Word{});
    compiler.run(root, true);
    program.words = static_cast<uint32_t>(words);
    program.instructions = compiler.instructions();
    return program;
}

}  // namespace sdf
