#include "tools/slave/plugin_processor.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using tolvane::host::HostConfig;
using tolvane::host::kMaxPluginChannels;
using tolvane::host::PluginHost;

namespace {

constexpr std::string_view kPluginPrefix = "plugin:";
constexpr double kMaxPlausibleRate = 10000000.0;

// The host's answers: the slave's own name, nothing kept of the plug-in's events (they go to
// slaveEvents through the sink), and an editor window that takes the editor's size requests.
HostConfig slaveHostConfig() {
    HostConfig config;
    config.product = "tolvane-slave";
    config.keptEventCapacity = 0;
    config.keptSysexBytes = 0;
    // With --editor the editor lives in a window of the slave that follows its size.
    config.editorWindow = true;
    config.canDo.push_back({"sizeWindow", tolvane::host::CanDoAnswer::Yes});
    return config;
}

// The master copies its host's record into args when there is one, and leaves args as the last
// command left it otherwise, so the record may be anything. A record whose position or rate
// makes no sense is replaced; in one that does, fields that are not finite lose their flag.
VstTimeInfo plausibleTime(const VstTimeInfo& given, double ownPosition, float sampleRate) {
    VstTimeInfo time = given;
    const bool plausible = std::isfinite(time.samplePos) && time.samplePos >= 0.0 && std::isfinite(time.sampleRate) &&
                           time.sampleRate > 0.0 && time.sampleRate <= kMaxPlausibleRate;
    if (!plausible) {
        time = VstTimeInfo{};
        time.samplePos = ownPosition;
        time.sampleRate = sampleRate;
        return time;
    }
    auto keepIf = [&time](bool valid, VstInt32 flag) {
        if (!valid) time.flags &= ~flag;
    };
    keepIf(std::isfinite(time.nanoSeconds), kVstNanosValid);
    keepIf(std::isfinite(time.ppqPos), kVstPpqPosValid);
    keepIf(std::isfinite(time.tempo) && time.tempo > 0.0, kVstTempoValid);
    keepIf(std::isfinite(time.barStartPos), kVstBarsValid);
    keepIf(std::isfinite(time.cycleStartPos) && std::isfinite(time.cycleEndPos), kVstCyclePosValid);
    keepIf(time.timeSigNumerator > 0 && time.timeSigDenominator > 0, kVstTimeSigValid);
    return time;
}

bool parseUnitValue(std::string_view text, float& value) {
    if (text.empty() || text.size() > 63) return false;
    char buffer[64];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(buffer, &end);
    if (errno != 0 || end != buffer + text.size() || !std::isfinite(number) || number < 0.0 || number > 1.0) {
        return false;
    }
    value = static_cast<float>(number);
    return true;
}

}  // namespace

static_assert(offsetof(VstEvents, events) == 16, "the list handed to the plug-in is laid out as VstEvents");

bool parsePluginParam(std::string_view text, PluginParamSetting& setting, std::string& error) {
    const std::size_t equals = text.rfind('=');
    if (equals == std::string_view::npos || equals == 0) {
        error = "--param needs INDEX=VALUE or NAME=VALUE, not '" + std::string(text) + "'";
        return false;
    }
    if (!parseUnitValue(text.substr(equals + 1), setting.value)) {
        error = "--param " + std::string(text) + ": the value must be a number from 0 to 1";
        return false;
    }
    setting.target = std::string(text.substr(0, equals));
    return true;
}

CPluginProcessor::CPluginProcessor(std::string path, std::vector<PluginParamSetting> settings)
    : path(std::move(path)),
      settings(std::move(settings)),
      inputPointers(kMaxPluginChannels, nullptr),
      outputPointers(kMaxPluginChannels, nullptr),
      eventsIn(kMaxPluginEventsIn),
      eventList(std::make_unique<EventList>()) {
    static_assert(offsetof(EventList, events) == offsetof(VstEvents, events));
    eventList->numEvents = 0;
    eventList->reserved = 0;
}

CPluginProcessor::~CPluginProcessor() {
    closePlugin();
    host.reset();
    keepLoaded.close();
}

bool CPluginProcessor::load(std::string& error) {
    refusedSetting = false;
    if (!keepLoaded.isOpen() && !keepLoaded.open(path, error)) return false;
    host = std::make_unique<PluginHost>(slaveHostConfig());
    host->setEventSink(&CPluginProcessor::receiveEvent, this);
    if (!open(error)) return false;
    if (!stateFile.empty() && !restoreState(error)) {
        refusedSetting = true;  // the file is left as it is; another start would change nothing
        host->close();
        return false;
    }
    configurePlugin();
    return true;
}

