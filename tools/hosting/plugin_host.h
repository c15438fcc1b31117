// One VST 2.4 plug-in instance in a host: loading the library and checking its record, the host
// callback that answers the plug-in as a DAW does, the lifecycle calls, parameters, and what the
// host observed (events the plug-in sent, which host opcodes it used, whether its pins changed).
//
// Its user (tolvane-host's run loop, the slave's plug-in processor) drives the lifecycle and the
// process loop from one thread; in tolvane-host on request (--idle-thread, --param-thread) effIdle
// and setParameter come from threads of their own at the same time, as in a DAW. The callback
// keeps its counters atomic and answers the process level by the calling thread, so a plug-in
// calling it from any thread is answered and counted correctly; the kept events and the time
// information are meant for the thread that runs the process loop.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/thread_tags.h"
#include "frame/vst_abi.h"
#include "tools/hosting/plugin_library.h"

namespace tolvane::host {

// At most this many audio channels each way are accepted from a plug-in's record.
inline constexpr VstInt32 kMaxPluginChannels = 256;
// At most this many events of one audioMasterProcessEvents call are looked at.
inline constexpr VstInt32 kMaxEventsPerHostCall = 4096;
// A SysEx dump longer than this is counted but its bytes are not kept.
inline constexpr VstInt32 kMaxKeptSysexDump = 65536;

// The VST answer to a capability question: 1 yes, 0 don't know, -1 no.
enum class CanDoAnswer : int { No = -1, Unknown = 0, Yes = 1 };

const char* toString(CanDoAnswer answer);

struct CanDoEntry {
    std::string capability;
    CanDoAnswer answer = CanDoAnswer::Unknown;
};

// The capabilities a DAW without an editor window or offline processing claims. "asyncProcessing"
// is No unless the user asks for asynchronous mode.
std::vector<CanDoEntry> defaultHostCanDo();

// What the host tells the plug-in.
struct HostConfig {
    double sampleRate = 44100.0;
    VstInt32 blockSize = 512;
    double tempoBpm = 120.0;
    VstInt32 timeSigNumerator = 4;
    VstInt32 timeSigDenominator = 4;
    // Looked up from the back, so that entries appended later override the defaults.
    std::vector<CanDoEntry> canDo = defaultHostCanDo();
    std::string vendor = "Edrin Vantor";
    std::string product = "tolvane-host";
    VstInt32 vendorVersion = 1901;
    // Room for the events the plug-in sends; counted beyond this, but not kept.
    std::size_t keptEventCapacity = 4096;
    std::size_t keptSysexBytes = 1u << 20;
    // The host shows the plug-in's editor in a window of its own that follows the editor's size:
    // audioMasterSizeWindow is taken (see takeSizeRequest) instead of refused. Add "sizeWindow"
    // to canDo as well to announce it.
    bool editorWindow = false;
};

// One event the plug-in handed to the host through audioMasterProcessEvents.
struct ReceivedEvent {
    std::int64_t block = -1;  // the host's block index when it arrived
    VstInt32 type = 0;
    VstInt32 byteSize = 0;
    VstInt32 deltaFrames = 0;
    VstInt32 flags = 0;
    std::array<std::uint8_t, 4> midi{};  // MIDI events
    VstInt32 sysexSize = 0;              // SysEx events: the dump's length as the plug-in gave it
    std::uint32_t sysexOffset = 0;       // where its kept bytes start in sysexBytes()
    std::uint32_t sysexKept = 0;         // how many of them were kept
};

// What the plug-in asked of the host, counted by the callback.
struct HostCounters {
    std::array<std::atomic<std::uint64_t>, 64> byOpcode{};  // host opcodes 0..63
    std::atomic<std::uint64_t> unknownOpcodes{0};
    std::atomic<std::uint64_t> midiReceived{0};
    std::atomic<std::uint64_t> sysexReceived{0};
    std::atomic<std::uint64_t> otherEventsReceived{0};
    std::atomic<std::uint64_t> eventsNotKept{0};  // counted above, but beyond the kept capacity
    std::atomic<std::uint64_t> badEventLists{0};  // null list, negative count or null event pointers
    std::atomic<VstInt32> wantMidiFilter{0};
    std::uint64_t count(VstInt32 opcode) const {
        return opcode >= 0 && opcode < 64 ? byOpcode[static_cast<std::size_t>(opcode)].load() : 0;
    }
};

class PluginHost {
public:
    explicit PluginHost(HostConfig config = {});
    ~PluginHost();  // closes the plug-in and unloads the library
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // [main thread] Loads the library, calls VSTPluginMain (else main) with the host callback,
    // checks the record (not null, the magic, a dispatcher, a processing function, channel counts
    // within 0..kMaxPluginChannels) and sends effOpen. On failure nothing more of the plug-in is
    // called (a record with a wrong magic may be anything) and the library is unloaded.
    bool load(const std::string& path, std::string& error);
    // [dispatch thread] Stops processing and suspends if needed, sends effClose, unloads.
    void close();
    bool isLoaded() const { return effect_ != nullptr; }
    AEffect* effect() const { return effect_; }
    const HostConfig& config() const { return config_; }
    const std::string& pluginPath() const { return path_; }

    // [dispatch thread] Lifecycle. Each sends its opcode and records the state it leaves.
    void setSampleRate(double sampleRate);
    void setBlockSize(VstInt32 blockSize);
    void resume();   // effMainsChanged 1
    void suspend();  // effMainsChanged 0
    void startProcess();
    void stopProcess();
    bool isResumed() const { return resumed_; }

