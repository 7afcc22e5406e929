// Flattening a shape tree into a program, with an explicit work stack.
#include "sdf/program.hpp"

#include <algorithm>
#include <limits>

#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace sdf {
namespace {

Instr instr(Op op, std::initializer_list<float> values = {}) {
    Instr in{};
    in.op = op;
    std::copy(values.begin(), values.end(), in.f);
    return in;
}

/// A pending step of the flattening: either visit a subtree or emit an
/// instruction that follows one.
struct Task {
    const SdfNode* node;  // null: emit `after`
    Instr after;
};

class Compiler {
  public:
    explicit Compiler(bool prune) : prune_(prune) {}

    Program run(const SdfNode& root) {
        visit(&root);
        while (!tasks_.empty()) {
            Task t = tasks_.back();
            tasks_.pop_back();
            if (t.node) {
                visit(t.node);
            } else {
                emit(t.after);
            }
        }
        return std::move(prog_);
    }

  private:
    void emit(const Instr& in) {
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
        prog_.code.push_back(in);
    }

    // Tasks run last-in first-out: these queue in reverse execution order.
    void later_visit(const SdfNode* node) { tasks_.push_back({node, {}}); }
    void later_emit(const Instr& in) { tasks_.push_back({nullptr, in}); }

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
                in.grid = n->voxel.grid;
                emit(in);
                break;
            }
            case Kind::Union:
                if (!visit_pruned(*n, Op::UnionNext)) {
                    visit_list(n->list, Op::UnionFirst, Op::UnionNext, kInfinity);
                }
                break;
            case Kind::Intersect:
                if (!visit_pruned(*n, Op::IntersectNext)) {
                    visit_list(n->list, Op::IntersectFirst, Op::IntersectNext, -kInfinity);
                }
                break;
            case Kind::Difference:
                emit(instr(Op::PushP));
                later_emit(instr(Op::DifferenceNext));
                later_visit(n->difference.b);
                later_emit(instr(Op::PopP));
                later_emit(instr(Op::PushD));
                later_visit(n->difference.a);
                break;
            case Kind::Dilate:
                later_emit(instr(Op::SubR, {n->offset.r}));
                later_visit(n->offset.child);
                break;
            case Kind::Erode:
                later_emit(instr(Op::AddR, {n->offset.r}));
                later_visit(n->offset.child);
                break;
            case Kind::Scale:
                emit(instr(Op::ScaleIn, {n->scale.k}));
                later_emit(instr(Op::MulK, {n->scale.k}));
                later_visit(n->scale.child);
                break;
            case Kind::Translate: {
                const Vec3 v = n->translate.v;
                emit(instr(Op::Translate, {v.x, v.y, v.z}));
                later_visit(n->translate.child);
                break;
            }
            case Kind::Rotate: {
                // Everything that depends on the quaternion alone is formed
                // once here, with the evaluator's operations and order.
                const Quat q = n->rotate.q;
                const Vec3 u{-q.x, -q.y, -q.z};
                const float s = q.w * q.w - dot(u, u);
                emit(instr(Op::Rotate, {u.x, u.y, u.z, s, q.w + q.w}));
                later_visit(n->rotate.child);
                break;
            }
            case Kind::Dual:
                later_emit(instr(Op::Neg));
                later_visit(n->dual.child);
                break;
        }
    }

    void visit_list(const NodeList& list, Op first, Op next, float empty_value) {
        if (list.len == 0) {
            emit(instr(Op::Const, {empty_value}));
            return;
        }
        // Execution order: [PushP] c0 First (PushD LoadP|PopP ci Next)...
        if (list.len > 1) emit(instr(Op::PushP));
        for (size_t i = list.len; i-- > 1;) {
            later_emit(instr(next));
            later_visit(&list.items[i]);
            later_emit(instr(i + 1 == list.len ? Op::PopP : Op::LoadP));
            later_emit(instr(Op::PushD));
        }
        later_emit(instr(first));
        later_visit(&list.items[0]);
    }

    /// A large list with a hierarchy: every child's code folds into D on
    /// its own, so that Prune can start D and run any ascending subset.
    /// Execution order: PushP Prune PruneSeeded (PushD LoadP ci Next' Next)...
    /// PruneEnd PopP, Next' the list's UnionNext or IntersectNext.
    bool visit_pruned(const SdfNode& n, Op next) {
        if (!prune_ || n.list.len < kMinIndexedChildren) return false;
        PruneIndex index;
        if (!build_prune_index(n, index)) return false;
        Instr head = instr(Op::Prune);
        head.index = static_cast<uint32_t>(prog_.indexes.size());
        prog_.indexes.push_back(std::move(index));
        emit(instr(Op::PushP));
        emit(head);
        head.op = Op::PruneSeeded;
        emit(head);
        later_emit(instr(Op::PopP));
        later_emit(instr(Op::PruneEnd));
        for (size_t i = n.list.len; i-- > 0;) {
            later_emit(instr(Op::Next));
            later_emit(instr(next));
            later_visit(&n.list.items[i]);
            later_emit(instr(Op::LoadP));
            later_emit(instr(Op::PushD));
        }
        return true;
    }

    bool prune_;
    Program prog_;
    std::vector<Task> tasks_;
    uint32_t points_ = 0;
    uint32_t values_ = 0;
};