bool CPluginProcessor::open(std::string& error) {
    if (!host->load(path, error)) return false;
    name = host->effectName();
    if (name.empty()) name = host->productString();
    for (const PluginParamSetting& setting : settings) {
        const auto index = host->findParameter(setting.target);
        if (!index) {
            error = "--param " + setting.target + ": " + (name.empty() ? path : name) + " has no such parameter (" +
                    std::to_string(host->numParams()) + " parameters, see --list-params)";
            refusedSetting = true;
            host->close();
            return false;
        }
        host->setParameter(*index, setting.value);
    }
    return true;
}

void CPluginProcessor::closePlugin() {
    if (host) host->close();  // stops processing and suspends first when needed
}

std::string CPluginProcessor::describe() const {
    char pins[64];
    std::snprintf(pins, sizeof pins, "%d in, %d out", static_cast<int>(preparedInputs),
                  static_cast<int>(preparedOutputs));
    return "plug-in " + (name.empty() ? std::string("(unnamed)") : name) + " (" + pins + ", " + path + ")";
}

void CPluginProcessor::suspendPlugin() {
    if (!isLoaded() || !host->isResumed()) return;
    host->stopProcess();
    host->suspend();
}

void CPluginProcessor::resumePlugin() {
    if (!isLoaded() || host->isResumed()) return;
    host->resume();
    host->startProcess();
}

void CPluginProcessor::configurePlugin() {
    if (!isLoaded()) return;
    host->setSampleRate(sampleRate);
    host->setBlockSize(pieceFrames);
    // The pins are read while the plug-in is suspended: a plug-in that announced a change with
    // audioMasterIOChanged applies it at its suspend.
    host->takeIoChanged();
    VstInt32 inputs = 0;
    VstInt32 outputs = 0;
    if (!host->readChannelCounts(inputs, outputs)) inputs = outputs = 0;
    preparedInputs = inputs;
    preparedOutputs = outputs;
    accumulating = !host->usesReplacing();
    const auto piece = static_cast<std::size_t>(pieceFrames);
    silentInputs.assign(static_cast<std::size_t>(inputs + 1) * piece, 0.0f);
    droppedOutputs.assign(static_cast<std::size_t>(outputs + 1) * piece, 0.0f);
    // Pins beyond the prepared ones share the last scratch channel.
    std::fill(inputPointers.begin(), inputPointers.end(), silentInputs.data() + static_cast<std::size_t>(inputs) * piece);
    std::fill(outputPointers.begin(), outputPointers.end(),
              droppedOutputs.data() + static_cast<std::size_t>(outputs) * piece);
}

void CPluginProcessor::prepare(float rate, std::int32_t maxBlockFrames, std::int32_t, std::int32_t) {
    const std::lock_guard<std::mutex> life(lifecycle);
    sampleRate = rate;
    pieceFrames = std::clamp(maxBlockFrames, 1, kMaxPluginPieceFrames);
    if (!isLoaded()) return;
    suspendPlugin();
    configurePlugin();
    if (!suspended) resumePlugin();
}

void CPluginProcessor::reset() {
    suspendPlugin();
    if (!suspended) resumePlugin();
}

void CPluginProcessor::transport(SlaveCommand command) {
    switch (command) {
    case kCmdStart:
        suspended = false;
        reset();
        break;
    case kCmdSuspend:
        suspended = true;
        suspendPlugin();
        break;
    case kCmdResume:
        suspended = false;
        resumePlugin();
        break;
    case kCmdStop:
        suspended = false;
        reopenPlugin();
        break;
    default:
        break;
    }
}

void CPluginProcessor::reopenPlugin() {
    std::unique_lock<std::mutex> lock(uiMutex);
    if (uiAttached) {
        releaseWanted = true;
        released = false;
        uiTurn.notify_all();
        const bool letGo = uiTurn.wait_for(lock, std::chrono::milliseconds(kUiReleaseWaitMs),
                                           [this] { return !uiAttached || released; });
        releaseWanted = false;
        released = false;
        if (!letGo) {
            reset();  // the UI is still in a call of this instance: it stays
            return;
        }
    }
    const std::lock_guard<std::mutex> life(lifecycle);
    // With --state the fresh instance gets the state the old one had.
    PluginState kept;
    const bool keep = !stateFile.empty() && captureStateLocked(kept);
    closePlugin();
    std::string error;
    // A plug-in that does not open again leaves the processor silent.
    if (host && open(error)) {
        if (keep) applyStateLocked(kept, error);
        configurePlugin();
        resumePlugin();
    }
}

