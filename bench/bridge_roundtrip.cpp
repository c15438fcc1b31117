// The full path of one block, host -> plug-in -> slave -> host, against the bare primitive.
//
// Ours: this process is the host. It loads the Tolvane plug-in, moves it to a slave number
// served by a tolvane-slave child (pass-through), and times processReplacing: the plug-in copies
// the host's inputs into the block, wakes the slave, waits, and copies the outputs back. Bare:
// the same copies between the host's buffers and a region of the block's layout, with the
// wake-ups made directly by the operating system's calls, answered by link_roundtrip's bare peer
// (which copies every input channel to its output as the slave does). Batches of the two
// alternate so that both see the same machine load. It also counts the heap allocations made
// while the plug-in processes (Linux, where the plug-in's malloc, calloc and realloc are this
// program's; a sanitized build counts operator new).
//
//   bridge_roundtrip [--rounds N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/link_bare.h"
#include "bridge/settings/settings_store.h"
#include "link/slave_block.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/child_program.h"
#include "tools/hosting/plugin_host.h"

namespace {

struct Payload {
    std::int32_t channels;
    std::int32_t frames;
};
constexpr Payload kPayloads[] = {{2, 64}, {2, 512}, {16, 4096}};
constexpr int kBatch = 100;
constexpr std::int32_t kSlaveNumber = 15;  // reached through the Slave# parameter
using Clock = std::chrono::steady_clock;
// Windows modules link their runtime statically: the plug-in's allocations do not reach the
// counter there.
constexpr bool kPluginAllocationsCounted = TOLVANE_PLUGIN_ALLOCATIONS_COUNTED;

struct Figures {
    double medianUs;
    double p99Us;
};

Figures summarize(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

void writeSettings(std::int32_t channels) {
    SettingsKey* key = platformOpenSettings("Software\\Vantor\\Tolvane");
    if (!key) return;
    platformWriteSetting(key, "ConfigDlg", 0);
    platformWriteSetting(key, "NumInputs", channels);
    platformWriteSetting(key, "NumOutputs", channels);
    platformCloseSettings(key);
}

// One bare round: the same copies the plug-in makes, around a direct wake-up and wait.
bool bareRound(SlaveBlock& block, BareLink* link, const Payload& p, float** in, float** out) {
    block.numInputs = p.channels;
    block.blockSize = p.frames;
    for (std::int32_t c = 0; c < p.channels; ++c) {
        std::memcpy(channelStart(block.inputs, p.frames, c, p.channels), in[c], sizeof(float) * p.frames);
    }
    block.command = kCmdProcess;
    bareSignal(link, BareSide::Child);
    const bool answered = bareWait(link, BareSide::Parent, 5000);
    const std::int32_t count = std::min(block.numOutputs, p.channels);
    for (std::int32_t c = 0; c < count; ++c) {
        const float* from = channelStart(block.outputs, p.frames, c, count);
        if (from) std::memcpy(out[c], from, sizeof(float) * p.frames);
    }
    return answered;
}

int run(int rounds, const char* pluginPath, const char* slavePath) {
    const std::string barePeer = executableBeside("link_roundtrip");
    const std::string bareName = "TolvaneBridgeBench" + std::to_string(testProcessId());
    void* region = nullptr;
    BareLink* bare = bareOpen(bareName.c_str(), true, &region);
    if (!bare) {
        std::fprintf(stderr, "bridge_roundtrip: cannot open the bare link\n");
        return 1;
    }
    auto& bareBlock = *static_cast<SlaveBlock*>(region);
    CChildProgram bareChild;
    CChildProgram slave;
    if (!bareChild.start(barePeer, {"--peer", "bare", bareName}, CChildProgram::Output::Shared) ||
        !bareWait(bare, BareSide::Parent, 10000) ||
        !slave.start(slavePath, {"--slave", std::to_string(kSlaveNumber)})) {
        std::fprintf(stderr, "bridge_roundtrip: a child did not start\n");
        bareClose(bare);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the slave attaches

    std::printf("| payload | full path median us | p99 us | bare median us | p99 us | ratio median | ratio p99 | "
                "allocations per block |\n|---|---|---|---|---|---|---|---|\n");
    int status = 0;
    for (const Payload& p : kPayloads) {
        writeSettings(p.channels);
        tolvane::host::HostConfig config;
        config.blockSize = p.frames;
        tolvane::host::PluginHost host(config);
        std::string error;
        if (!host.load(pluginPath, error)) {
            std::fprintf(stderr, "bridge_roundtrip: %s\n", error.c_str());
            status = 1;
            break;
        }
        host.setSampleRate(44100.0);
        host.setBlockSize(p.frames);
        std::string slaveText = std::to_string(kSlaveNumber);
        host.setParameterText(1, slaveText.data());
        host.resume();
        AEffect* effect = host.effect();

        std::vector<std::vector<float>> inputs(p.channels, std::vector<float>(p.frames));
        std::vector<std::vector<float>> outputs(p.channels, std::vector<float>(p.frames));
        std::vector<float*> in, out;
        for (int c = 0; c < p.channels; ++c) {
            for (int i = 0; i < p.frames; ++i) inputs[c][i] = static_cast<float>((c * 7919 + i) % 1000) * 0.001f;
            in.push_back(inputs[c].data());
            out.push_back(outputs[c].data());
        }
        auto oursRound = [&](std::vector<double>* into) {
            const auto started = Clock::now();
            effect->processReplacing(effect, in.data(), out.data(), p.frames);
            if (into) into->push_back(std::chrono::duration<double, std::micro>(Clock::now() - started).count());
        };
        auto plainRound = [&](std::vector<double>* into) {
            const auto started = Clock::now();
            const bool ok = bareRound(bareBlock, bare, p, in.data(), out.data());
            if (into) into->push_back(std::chrono::duration<double, std::micro>(Clock::now() - started).count());
            return ok;
        };
        for (int i = 0; i < kBatch; ++i) {  // connect, then warm up
            oursRound(nullptr);
            plainRound(nullptr);
        }
        std::vector<double> ours, plain;
        ours.reserve(rounds);
        plain.reserve(rounds);
        std::int64_t allocations = 0;
        bool ok = true;
        for (int done = 0; done < rounds && ok; done += kBatch) {
            countAllocations(true);
            for (int i = 0; i < kBatch; ++i) oursRound(&ours);
            countAllocations(false);
            allocations += allocationsCounted();  // the timing vector's room is reserved
            for (int i = 0; i < kBatch && ok; ++i) ok = plainRound(&plain);
        }
        oursRound(nullptr);
        const bool passedThrough = outputs == inputs;
        if (!ok || !passedThrough) {
            std::fprintf(stderr, "bridge_roundtrip: %s\n", ok ? "the audio did not come back" : "no bare answer");
            status = 1;
            break;
        }
        const Figures a = summarize(ours);
        const Figures b = summarize(plain);
        char allocText[32];
        if (!kPluginAllocationsCounted) {
            std::snprintf(allocText, sizeof allocText, "not measured");
        } else {
            std::snprintf(allocText, sizeof allocText, "%.3f", static_cast<double>(allocations) / ours.size());
        }
        std::printf("| %dx%d | %.2f | %.2f | %.2f | %.2f | %.3f | %.3f | %s |\n", p.channels, p.frames, a.medianUs,
                    a.p99Us, b.medianUs, b.p99Us, a.medianUs / b.medianUs, a.p99Us / b.p99Us, allocText);
        std::fflush(stdout);
        host.suspend();
        host.close();
    }
    bareBlock.command = kCmdStop;
    bareSignal(bare, BareSide::Child);
    bareChild.join(10000);
    bareClose(bare);
    int slaveExit = -1;
    slave.requestStop();
    slave.waitExit(5000, slaveExit);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 20000;
    if (argc == 3 && std::strcmp(argv[1], "--rounds") == 0) {
        rounds = std::max(kBatch, static_cast<int>(std::strtol(argv[2], nullptr, 10)));
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: bridge_roundtrip [--rounds N]\n");
        return 2;
    }
    return run(rounds, TOLVANE_EFFECT, TOLVANE_SLAVE_EXE);
}
