#include "tools/hosting/plugin_host.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tolvane::host {

namespace {

// The instances whose plug-ins are open, so that the one callback function finds the instance a
// call belongs to. A fixed table of atomics: the callback takes no lock and allocates nothing.
constexpr int kRegistrySlots = 64;
struct RegistrySlot {
    std::atomic<AEffect*> effect{nullptr};
    std::atomic<PluginHost*> host{nullptr};
};
RegistrySlot gRegistry[kRegistrySlots];

// The instance whose entry point is running on this thread: the plug-in calls back before the
// host knows its record.
thread_local PluginHost* tLoading = nullptr;
// Set while this thread is inside a processing call: the process level answered to a callback
// depends on the thread it comes from, since effIdle and parameter changes may run on other
// threads at the same time.
thread_local bool tInProcessCall = false;

bool registerInstance(AEffect* effect, PluginHost* host) {
    for (RegistrySlot& slot : gRegistry) {
        PluginHost* expected = nullptr;
        if (slot.host.compare_exchange_strong(expected, host)) {
            slot.effect.store(effect);
            return true;
        }
    }
    return false;
}

void unregisterInstance(PluginHost* host) {
    for (RegistrySlot& slot : gRegistry) {
        if (slot.host.load() == host) {
            slot.effect.store(nullptr);
            slot.host.store(nullptr);
        }
    }
}

PluginHost* findInstance(AEffect* effect) {
    if (effect == nullptr) return nullptr;
    for (RegistrySlot& slot : gRegistry) {
        if (slot.effect.load() == effect) return slot.host.load();
    }
    return nullptr;
}

// Copies text into a plug-in's buffer of `capacity` bytes, always terminated.
VstIntPtr copyText(void* ptr, const std::string& text, std::size_t capacity) {
    if (ptr == nullptr || capacity == 0) return 0;
    const std::size_t length = std::min(text.size(), capacity - 1);
    std::memcpy(ptr, text.data(), length);
    static_cast<char*>(ptr)[length] = '\0';
    return 1;
}

// The length of a C string from the plug-in, looked at for at most `limit` bytes.
std::size_t boundedLength(const char* text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') ++length;
    return length;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    if (slash == 0) return path.substr(0, 1);
    return path.substr(0, slash);
}

}  // namespace

const char* toString(CanDoAnswer answer) {
    switch (answer) {
        case CanDoAnswer::No: return "no";
        case CanDoAnswer::Unknown: return "unknown";
        case CanDoAnswer::Yes: return "yes";
    }
    return "?";
}

std::vector<CanDoEntry> defaultHostCanDo() {
    return {
        {"sendVstEvents", CanDoAnswer::Yes},
        {"sendVstMidiEvent", CanDoAnswer::Yes},
        {"sendVstTimeInfo", CanDoAnswer::Yes},
        {"receiveVstEvents", CanDoAnswer::Yes},
        {"receiveVstMidiEvent", CanDoAnswer::Yes},
        {"sendVstMidiEventFlagIsRealtime", CanDoAnswer::Yes},
        {"acceptIOChanges", CanDoAnswer::Yes},
        {"supplyIdle", CanDoAnswer::Yes},
        {"startStopProcess", CanDoAnswer::Yes},
        {"asyncProcessing", CanDoAnswer::No},
        {"reportConnectionChanges", CanDoAnswer::No},
        {"sizeWindow", CanDoAnswer::No},
        {"offline", CanDoAnswer::No},
        {"openFileSelector", CanDoAnswer::No},
        {"closeFileSelector", CanDoAnswer::No},
        {"editFile", CanDoAnswer::No},
        {"supportShell", CanDoAnswer::No},
        {"shellCategory", CanDoAnswer::No},
    };
}

PluginHost::PluginHost(HostConfig config) : config_(std::move(config)) {
    received_.reserve(config_.keptEventCapacity);
    sysexPool_.reserve(config_.keptSysexBytes);
    acceptIoChanges_ = answerCanDo("acceptIOChanges") > 0;
    answeredSampleRate_.store(config_.sampleRate);
    answeredBlockSize_.store(config_.blockSize);
    beginBlock(-1, 0);
    transportChanged_ = true;
}

PluginHost::~PluginHost() { close(); }

