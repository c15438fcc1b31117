// Helpers shared by the fault-injection tests: a host that checks every event the plug-in hands
// it, host buffers carrying the counter signal, a meter of the longest call on the audio thread,
// and a slave in a thread of the test whose faults a test switches on and off.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bridge/tolvane.h"
#include "tests/bridge/bridge_fixture.h"

namespace fault {

// The longest the design lets the audio thread wait in one processing call: 21 timed-out waits
// of 100 ms. Assertions add scheduling slack for a loaded 2-core machine on top of it, never
// take anything off it.
constexpr std::chrono::milliseconds kAudioWaitBound{kMaxProcessWaits * static_cast<int>(kAnswerWaitMs)};
constexpr std::chrono::milliseconds kSchedulingSlack{1500};
// A dispatch-thread call sends at most the connect sequence's four waited commands.
constexpr std::chrono::milliseconds kDispatchWaitBound{4 * static_cast<int>(kAnswerWaitMs)};

// Slave numbers of this test process: a random base far from the other tests' numbers, and a
// counter, so that a test may use many at once (16 instances) without meeting another run.
std::int32_t faultSlaveNumber();

// The seed of a randomised test: TOLVANE_FAULT_SEED when set (to replay a failure), else a fresh
// one; either way printed, so that a failure names the seed that reproduces it.
std::uint32_t testSeed();

// Prints one measured figure in a fixed form that docs/reliability.md quotes:
//   FIGURE <test> <key>=<value> ...
void figure(const std::string& line);

// ---- Host ------------------------------------------------------------------------------------

// One MIDI event the host received: its delta and its four data bytes.
struct HostMidi {
    VstInt32 deltaFrames;
    std::uint8_t data[4];
};

// The fake host as a DAW answers (events wanted, time information given), checking every event
// list the plug-in sends: one event, type MIDI or SysEx, and a SysEx dump that lies inside the
// plug-in's event area. A broken rule is counted, not thrown, so that the plug-in's call returns
// normally. It keeps no record of the calls, only their number: the runs are long.
class FaultHost : public FakeHost {
public:
    FaultHost();

    // The area a SysEx dump must lie in (the bridge's slaveEvents), when known.
    const std::uint8_t* eventArea = nullptr;

    std::vector<HostMidi> midi;
    std::uint64_t sysexCount = 0;
    std::uint64_t sysexBytes = 0;
    std::uint64_t badEvents = 0;  // lists or events that broke the rules above

protected:
    VstIntPtr receive(const VstEvents* list) override;
};

// ---- Audio -----------------------------------------------------------------------------------

// Host buffers for blocks of up to `maxFrames` frames, each an exact-size heap block so that
// AddressSanitizer reports any access past a buffer. Inputs carry the counter signal from a
// running frame index; outputs are filled with a sentinel before each block.
class HostAudio {
public:
    HostAudio(int inputs, int outputs, int maxFrames);

    // Fills the inputs for the next block of `frames` frames (starting at the running index).
    void prepare(int frames);
    // After the block: true when every output channel that has an input carries exactly that
    // input (pass-through), and `frames` of it.
    bool exact(int frames) const;
    bool untouched(int channel, int frames) const;
    // True when no output channel that has an input was written.
    bool allUntouched(int frames) const;
    void advance(int frames) { position += frames; }

    float** inputs() { return inPtr.empty() ? nullptr : inPtr.data(); }
    float** outputs() { return outPtr.data(); }
    std::int64_t position = 0;
    static constexpr float kSentinel = -7777.0f;

private:
    std::vector<std::unique_ptr<float[]>> in, out;
    std::vector<float*> inPtr, outPtr;
    int maxFrames;
};

// Times calls on the audio thread and keeps the longest.
class WaitMeter {
public:
    template <typename F> void time(F&& call) {
        const auto start = std::chrono::steady_clock::now();
        call();
        const auto took = std::chrono::steady_clock::now() - start;
        if (took > longest) longest = took;
        ++calls;
    }
    double longestMs() const { return std::chrono::duration<double, std::milli>(longest).count(); }
    std::chrono::steady_clock::duration longest{};
    std::uint64_t calls = 0;
};

// ---- Bridge ----------------------------------------------------------------------------------

// One plug-in instance driven through its record by the FaultHost, as a DAW does.
class Plugin {
public:
    Plugin(SettingsSandbox& sandbox, FaultHost& host, int inputs = 2, int outputs = 2);
    ~Plugin();  // closes it through the record unless a test already did
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    void renumber(std::int32_t number);  // through the Slave# parameter's own operation
    void idle() { dispatchMeter.time([&] { dispatch(effIdle); }); }
    // One block of `frames` frames through processReplacing, timed on the audio meter; true when
    // the outputs came back as an exact copy of the inputs.
    bool block(int frames);
    // Runs blocks (and idle calls between them) until a block comes back exact or the deadline
    // passes; true when it did.
    bool recover(std::chrono::milliseconds deadline, int frames = 64, bool idle = true);
    void close();

    CTolvane* bridge = nullptr;
    FaultHost& host;
    HostAudio audio;
    WaitMeter audioMeter;
    WaitMeter dispatchMeter;
    std::uint64_t blocks = 0;
    std::uint64_t exactBlocks = 0;
    // Blocks whose outputs were neither the inputs nor left untouched: audio the host would
    // play that is not the slave's output of that block.
    std::uint64_t corruptBlocks = 0;
};

// ---- Slave -----------------------------------------------------------------------------------

// How a slave that goes wrong goes wrong.
enum class Death {
    Silent,    // a killed process: its attach byte stays set, it never answers again
    Vanished,  // gone and its attach byte cleared, without answering the command in hand
};
const char* toString(Death death);

// A slave thread whose handler can be switched: healthy pass-through by default.
class FaultSlave {
public:
    explicit FaultSlave(std::int32_t number);
    ~FaultSlave();

    // Dies at the `nth` command from now on (0: the next one) of `command`, or of any command
    // when `command` is kCmdNone.
    void dieAt(int nth, std::int32_t command, Death death);
    // Any handler; the default is ScriptedSlave::passThrough.
    void setHandler(std::function<bool(SlaveBlock&, std::int32_t)> handler);
    bool dead() const { return died.load(); }
    int countOf(std::int32_t command) { return slave->countOf(command); }
    std::vector<std::int32_t> commands() { return slave->commands(); }
    // A restart: the old slave goes away (its attach byte cleared, as a new slave's take-over
    // does) and a healthy one attaches to the same number.
    void restart();
    ScriptedSlave& scripted() { return *slave; }

    std::int32_t number;

private:
    struct HandlerBox;
    void install();
    std::shared_ptr<HandlerBox> box;
    std::unique_ptr<ScriptedSlave> slave;
    std::atomic<bool> died{false};
};

}  // namespace fault
