// The bridge driven from several host threads at once, as a DAW drives it: blocks and events on
// the audio thread, idle calls on the GUI thread, and Slave# changes from automation or the GUI
// on whichever thread the host likes. A move to another slave number reopens the channel, which
// must not pull the block away from a processing call that is using it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bridge_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr VstInt32 kSlaveParam = 1;
constexpr int kFrames = 64;

float slaveValue(std::int32_t number) { return static_cast<float>(number + 1) / 17.0f; }

// Two inputs, two outputs; the outputs start as a sentinel so that a block left untouched shows.
struct Block {
    Block() {
        for (int c = 0; c < 2; ++c) {
            in[c].resize(kFrames);
            out[c].resize(kFrames);
            for (int i = 0; i < kFrames; ++i) in[c][i] = static_cast<float>(c * 1000 + i + 1);
            inPtr[c] = in[c].data();
            outPtr[c] = out[c].data();
        }
    }
    void process(AEffect* e) {
        for (auto& v : out) std::fill(v.begin(), v.end(), -12345.0f);
        e->processReplacing(e, inPtr, outPtr, kFrames);
    }
    bool cameBack() const { return out[0] == in[0] && out[1] == in[1]; }
    std::vector<float> in[2], out[2];
    float* inPtr[2];
    float* outPtr[2];
};

// A note on and its note off, handed over before each block as a host does.
struct TwoNotes {
    TwoNotes() {
        for (int i = 0; i < 2; ++i) {
            note[i].type = kVstMidiType;
            note[i].byteSize = sizeof(VstMidiEvent);
            note[i].deltaFrames = i * 8;
            note[i].midiData[0] = static_cast<char>(i == 0 ? 0x90 : 0x80);
            note[i].midiData[1] = 60;
            note[i].midiData[2] = 100;
            list.events[i] = reinterpret_cast<VstEvent*>(&note[i]);
        }
        list.numEvents = 2;
    }
    void send(AEffect* e) { e->dispatcher(e, effProcessEvents, 0, 0, &list, 0.0f); }
    VstMidiEvent note[2]{};
    VstEvents list{};
};

void idle(AEffect* e) { e->dispatcher(e, effIdle, 0, 0, nullptr, 0.0f); }

