// The bounded channel accessor over block sizes, channel indexes and counts taken from the
// shared block: a channel it hands out must lie wholly inside its sample area.
#include "link/slave_block.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

float area[kSampleAreaSamples];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const auto blockSize = input.value<std::int32_t>();
    const auto channel = input.value<std::int32_t>();
    const auto count = input.value<std::int32_t>();

    const float* start = channelStart(area, blockSize, channel, count);
    const bool fits = channelSetFits(blockSize, count);
    if (start == nullptr) {
        FUZZ_CHECK(!fits || blockSize <= 0 || channel < 0 || channel >= count);
        return 0;
    }
    FUZZ_CHECK(fits && blockSize > 0 && channel >= 0 && channel < count);
    const std::int64_t first = start - area;
    const std::int64_t stride = channelStrideSamples(blockSize);
    FUZZ_CHECK(first == static_cast<std::int64_t>(channel) * stride);
    FUZZ_CHECK(first % 4 == 0 && stride % 4 == 0 && stride >= blockSize);
    FUZZ_CHECK(first + blockSize <= kSampleAreaSamples);
    FUZZ_CHECK(static_cast<std::int64_t>(count) * stride <= kSampleAreaSamples);
    // Touch the channel's first and last frame.
    volatile float sink = start[0] + start[blockSize - 1];
    (void)sink;
    return 0;
}
