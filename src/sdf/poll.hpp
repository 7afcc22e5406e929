// Cutting long computations short: an optional callback polled every so
// often, sized by work done so that a poll comes every millisecond or so
// whatever the size of the tree or the number of points.
#pragma once

#include <cstdint>

namespace sdf {

/// Polled by long computations so that a caller can cut them short;
/// returns true to stop. May be empty.
struct Interrupt {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;
};

/// Thrown out of a computation whose Interrupt asked it to stop.
struct Interrupted {};

/// Work between two polls, in executed instructions times the points they
/// ran over: a fraction of a millisecond of the cheap instructions, a few
/// milliseconds of the dearest (which count extra, see kVoxelWork). A poll
/// with no signal pending costs a few nanoseconds.
constexpr uint64_t kWorkPerPoll = uint64_t{1} << 20;

/// Extra work counted for one voxel sample: a trilinear read of eight
/// samples costs about as much as a dozen or more cheap instructions.
constexpr uint64_t kVoxelWork = 15;

/// Counts work and polls the interrupt whenever kWorkPerPoll has been
/// done since the last poll.
class PollCounter {
  public:
    explicit PollCounter(Interrupt interrupt) : interrupt_(interrupt) {}
    /// Records `work` more; throws Interrupted when asked to stop.
    void count(uint64_t work) {
        done_ += work;
        if (done_ >= kWorkPerPoll) poll();
    }

  private:
    // Out of line: the interpreters' loops call count() and stay small.
    void poll();
    uint64_t done_ = 0;
    Interrupt interrupt_;
};

}  // namespace sdf
