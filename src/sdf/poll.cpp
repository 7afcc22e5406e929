// The slow path of polling, kept out of the interpreters' loops.
#include "sdf/poll.hpp"

namespace sdf {

void PollCounter::poll() {
    done_ = 0;
    if (interrupt_.poll && interrupt_.poll(interrupt_.context)) throw Interrupted{};
}

}  // namespace sdf