bool PluginHost::load(const std::string& path, std::string& error) {
    close();
    path_ = path;
    directory_ = directoryOf(path);
    if (!library_.open(path, error)) return false;

    using EntryPoint = AEffect* (VSTCALLBACK*)(audioMasterCallback);
    void* symbol = library_.symbol("VSTPluginMain");
    if (symbol == nullptr) symbol = library_.symbol("main");
    if (symbol == nullptr) {
        error = path + " exports neither VSTPluginMain nor main: not a VST 2.4 plug-in";
        library_.close();
        return false;
    }
    auto entry = reinterpret_cast<EntryPoint>(symbol);

    PluginHost* const outer = tLoading;
    tLoading = this;
    AEffect* effect = entry(&PluginHost::callback);
    tLoading = outer;

    auto refuse = [&](const std::string& reason, bool canClose) {
        error = path + ": " + reason;
        if (canClose) effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
        library_.close();
        return false;
    };
    if (effect == nullptr) return refuse("the entry point returned no plug-in record", false);
    if (effect->magic != kEffectMagic) {
        char text[96];
        std::snprintf(text, sizeof(text), "the plug-in record has the wrong magic 0x%08X (expected 0x%08X 'VstP')",
                      static_cast<unsigned>(effect->magic), static_cast<unsigned>(kEffectMagic));
        return refuse(text, false);
    }
    if (effect->dispatcher == nullptr) return refuse("the plug-in record has no dispatcher", false);
    if (effect->processReplacing == nullptr && effect->process == nullptr) {
        return refuse("the plug-in record has no processing function", true);
    }
    if (effect->numInputs < 0 || effect->numInputs > kMaxPluginChannels || effect->numOutputs < 0 ||
        effect->numOutputs > kMaxPluginChannels) {
        return refuse("the plug-in declares " + std::to_string(effect->numInputs) + " inputs and " +
                          std::to_string(effect->numOutputs) + " outputs; 0 to " +
                          std::to_string(kMaxPluginChannels) + " each are supported",
                      true);
    }
    if (!registerInstance(effect, this)) return refuse("too many plug-ins open in this process", true);

    effect_ = effect;
    transportChanged_ = true;
    beginBlock(-1, 0);
    dispatch(effOpen);
    return true;
}

void PluginHost::close() {
    if (effect_ != nullptr) {
        if (processing_) stopProcess();
        if (resumed_) suspend();
        dispatch(effClose);  // the plug-in deletes itself: its record is gone after this
        unregister();
        effect_ = nullptr;
    }
    library_.close();
}

void PluginHost::unregister() { unregisterInstance(this); }

VstIntPtr PluginHost::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    if (effect_ == nullptr || effect_->dispatcher == nullptr) return 0;
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

std::string PluginHost::dispatchText(VstInt32 opcode, VstInt32 index) {
    // Plug-ins often write past the nominal 8, 24, 32 or 64 characters; give them ample room.
    char text[512] = {};
    dispatch(opcode, index, 0, text, 0.0f);
    text[sizeof(text) - 1] = '\0';
    return std::string(text);
}

void PluginHost::setSampleRate(double sampleRate) {
    config_.sampleRate = sampleRate;
    answeredSampleRate_.store(sampleRate, std::memory_order_relaxed);
    dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(sampleRate));
}

void PluginHost::setBlockSize(VstInt32 blockSize) {
    config_.blockSize = blockSize;
    answeredBlockSize_.store(blockSize, std::memory_order_relaxed);
    dispatch(effSetBlockSize, 0, blockSize);
}

void PluginHost::resume() {
    dispatch(effMainsChanged, 0, 1);
    resumed_ = true;
}

void PluginHost::suspend() {
    dispatch(effMainsChanged, 0, 0);
    resumed_ = false;
}

void PluginHost::startProcess() {
    dispatch(effStartProcess);
    processing_ = true;
    transportChanged_ = true;
}

void PluginHost::stopProcess() {
    dispatch(effStopProcess);
    processing_ = false;
}

bool PluginHost::readChannelCounts(VstInt32& inputs, VstInt32& outputs) const {
    if (effect_ == nullptr) return false;
    const VstInt32 in = effect_->numInputs;
    const VstInt32 out = effect_->numOutputs;
    if (in < 0 || in > kMaxPluginChannels || out < 0 || out > kMaxPluginChannels) return false;
    inputs = in;
    outputs = out;
    return true;
}

bool PluginHost::pluginIsAsync() const { return effect_ != nullptr && (effect_->flags & effFlagsExtIsAsync) != 0; }

bool PluginHost::usesReplacing() const { return effect_ != nullptr && effect_->processReplacing != nullptr; }

VstInt32 PluginHost::numParams() const {
    if (effect_ == nullptr) return 0;
    return std::clamp(effect_->numParams, 0, 1 << 20);
}

std::string PluginHost::parameterName(VstInt32 index) {
    return validIndex(index) ? dispatchText(effGetParamName, index) : std::string();
}

