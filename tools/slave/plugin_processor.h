// A VST 2.4 plug-in as the slave's processor: the library is loaded with the hosting library's
// PluginHost, follows the master's settings and transport, and processes each block in place in
// the shared block's sample areas.
//
// Mapping of the link onto the plug-in's pins: plug-in input i reads link input i, or silence
// when the master sends fewer; plug-in output o goes to link output o, or to a scratch buffer
// that is dropped when the link carries fewer; link outputs beyond the plug-in's are silent.
// Blocks longer than the block size given to the plug-in are processed in pieces of that size,
// with the transport position and the events' deltaFrames moved to each piece.
//
// Threads: load() and the parameter calls run on the main thread before serving starts;
// prepare(), transport() and process() run on the serving thread, process() keeping the
// [audio thread] rules. The plug-in's UI calls (effIdle, the editor's opcodes) come from the
// main thread through uiStep() while the serving thread runs, as a host's GUI thread makes them
// while its audio thread processes. One thing must not overlap them: Stop closes the instance
// and opens a fresh one. So Stop, on the serving thread, first asks the main thread to let the
// instance go (uiStep then calls `release`, which closes the editor) and waits for that, at
// most kUiReleaseWaitMs; it reopens the plug-in under the UI gate, so no UI call runs beside
// it, and the main thread's next uiStep finds the new instance. When the UI does not let go in
// time (busy in a plug-in call), the instance is kept and only reset. Events the plug-in hands
// to the host from any other thread than process()'s, or outside process(), are dropped and
// counted.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/hosting/plugin_host.h"
#include "tools/hosting/plugin_library.h"
#include "tools/slave/processor.h"
#include "tools/slave/state_file.h"

// One --param setting: a parameter index or name, and a normalised value in 0..1.
struct PluginParamSetting {
    std::string target;
    float value = 0.0f;
};

// Parses "INDEX=VALUE" or "NAME=VALUE" (VALUE a number from 0 to 1). False with a message.
bool parsePluginParam(std::string_view text, PluginParamSetting& setting, std::string& error);

// The longest piece handed to the plug-in in one processReplacing call, and so the block size it
// is told; longer link blocks are processed in pieces.
constexpr std::int32_t kMaxPluginPieceFrames = 8192;
// Events of one link block handed to the plug-in: as many as the smallest records (a SysEx
// record without data, 25 bytes) that fit in masterEvents.
constexpr std::int32_t kMaxPluginEventsIn = kMaxEventBytes / (1 + kSysexRecordHeader) + 1;

class CPluginProcessor : public CProcessor {
public:
    CPluginProcessor(std::string path, std::vector<PluginParamSetting> settings);
    ~CPluginProcessor() override;  // closes the plug-in (suspending it first) and unloads it
    CPluginProcessor(const CPluginProcessor&) = delete;
    CPluginProcessor& operator=(const CPluginProcessor&) = delete;

    // [main thread] Loads the library, opens the plug-in and applies the parameter settings.
    // False with a message when the library is no VST 2.4 plug-in or a setting names no
    // parameter (settingsRefused() then tells the two apart).
    bool load(std::string& error);
    bool settingsRefused() const { return refusedSetting; }

    // The state kept in a file (--state FILE, see state_file.h). [main thread] Before load():
    // the plug-in gets the file's state when it opens, over the parameter settings (which give
    // only the first state, when the file does not exist yet), and again when it is reopened on
    // Stop. load() refuses a file of another plug-in or one that is not whole, and leaves it.
    void keepStateIn(std::string file) { stateFile = std::move(file); }
    const std::string& stateFilePath() const { return stateFile; }
    // [any thread but the audio thread] The plug-in's state now: its bank chunk when it keeps its
    // state in one (effFlagsProgramChunks), else every parameter's value; and its program.
    bool captureState(PluginState& state);
    // [any thread but the audio thread] True when the plug-in told of a change since the last
    // call (audioMasterAutomate or audioMasterUpdateDisplay, from whatever thread: the host's
    // callback only counts them) or its program is another one.
    bool takeStateChanged();
    bool isLoaded() const { return host && host->isLoaded(); }

    ProcessorKind kind() const override { return ProcessorKind::Plugin; }
    std::string describe() const override;

    // [dispatch thread] Suspends the plug-in, gives it the rate and block size, reads its pins
    // again (they may have changed while it was suspended), sizes the scratch buffers and
    // resumes it. Allocates.
    void prepare(float sampleRate, std::int32_t maxBlockFrames, std::int32_t numInputs,
                 std::int32_t numOutputs) override;
    // [audio thread] No allocation, no lock, no I/O; only the plug-in's own calls.
    void process(const SlaveAudio& audio, const VstTimeInfo& time, const SlaveEventsIn& eventsIn,
                 CSlaveEventsOut& eventsOut) override;
    // [dispatch thread] Suspends and resumes the plug-in, so that it starts from a clean state.
    void reset() override;
    // [dispatch thread] Start: a clean resume. Suspend and Resume: the plug-in's own. Stop: the
    // plug-in is closed and a fresh instance opened with the parameter settings, so that the
    // next master finds it as the first one did.
    void transport(SlaveCommand command) override;

    // One line per parameter: index, name, normalised value, display and label.
    std::string parameterListing();

