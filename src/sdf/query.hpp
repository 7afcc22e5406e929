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

/// Polled by long marches so that a caller can cut them short; returns
/// true to stop. May be empty.
struct Interrupt {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;
};

/// Thrown out of a computation whose Interrupt asked it to stop.
struct Interrupted {};

/// How many evaluations of `program` to run between two polls: about 2^24
/// executed instructions, so a poll comes every few milliseconds whatever
/// the size of the tree.
inline uint64_t evaluations_per_poll(const Program& program) {
    const uint64_t size = program.code.empty() ? 1 : program.code.size();
    return size >= (uint64_t{1} << 24) ? 1 : (uint64_t{1} << 24) / size;
}

/// Counts evaluations and polls the interrupt every so often.
class PollCounter {
  public:
    PollCounter(const Program& program, Interrupt interrupt)
        : interval_(evaluations_per_poll(program)), interrupt_(interrupt) {}
    /// Records `evaluations` more; throws Interrupted when asked to stop.
    void count(uint64_t evaluations) {
        done_ += evaluations;
        if (done_ < interval_) return;
        done_ = 0;
        if (interrupt_.poll && interrupt_.poll(interrupt_.context)) throw Interrupted{};
    }

  private:
    uint64_t interval_;
    uint64_t done_ = 0;
    Interrupt interrupt_;
};

/// Sphere tracing from origin along dir (normalised once here): at most
/// max_steps samples; a hit is the first sample with |d| < eps; the march
/// gives up after the first sample with t > max_dist. Steps are at least
/// 1e-6.
std::optional<RayHit> raymarch(const Evaluator& f, Vec3 origin, Vec3 dir, uint32_t max_steps,
                               float max_dist, float eps, Interrupt interrupt = {});

/// The march, plus the normal at the hit with the step eps + eps.
struct RayHitWithNormal {
    RayHit hit;
    Vec3 normal;
};
std::optional<RayHitWithNormal> raymarch_with_normal(const Evaluator& f, Vec3 origin, Vec3 dir,
                                                     uint32_t max_steps, float max_dist,
                                                     float eps, Interrupt interrupt = {});

}  // namespace sdf
