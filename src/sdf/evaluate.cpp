// The single-point interpreter of shape programs, and the batch kernel's
// lanes for its NaN results (see Evaluator).
#include "sdf/evaluate.hpp"

#include <algorithm>

#include "sdf/block_lanes.hpp"
#include "sdf/primitives.hpp"

namespace sdf {
namespace {

/// The point a leaf reads: q, less the translation it carries, if any.
/// (Only leaves carry one, so only they pay for the test.)
template <Op op>
SDF_INLINE Vec3 leaf_point(const Head& in, const float* f, Vec3 q) {
    return in.translated() ? q - vec_at(f + op_params(op)) : q;
}

/// Work counted for one evaluation besides its instructions: its call and
/// the caller's own loop (a march step), worth a few instructions.
constexpr uint64_t kCallWork = 8;

/// A plain walk runs every instruction once: a short one is counted whole,
/// at its end. A long one, or one with pruning jumps, is counted as it goes
/// (a program without pruning instructions runs the same).
bool is_short_walk(const Program& program) {
    return program.indexes.empty() && program.instructions < kWorkPerPoll / 2;
}

/// Where one evaluation keeps its stacks, its pruning state and its count
/// of work (no count: the caller knows the walk is too short to poll).
struct Frame {
    Vec3* points;
    float* values;
    const PointPruner* pruner;
    PollCounter* polls;
};

/// The interpreter loop; with Prunes, the pruning instructions move `ip`
/// (prune_hook.hpp), and without, the loop is a plain walk of the code.
/// With Prunes the loop also counts its instructions as it goes, and
/// polls in the middle of a long run; without, it counts them at its end
/// (into `polls`, unless there is none: see evaluate()).
template <bool Prunes>
float interpret(const Program& program, Vec3 p, Frame frame) {
    Vec3* saved_point = frame.points;  // one past the top of the point stack
    float* saved_value = frame.values;
    float d = 0.0f;
    const Word* const first = program.code.data();
    const Word* const last = first + program.words;
    // Work since the last report, kept in a register; the call itself
    // counts as a few instructions, so that a march of a tiny tree polls too.
    uint64_t work = kCallWork + (Prunes ? 0 : program.instructions);
    for (const Word* ip = first; ip != last;) {
        if (Prunes && ++work >= kWorkPerPoll) {
            frame.polls->count(work);
            work = 0;
        }
        const Head& in = ip->head;
        const Word* const params = ip + 1;
        const float* const f = &params->f;
        const Word* next = ip + in.words;
        // The point a leaf or transform reads (only they read a saved
        // point directly): asked for in their cases alone, so that the
        // other instructions skip the test.
        const auto point = [&in, &p, &saved_point]() SDF_LAMBDA_INLINE {
            if (in.source == Source::Registers) return p;
            if (in.source == Source::Saved) return saved_point[-1];
            return *--saved_point;
        };
        switch (in.op) {
            case Op::Sphere:
                d = combine_distance(in.combine(), d,
                                     sphere_distance(f, leaf_point<Op::Sphere>(in, f, point())));
                break;
            case Op::Plane:
                d = combine_distance(in.combine(), d,
                                     plane_distance(f, leaf_point<Op::Plane>(in, f, point())));
                break;
            case Op::Segment:
                d = combine_distance(in.combine(), d,
                                     segment_distance(f, leaf_point<Op::Segment>(in, f, point())));
                break;
            case Op::Ray:
                d = combine_distance(in.combine(), d, ray_distance(f, leaf_point<Op::Ray>(in, f, point())));
                break;
            case Op::Voxel:
                d = combine_distance(in.combine(), d,
                                     sample_trilinear(*grid_at(f), leaf_point<Op::Voxel>(in, f, point())));
                work += kVoxelWork;
                break;
            case Op::ItemSphere: {
                float sphere[4];
                item_sphere(first, static_cast<size_t>(ip - first), sphere);
                d = combine_distance(in.combine(), d, sphere_distance(sphere, point()));
                break;
            }
            case Op::ItemBase:
            case Op::Skip: break;
            case Op::Const: d = f[0]; break;
            case Op::Translate: p = point() - vec_at(f); break;
            case Op::ScaleIn: p = scale_point(f, point()); break;
            case Op::Rotate: p = rotate_point(f, point()); break;
            case Op::MulK: d = distance_op<Op::MulK>(d, f[0]); break;
            case Op::SubR: d = distance_op<Op::SubR>(d, f[0]); break;
            case Op::AddR: d = distance_op<Op::AddR>(d, f[0]); break;
            case Op::Neg: d = distance_op<Op::Neg>(d, 0.0f); break;
            case Op::PushP: *saved_point++ = p; break;
            case Op::LoadP: p = saved_point[-1]; break;
            case Op::PopP: p = *--saved_point; break;
            case Op::PushD: *saved_value++ = d; break;
            case Op::UnionFirst: d = union_first(d); break;
            case Op::IntersectFirst: d = intersect_first(d); break;
            case Op::UnionNext:
            case Op::IntersectNext:
            case Op::DifferenceNext:
                d = combine_distance(combine_of_next(in.op), *--saved_value, d);
                break;
            case Op::Prune:
                if constexpr (Prunes) {
                    const uint32_t k = params->u;
                    const PruneIndex& index = program.indexes[k];
                    d = index.start;
                    next = first + frame.pruner->enter(index, k, p, static_cast<size_t>(next - first),
                                                       true);
                }
                break;
            case Op::PruneSeeded:
                // After the seed (or falling through to the first child when
                // every child runs).
                if constexpr (Prunes) {
                    if (frame.pruner->seeding()) {
                        const uint32_t k = params->u;
                        const PruneIndex& index = program.indexes[k];
                        const PointPruner::Resume at =
                            frame.pruner->seeded(index, k, d, static_cast<size_t>(next - first));
                        next = first + at.pc;
                        d = at.d;
                    }
                }
                break;
            case Op::PruneEnd:
                if constexpr (Prunes) frame.pruner->end();
                break;
#if defined(__GNUC__) || defined(__clang__)
            // Every op has its case (the compiler writes no other): no
            // range test before the jump table. (A new op must get a case
            // above: see the check after this function.)
            default: __builtin_unreachable();
#endif
        }
        if (Prunes && in.ends_child()) next = first + frame.pruner->next(static_cast<size_t>(next - first), d);
        ip = next;
    }
    if (frame.polls) frame.polls->count(work);
    return d;
}

static_assert(static_cast<int>(Op::Skip) == 27,
              "the interpreter's switch has a case for each of the 28 ops");

using block::kVectorLanes;

/// Floats of one vector's registers and stacks in the batch kernel: x, y,
/// z and d, then the saved points and the saved values.
size_t lane_floats(const Program& program) {
    return kVectorLanes * (4 + 3 * size_t{program.point_depth} + program.value_depth);
}

/// Lanes small enough for the stack of lanes_at's caller.
constexpr size_t kStackLanes = 512;

/// out[i] = the batch kernel's distance at points[i], i < n <= kVectorLanes,
/// all in one vector (lane i holds points[i], the lanes past n copies of
/// the last), over `lanes` (lane_floats of them). A pruned program takes
/// one point at a time (its walk picks children for lane 0), as the
/// single-point walk `pruner` chooses them.
void lanes_at(const Program& program, const Vec3* points, size_t n, float* out, float* lanes,
              const PointPruner* pruner, PollCounter& polls, KernelChoice choice) {
    const block::LaneKernel kernel = block::lane_kernel(choice);
    block::BlockState s{};
    constexpr size_t v = kVectorLanes;
    s.x = lanes;
    s.y = lanes + v;
    s.z = lanes + 2 * v;
    s.d = lanes + 3 * v;
    s.point_stack = lanes + 4 * v;
    s.value_stack = lanes + (4 + 3 * size_t{program.point_depth}) * v;
    s.stride = v;
    s.polls = &polls;
    s.voxel_lanes = kernel.voxel;
    s.pruner = program.indexes.empty() ? nullptr : pruner;
    const size_t per_run = s.pruner ? 1 : n;
    for (size_t first = 0; first < n; first += per_run) {
        for (size_t i = 0; i < v; ++i) {
            const Vec3 p = points[first + std::min(i, per_run - 1)];
            s.x[i] = p.x;
            s.y[i] = p.y;
            s.z[i] = p.z;
        }
        kernel.run(program, s, v);
        std::copy(s.d, s.d + per_run, out + first);
    }
}

}  // namespace

Evaluator::Evaluator(const Program& program, Interrupt interrupt, KernelChoice kernel,
                     const KeptSteps* kept)
    : program_(program),
      points_(inline_points_),
      values_(inline_values_),
      pruner_(program),
      polls_(interrupt),
      kernel_(kernel) {
    if (kept && kernel == KernelChoice::Best) {
        steps_ = kept->list();
    } else if (is_short_walk(program)) {
        decode_steps(program, kCallWork, kernel, own_steps_, steps_);
    }
    if (program.point_depth > kInline) {
        heap_points_.reset(new Vec3[program.point_depth]);
        points_ = heap_points_.get();
    }
    if (program.value_depth > kInline) {
        heap_values_.reset(new float[program.value_depth]);
        values_ = heap_values_.get();
    }
}

// Inline in this file: the steps' path is every sample of a march.
inline float Evaluator::scalar(Vec3 p) const {
    if (steps_.count == 0) return interpreted(p);
    const float d = run_steps(steps_, p);
    polls_.count(steps_.work);
    return d;
}

float Evaluator::interpreted(Vec3 p) const {
    return is_short_walk(program_) ? run<false>(p) : run<true>(p);
}

float Evaluator::off_steps(Vec3 p) const {
    if (steps_.count == 0) {
        const float d = interpreted(p);
        if (d == d) return d;
    }
    float out;
    in_lanes(&p, 1, &out);
    return out;
}

void Evaluator::operator()(const Vec3* points, size_t n, float* out) const {
    bool nan = false;
    for (size_t i = 0; i < n; ++i) {
        out[i] = scalar(points[i]);
        nan = nan || out[i] != out[i];
    }
    // The numbers are the lanes' already: all of them again, in one go.
    if (nan) in_lanes(points, n, out);
}

void Evaluator::in_lanes(const Vec3* points, size_t n, float* out) const {
    if (lane_floats(program_) <= kStackLanes) {
        alignas(32) float lanes[kStackLanes];
        return lanes_at(program_, points, n, out, lanes, &pruner_, polls_, kernel_);
    }
    if (!lanes_) lanes_.reset(new float[lane_floats(program_)]);
    lanes_at(program_, points, n, out, lanes_.get(), &pruner_, polls_, kernel_);
}

template <bool Prunes>
float Evaluator::run(Vec3 p) const {
    return interpret<Prunes>(program_, p, {points_, values_, &pruner_, &polls_});
}

std::unique_ptr<const KeptSteps> KeptSteps::make(const Program& program) {
    if (!is_short_walk(program)) return nullptr;
    Step storage[StepList::kStorage];
    StepList list;
    if (!decode_steps(program, kCallWork, KernelChoice::Best, storage, list) || list.count == 0) {
        return nullptr;
    }
    const size_t steps = list.count + 1;  // and the end step
    if (sizeof(KeptSteps) + steps * sizeof(Step) > program.words * sizeof(Word)) return nullptr;
    std::unique_ptr<KeptSteps> kept(new KeptSteps);
    kept->steps_.reset(new Step[steps]);
    std::copy(storage, storage + steps, kept->steps_.get());
    kept->list_ = list;
    kept->list_.steps = kept->steps_.get();
    return kept;
}

float evaluate(const Program& program, Vec3 p, Interrupt interrupt, const KeptSteps* kept) {
    // Kept steps beat the interpreter's dispatch even on one point, and a
    // short walk needs no poll (see below).
    if (kept) {
        const float d = run_steps(kept->list(), p);
        if (d == d) return d;
        return Evaluator(program, interrupt, KernelChoice::Best, kept)(p);
    }
    // One short plain walk is counted whole and cannot reach a poll, so it
    // needs no counter, no pruner and no heap: it runs on stacks made here.
    // This is the path of every `eval` of a small shape (decoding its steps
    // would cost more than the interpreter's dispatch on one point). A NaN
    // goes through an evaluator, whose lanes decide its bits.
    constexpr unsigned kStack = 32;
    if (is_short_walk(program) && program.point_depth <= kStack && program.value_depth <= kStack) {
        Vec3 points[kStack];
        float values[kStack];
        const float d = interpret<false>(program, p, {points, values, nullptr, nullptr});
        if (d == d) return d;
    }
    return Evaluator(program, interrupt)(p);
}

}  // namespace sdf
