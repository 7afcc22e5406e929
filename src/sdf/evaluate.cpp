// Single points through the block interpreter, one vector of lanes wide.
#include "sdf/evaluate.hpp"

#include <algorithm>

namespace sdf {

using block::kVectorLanes;
namespace {

/// Floats of one vector's registers and stacks: x, y, z and d, then the
/// saved points and the saved values.
size_t lane_floats(const Program& program) {
    return kVectorLanes * (4 + 3 * size_t{program.point_depth} + program.value_depth);
}

}  // namespace

Evaluator::Evaluator(const Program& program, Interrupt interrupt, KernelChoice kernel)
    : program_(program), kernel_(block::lane_kernel(kernel)), pruner_(program), polls_(interrupt) {
    float* w = inline_;
    if (lane_floats(program) > kInlineFloats) {
        heap_.reset(new float[lane_floats(program)]);
        w = heap_.get();
    }
    constexpr size_t v = kVectorLanes;
    state_.x = w;
    state_.y = w + v;
    state_.z = w + 2 * v;
    state_.d = w + 3 * v;
    state_.point_stack = w + 4 * v;
    state_.value_stack = w + (4 + 3 * size_t{program.point_depth}) * v;
    state_.stride = v;
    state_.runs = nullptr;  // the point's walk keeps its own run list
    state_.scratch = nullptr;
    state_.polls = &polls_;
    state_.voxel_lanes = kernel_.voxel;
    state_.pruner = program.indexes.empty() ? nullptr : &pruner_;
}

/// Lane i holds points[i], the lanes past n copies of the last point.
void Evaluator::run(const Vec3* points, size_t n) const {
    for (size_t i = 0; i < kVectorLanes; ++i) {
        const Vec3 p = points[std::min(i, n - 1)];
        state_.x[i] = p.x;
        state_.y[i] = p.y;
        state_.z[i] = p.z;
    }
    kernel_.run(program_, state_, kVectorLanes);
}

float Evaluator::operator()(Vec3 p) const {
    run(&p, 1);
    return state_.d[0];
}

void Evaluator::operator()(const Vec3* points, size_t n, float* out) const {
    if (state_.pruner) {
        // The walk chooses children for one point (lane 0) at a time.
        for (size_t i = 0; i < n; ++i) out[i] = (*this)(points[i]);
        return;
    }
    run(points, n);
    std::copy(state_.d, state_.d + n, out);
}

float evaluate(const Program& program, Vec3 p, Interrupt interrupt) {
    return Evaluator(program, interrupt)(p);
}

}  // namespace sdf
