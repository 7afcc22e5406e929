// Cutting long computations short: an optional callback polled every so
// often, sized by work done so that a poll comes every few milliseconds.
#pragma once

#include <cstdint>

#include "sdf/program.hpp"

namespace sdf {

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

}  // namespace sdf