// Processes blocks (idling in between when `idleToo`) until one comes back unchanged through
// `slave`, which must have served a block it had not served before the call.
bool comesBackThrough(AEffect* e, ScriptedSlave& slave, bool idleToo, std::chrono::seconds limit) {
    const int before = slave.countOf(kCmdProcess);
    Block block;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (idleToo) idle(e);
        block.process(e);
        if (block.cameBack() && slave.countOf(kCmdProcess) > before) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// Calls effIdle about every millisecond until stopped, as a host's GUI thread does.
class IdleThread {
public:
    explicit IdleThread(AEffect* e)
        : thread([this, e] {
              while (!stop) {
                  idle(e);
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~IdleThread() {
        stop = true;
        thread.join();
    }

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Slave# moves the bridge over the slave numbers -1..16 that every instance shares; the test
// target holds the small-slave-number lock, so nothing else serves them meanwhile.
class BridgeThreads : public ::testing::Test {
protected:
    void SetUp() override { sandbox.write("ConfigDlg", 0); }
    FakeHost host;
    SettingsSandbox sandbox;
};

}  // namespace

TEST_F(BridgeThreads, RenumberingWhileProcessingAndIdling) {
    const std::int32_t served = 11;
    // The served number comes up every third change, so that the moves away from it meet a
    // connected link, and processing calls that are really exchanging blocks with the slave.
    const std::int32_t cycle[] = {served, 3, -1, served, 0, 16, served, 7, 5};
    const int changes = 1000;
    ScriptedSlave slave(served);
    CTolvane* b = makeBridge(sandbox);
    AEffect* e = b->getAeffect();
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);

    std::atomic<bool> renumbering{true};
    std::atomic<int> blocks{0};
    std::atomic<bool> stalled{false};
    {
        IdleThread idler(e);
        std::thread audio([&] {
            Block block;
            TwoNotes notes;
            while (renumbering) {
                notes.send(e);
                block.process(e);
                ++blocks;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
        std::thread automation([&] {
            const auto deadline = Clock::now() + std::chrono::seconds(150);
            for (int i = 0; i < changes; ++i) {
                const std::int32_t number = cycle[i % (sizeof cycle / sizeof cycle[0])];
                e->setParameter(e, kSlaveParam, slaveValue(number));
                // Long enough on the served number for the link to come up and carry blocks.
                std::this_thread::sleep_for(std::chrono::microseconds(number == served ? 3000 : 300));
                if (Clock::now() > deadline) {
                    stalled = true;
                    break;
                }
            }
            renumbering = false;
        });
        automation.join();
        audio.join();
    }
    EXPECT_FALSE(stalled) << "the Slave# changes stalled (each waits at most a few answer waits)";
    EXPECT_GT(blocks.load(), 0);

    // The bridge still works: moved to the served number, it connects and passes audio through.
    e->setParameter(e, kSlaveParam, slaveValue(3));
    e->setParameter(e, kSlaveParam, slaveValue(served));
    EXPECT_FLOAT_EQ(e->getParameter(e, kSlaveParam), slaveValue(served));
    // A generous limit: under ThreadSanitizer on a loaded machine a connect attempt can run into
    // late answers, and idle calls then pause before the next one (1 s, then 2 s, then 4 s).
    EXPECT_TRUE(comesBackThrough(e, slave, true, std::chrono::seconds(15)))
        << "connected " << b->connected << ", start pending " << b->startPending << ", slave saw "
        << slave.commands().size() << " commands";
    closeBridge(b);
}

TEST_F(BridgeThreads, SlaveChangedOnTheAudioThread) {
    // This thread is the host's audio thread: it processes, and automation changes Slave#
    // between its blocks, while another thread idles.
    const std::int32_t first = 13;
    const std::int32_t second = 14;
    ScriptedSlave slaveOne(first);
    ScriptedSlave slaveTwo(second);
    CTolvane* b = makeBridge(sandbox);
    AEffect* e = b->getAeffect();
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    {
        IdleThread idler(e);
        Block block;
        TwoNotes notes;
        for (int move = 0; move < 8; ++move) {
            const bool toFirst = move % 2 == 0;
            ScriptedSlave& target = toFirst ? slaveOne : slaveTwo;
            const std::int32_t number = toFirst ? first : second;
            for (int i = 0; i < 5; ++i) {
                notes.send(e);
                block.process(e);
            }
            e->setParameter(e, kSlaveParam, slaveValue(number));
            EXPECT_FLOAT_EQ(e->getParameter(e, kSlaveParam), slaveValue(number)) << "move " << move;
            EXPECT_TRUE(comesBackThrough(e, target, false, std::chrono::seconds(15)))
                << "move " << move << " to slave " << number << " never carried a block";
        }
    }
    closeBridge(b);
}

// A slave that holds its byte but never answers (hung, or dead without a lock object): idle
// calls come from the host's GUI thread, so after a failed attempt they leave it alone for a
// second, then longer, instead of waiting 100 ms on every other call.
TEST_F(BridgeThreads, IdleBacksOffFromASilentSlave) {
    const std::int32_t number = uniqueSlaveNumber();
    ScriptedSlave slave(number);
    slave.handler = [](SlaveBlock&, std::int32_t) { return false; };
    CTolvane* b = makeBridge(sandbox);
    AEffect* e = b->getAeffect();
    b->renumber(number);  // the first attempt: SetIo is late
    slave.clearLog();
    Clock::duration inside{};
    const auto started = Clock::now();
    while (Clock::now() - started < std::chrono::seconds(3)) {
        const auto before = Clock::now();
        idle(e);
        inside += Clock::now() - before;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double share = std::chrono::duration<double>(inside) / std::chrono::duration<double>(Clock::now() - started);
    EXPECT_LE(slave.countOf(kCmdSetIo), 2);  // after about 1 s, then 2 s later
    EXPECT_LT(share, 0.15) << "share of the time spent inside idle calls";
    closeBridge(b);
}

// Automation of CfgDlg and TrmSlave on the audio thread writes no file there: the change is
// written by the next idle call, or at close at the latest.
TEST_F(BridgeThreads, SettingsChangedOnTheAudioThreadAreWrittenLater) {
    CTolvane* b = makeBridge(sandbox);
    AEffect* e = b->getAeffect();
    Block block;
    block.process(e);  // this thread is the audio thread from now on
    std::int32_t value = -1;
    e->setParameter(e, 3, 0.0f);  // TrmSlave off
    EXPECT_TRUE(!sandbox.read("TermSlave", value) || value == 1) << "written on the audio thread";
    std::thread gui([e] { idle(e); });
    gui.join();
    EXPECT_TRUE(sandbox.read("TermSlave", value));
    EXPECT_EQ(value, 0);

    e->setParameter(e, 2, 1.0f);  // CfgDlg on, then the host closes the plug-in
    closeBridge(b);
    EXPECT_TRUE(sandbox.read("ConfigDlg", value));
    EXPECT_EQ(value, 1);
}

// Pin automation on the audio thread while the host suspends and resumes from another: a count
// waits for a suspend, and the last one set is the one in force after the last suspend.
TEST_F(BridgeThreads, PinsAutomatedOnTheAudioThreadApplyAtASuspend) {
    constexpr VstInt32 kInputsParam = 4;
    host.canDoAnswers["acceptIOChanges"] = 1;
    host.recordCalls = false;  // both threads call the host
    CTolvane* b = makeBridge(sandbox);
    AEffect* e = b->getAeffect();
    std::atomic<bool> automating{true};
    std::thread audio([&] {
        Block block;
        for (int i = 0; i < 2000; ++i) {
            block.process(e);
            e->setParameter(e, kInputsParam, static_cast<float>(i % 17) * 0.0625f);
        }
        e->setParameter(e, kInputsParam, 5 * 0.0625f);
        automating = false;
    });
    while (automating) {
        e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
        e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    }
    audio.join();
    e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(e->numInputs, 5);
    EXPECT_FLOAT_EQ(e->getParameter(e, kInputsParam), 5 * 0.0625f);
    closeBridge(b);
}