std::string PluginHost::parameterDisplay(VstInt32 index) {
    return validIndex(index) ? dispatchText(effGetParamDisplay, index) : std::string();
}

std::string PluginHost::parameterLabel(VstInt32 index) {
    return validIndex(index) ? dispatchText(effGetParamLabel, index) : std::string();
}

float PluginHost::getParameter(VstInt32 index) {
    if (!validIndex(index) || effect_->getParameter == nullptr) return 0.0f;
    return effect_->getParameter(effect_, index);
}

bool PluginHost::setParameter(VstInt32 index, float value) {
    if (!validIndex(index) || effect_->setParameter == nullptr) return false;
    effect_->setParameter(effect_, index, value);
    return true;
}

bool PluginHost::setParameterText(VstInt32 index, char* text) {
    if (!validIndex(index) || text == nullptr) return false;
    return dispatch(effString2Parameter, index, 0, text) != 0;
}

std::optional<VstInt32> PluginHost::findParameter(std::string_view indexOrName) {
    if (indexOrName.empty()) return std::nullopt;
    VstInt32 index = -1;
    const char* end = indexOrName.data() + indexOrName.size();
    auto parsed = std::from_chars(indexOrName.data(), end, index);
    if (parsed.ec == std::errc() && parsed.ptr == end) {
        if (validIndex(index)) return index;
        return std::nullopt;
    }
    const VstInt32 count = numParams();
    for (VstInt32 i = 0; i < count; ++i) {
        if (parameterName(i) == indexOrName) return i;
    }
    for (VstInt32 i = 0; i < count; ++i) {
        if (equalsIgnoringCase(parameterName(i), indexOrName)) return i;
    }
    return std::nullopt;
}

std::string PluginHost::effectName() { return dispatchText(effGetEffectName, 0); }
std::string PluginHost::vendorString() { return dispatchText(effGetVendorString, 0); }
std::string PluginHost::productString() { return dispatchText(effGetProductString, 0); }
VstIntPtr PluginHost::vendorVersion() { return dispatch(effGetVendorVersion); }
VstIntPtr PluginHost::plugCategory() { return dispatch(effGetPlugCategory); }
VstIntPtr PluginHost::vstVersion() { return dispatch(effGetVstVersion); }

VstIntPtr PluginHost::canDo(const char* capability) {
    return dispatch(effCanDo, 0, 0, const_cast<char*>(capability));
}

void PluginHost::beginBlock(std::int64_t blockIndex, std::int64_t samplePosition) {
    blockIndex_ = blockIndex;
    const double rate = config_.sampleRate > 0.0 ? config_.sampleRate : 44100.0;
    const double tempo = config_.tempoBpm > 0.0 ? config_.tempoBpm : 120.0;
    const double position = static_cast<double>(samplePosition);
    const double ppq = position / rate * tempo / 60.0;
    const double barQuarters = config_.timeSigDenominator > 0
                                   ? 4.0 * config_.timeSigNumerator / config_.timeSigDenominator
                                   : 4.0;
    const double clocks = ppq * 24.0;  // MIDI clock: 24 per quarter note; the nearest one is reported
    const double clockOffsetQuarters = (std::round(clocks) - clocks) / 24.0;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();

    timeInfo_ = VstTimeInfo{};
    timeInfo_.samplePos = position;
    timeInfo_.sampleRate = rate;
    timeInfo_.nanoSeconds = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    timeInfo_.ppqPos = ppq;
    timeInfo_.tempo = tempo;
    timeInfo_.barStartPos = barQuarters > 0.0 ? std::floor(ppq / barQuarters + 1e-9) * barQuarters : 0.0;
    timeInfo_.timeSigNumerator = config_.timeSigNumerator;
    timeInfo_.timeSigDenominator = config_.timeSigDenominator;
    timeInfo_.samplesToNextClock = static_cast<VstInt32>(std::lround(clockOffsetQuarters * 60.0 / tempo * rate));
    timeInfo_.flags = kVstTransportPlaying | kVstNanosValid | kVstPpqPosValid | kVstTempoValid | kVstBarsValid |
                      kVstTimeSigValid | kVstClockValid;
    if (transportChanged_ && blockIndex >= 0) {
        timeInfo_.flags |= kVstTransportChanged;
        transportChanged_ = false;
    }
}

VstIntPtr PluginHost::processEvents(VstEvents* events) { return dispatch(effProcessEvents, 0, 0, events); }

