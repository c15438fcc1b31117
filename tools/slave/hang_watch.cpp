#include "tools/slave/hang_watch.h"

bool CHangWatch::hung(const WatchPage& page, Clock::time_point now) {
    const std::uint32_t beat = page.beats.load(std::memory_order_acquire);
    busy = page.busy.load(std::memory_order_relaxed) != 0;
    if (beat == 0 || beat != lastBeat) {
        lastBeat = beat;
        lastChange = now;
        still = std::chrono::milliseconds(0);
        return false;
    }
    still = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastChange);
    return limit.count() > 0 && still > limit;
}