void CPluginProcessor::attachUi() {
    std::lock_guard<std::mutex> lock(uiMutex);
    uiAttached = true;
}

void CPluginProcessor::uiStep(const std::function<void()>& release, const std::function<void(PluginHost&)>& use) {
    std::unique_lock<std::mutex> lock(uiMutex);
    const bool releasing = releaseWanted;
    if (releasing ? released : !isLoaded()) return;
    // The plug-in's call runs without the gate held, so that a Stop's reopening waits for it at
    // most kUiReleaseWaitMs however long the plug-in takes; a reopening holds the gate, so no
    // call starts while the instance changes.
    lock.unlock();
    if (releasing) {
        release();
    } else {
        use(*host);
    }
    lock.lock();
    if (releasing) {
        released = true;
        uiTurn.notify_all();
    }
}

void CPluginProcessor::waitForUiTurn(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(uiMutex);
    uiTurn.wait_for(lock, timeout, [this] { return releaseWanted && !released; });
}

void CPluginProcessor::detachUi() {
    std::lock_guard<std::mutex> lock(uiMutex);
    uiAttached = false;
    uiTurn.notify_all();
}

std::string CPluginProcessor::parameterListing() {
    std::string text = "index  name      value     display\n";
    if (!isLoaded()) return text;
    const VstInt32 count = host->numParams();
    for (VstInt32 i = 0; i < count; ++i) {
        char line[256];
        std::string display = host->parameterDisplay(i);
        const std::string label = host->parameterLabel(i);
        if (!label.empty()) display += " " + label;
        std::snprintf(line, sizeof line, "%5d  %-8s  %.6f  %s\n", static_cast<int>(i), host->parameterName(i).c_str(),
                      static_cast<double>(host->getParameter(i)), display.c_str());
        text += line;
    }
    return text;
}

