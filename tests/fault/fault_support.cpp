#include "tests/fault/fault_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "tools/host/counter_signal.h"

namespace fault {

std::int32_t faultSlaveNumber() {
    static const std::int32_t base = [] {
        std::random_device device;
        return static_cast<std::int32_t>(400000000 + (device() % 1000000u) * 1024);
    }();
    static std::atomic<std::int32_t> next{0};
    return base + (next++ % 1024);
}

std::uint32_t testSeed() {
    std::uint32_t seed = 0;
    if (const char* text = std::getenv("TOLVANE_FAULT_SEED")) {
        seed = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    } else {
        seed = std::random_device{}();
    }
    std::printf("seed %u (replay with TOLVANE_FAULT_SEED=%u)\n", seed, seed);
    return seed;
}

void figure(const std::string& line) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::printf("FIGURE %s.%s %s\n", info ? info->test_suite_name() : "?", info ? info->name() : "?", line.c_str());
    std::fflush(stdout);
}

// ---- Host ------------------------------------------------------------------------------------

FaultHost::FaultHost() {
    time = VstTimeInfo{};
    time.sampleRate = 44100.0;
    time.tempo = 120.0;
    time.timeSigNumerator = 4;
    time.timeSigDenominator = 4;
    time.flags = kVstTransportPlaying | kVstTempoValid | kVstTimeSigValid;
    canDoAnswers = {
        {"receiveVstEvents", 1}, {"receiveVstMidiEvent", 1}, {"asyncProcessing", -1}, {"acceptIOChanges", 1}};
    recordCalls = false;
    midi.reserve(1 << 16);
}

VstIntPtr FaultHost::receive(const VstEvents* list) {
    if (!list || list->numEvents != 1 || !list->events[0]) {
        ++badEvents;
        return 0;
    }
    const VstEvent* event = list->events[0];
    if (event->type == kVstMidiType) {
        const auto* m = reinterpret_cast<const VstMidiEvent*>(event);
        HostMidi got{m->deltaFrames, {}};
        std::memcpy(got.data, m->midiData, 4);
        midi.push_back(got);
    } else if (event->type == kVstSysExType) {
        const auto* s = reinterpret_cast<const VstMidiSysexEvent*>(event);
        const auto* dump = reinterpret_cast<const std::uint8_t*>(s->sysexDump);
        // The dump is handed over in place: it must lie inside the event area, whatever the
        // slave wrote around it.
        const std::uint8_t* area = eventArea;
        const bool inside = s->dumpBytes >= 0 && dump &&
                            (!area || (dump >= area && dump + s->dumpBytes <= area + kMaxEventBytes));
        if (!inside) {
            ++badEvents;
            return 0;
        }
        ++sysexCount;
        std::uint32_t sum = 0;
        for (VstInt32 i = 0; i < s->dumpBytes; ++i) sum += dump[i];  // reads every byte
        sysexBytes += static_cast<std::uint64_t>(s->dumpBytes) + (sum & 0);
    } else {
        ++badEvents;
    }
    return 1;
}

// ---- Audio -----------------------------------------------------------------------------------

HostAudio::HostAudio(int inputs, int outputs, int maxFrames) : maxFrames(maxFrames) {
    for (int c = 0; c < inputs; ++c) in.emplace_back(new float[static_cast<std::size_t>(maxFrames)]());
    for (int c = 0; c < outputs; ++c) out.emplace_back(new float[static_cast<std::size_t>(maxFrames)]());
    for (auto& p : in) inPtr.push_back(p.get());
    for (auto& p : out) outPtr.push_back(p.get());
}

void HostAudio::prepare(int frames) {
    for (std::size_t c = 0; c < in.size(); ++c)
        for (int i = 0; i < frames && i < maxFrames; ++i)
            in[c][i] = tolvane::host::counterSample(position + i, static_cast<int>(c));
    for (auto& p : out) std::fill(p.get(), p.get() + maxFrames, kSentinel);
}

bool HostAudio::exact(int frames) const {
    for (std::size_t c = 0; c < out.size() && c < in.size(); ++c)
        if (std::memcmp(out[c].get(), in[c].get(), sizeof(float) * static_cast<std::size_t>(frames)) != 0)
            return false;
    return true;
}

bool HostAudio::allUntouched(int frames) const {
    for (std::size_t c = 0; c < out.size() && c < in.size(); ++c)
        if (!untouched(static_cast<int>(c), frames)) return false;
    return true;
}