bool is_leaf(Op op) {
    return op == Op::Sphere || op == Op::Plane || op == Op::Segment || op == Op::Ray ||
           op == Op::Voxel;
}

bool takes_point(Op op) {
    return is_leaf(op) || op == Op::Translate || op == Op::ScaleIn || op == Op::Rotate;
}

/// LoadP or PopP followed by a leaf or point transform: the latter reads the
/// saved point itself.
std::vector<Instr> fuse_point_loads(const std::vector<Instr>& code) {
    std::vector<Instr> out;
    out.reserve(code.size());
    for (size_t i = 0; i < code.size(); ++i) {
        const Op op = code[i].op;
        if ((op == Op::LoadP || op == Op::PopP) && i + 1 < code.size() &&
            takes_point(code[i + 1].op)) {
            Instr next = code[++i];
            next.source = op == Op::LoadP ? Source::Saved : Source::SavedPop;
            out.push_back(next);
        } else {
            out.push_back(code[i]);
        }
    }
    return out;
}

Combine combine_of(Op op) {
    switch (op) {
        case Op::UnionNext: return Combine::Union;
        case Op::IntersectNext: return Combine::Intersect;
        default: return Combine::Difference;
    }
}

/// PushD, point transforms, one leaf, then UnionNext / IntersectNext /
/// DifferenceNext: D is not touched in between, so the leaf can combine its
/// distance into D directly.
std::vector<Instr> fuse_leaf_combines(const std::vector<Instr>& code) {
    std::vector<Instr> out;
    out.reserve(code.size());
    for (size_t i = 0; i < code.size(); ++i) {
        if (code[i].op == Op::PushD) {
            size_t j = i + 1;
            while (j < code.size() && takes_point(code[j].op) && !is_leaf(code[j].op)) ++j;
            const bool fusable = j + 1 < code.size() && is_leaf(code[j].op) &&
                                 code[j].combine == Combine::Assign &&
                                 (code[j + 1].op == Op::UnionNext ||
                                  code[j + 1].op == Op::IntersectNext ||
                                  code[j + 1].op == Op::DifferenceNext);
            if (fusable) {
                out.insert(out.end(), code.begin() + i + 1, code.begin() + j);
                Instr leaf = code[j];
                leaf.combine = combine_of(code[j + 1].op);
                out.push_back(leaf);
                i = j + 1;
                continue;
            }
        }
        out.push_back(code[i]);
    }
    return out;
}

/// Translate followed by a leaf that reads P: the leaf subtracts the
/// translation itself.
std::vector<Instr> fuse_translations(const std::vector<Instr>& code) {
    std::vector<Instr> out;
    out.reserve(code.size());
    for (size_t i = 0; i < code.size(); ++i) {
        if (code[i].op == Op::Translate && i + 1 < code.size() && is_leaf(code[i + 1].op) &&
            code[i + 1].source == Source::Registers && !code[i + 1].translated) {
            Instr leaf = code[++i];
            leaf.source = code[i - 1].source;
            leaf.translated = true;
            std::copy(code[i - 1].f, code[i - 1].f + 3, leaf.shift);
            out.push_back(leaf);
        } else {
            out.push_back(code[i]);
        }
    }
    return out;
}

/// Once the code is final: the start position of every child of every
/// pruned list (until now its ordinal), each list's end, and the sizes of
/// the run list and scratch space the interpreters need.
void resolve_prunes(Program& program) {
    struct Open {
        uint32_t index;
        uint32_t next_child;
    };
    std::vector<Open> open;
    std::vector<std::vector<uint32_t>> starts(program.indexes.size());
    uint64_t depth = 0;
    for (size_t pc = 0; pc < program.code.size(); ++pc) {
        const Instr& in = program.code[pc];
        const uint32_t here = static_cast<uint32_t>(pc);
        if (in.op == Op::Prune) {
            PruneIndex& index = program.indexes[in.index];
            starts[in.index].push_back(here + 2);  // after PruneSeeded
            open.push_back({in.index, 1});
            depth += index.child_count + 2;
            program.run_depth = std::max<uint64_t>(program.run_depth, depth);
            program.widest_index = std::max(program.widest_index, index.child_count);
        } else if (in.op == Op::Next) {
            Open& top = open.back();
            PruneIndex& index = program.indexes[top.index];
            if (top.next_child++ < index.child_count) {
                starts[top.index].push_back(here + 1);
            } else {
                index.end_pc = here + 1;
                depth -= index.child_count + 2;
                open.pop_back();
            }
        }
    }
    for (size_t k = 0; k < program.indexes.size(); ++k) {
        PruneIndex& index = program.indexes[k];
        for (PruneChild& c : index.children) c.pc = starts[k][c.pc];
        for (uint32_t& pc : index.always) pc = starts[k][pc];
    }
}

}  // namespace

Program compile(const SdfNode& root, bool prune) {
    Program program = Compiler(prune).run(root);
    program.code = fuse_translations(fuse_leaf_combines(fuse_point_loads(program.code)));
    resolve_prunes(program);
    return program;
}

}  // namespace sdf