void CPluginProcessor::receiveEvent(void* context, const VstEvent& event) noexcept {
    auto* self = static_cast<CPluginProcessor*>(context);
    CSlaveEventsOut* out = self->eventsOut.load(std::memory_order_acquire);
    if (out == nullptr || std::this_thread::get_id() != self->processThread.load(std::memory_order_relaxed)) {
        self->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // The record carries the event's deltaFrames within the link block, not within the piece.
    UnpackedEvent copy{};
    if (event.type == kVstMidiType) {
        std::memcpy(&copy.midi, &event, sizeof(VstMidiEvent));
    } else if (event.type == kVstSysExType) {
        std::memcpy(&copy.sysex, &event, sizeof(VstMidiSysexEvent));
    } else {
        self->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    copy.event.deltaFrames += self->pieceOffset;
    if (!out->add(&copy.event)) self->dropped.fetch_add(1, std::memory_order_relaxed);
}

void CPluginProcessor::process(const SlaveAudio& audio, const VstTimeInfo& time, const SlaveEventsIn& events,
                               CSlaveEventsOut& out) {
    const std::int32_t frames = std::max(audio.frames, 0);
    const auto silenceFrom = [&](std::int32_t first) {
        for (std::int32_t o = first; o < audio.numOutputs; ++o) {
            std::memset(audio.outputs[o], 0, static_cast<std::size_t>(frames) * sizeof(float));
        }
    };
    if (!isLoaded() || suspended || !host->isResumed()) {
        silenceFrom(0);  // the master's events were taken and are dropped with the block
        return;
    }

    // The master's events, each placed inside the block (a deltaFrames outside it would have
    // the plug-in address past its buffers).
    const std::int32_t lastFrame = std::max(frames - 1, 0);
    std::int32_t eventCount = 0;
    PackedEventReader reader(events.area, events.bytes);
    while (eventCount < kMaxPluginEventsIn && reader.next(eventsIn[static_cast<std::size_t>(eventCount)])) {
        VstEvent& event = eventsIn[static_cast<std::size_t>(eventCount)].event;
        event.deltaFrames = std::clamp(event.deltaFrames, 0, lastFrame);
        ++eventCount;
    }

    VstTimeInfo pieceTime = plausibleTime(time, ownPosition, sampleRate);
    processThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
    eventsOut.store(&out, std::memory_order_release);
    if (frames == 0) {
        // No audio to process: the events still reach the plug-in, for its next block.
        if (eventCount > 0) processPiece(audio, 0, 0, pieceTime, eventCount);
    } else {
        for (std::int32_t offset = 0; offset < frames; offset += pieceFrames) {
            processPiece(audio, offset, std::min(pieceFrames, frames - offset), pieceTime, eventCount);
        }
    }
    eventsOut.store(nullptr, std::memory_order_release);
    pieceOffset = 0;
    ownPosition += frames;
    silenceFrom(std::min(preparedOutputs, audio.numOutputs));  // link outputs the plug-in lacks
}

void CPluginProcessor::processPiece(const SlaveAudio& audio, std::int32_t offset, std::int32_t frames,
                                    VstTimeInfo& time, std::int32_t eventCount) {
    const auto piece = static_cast<std::size_t>(pieceFrames);
    const auto bytes = static_cast<std::size_t>(frames) * sizeof(float);
    for (std::int32_t i = 0; i < preparedInputs; ++i) {
        float* pin = silentInputs.data() + static_cast<std::size_t>(i) * piece;
        if (i < audio.numInputs) {
            // The plug-in's inputs are not const in the interface; it must not write them.
            pin = const_cast<float*>(audio.inputs[i]) + offset;
        } else {
            std::memset(pin, 0, bytes);  // refilled: a plug-in may have written its input
        }
        inputPointers[static_cast<std::size_t>(i)] = pin;
    }
    for (std::int32_t o = 0; o < preparedOutputs; ++o) {
        float* pin = o < audio.numOutputs ? audio.outputs[o] + offset
                                          : droppedOutputs.data() + static_cast<std::size_t>(o) * piece;
        if (accumulating) std::memset(pin, 0, bytes);
        outputPointers[static_cast<std::size_t>(o)] = pin;
    }

    // This piece's events, with deltaFrames counted from its first frame. An event is moved
    // only once: its new deltaFrames is below `frames`, so no later piece takes it again.
    VstInt32 listed = 0;
    for (std::int32_t k = 0; k < eventCount; ++k) {
        VstEvent& event = eventsIn[static_cast<std::size_t>(k)].event;
        const bool inPiece = frames == 0 || (event.deltaFrames >= offset && event.deltaFrames < offset + frames);
        if (!inPiece) continue;
        event.deltaFrames = frames == 0 ? 0 : event.deltaFrames - offset;
        eventList->events[listed++] = &event;
    }
    pieceOffset = offset;
    if (listed > 0) {
        eventList->numEvents = listed;
        host->processEvents(reinterpret_cast<VstEvents*>(eventList.get()));
    }
    if (frames == 0) return;

    VstTimeInfo pieceTime = time;
    pieceTime.samplePos = time.samplePos + offset;
    host->setTimeInfo(pieceTime);
    host->processReplacing(inputPointers.data(), outputPointers.data(), frames);
}

std::string_view pluginPathOf(std::string_view choice) {
    if (choice.substr(0, kPluginPrefix.size()) != kPluginPrefix) return {};
    return choice.substr(kPluginPrefix.size());
}

std::unique_ptr<CProcessor> makeSlaveProcessor(std::string_view choice, const std::vector<PluginParamSetting>& settings,
                                               std::string& error, bool& loadFailed, const std::string& stateFile) {
    loadFailed = false;
    if (choice.substr(0, kPluginPrefix.size()) != kPluginPrefix) {
        if (!settings.empty()) {
            error = "--param needs --process plugin:PATH";
            return nullptr;
        }
        return makeProcessor(choice, error);
    }
    const std::string_view path = pluginPathOf(choice);
    if (path.empty()) {
        error = "plugin: needs the path of a VST 2.4 plug-in library, e.g. plugin:/usr/lib/vst/3BandEQ-vst.so";
        return nullptr;
    }
    auto processor = std::make_unique<CPluginProcessor>(std::string(path), settings);
    processor->keepStateIn(stateFile);
    if (!processor->load(error)) {
        loadFailed = !processor->settingsRefused();
        return nullptr;
    }
    return processor;
}

namespace {

// "'TvFx' (1416054392)": the uniqueID as its four characters when they are printable.
std::string describeUniqueId(std::int32_t id) {
    const auto bits = static_cast<std::uint32_t>(id);
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((bits >> shift) & 0xFF);
        if (c < 0x20 || c > 0x7E) return std::to_string(id);
        text += c;
    }
    return "'" + text + "' (" + std::to_string(id) + ")";
}

}  // namespace

bool CPluginProcessor::restoreState(std::string& error) {
    PluginState state;
    switch (readStateFile(stateFile, state, error)) {
    case StateRead::Missing: return true;  // the first run: the parameter settings are the first state
    case StateRead::Refused:
        error = "--state " + error + "; it is left as it is (remove it, or name another file)";
        return false;
    case StateRead::Read: break;
    }
    const std::lock_guard<std::mutex> life(lifecycle);
    if (!applyStateLocked(state, error)) {
        error = "--state " + stateFile + ": " + error + "; it is left as it is (remove it, or name another file)";
        return false;
    }
    return true;
}

bool CPluginProcessor::captureState(PluginState& state) {
    const std::lock_guard<std::mutex> life(lifecycle);
    return captureStateLocked(state);
}

bool CPluginProcessor::captureStateLocked(PluginState& state) {
    if (!isLoaded()) return false;
    AEffect* effect = host->effect();
    state = PluginState{};
    state.uniqueId = effect->uniqueID;
    state.version = effect->version;
    const VstIntPtr program = effect->dispatcher(effect, effGetProgram, 0, 0, nullptr, 0.0f);
    state.program = static_cast<std::int32_t>(std::clamp<VstIntPtr>(program, 0, INT32_MAX));
    if ((effect->flags & effFlagsProgramChunks) != 0) {
        void* data = nullptr;
        const VstIntPtr size = effect->dispatcher(effect, effGetChunk, 0, 0, &data, 0.0f);  // index 0: the bank
        if (data != nullptr && size > 0 && static_cast<std::size_t>(size) <= kMaxStateChunkBytes) {
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            state.hasChunk = true;
            state.chunk.assign(bytes, bytes + size);
            return true;
        }
    }
    const VstInt32 count = std::clamp(host->numParams(), 0, kMaxStateParams);
    state.params.resize(static_cast<std::size_t>(count));
    for (VstInt32 i = 0; i < count; ++i) {
        state.params[static_cast<std::size_t>(i)] = std::clamp(host->getParameter(i), 0.0f, 1.0f);
    }
    return true;
}

bool CPluginProcessor::applyStateLocked(const PluginState& state, std::string& error) {
    if (!isLoaded()) {
        error = "no plug-in is open";
        return false;
    }
    AEffect* effect = host->effect();
    if (state.uniqueId != effect->uniqueID) {
        error = "it holds the state of the plug-in " + describeUniqueId(state.uniqueId) + ", not of " +
                (name.empty() ? path : name) + " " + describeUniqueId(effect->uniqueID);
        return false;
    }
    const bool chunks = (effect->flags & effFlagsProgramChunks) != 0;
    if (state.hasChunk && !chunks) {
        error = "it holds a chunk, and this version of the plug-in keeps no chunk";
        return false;
    }
    const auto setProgram = [&] {
        if (state.program >= effect->numPrograms || state.program < 0) return;
        effect->dispatcher(effect, effBeginSetProgram, 0, 0, nullptr, 0.0f);
        effect->dispatcher(effect, effSetProgram, 0, state.program, nullptr, 0.0f);
        effect->dispatcher(effect, effEndSetProgram, 0, 0, nullptr, 0.0f);
    };
    if (state.hasChunk) {
        // The plug-in takes the chunk as not const; it gets a copy it may write.
        std::vector<std::uint8_t> chunk = state.chunk;
        effect->dispatcher(effect, effSetChunk, 0, static_cast<VstIntPtr>(chunk.size()), chunk.data(), 0.0f);
        if (effect->dispatcher(effect, effGetProgram, 0, 0, nullptr, 0.0f) != state.program) setProgram();
    } else {
        // The program first: choosing one sets the parameters, which are then set as they were.
        setProgram();
        const VstInt32 count = std::min(host->numParams(), static_cast<VstInt32>(state.params.size()));
        for (VstInt32 i = 0; i < count; ++i) host->setParameter(i, state.params[static_cast<std::size_t>(i)]);
    }
    return true;
}

bool CPluginProcessor::takeStateChanged() {
    const std::lock_guard<std::mutex> life(lifecycle);
    if (!isLoaded()) return false;
    const auto& counters = host->counters();
    const std::uint64_t told = counters.count(audioMasterAutomate) + counters.count(audioMasterUpdateDisplay);
    AEffect* effect = host->effect();
    const VstIntPtr program = effect->dispatcher(effect, effGetProgram, 0, 0, nullptr, 0.0f);
    const bool changed = told != changesTold || program != programSeen;
    changesTold = told;
    programSeen = program;
    return changed;
}
