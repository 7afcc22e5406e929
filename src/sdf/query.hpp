// Queries built on point evaluation: surface normals and sphere tracing.
#pragma once

#include <cstdint>
#include <optional>

#include "sdf/evaluate.hpp"
#include "sdf/vec.hpp"

namespace sdf {

/// Central-difference gradient direction at p with step h: six
/// evaluations (+x, -x, +y, -y, +z, -z), the differences not halved, one
/// square root and one reciprocal. A flat stencil gives NaN components.
Vec3 normal(const Evaluator& f, Vec3 p, float h);

struct RayHit {
    float t;
    Vec3 point;
};

/// Sphere tracing from origin along dir (normalised once here): at most
/// max_steps samples; a hit is the first sample with |d| < eps; the march
/// gives up after the first sample with t > max_dist. Steps are at least
/// 1e-6. Long marches are cut short through f's interrupt.
std::optional<RayHit> raymarch(const Evaluator& f, Vec3 origin, Vec3 dir, uint32_t max_steps,
                               float max_dist, float eps);

/// The march, plus the normal at the hit with the step eps + eps.
struct RayHitWithNormal {
    RayHit hit;
    Vec3 normal;
};
std::optional<RayHitWithNormal> raymarch_with_normal(const Evaluator& f, Vec3 origin, Vec3 dir,
                                                     uint32_t max_steps, float max_dist,
                                                     float eps);

}  // namespace sdf
