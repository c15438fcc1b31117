// Round trip between two processes through our channel, against the bare operating-system
// primitive in the same run.
//
// One round trip: the parent writes the audio header and the input channels into the block,
// sets `command` and wakes the child; the child copies every input channel to the same output
// channel, sets `numOutputs` and wakes the parent; the parent copies the outputs back. The bare
// variant does exactly the same copies over a region of the same layout, with the wake-ups made
// directly (bench/link_bare_*.cpp). Both children run all the time; batches of the two variants
// alternate so that both see the same machine load.
//
//   link_roundtrip [--rounds N]       measures and prints a Markdown table
//   link_roundtrip --peer ours N      (internal) the child over our channel for slave number N
//   link_roundtrip --peer bare NAME   (internal) the child over the bare primitive
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/link_bare.h"
#include "link/slave_shmem.h"
#include "tests/support/child_program.h"

namespace {

struct Payload {
    std::int32_t channels;
    std::int32_t frames;
};
constexpr Payload kPayloads[] = {{2, 64}, {2, 512}, {16, 4096}};
constexpr std::uint32_t kAnswerWaitMs = 5000;
constexpr int kBatch = 100;  // rounds of one variant before the other runs

using Clock = std::chrono::steady_clock;

void writeInputs(SlaveBlock& block, const Payload& payload, const float* host) {
    block.numInputs = payload.channels;
    block.blockSize = payload.frames;
    for (std::int32_t channel = 0; channel < payload.channels; ++channel) {
        std::memcpy(channelStart(block.inputs, payload.frames, channel, payload.channels),
                    host + static_cast<std::size_t>(channel) * payload.frames, sizeof(float) * payload.frames);
    }
    block.command = kCmdProcess;
}

void readOutputs(SlaveBlock& block, const Payload& payload, float* host) {
    const std::int32_t count = std::min(block.numOutputs, payload.channels);
    for (std::int32_t channel = 0; channel < count; ++channel) {
        const float* from = channelStart(block.outputs, payload.frames, channel, count);
        if (from != nullptr) {
            std::memcpy(host + static_cast<std::size_t>(channel) * payload.frames, from, sizeof(float) * payload.frames);
        }
    }
}

// The child's answer: each input channel copied to the output channel of the same index.
void answer(SlaveBlock& block) {
    const std::int32_t frames = block.blockSize;
    const std::int32_t count = block.numInputs;
    for (std::int32_t channel = 0; channel < count; ++channel) {
        const float* from = channelStart(block.inputs, frames, channel, count);
        float* to = channelStart(block.outputs, frames, channel, count);
        if (from == nullptr || to == nullptr) {
            break;
        }
        std::memcpy(to, from, sizeof(float) * static_cast<std::size_t>(frames));
    }
    block.numOutputs = count;
}

int runOursPeer(std::int32_t number) {
    CSlaveShMem channel(number);
    if (channel.block == nullptr || !channel.attachSlave(true) || !channel.signalEvent(true)) {
        return 1;
    }
    for (;;) {
        if (!channel.waitEvent(kAnswerWaitMs, nullptr)) {
            return 2;
        }
        if (channel.block->command == kCmdStop) {
            channel.signalEvent(true);
            return 0;
        }
        answer(*channel.block);
        channel.signalEvent(true);
    }
}

int runBarePeer(const char* name) {
    void* region = nullptr;
    BareLink* link = bareOpen(name, false, &region);
    if (link == nullptr) {
        return 1;
    }
    auto& block = *static_cast<SlaveBlock*>(region);
    bareSignal(link, BareSide::Parent);
    int result = 2;
    while (bareWait(link, BareSide::Child, kAnswerWaitMs)) {
        if (block.command == kCmdStop) {
            bareSignal(link, BareSide::Parent);
            result = 0;
            break;
        }
        answer(block);
        bareSignal(link, BareSide::Parent);
    }
    bareClose(link);
    return result;
}

struct Figures {
    double medianUs;
    double p99Us;
};

Figures summarize(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

int runParent(int rounds) {
    const std::string self = executableBeside("link_roundtrip");
    const std::int32_t number = uniqueSlaveNumber();
    const std::string bareName = "TolvaneBench" + std::to_string(testProcessId());

    CSlaveShMem master(number);
    if (master.block == nullptr || !master.attachMaster(true)) {
        std::fprintf(stderr, "link_roundtrip: cannot open the channel\n");
        return 1;
    }
    void* region = nullptr;
    BareLink* bare = bareOpen(bareName.c_str(), true, &region);
    if (bare == nullptr) {
        std::fprintf(stderr, "link_roundtrip: cannot open the bare link\n");
        return 1;
    }
    auto& bareBlock = *static_cast<SlaveBlock*>(region);

    CChildProgram oursChild;
    CChildProgram bareChild;
    if (!oursChild.start(self, {"--peer", "ours", std::to_string(number)}, CChildProgram::Output::Shared) ||
        !bareChild.start(self, {"--peer", "bare", bareName}, CChildProgram::Output::Shared) ||
        !master.waitEvent(10000, nullptr) ||
        !bareWait(bare, BareSide::Parent, 10000)) {
        std::fprintf(stderr, "link_roundtrip: a child did not start\n");
        bareClose(bare);
        return 1;
    }

    std::printf("| payload | ours median us | ours p99 us | bare median us | bare p99 us | ratio median | ratio p99 |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    int status = 0;
    for (const Payload& payload : kPayloads) {
        const std::size_t samples = static_cast<std::size_t>(payload.channels) * payload.frames;
        std::vector<float> input(samples);
        std::vector<float> output(samples);
        for (std::size_t i = 0; i < samples; ++i) {
            input[i] = static_cast<float>(i % 1000) * 0.001f;
        }
        std::vector<double> ours;
        std::vector<double> plain;
        ours.reserve(static_cast<std::size_t>(rounds));
        plain.reserve(static_cast<std::size_t>(rounds));

        auto oursRound = [&](std::vector<double>* into) {
            const auto started = Clock::now();
            writeInputs(*master.block, payload, input.data());
            master.signalEvent(true);
            const bool answered = master.waitEvent(kAnswerWaitMs, nullptr);
            readOutputs(*master.block, payload, output.data());
            const auto ended = Clock::now();
            if (into != nullptr) {
                into->push_back(std::chrono::duration<double, std::micro>(ended - started).count());
            }
            return answered;
        };
        auto bareRound = [&](std::vector<double>* into) {
            const auto started = Clock::now();
            writeInputs(bareBlock, payload, input.data());
            bareSignal(bare, BareSide::Child);
            const bool answered = bareWait(bare, BareSide::Parent, kAnswerWaitMs);
            readOutputs(bareBlock, payload, output.data());
            const auto ended = Clock::now();
            if (into != nullptr) {
                into->push_back(std::chrono::duration<double, std::micro>(ended - started).count());
            }
            return answered;
        };

        bool ok = true;
        for (int i = 0; i < kBatch && ok; ++i) {
            ok = oursRound(nullptr) && bareRound(nullptr);  // warm-up
        }
        for (int done = 0; done < rounds && ok; done += kBatch) {
            for (int i = 0; i < kBatch && ok; ++i) {
                ok = oursRound(&ours);
            }
            for (int i = 0; i < kBatch && ok; ++i) {
                ok = bareRound(&plain);
            }
        }
        if (!ok || output != input) {
            std::fprintf(stderr, "link_roundtrip: a child did not answer correctly\n");
            status = 1;
            break;
        }
        const Figures a = summarize(ours);
        const Figures b = summarize(plain);
        std::printf("| %dx%d | %.2f | %.2f | %.2f | %.2f | %.3f | %.3f |\n", payload.channels, payload.frames,
                    a.medianUs, a.p99Us, b.medianUs, b.p99Us, a.medianUs / b.medianUs, a.p99Us / b.p99Us);
        std::fflush(stdout);
    }

    master.block->command = kCmdStop;
    master.signalEvent(true);
    bareBlock.command = kCmdStop;
    bareSignal(bare, BareSide::Child);
    const int oursExit = oursChild.join(10000);
    const int bareExit = bareChild.join(10000);
    bareClose(bare);
    if (status == 0 && (oursExit != 0 || bareExit != 0)) {
        std::fprintf(stderr, "link_roundtrip: children ended with %d and %d\n", oursExit, bareExit);
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--peer") == 0) {
        if (std::strcmp(argv[2], "ours") == 0) {
            return runOursPeer(static_cast<std::int32_t>(std::strtol(argv[3], nullptr, 10)));
        }
        return runBarePeer(argv[3]);
    }
    int rounds = 20000;
    if (argc == 3 && std::strcmp(argv[1], "--rounds") == 0) {
        rounds = std::max(kBatch, static_cast<int>(std::strtol(argv[2], nullptr, 10)));
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: link_roundtrip [--rounds N]\n");
        return 2;
    }
    return runParent(rounds);
}