    // The record's channel counts, read now; false when they are outside 0..kMaxPluginChannels.
    bool readChannelCounts(VstInt32& inputs, VstInt32& outputs) const;
    // True once after the plug-in reported changed pins with audioMasterIOChanged (and the host
    // accepted that); the caller then suspends, re-reads the counts and resumes.
    bool takeIoChanged() { return ioChanged_.exchange(false); }
    // The plug-in's asynchronous flag, read now.
    bool pluginIsAsync() const;
    bool usesReplacing() const;

    // [dispatch thread] Parameters; indices outside 0..numParams-1 are refused (empty text, 0.0,
    // false) without calling the plug-in.
    VstInt32 numParams() const;
    std::string parameterName(VstInt32 index);
    std::string parameterDisplay(VstInt32 index);
    std::string parameterLabel(VstInt32 index);
    float getParameter(VstInt32 index);
    bool setParameter(VstInt32 index, float value);
    // effString2Parameter with a terminated text the caller owns (the opcode takes it as char*);
    // true when the plug-in took the text. Allocates nothing, so it may run between blocks.
    bool setParameterText(VstInt32 index, char* text);
    // A decimal index, else a parameter name (exact first, then ignoring case).
    std::optional<VstInt32> findParameter(std::string_view indexOrName);

    // [dispatch thread] Identity and capabilities.
    std::string effectName();
    std::string vendorString();
    std::string productString();
    VstIntPtr vendorVersion();
    VstIntPtr plugCategory();
    VstIntPtr vstVersion();
    VstIntPtr canDo(const char* capability);

    // [audio thread] The process loop. beginBlock sets the transport for the coming block (the
    // time information the plug-in gets from audioMasterGetTime) and the block index recorded
    // with received events. Allocate nothing.
    void beginBlock(std::int64_t blockIndex, std::int64_t samplePosition);
    // [audio thread] Answers audioMasterGetTime with this record until the next beginBlock or
    // setTimeInfo, for a caller whose transport comes from elsewhere (the slave's master).
    void setTimeInfo(const VstTimeInfo& time) { timeInfo_ = time; }

    // Where the events of audioMasterProcessEvents go instead of receivedEvents(): the sink is
    // called once per non-null event, on whichever thread the plug-in calls from, and must take
    // no lock and allocate nothing. Set it before load() (the plug-in may call back from then
    // on); null restores keeping them.
    using EventSink = void (*)(void* context, const VstEvent& event) noexcept;
    void setEventSink(EventSink sink, void* context) {
        eventSinkContext_ = context;
        eventSink_ = sink;
    }
    VstIntPtr processEvents(VstEvents* events);  // [dispatch thread] effProcessEvents
    void processReplacing(float** inputs, float** outputs, VstInt32 frames);
    VstIntPtr currentPosition();  // effGetCurrentPosition
    VstIntPtr idle();             // [dispatch thread] effIdle

    // [dispatch thread] The editor, called from the host's GUI thread. hasEditor reads the
    // record's flag; editorRect asks effEditGetRect and is false without a rectangle of a
    // positive size (at most 16384 pixels each way); editorOpen hands effEditOpen the parent
    // window (an X11 Window id or an HWND) and is false when the plug-in refuses it.
    bool hasEditor() const;
    bool editorRect(int& width, int& height);
    bool editorOpen(void* parent);
    void editorIdle();   // effEditIdle
    void editorClose();  // effEditClose
    // The size the plug-in last asked for with audioMasterSizeWindow (HostConfig::editorWindow),
    // once; bounded as editorRect's. [any thread]
    bool takeSizeRequest(int& width, int& height);

    // What the host observed.
    const VstTimeInfo& timeInfo() const { return timeInfo_; }
    const std::vector<ReceivedEvent>& receivedEvents() const { return received_; }
    const std::vector<std::uint8_t>& sysexBytes() const { return sysexPool_; }
    const HostCounters& counters() const { return counters_; }
    void clearReceivedEvents();

    // [audio thread] [dispatch thread] The host callback handed to the plug-in: whichever thread
    // the plug-in calls from; takes no lock and allocates nothing. Public so that tests can call
    // it as a plug-in would. Finds the instance by the effect pointer (during the entry point's
    // call, before the record is known, the instance being loaded on this thread); without an
    // instance it answers only audioMasterVersion.
    static VstIntPtr VSTCALLBACK callback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                          void* ptr, float opt) noexcept;

private:
    VstIntPtr answer(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) noexcept;
    VstIntPtr answerCanDo(const char* capability) const noexcept;
    VstIntPtr receiveEvents(const VstEvents* events) noexcept;
    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    std::string dispatchText(VstInt32 opcode, VstInt32 index);
    bool validIndex(VstInt32 index) const { return index >= 0 && index < numParams(); }
    void unregister();

    HostConfig config_;
    PluginLibrary library_;
    AEffect* effect_ = nullptr;
    std::string path_;
    std::string directory_;  // answered to audioMasterGetDirectory
    bool resumed_ = false;
    bool processing_ = false;  // between effStartProcess and effStopProcess
    std::atomic<bool> ioChanged_{false};
    std::atomic<std::uint64_t> sizeRequest_{0};  // width << 32 | height; 0 when none is pending
    // The rate and block size as the callback answers them: a plug-in may ask from its editor's
    // thread while the serving thread sets them.
    std::atomic<double> answeredSampleRate_{44100.0};
    std::atomic<VstInt32> answeredBlockSize_{512};
    bool acceptIoChanges_ = true;

    VstTimeInfo timeInfo_{};
    bool transportChanged_ = true;
    std::int64_t blockIndex_ = -1;

    EventSink eventSink_ = nullptr;
    void* eventSinkContext_ = nullptr;

    std::vector<ReceivedEvent> received_;  // reserved up front: the callback never allocates
    std::vector<std::uint8_t> sysexPool_;  // likewise
    HostCounters counters_;
};

}  // namespace tolvane::host