void PluginHost::processReplacing(float** inputs, float** outputs, VstInt32 frames) {
    if (effect_ == nullptr) return;
    tInProcessCall = true;
    if (effect_->processReplacing != nullptr) {
        effect_->processReplacing(effect_, inputs, outputs, frames);
    } else if (effect_->process != nullptr) {
        effect_->process(effect_, inputs, outputs, frames);
    }
    tInProcessCall = false;
}

VstIntPtr PluginHost::currentPosition() {
    tInProcessCall = true;
    const VstIntPtr position = dispatch(effGetCurrentPosition);
    tInProcessCall = false;
    return position;
}

VstIntPtr PluginHost::idle() { return dispatch(effIdle); }

namespace {
constexpr int kMaxEditorPixels = 16384;
bool plausibleEditorSize(VstIntPtr width, VstIntPtr height) {
    return width > 0 && height > 0 && width <= kMaxEditorPixels && height <= kMaxEditorPixels;
}
}  // namespace

bool PluginHost::hasEditor() const { return effect_ != nullptr && (effect_->flags & effFlagsHasEditor) != 0; }

bool PluginHost::editorRect(int& width, int& height) {
    ERect* rect = nullptr;
    dispatch(effEditGetRect, 0, 0, &rect);
    if (rect == nullptr) return false;
    const int w = rect->right - rect->left;
    const int h = rect->bottom - rect->top;
    if (!plausibleEditorSize(w, h)) return false;
    width = w;
    height = h;
    return true;
}

bool PluginHost::editorOpen(void* parent) { return dispatch(effEditOpen, 0, 0, parent) != 0; }

void PluginHost::editorIdle() { dispatch(effEditIdle); }

void PluginHost::editorClose() { dispatch(effEditClose); }

bool PluginHost::takeSizeRequest(int& width, int& height) {
    const std::uint64_t request = sizeRequest_.exchange(0);
    if (request == 0) return false;
    width = static_cast<int>(request >> 32);
    height = static_cast<int>(request & 0xFFFFFFFFu);
    return true;
}

void PluginHost::clearReceivedEvents() {
    received_.clear();
    sysexPool_.clear();
}

VstIntPtr VSTCALLBACK PluginHost::callback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                           void* ptr, float opt) noexcept {
    PluginHost* host = findInstance(effect);
    if (host == nullptr) host = tLoading;
    if (host == nullptr) return opcode == audioMasterVersion ? kVstVersion : 0;
    return host->answer(opcode, index, value, ptr, opt);
}

VstIntPtr PluginHost::answerCanDo(const char* capability) const noexcept {
    if (capability == nullptr) return 0;
    const std::size_t length = boundedLength(capability, 256);
    for (auto entry = config_.canDo.rbegin(); entry != config_.canDo.rend(); ++entry) {
        if (entry->capability.size() == length && std::memcmp(entry->capability.data(), capability, length) == 0) {
            return static_cast<VstIntPtr>(entry->answer);
        }
    }
    return 0;
}

VstIntPtr PluginHost::receiveEvents(const VstEvents* events) noexcept {
    if (events == nullptr || events->numEvents < 0) {
        counters_.badEventLists.fetch_add(1);
        return 0;
    }
    const VstInt32 count = std::min(events->numEvents, kMaxEventsPerHostCall);
    // Slots beyond the two declared ones are read through a pointer: the list is allocated longer.
    VstEvent* const* slots = events->events;
    bool sawNull = false;
    for (VstInt32 i = 0; i < count; ++i) {
        const VstEvent* event = slots[i];
        if (event == nullptr) {
            sawNull = true;
            continue;
        }
        if (eventSink_ != nullptr) {
            switch (event->type) {
                case kVstMidiType: counters_.midiReceived.fetch_add(1); break;
                case kVstSysExType: counters_.sysexReceived.fetch_add(1); break;
                default: counters_.otherEventsReceived.fetch_add(1); break;
            }
            eventSink_(eventSinkContext_, *event);
            continue;
        }
        ReceivedEvent kept;
        kept.block = blockIndex_;
        kept.type = event->type;
        kept.byteSize = event->byteSize;
        kept.deltaFrames = event->deltaFrames;
        kept.flags = event->flags;
        if (event->type == kVstMidiType) {
            counters_.midiReceived.fetch_add(1);
            VstMidiEvent midi;
            std::memcpy(&midi, event, sizeof(midi));
            for (std::size_t b = 0; b < kept.midi.size(); ++b) kept.midi[b] = static_cast<std::uint8_t>(midi.midiData[b]);
        } else if (event->type == kVstSysExType) {
            counters_.sysexReceived.fetch_add(1);
            VstMidiSysexEvent sysex;
            std::memcpy(&sysex, event, sizeof(sysex));
            kept.sysexSize = sysex.dumpBytes;
            const bool keep = sysex.sysexDump != nullptr && sysex.dumpBytes > 0 && sysex.dumpBytes <= kMaxKeptSysexDump &&
                              received_.size() < config_.keptEventCapacity &&
                              sysexPool_.size() + static_cast<std::size_t>(sysex.dumpBytes) <= config_.keptSysexBytes;
            if (keep) {
                kept.sysexOffset = static_cast<std::uint32_t>(sysexPool_.size());
                kept.sysexKept = static_cast<std::uint32_t>(sysex.dumpBytes);
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(sysex.sysexDump);
                sysexPool_.insert(sysexPool_.end(), bytes, bytes + sysex.dumpBytes);
            }
        } else {
            counters_.otherEventsReceived.fetch_add(1);
        }
        if (received_.size() < config_.keptEventCapacity) {
            received_.push_back(kept);
        } else {
            counters_.eventsNotKept.fetch_add(1);
        }
    }
    if (sawNull) counters_.badEventLists.fetch_add(1);
    return 1;
}