    // What the plug-in's record declares in force (after the last prepare).
    std::int32_t pluginInputs() const { return preparedInputs; }
    std::int32_t pluginOutputs() const { return preparedOutputs; }
    // Events from the plug-in that could not be passed on: sent outside process() or from
    // another thread, of a type the link does not carry, or beyond the room in slaveEvents.
    std::uint64_t eventsDropped() const { return dropped.load(std::memory_order_relaxed); }
    tolvane::host::PluginHost* pluginHost() { return host.get(); }
    const std::string& pluginName() const { return name; }

    // [main thread] The UI side (see Threads above): effIdle and the editor (--editor) from the
    // main thread while the serving thread serves. attachUi() before the first uiStep(),
    // detachUi() after the last (a waiting Stop then goes ahead). uiStep() runs `use` with the
    // open instance, or, when a Stop waits to reopen it, runs `release` once (the editor is
    // closed) and returns; neither ever runs beside the reopening. waitForUiTurn() sleeps up to
    // `timeout`, waking early when a Stop waits.
    void attachUi();
    void uiStep(const std::function<void()>& release, const std::function<void(tolvane::host::PluginHost&)>& use);
    void waitForUiTurn(std::chrono::milliseconds timeout);
    void detachUi();

private:
    static void receiveEvent(void* context, const VstEvent& event) noexcept;
    bool open(std::string& error);
    void closePlugin();
    void reopenPlugin();
    void suspendPlugin();
    void resumePlugin();
    void configurePlugin();
    void processPiece(const SlaveAudio& audio, std::int32_t offset, std::int32_t frames, VstTimeInfo& time,
                      std::int32_t eventCount);

    bool restoreState(std::string& error);
    bool captureStateLocked(PluginState& state);
    bool applyStateLocked(const PluginState& state, std::string& error);

    std::string path;
    std::vector<PluginParamSetting> settings;
    bool refusedSetting = false;
    std::string stateFile;
    // Held around everything but process() that closes, reopens or reconfigures the plug-in, and
    // by the state's readers, so that no state is read from an instance being closed or reopened.
    std::mutex lifecycle;
    std::uint64_t changesTold = 0;
    VstIntPtr programSeen = 0;
    // A second reference to the library, so that closing and reopening the plug-in on Stop does
    // not unload and reload its code.
    tolvane::host::PluginLibrary keepLoaded;
    std::unique_ptr<tolvane::host::PluginHost> host;
    std::string name;

    // The master's settings in force.
    float sampleRate = 44100.0f;
    std::int32_t pieceFrames = 1024;
    bool suspended = false;  // the master suspended the link: blocks give silence

    // Sized by prepare(): the plug-in's pins and their scratch buffers.
    std::int32_t preparedInputs = 0;
    std::int32_t preparedOutputs = 0;
    bool accumulating = false;  // the plug-in has only the adding process(): outputs are cleared first
    std::vector<float> silentInputs;  // (preparedInputs + 1) x pieceFrames, refilled with zeros
    std::vector<float> droppedOutputs;  // (preparedOutputs + 1) x pieceFrames
    // Pointer arrays of the largest count a record may declare, so that a plug-in that changes
    // its pins without telling still reads and writes only scratch memory.
    std::vector<float*> inputPointers;
    std::vector<float*> outputPointers;

    // The events of one link block, rebuilt from the packed records, and the list handed over.
    struct EventList {
        VstInt32 numEvents;
        VstIntPtr reserved;
        VstEvent* events[kMaxPluginEventsIn];
    };
    std::vector<UnpackedEvent> eventsIn;
    std::unique_ptr<EventList> eventList;

    // Where the plug-in's own events go while process() runs, and the offset of the piece being
    // processed (added back to their deltaFrames).
    std::atomic<CSlaveEventsOut*> eventsOut{nullptr};
    std::atomic<std::thread::id> processThread{};
    std::int32_t pieceOffset = 0;
    std::atomic<std::uint64_t> dropped{0};

    // The position used when the master's time record is not plausible.
    double ownPosition = 0.0;

    // The editor's thread and the serving thread's reopening on Stop.
    std::mutex uiMutex;
    std::condition_variable uiTurn;
    bool uiAttached = false;
    bool releaseWanted = false;
    bool released = false;
};

// How long the reopening on Stop waits for the editor to let go of the instance: the main
// thread lets go within one of its ticks (33 ms), and the wait is short against the time a
// supervisor gives a command before it counts the child hung (--hang-limit, 1 s by default).
constexpr std::uint32_t kUiReleaseWaitMs = 250;

// Builds the processor the command line names: "plugin:PATH" loads that plug-in with the given
// parameter settings; anything else goes to makeProcessor. Null with a message in `error`;
// `loadFailed` is then true when the text named a plug-in library that could not be loaded or
// opened, false for a malformed choice or a setting that names no parameter of the plug-in.
// `stateFile`, when not empty, is the plug-in's --state file.
std::unique_ptr<CProcessor> makeSlaveProcessor(std::string_view choice, const std::vector<PluginParamSetting>& settings,
                                               std::string& error, bool& loadFailed,
                                               const std::string& stateFile = {});

// The path of "plugin:PATH", or empty when the choice names no plug-in.
std::string_view pluginPathOf(std::string_view choice);
