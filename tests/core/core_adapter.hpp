// The one place where the core checks call the evaluation interface of the
// core (compiling a tree, single points, batches, normals, marches), so that
// a change of that interface is met here alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "sdf/batch.hpp"
#include "sdf/cpu.hpp"
#include "sdf/evaluate.hpp"
#include "sdf/node.hpp"
#include "sdf/program.hpp"
#include "sdf/query.hpp"

namespace core_checks {

/// A tree made ready for queries, as the module makes it (its fused steps
/// decoded once and kept, where they are worth keeping). The tree must
/// outlive it.
class Shape {
  public:
    explicit Shape(const sdf::SdfNode& root)
        : program_(sdf::compile(root)),
          kept_(sdf::KeptSteps::make(program_)),
          single_(program_, {}, sdf::KernelChoice::Best, kept_.get()) {}
    Shape(const Shape&) = delete;
    Shape& operator=(const Shape&) = delete;

    float distance(sdf::Vec3 p) const { return single_(p); }
    /// The one-off evaluation of `eval`.
    float one_off(sdf::Vec3 p) const { return sdf::evaluate(program_, p, {}, kept_.get()); }
    /// Bytes kept beside the program, and the bytes of its code.
    size_t kept_bytes() const {
        return kept_ ? sizeof(sdf::KeptSteps) + (kept_->list().count + 1) * sizeof(sdf::Step) : 0;
    }
    size_t code_bytes() const { return program_.words * sizeof(sdf::Word); }

    /// out[i] = distance at row i of `rows` rows of `stride` floats (x, y, z
    /// first), through the chosen batch kernel.
    void distances(const float* points, size_t rows, size_t stride, float* out,
                   sdf::KernelChoice kernel) const {
        const sdf::PointsView view{reinterpret_cast<const char*>(points), rows, stride,
                                   static_cast<ptrdiff_t>(stride * sizeof(float)),
                                   sizeof(float)};
        sdf::eval_points(program_, view, out, {}, kernel);
    }

    sdf::Vec3 normal(sdf::Vec3 p, float h) const { return sdf::normal(single_, p, h); }

    std::optional<sdf::RayHit> march(sdf::Vec3 origin, sdf::Vec3 dir, uint32_t steps,
                                     float max_dist, float eps) const {
        return sdf::raymarch(single_, origin, dir, steps, max_dist, eps);
    }

    std::optional<sdf::RayHitWithNormal> march_with_normal(sdf::Vec3 origin, sdf::Vec3 dir,
                                                           uint32_t steps, float max_dist,
                                                           float eps) const {
        return sdf::raymarch_with_normal(single_, origin, dir, steps, max_dist, eps);
    }

  private:
    sdf::Program program_;
    std::unique_ptr<const sdf::KeptSteps> kept_;
    sdf::Evaluator single_;
};

}  // namespace core_checks