VstIntPtr PluginHost::answer(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float) noexcept {
    if (opcode >= 0 && opcode < 64) {
        counters_.byOpcode[static_cast<std::size_t>(opcode)].fetch_add(1, std::memory_order_relaxed);
    } else {
        counters_.unknownOpcodes.fetch_add(1, std::memory_order_relaxed);
    }
    switch (opcode) {
        case audioMasterVersion: return kVstVersion;
        case audioMasterAutomate: return 0;  // counted; the host has no automation lane to write
        case audioMasterCurrentId: return 0;
        case audioMasterIdle: return 1;
        case audioMasterPinConnected: {
            VstInt32 inputs = 0;
            VstInt32 outputs = 0;
            if (effect_ == nullptr) return 0;  // asked from the entry point: every pin is connected
            if (!readChannelCounts(inputs, outputs)) return 1;
            const VstInt32 pins = value == 0 ? inputs : outputs;
            return index >= 0 && index < pins ? 0 : 1;  // 0 means connected
        }
        case audioMasterWantMidi:
            counters_.wantMidiFilter.store(static_cast<VstInt32>(value));
            return 1;
        case audioMasterGetTime: return reinterpret_cast<VstIntPtr>(&timeInfo_);
        case audioMasterProcessEvents: return receiveEvents(static_cast<const VstEvents*>(ptr));
        case audioMasterTempoAt: return static_cast<VstIntPtr>(std::llround(config_.tempoBpm * 10000.0));
        case audioMasterGetNumAutomatableParameters: return numParams();
        case audioMasterGetParameterQuantization: return 0;
        case audioMasterIOChanged:
            if (!acceptIoChanges_) return 0;
            ioChanged_.store(true);
            return 1;
        case audioMasterNeedIdle: return 1;
        case audioMasterSizeWindow:
            if (!config_.editorWindow || !plausibleEditorSize(index, value)) return 0;
            sizeRequest_.store(static_cast<std::uint64_t>(index) << 32 | static_cast<std::uint64_t>(value));
            return 1;
        case audioMasterGetSampleRate:
            return static_cast<VstIntPtr>(std::llround(answeredSampleRate_.load(std::memory_order_relaxed)));
        case audioMasterGetBlockSize: return answeredBlockSize_.load(std::memory_order_relaxed);
        case audioMasterGetInputLatency: return 0;
        case audioMasterGetOutputLatency: return 0;
        case audioMasterGetPreviousPlug: return 0;
        case audioMasterGetNextPlug: return 0;
        case audioMasterWillReplaceOrAccumulate: return 1;  // replacing
        case audioMasterGetCurrentProcessLevel:
            return tInProcessCall ? 2 : 1;  // realtime : user
        case audioMasterGetAutomationState: return 1;  // automation off
        case audioMasterGetVendorString: return copyText(ptr, config_.vendor, kVstMaxVendorStrLen);
        case audioMasterGetProductString: return copyText(ptr, config_.product, kVstMaxProductStrLen);
        case audioMasterGetVendorVersion: return config_.vendorVersion;
        case audioMasterCanDo: return answerCanDo(static_cast<const char*>(ptr));
        case audioMasterGetLanguage: return 1;  // English
        case audioMasterGetDirectory: return reinterpret_cast<VstIntPtr>(directory_.c_str());
        case audioMasterUpdateDisplay: return 1;
        case audioMasterBeginEdit: return 1;
        case audioMasterEndEdit: return 1;
        default: return 0;  // offline processing, windows, file selectors, speaker arrangements
    }
}

}  // namespace tolvane::host
