// The block's reset and its audio channel addressing, over a block in ordinary memory.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "link/slave_block.h"

namespace {

std::unique_ptr<SlaveBlock> makeBlock(std::uint8_t fill) {
    auto block = std::make_unique<SlaveBlock>();
    std::memset(block.get(), fill, sizeof(SlaveBlock));
    return block;
}

const std::uint8_t* bytes(const SlaveBlock& block) { return reinterpret_cast<const std::uint8_t*>(&block); }

TEST(BlockReset, WritesMagicAndClearsOnlyTheHeaderFields) {
    auto block = makeBlock(0xA5);
    const std::vector<std::uint8_t> before(bytes(*block), bytes(*block) + sizeof(SlaveBlock));
    EXPECT_FALSE(hasBlockMagic(*block));

    resetSlaveBlock(*block);

    const std::uint8_t* after = bytes(*block);
    const std::uint8_t magic[4] = {0x48, 0x53, 0x48, 0x53};
    EXPECT_EQ(0, std::memcmp(after, magic, 4));
    EXPECT_EQ(kBlockMagic, block->magic);  // little-endian on both targets
    EXPECT_TRUE(hasBlockMagic(*block));
    for (int offset = 4; offset < 10; ++offset) {
        EXPECT_EQ(0, after[offset]) << "offset " << offset;
    }
    EXPECT_EQ(0, block->command);
    EXPECT_EQ(0, block->reserved);
    EXPECT_EQ(0, block->masterEventBytes);
    EXPECT_EQ(0, block->slaveEventBytes);

    // Everything outside the written fields keeps its bytes: padding, args, both event areas,
    // the audio header, the unnamed bytes and both sample areas.
    struct Range { std::size_t begin, end; };
    const Range written[] = {{0, 10}, {12, 20}, {276, 280}, {65816, 65820}};
    std::size_t changedOutside = 0;
    for (std::size_t i = 0; i < sizeof(SlaveBlock); ++i) {
        bool inside = false;
        for (const Range& r : written) {
            inside = inside || (i >= r.begin && i < r.end);
        }
        if (!inside && after[i] != before[i]) {
            ++changedOutside;
        }
    }
    EXPECT_EQ(0u, changedOutside);
}

TEST(BlockReset, ZeroFilledBlockHasNoMagic) {
    auto block = makeBlock(0);
    EXPECT_FALSE(hasBlockMagic(*block));
    std::memcpy(&block->magic, "HSHT", 4);
    EXPECT_FALSE(hasBlockMagic(*block));
}

TEST(BlockChannels, StrideIsBlockSizeRaisedToMultipleOfFour) {
    EXPECT_EQ(4, channelStrideSamples(1));
    EXPECT_EQ(4, channelStrideSamples(4));
    EXPECT_EQ(8, channelStrideSamples(5));
    EXPECT_EQ(64, channelStrideSamples(64));
    EXPECT_EQ(68, channelStrideSamples(65));
    EXPECT_EQ(44100, channelStrideSamples(44100));
    EXPECT_EQ(0, channelStrideSamples(0));
    EXPECT_EQ(std::int64_t{1} << 31, channelStrideSamples(INT32_MAX));  // no int32 overflow
}

TEST(BlockChannels, ChannelsLieAtTheStrideFromTheAreaStart) {
    auto block = makeBlock(0);
    const std::uint8_t* base = bytes(*block);
    // A 65-frame block: channel 1 of the inputs starts at 131376 + 68 * 4.
    const float* channel1 = channelStart(block->inputs, 65, 1, 2);
    ASSERT_NE(nullptr, channel1);
    EXPECT_EQ(131648, reinterpret_cast<const std::uint8_t*>(channel1) - base);
    EXPECT_EQ(block->outputs + 68 * 3, channelStart(block->outputs, 65, 3, 16));

    // Every channel of every block size starts 16-byte aligned from the block's start.
    for (std::int32_t frames : {1, 2, 3, 5, 63, 65, 1023, 44100}) {
        for (std::int32_t channel = 0; channel < 16; ++channel) {
            const float* start = channelStart(block->outputs, frames, channel, 16);
            ASSERT_NE(nullptr, start) << frames << " frames, channel " << channel;
            EXPECT_EQ(0, (reinterpret_cast<const std::uint8_t*>(start) - base) % 16);
        }
    }
}

TEST(BlockChannels, SetsThatLeaveTheAreaAddressNoChannel) {
    auto block = makeBlock(0);
    float* area = block->inputs;
    // Sixteen channels of 44100 frames fill the area exactly; one frame more does not fit.
    EXPECT_TRUE(channelSetFits(44100, 16));
    EXPECT_EQ(area + 15 * 44100, channelStart(area, 44100, 15, 16));
    EXPECT_FALSE(channelSetFits(44101, 16));
    EXPECT_EQ(nullptr, channelStart(area, 44101, 0, 16));
    EXPECT_NE(nullptr, channelStart(area, 44101, 0, 15));

    // Many short channels: the last one ends on the area's last sample.
    EXPECT_EQ(area + kSampleAreaSamples - 4, channelStart(area, 4, 176399, 176400));
    EXPECT_EQ(nullptr, channelStart(area, 4, 0, 176401));

    // A single channel longer than the area.
    EXPECT_EQ(nullptr, channelStart(area, kSampleAreaSamples + 1, 0, 1));
    EXPECT_NE(nullptr, channelStart(area, kSampleAreaSamples, 0, 1));
}

TEST(BlockChannels, HostileIndexCountAndBlockSizeAreRefused) {
    auto block = makeBlock(0);
    float* area = block->outputs;
    // Index outside the set: output channel 2 is not there when numOutputs is 2.
    EXPECT_EQ(nullptr, channelStart(area, 64, 2, 2));
    EXPECT_EQ(nullptr, channelStart(area, 64, -1, 2));
    EXPECT_EQ(nullptr, channelStart(area, 64, INT32_MIN, 2));
    EXPECT_EQ(nullptr, channelStart(area, 64, 0, 0));
    EXPECT_EQ(nullptr, channelStart(area, 64, 0, -5));
    EXPECT_FALSE(channelSetFits(64, -1));
    // Block sizes that are not positive or whose stride product overflows 32 bits.
    EXPECT_EQ(nullptr, channelStart(area, 0, 0, 1));
    EXPECT_EQ(nullptr, channelStart(area, -1, 0, 1));
    EXPECT_EQ(nullptr, channelStart(area, INT32_MIN, 0, 1));
    EXPECT_FALSE(channelSetFits(-3, 1));
    EXPECT_EQ(nullptr, channelStart(area, INT32_MAX, 0, 1));
    EXPECT_EQ(nullptr, channelStart(area, INT32_MAX, 1, INT32_MAX));
    EXPECT_EQ(nullptr, channelStart(area, 1, INT32_MAX - 1, INT32_MAX));
    // 2^30 frames x 4 channels is 2^32 samples: wraps to 0 in 32 bits, must not pass.
    EXPECT_EQ(nullptr, channelStart(area, 1 << 30, 1, 4));
    EXPECT_EQ(nullptr, channelStart(static_cast<float*>(nullptr), 64, 0, 1));
}

}  // namespace