bool HostAudio::untouched(int channel, int frames) const {
    for (int i = 0; i < frames; ++i)
        if (out[static_cast<std::size_t>(channel)][i] != kSentinel) return false;
    return true;
}

// ---- Bridge ----------------------------------------------------------------------------------

Plugin::Plugin(SettingsSandbox& sandbox, FaultHost& host, int inputs, int outputs)
    : host(host), audio(inputs, outputs, 8192) {
    sandbox.write("ConfigDlg", 0);
    sandbox.write("NumInputs", inputs);
    sandbox.write("NumOutputs", outputs);
    bridge = new CTolvane(FaultHost::callback, sandbox.identity());
    host.eventArea = bridge->channel.block ? bridge->channel.block->slaveEvents : nullptr;
    dispatch(effOpen);
    dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
    dispatch(effSetBlockSize, 0, 8192);
    dispatch(effMainsChanged, 0, 1);
}

Plugin::~Plugin() { close(); }

void Plugin::close() {
    if (!bridge) return;
    dispatch(effMainsChanged, 0, 0);
    AEffect* effect = bridge->getAeffect();
    bridge = nullptr;
    effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
}

VstIntPtr Plugin::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    AEffect* effect = bridge->getAeffect();
    return effect->dispatcher(effect, opcode, index, value, ptr, opt);
}

void Plugin::renumber(std::int32_t number) {
    bridge->renumber(number);
    host.eventArea = bridge->channel.block ? bridge->channel.block->slaveEvents : nullptr;
}

bool Plugin::block(int frames) {
    audio.prepare(frames);
    host.time.samplePos = static_cast<double>(audio.position);
    AEffect* effect = bridge->getAeffect();
    audioMeter.time([&] { effect->processReplacing(effect, audio.inputs(), audio.outputs(), frames); });
    const bool ok = audio.exact(frames);
    if (!ok) {
        corruptBlocks += !audio.allUntouched(frames);
    }
    audio.advance(frames);
    ++blocks;
    exactBlocks += ok;
    return ok;
}

bool Plugin::recover(std::chrono::milliseconds deadline, int frames, bool withIdle) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (block(frames)) return true;
        if (withIdle) idle();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// ---- Slave -----------------------------------------------------------------------------------

const char* toString(Death death) { return death == Death::Silent ? "silent" : "vanished"; }

// The handler in force for a FaultSlave, swapped under a lock so that the slave thread never sees
// a half-assigned function.
struct FaultSlave::HandlerBox {
    std::mutex mutex;
    std::function<bool(SlaveBlock&, std::int32_t)> handler = ScriptedSlave::passThrough;
};

void FaultSlave::install() {
    std::shared_ptr<HandlerBox> shared = box;
    slave->handler = [shared](SlaveBlock& block, std::int32_t command) {
        std::function<bool(SlaveBlock&, std::int32_t)> handler;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            handler = shared->handler;
        }
        return handler(block, command);
    };
}

FaultSlave::FaultSlave(std::int32_t number)
    : number(number), box(std::make_shared<HandlerBox>()), slave(std::make_unique<ScriptedSlave>(number)) {
    install();
}

FaultSlave::~FaultSlave() { slave.reset(); }

void FaultSlave::setHandler(std::function<bool(SlaveBlock&, std::int32_t)> handler) {
    std::lock_guard<std::mutex> lock(box->mutex);
    box->handler = std::move(handler);
}

void FaultSlave::dieAt(int nth, std::int32_t command, Death death) {
    auto remaining = std::make_shared<std::atomic<int>>(nth);
    ScriptedSlave* scripted = slave.get();
    setHandler([this, remaining, command, death, scripted](SlaveBlock& block, std::int32_t got) {
        if (died) return false;
        if ((command == kCmdNone || got == command) && remaining->fetch_sub(1) == 0) {
            died = true;
            if (death == Death::Vanished) scripted->detach();
            return false;
        }
        return ScriptedSlave::passThrough(block, got);
    });
}

void FaultSlave::restart() {
    slave.reset();  // clears the attach byte, as a new slave taking over a dead one's mark does
    died = false;
    setHandler(ScriptedSlave::passThrough);
    slave = std::make_unique<ScriptedSlave>(number);
    install();
}

}  // namespace fault
