// The frame clock: slots at fixed distances from a fixed start, so pacing never drifts with
// the time a frame takes to render or to be read.
#include "sim/sim_camera.h"

namespace sim {

int64_t FrameClock::NextSlot(int64_t now, uint64_t* index) {
    uint64_t k = 0;
    if (now > start_)
        k = uint64_t((now - start_ + period_ - 1) / period_);
    if (k < next_)
        k = next_;
    next_ = k + 1;
    if (index)
        *index = k;
    return start_ + int64_t(k) * period_;
}

void FrameClock::Release(uint64_t index) {
    if (next_ > 0 && index == next_ - 1)
        next_ = index;
}

}  // namespace sim
