// Surface normals and the sphere-tracing loop.
#include "sdf/query.hpp"

#include <cmath>

namespace sdf {

Vec3 normal(const Evaluator& f, Vec3 p, float h) {
    // The six points of the stencil, evaluated together in one vector.
    const Vec3 stencil[6] = {{p.x + h, p.y, p.z}, {p.x - h, p.y, p.z}, {p.x, p.y + h, p.z},
                             {p.x, p.y - h, p.z}, {p.x, p.y, p.z + h}, {p.x, p.y, p.z - h}};
    float v[6];
    f(stencil, 6, v);
    return normalized({v[0] - v[1], v[2] - v[3], v[4] - v[5]});
}

std::optional<RayHit> raymarch(const Evaluator& f, Vec3 origin, Vec3 dir, uint32_t max_steps,
                               float max_dist, float eps) {
    if (max_steps == 0) return std::nullopt;
    const Vec3 unit = normalized(dir);
    constexpr float kMinStep = 1e-6f;
    float t = 0.0f;
    uint32_t remaining = max_steps;
    for (;;) {
        const Vec3 p{t * unit.x + origin.x, t * unit.y + origin.y, t * unit.z + origin.z};
        const float d = f(p);
        if (std::fabs(d) < eps) return RayHit{t, p};
        if (t > max_dist) return std::nullopt;
        t = t + (d > kMinStep ? d : kMinStep);
        if (--remaining == 0) return std::nullopt;
    }
}

std::optional<RayHitWithNormal> raymarch_with_normal(const Evaluator& f, Vec3 origin, Vec3 dir,
                                                     uint32_t max_steps, float max_dist,
                                                     float eps) {
    const std::optional<RayHit> hit = raymarch(f, origin, dir, max_steps, max_dist, eps);
    if (!hit) return std::nullopt;
    return RayHitWithNormal{*hit, normal(f, hit->point, eps + eps)};
}

}  // namespace sdf
