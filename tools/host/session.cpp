#include "tools/host/session.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <thread>

#include "tools/host/audio_file.h"
#include "tools/host/signals.h"
#include "tools/host/terminal.h"
#include "tools/hosting/plugin_host.h"

namespace tolvane::host {

namespace {

using Clock = std::chrono::steady_clock;

const float kUntouchedSample = std::bit_cast<float>(kUntouchedSampleBits);

bool isUntouched(float sample) { return std::bit_cast<std::uint32_t>(sample) == kUntouchedSampleBits; }

std::string fourCharText(VstInt32 code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((static_cast<std::uint32_t>(code) >> shift) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '.';
    }
    return text;
}

std::string format(const char* pattern, auto... args) {
    char text[1024];
    std::snprintf(text, sizeof(text), pattern, args...);
    return text;
}

// Channel buffers of one direction and the pointer array handed to the plug-in.
struct ChannelBuffers {
    std::vector<std::vector<float>> channels;
    std::vector<float*> pointers;

    void allocate(int count, int frames) {
        channels.assign(static_cast<std::size_t>(count), std::vector<float>(static_cast<std::size_t>(frames), 0.0f));
        // At least one slot, so that the array pointer is never null even for zero channels.
        pointers.assign(static_cast<std::size_t>(std::max(count, 1)), nullptr);
        for (int c = 0; c < count; ++c) pointers[static_cast<std::size_t>(c)] = channels[static_cast<std::size_t>(c)].data();
    }
    int count() const { return static_cast<int>(channels.size()); }
};

// The events the host sends in one block, built in storage sized once for the most a block can
// carry (per note: the previous note's off, an on, and in the last block the final off; every SysEx).
class BlockEvents {
public:
    BlockEvents(const HostOptions& options, int blockSize)
        : notes_(options.notes), sysexPatterns_(options.sysex), channel_(options.midiChannel - 1), blockSize_(blockSize) {
        capacity_ = notes_.size() * 3 + sysexPatterns_.size();
        const std::size_t slots = std::max<std::size_t>(capacity_, 2);
        storage_.assign(offsetof(VstEvents, events) + slots * sizeof(VstEvent*), std::byte{0});
        list_ = new (storage_.data()) VstEvents{};
        slots_ = reinterpret_cast<VstEvent**>(storage_.data() + offsetof(VstEvents, events));
        midi_.resize(notes_.size() * 3);
        sysex_.resize(sysexPatterns_.size());
    }

    // Builds block b's list, ordered by deltaFrames; in the last block every note still sounding
    // gets its note-off, so that the plug-in is left with no hanging note.
    VstEvents* build(std::int64_t block, bool lastBlock) {
        std::size_t count = 0;
        std::size_t midiUsed = 0;
        for (const NotePattern& note : notes_) {
            const bool regularOff = block >= note.lengthBlocks && (block - note.lengthBlocks) % note.everyBlocks == 0;
            // The regular note-off releases the note begun at block - length; the final one the
            // latest note, which is never the same one.
            const std::int64_t lastStart = block - block % note.everyBlocks;
            const bool flushOff = lastBlock && lastStart + note.lengthBlocks > block;
            if (regularOff) slots_[count++] = noteEvent(midi_[midiUsed++], note, false, note.deltaFrames);
            if (block % note.everyBlocks == 0) slots_[count++] = noteEvent(midi_[midiUsed++], note, true, note.deltaFrames);
            if (flushOff) slots_[count++] = noteEvent(midi_[midiUsed++], note, false, blockSize_ - 1);
        }
        for (std::size_t i = 0; i < sysexPatterns_.size(); ++i) {
            const SysexPattern& pattern = sysexPatterns_[i];
            const bool due = pattern.everyBlocks > 0 ? block % pattern.everyBlocks == 0 : block == 0;
            if (!due) continue;
            VstMidiSysexEvent& event = sysex_[i];
            event = VstMidiSysexEvent{};
            event.type = kVstSysExType;
            event.byteSize = sizeof(VstMidiSysexEvent);
            event.dumpBytes = static_cast<VstInt32>(pattern.bytes.size());
            event.sysexDump = reinterpret_cast<char*>(const_cast<std::uint8_t*>(pattern.bytes.data()));
            slots_[count++] = reinterpret_cast<VstEvent*>(&event);
        }
        // Insertion sort: stable, so a note-off keeps its place before a note-on at the same frame.
        for (std::size_t i = 1; i < count; ++i) {
            VstEvent* moving = slots_[i];
            std::size_t j = i;
            while (j > 0 && slots_[j - 1]->deltaFrames > moving->deltaFrames) {
                slots_[j] = slots_[j - 1];
                --j;
            }
            slots_[j] = moving;
        }
        for (std::size_t i = count; i < std::max<std::size_t>(capacity_, 2); ++i) slots_[i] = nullptr;
        list_->numEvents = static_cast<VstInt32>(count);
        midiCount_ = midiUsed;
        sysexCount_ = count - midiUsed;
        return count > 0 ? list_ : nullptr;
    }
    std::size_t midiCount() const { return midiCount_; }
    std::size_t sysexCount() const { return sysexCount_; }

private:
    VstEvent* noteEvent(VstMidiEvent& event, const NotePattern& note, bool on, int deltaFrames) {
        event = VstMidiEvent{};
        event.type = kVstMidiType;
        event.byteSize = sizeof(VstMidiEvent);
        event.deltaFrames = deltaFrames;
        event.noteLength = on ? static_cast<VstInt32>(std::min<std::int64_t>(note.lengthBlocks * blockSize_, 1 << 30)) : 0;
        event.midiData[0] = static_cast<char>((on ? 0x90 : 0x80) | channel_);
        event.midiData[1] = static_cast<char>(note.key);
        event.midiData[2] = static_cast<char>(on ? note.velocity : 0);
        return reinterpret_cast<VstEvent*>(&event);
    }

    std::vector<NotePattern> notes_;
    std::vector<SysexPattern> sysexPatterns_;  // owns the dump bytes the events point at
    int channel_;
    int blockSize_;
    std::size_t capacity_ = 0;
    std::vector<std::byte> storage_;
    VstEvents* list_ = nullptr;
    VstEvent** slots_ = nullptr;
    std::vector<VstMidiEvent> midi_;
    std::vector<VstMidiSysexEvent> sysex_;
    std::size_t midiCount_ = 0;
    std::size_t sysexCount_ = 0;
};

// A parameter change with its target resolved and, for text, a buffer the opcode may take as char*.
struct ResolvedChange {
    VstInt32 index = 0;
    const ParameterChange* change = nullptr;
    std::vector<char> text;
};

bool applyChange(PluginHost& host, ResolvedChange& resolved) {
    if (resolved.change->asText) return host.setParameterText(resolved.index, resolved.text.data());
    return host.setParameter(resolved.index, resolved.change->value);
}

std::string parameterNames(PluginHost& host) {
    std::string names;
    const VstInt32 count = host.numParams();
    for (VstInt32 i = 0; i < count && i < 32; ++i) {
        if (i > 0) names += ", ";
        names += host.parameterName(i);
    }
    if (count > 32) names += ", ...";
    return names;
}

std::string flagsText(VstInt32 flags) {
    static const std::pair<VstInt32, const char*> kNames[] = {
        {effFlagsHasEditor, "hasEditor"},         {effFlagsCanReplacing, "canReplacing"},
        {effFlagsProgramChunks, "programChunks"}, {effFlagsIsSynth, "isSynth"},
        {effFlagsNoSoundInStop, "noSoundInStop"}, {effFlagsExtIsAsync, "isAsync"},
        {effFlagsExtHasBuffer, "hasBuffer"},      {effFlagsCanDoubleReplacing, "canDoubleReplacing"},
    };
    std::string text;
    for (const auto& [bit, name] : kNames) {
        if ((flags & bit) == 0) continue;
        if (!text.empty()) text += ' ';
        text += name;
    }
    return text.empty() ? "-" : text;
}

void printInfo(PluginHost& host, std::ostream& out) {
    const AEffect* effect = host.effect();
    out << "name            " << host.effectName() << "\n"
        << "vendor          " << host.vendorString() << "\n"
        << "product         " << host.productString() << "\n"
        << "vendor_version  " << host.vendorVersion() << "\n"
        << "vst_version     " << host.vstVersion() << "\n"
        << "unique_id       '" << fourCharText(effect->uniqueID) << "' " << effect->uniqueID << "\n"
        << "version         " << effect->version << "\n"
        << "category        " << host.plugCategory() << "\n"
        << "inputs          " << effect->numInputs << "\n"
        << "outputs         " << effect->numOutputs << "\n"
        << "parameters      " << effect->numParams << "\n"
        << "programs        " << effect->numPrograms << "\n"
        << "initial_delay   " << effect->initialDelay << "\n"
        << "flags           " << flagsText(effect->flags) << "\n";
    static const char* const kCapabilities[] = {"sendVstEvents",       "sendVstMidiEvent", "receiveVstEvents",
                                                "receiveVstMidiEvent", "receiveVstTimeInfo", "offline",
                                                "bypass",              "plugAsChannelInsert", "plugAsSend"};
    for (const char* capability : kCapabilities) {
        const VstIntPtr answer = host.canDo(capability);
        out << "can_do          " << capability << " = " << (answer > 0 ? "yes" : answer < 0 ? "no" : "unknown") << "\n";
    }
}

void printParameters(PluginHost& host, std::ostream& out) {
    out << format("%5s  %-16s %10s  %s\n", "index", "name", "value", "display");
    const VstInt32 count = host.numParams();
    for (VstInt32 i = 0; i < count; ++i) {
        std::string display = host.parameterDisplay(i);
        const std::string label = host.parameterLabel(i);
        if (!label.empty()) display += " " + label;
        out << format("%5d  %-16s %10.6f  %s\n", i, host.parameterName(i).c_str(),
                      static_cast<double>(host.getParameter(i)), display.c_str());
    }
}

void printEvents(const PluginHost& host, std::ostream& out) {
    const auto& events = host.receivedEvents();
    const auto& pool = host.sysexBytes();
    for (const ReceivedEvent& event : events) {
        out << format("block %lld delta %d ", static_cast<long long>(event.block), event.deltaFrames);
        if (event.type == kVstMidiType) {
            out << format("midi %02X %02X %02X\n", event.midi[0], event.midi[1], event.midi[2]);
        } else if (event.type == kVstSysExType) {
            out << format("sysex %d bytes:", event.sysexSize);
            for (std::uint32_t i = 0; i < event.sysexKept && i < 32; ++i) {
                out << format(" %02X", pool[event.sysexOffset + i]);
            }
            out << (event.sysexKept > 32 || event.sysexKept < static_cast<std::uint32_t>(std::max(event.sysexSize, 0))
                        ? " ...\n"
                        : "\n");
        } else {
            out << format("type %d\n", event.type);
        }
    }
}

bool writeText(const std::string& path, const std::string& text, std::ostream& out, std::string& error) {
    if (path == "-") {
        out << text;
        return true;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

// Timings of effIdle calls, each instance kept by the one thread that makes them.
struct IdleTimes {
    std::uint64_t calls = 0;
    double totalUs = 0.0;
    double maxUs = 0.0;
    std::int64_t over10ms = 0;

    void add(double us) {
        ++calls;
        totalUs += us;
        maxUs = std::max(maxUs, us);
        if (us > 10000.0) ++over10ms;
    }
};

// Sleeps until `until`, in steps of at most 10 ms so that a raised stop flag ends the wait early.
void sleepUntilOrStopped(Clock::time_point until, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        const Clock::time_point now = Clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, std::chrono::milliseconds(10)));
    }
}

// The threads that call the plug-in beside the process loop, as a DAW's GUI and automation
// threads do: effIdle every few milliseconds, and a run of parameter changes. They start before
// the loop and are stopped and joined when it ends, or on any way out of the run, before the
// plug-in is closed.
class SideThreads {
public:
    SideThreads(PluginHost& host, int idleIntervalMs, const ParameterSweep* sweep, VstInt32 sweepIndex)
        : host_(host), idleIntervalMs_(idleIntervalMs), sweep_(sweep), sweepIndex_(sweepIndex) {}
    ~SideThreads() { stop(); }
    SideThreads(const SideThreads&) = delete;
    SideThreads& operator=(const SideThreads&) = delete;

    void start() {
        if (idleIntervalMs_ > 0) idle_ = std::thread([this] { runIdle(); });
        if (sweep_ != nullptr && !sweep_->values.empty()) parameters_ = std::thread([this] { runParameters(); });
    }
    void stop() {
        stop_.store(true);
        if (idle_.joinable()) idle_.join();
        if (parameters_.joinable()) parameters_.join();
    }
    // Read after stop().
    const IdleTimes& idleTimes() const { return idleTimes_; }
    std::int64_t parameterChanges() const { return parameterChanges_; }
    double parameterSeconds() const { return parameterSeconds_; }
    double parameterMaxUs() const { return parameterMaxUs_; }

private:
    void runIdle() {
        const auto interval = std::chrono::milliseconds(idleIntervalMs_);
        Clock::time_point next = Clock::now();
        while (!stop_.load()) {
            const Clock::time_point start = Clock::now();
            host_.idle();
            idleTimes_.add(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            // The next call is due one interval after this one was; a call that overran it is
            // followed by the next at once, but missed ticks are not made up.
            next = std::max(next + interval, Clock::now());
            sleepUntilOrStopped(next, stop_);
        }
    }
    void runParameters() {
        const auto interval = std::chrono::milliseconds(sweep_->intervalMs);
        const Clock::time_point first = Clock::now();
        Clock::time_point next = first;
        for (std::int64_t i = 0; i < sweep_->count && !stop_.load(); ++i) {
            const float value = sweep_->values[static_cast<std::size_t>(i) % sweep_->values.size()];
            const Clock::time_point start = Clock::now();
            host_.setParameter(sweepIndex_, value);
            const Clock::time_point end = Clock::now();
            parameterMaxUs_ = std::max(parameterMaxUs_, std::chrono::duration<double, std::micro>(end - start).count());
            ++parameterChanges_;
            parameterSeconds_ = std::chrono::duration<double>(end - first).count();
            if (i + 1 < sweep_->count) {
                next += interval;
                sleepUntilOrStopped(next, stop_);
            }
        }
    }

    PluginHost& host_;
    const int idleIntervalMs_;
    const ParameterSweep* const sweep_;
    const VstInt32 sweepIndex_;
    std::atomic<bool> stop_{false};
    std::thread idle_;
    std::thread parameters_;
    IdleTimes idleTimes_;
    std::int64_t parameterChanges_ = 0;
    double parameterSeconds_ = 0.0;
    double parameterMaxUs_ = 0.0;
};

class ProgressLine {
public:
    ProgressLine(bool enabled, std::ostream& out, std::int64_t total) : enabled_(enabled), out_(out), total_(total) {}
    void update(std::int64_t done) {
        if (!enabled_) return;
        const Clock::time_point now = Clock::now();
        if (now < next_) return;
        next_ = now + std::chrono::milliseconds(250);
        char line[96];  // formatted in place: this runs inside the process loop
        const int length = std::snprintf(line, sizeof(line), "\r%lld/%lld blocks (%d%%) ", static_cast<long long>(done),
                                         static_cast<long long>(total_),
                                         total_ > 0 ? static_cast<int>(done * 100 / total_) : 100);
        out_.write(line, std::clamp(length, 0, static_cast<int>(sizeof(line)) - 1));
        out_.flush();
        shown_ = true;
    }
    void finish() {
        if (shown_) out_ << "\r" << std::string(48, ' ') << "\r" << std::flush;
    }

private:
    bool enabled_;
    std::ostream& out_;
    std::int64_t total_;
    Clock::time_point next_ = Clock::now() + std::chrono::milliseconds(250);
    bool shown_ = false;
};

}  // namespace

SessionResult runSession(const HostOptions& options, std::ostream& out, std::ostream& err, SessionObserver* observer) {
    SessionResult result;
    auto fail = [&](int code, const std::string& message) {
        err << "tolvane-host: " << message << "\n";
        result.exitCode = code;
        return result;
    };

    // A sound file is read first, so that its sample rate can be the run's; a raw file needs the
    // plug-in's input count and is read once the plug-in is open.
    AudioData input;
    std::string error;
    const bool haveInput = !options.inputPath.empty();
    if (haveInput && !isRawAudioPath(options.inputPath) && !readAudioFile(options.inputPath, 0, input, error)) {
        return fail(kExitFailure, error);
    }
    double sampleRate = options.sampleRate;
    if (haveInput && !options.sampleRateGiven && input.sampleRate > 0.0) sampleRate = input.sampleRate;
    const int blockSize = options.blockSize;

    HostConfig config;
    config.sampleRate = sampleRate;
    config.blockSize = blockSize;
    config.tempoBpm = options.tempoBpm;
    config.timeSigNumerator = options.timeSigNumerator;
    config.timeSigDenominator = options.timeSigDenominator;
    if (options.async) config.canDo.push_back({"asyncProcessing", CanDoAnswer::Yes});
    config.canDo.insert(config.canDo.end(), options.canDo.begin(), options.canDo.end());

    PluginHost host(config);
    if (!host.load(options.pluginPath, error)) return fail(kExitFailure, error);
    host.setSampleRate(sampleRate);
    host.setBlockSize(blockSize);

    VstInt32 inputs = 0;
    VstInt32 outputs = 0;
    host.readChannelCounts(inputs, outputs);  // checked by load
    if (haveInput && isRawAudioPath(options.inputPath)) {
        const int channels = options.inputChannels > 0 ? options.inputChannels : std::max(inputs, 1);
        if (!readAudioFile(options.inputPath, channels, input, error)) return fail(kExitFailure, error);
    }

    // Resolve every parameter change before anything runs, so that a wrong name fails at once.
    std::vector<ResolvedChange> changes;
    changes.reserve(options.parameters.size());
    for (const ParameterChange& change : options.parameters) {
        const auto index = host.findParameter(change.target);
        if (!index) {
            return fail(kExitUsage, "the plug-in has no parameter '" + change.target + "' (it has " +
                                        std::to_string(host.numParams()) + ": " + parameterNames(host) + ")");
        }
        ResolvedChange resolved;
        resolved.index = *index;
        resolved.change = &change;
        resolved.text.assign(change.text.begin(), change.text.end());
        resolved.text.push_back('\0');
        changes.push_back(std::move(resolved));
    }
    VstInt32 sweepIndex = 0;
    if (options.parameterThread) {
        const auto index = host.findParameter(options.parameterThread->target);
        if (!index) {
            return fail(kExitUsage, "the plug-in has no parameter '" + options.parameterThread->target + "' (it has " +
                                        std::to_string(host.numParams()) + ": " + parameterNames(host) + ")");
        }
        sweepIndex = *index;
    }
    Summary& summary = result.summary;
    for (ResolvedChange& resolved : changes) {
        if (resolved.change->atBlock >= 0) continue;
        ++summary.parameterChanges;
        if (!applyChange(host, resolved)) {
            ++summary.parameterChangesRefused;
            err << "tolvane-host: the plug-in refused the text '" << resolved.change->text << "' for parameter "
                << resolved.index << "\n";
        }
    }
    // Pins changed by a parameter take effect at a suspend, as a DAW applies them.
    if (host.takeIoChanged()) {
        host.suspend();
        ++summary.ioChanges;
        if (!host.readChannelCounts(inputs, outputs)) return fail(kExitFailure, "the plug-in changed its pins to invalid counts");
    }

    if (options.info) {
        printInfo(host, out);
        return result;
    }
    if (options.listParams) {
        printParameters(host, out);
        return result;
    }

    std::int64_t totalFrames = static_cast<std::int64_t>(std::llround(sampleRate));
    if (options.blocks) {
        totalFrames = *options.blocks * blockSize;
    } else if (options.frames) {
        totalFrames = *options.frames;
    } else if (options.seconds) {
        totalFrames = static_cast<std::int64_t>(std::llround(*options.seconds * sampleRate));
    } else if (haveInput) {
        totalFrames = input.frames();
    }
    const std::int64_t blocks = (totalFrames + blockSize - 1) / blockSize;
    if (blocks > kMaxSessionBlocks) {
        return fail(kExitUsage, "the run is too long: " + std::to_string(blocks) + " blocks, at most " +
                                    std::to_string(kMaxSessionBlocks));
    }

    // Everything the loop touches is allocated here.
    ChannelBuffers in;
    ChannelBuffers outBuffers;
    in.allocate(inputs, blockSize);
    outBuffers.allocate(outputs, blockSize);
    const int storedChannels = outputs;
    AudioData output;
    output.channels = storedChannels;
    output.sampleRate = sampleRate;
    if (!options.outputPath.empty()) {
        if (storedChannels < 1) return fail(kExitFailure, "the plug-in has no outputs to write to " + options.outputPath);
        const double values = static_cast<double>(totalFrames) * storedChannels;
        if (values > static_cast<double>(std::size_t{1} << 29)) {
            return fail(kExitUsage, "the output would hold more than 2 GiB: shorten the run");
        }
        output.samples.assign(static_cast<std::size_t>(values), 0.0f);
    }
    std::vector<float> blockMicros;
    blockMicros.reserve(static_cast<std::size_t>(blocks));
    // Each block's start in seconds from the loop's start, and its output peak (-1: untouched).
    std::vector<double> blockStarts;
    std::vector<float> blockPeaks;
    blockStarts.reserve(static_cast<std::size_t>(blocks));
    blockPeaks.reserve(static_cast<std::size_t>(blocks));
    std::vector<ProcessPause> pauses = options.pauses;
    std::stable_sort(pauses.begin(), pauses.end(),
                     [](const ProcessPause& a, const ProcessPause& b) { return a.atBlock < b.atBlock; });
    std::size_t nextPause = 0;
    IdleTimes loopIdleTimes;
    BlockEvents events(options, blockSize);
    SignalGenerator generator(options.signal, sampleRate, options.seed);
    std::vector<ResolvedChange*> timed;
    for (ResolvedChange& resolved : changes) {
        if (resolved.change->atBlock >= 0) timed.push_back(&resolved);
    }
    std::stable_sort(timed.begin(), timed.end(),
                     [](const ResolvedChange* a, const ResolvedChange* b) { return a->change->atBlock < b->change->atBlock; });
    std::size_t nextTimed = 0;

    summary.plugin = options.pluginPath;
    summary.effectName = host.effectName();
    summary.sampleRate = sampleRate;
    summary.blockSize = blockSize;
    summary.replacing = host.usesReplacing();
    const bool checkCounter = !haveInput && options.signal.kind == SignalKind::Counter;
    if (checkCounter) summary.counterExactBlocks = 0;

    ProgressLine progress(options.progress && !options.quiet && stdoutIsTerminal(), out, blocks);
    const auto blockDuration = std::chrono::duration<double>(blockSize / sampleRate);
    host.resume();
    host.startProcess();
    SideThreads sideThreads(host, options.idleThreadMs, options.parameterThread ? &*options.parameterThread : nullptr,
                            sweepIndex);
    sideThreads.start();
    const Clock::time_point runStart = Clock::now();
    const auto unixStart = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Pacing is counted from here; a pause moves it on by the pause's length.
    Clock::time_point paceStart = runStart;
    if (observer != nullptr) observer->loopStarted();

    for (std::int64_t block = 0; block < blocks; ++block) {
        while (nextTimed < timed.size() && timed[nextTimed]->change->atBlock <= block) {
            ++summary.parameterChanges;
            if (!applyChange(host, *timed[nextTimed])) ++summary.parameterChangesRefused;
            ++nextTimed;
        }
        while (nextPause < pauses.size() && pauses[nextPause].atBlock <= block) {
            const ProcessPause& pause = pauses[nextPause++];
            const Clock::time_point pauseStart = Clock::now();
            if (pause.suspend) {
                host.stopProcess();
                host.suspend();
            }
            std::this_thread::sleep_until(pauseStart + std::chrono::milliseconds(pause.milliseconds));
            if (pause.suspend) {
                host.resume();
                host.startProcess();
            }
            paceStart += Clock::now() - pauseStart;
            ++summary.pauses;
        }
        if (host.takeIoChanged()) {
            // The one place the loop may allocate: the plug-in changed its pins.
            host.stopProcess();
            host.suspend();
            if (!host.readChannelCounts(inputs, outputs)) {
                return fail(kExitFailure, "the plug-in changed its pins to invalid counts");
            }
            in.allocate(inputs, blockSize);
            outBuffers.allocate(outputs, blockSize);
            host.resume();
            host.startProcess();
            ++summary.ioChanges;
        }

        const std::int64_t position = block * blockSize;
        if (haveInput) {
            for (int c = 0; c < in.count(); ++c) {
                float* channel = in.pointers[static_cast<std::size_t>(c)];
                const int source = c % input.channels;
                for (int i = 0; i < blockSize; ++i) {
                    const std::int64_t frame = position + i;
                    channel[i] = frame < input.frames()
                                     ? input.samples[static_cast<std::size_t>(frame * input.channels + source)]
                                     : 0.0f;
                }
            }
        } else {
            generator.fill(in.pointers.data(), in.count(), blockSize);
        }
        const float fill = summary.replacing ? kUntouchedSample : 0.0f;
        for (int c = 0; c < outBuffers.count(); ++c) {
            std::fill_n(outBuffers.pointers[static_cast<std::size_t>(c)], blockSize, fill);
        }
        VstEvents* list = events.build(block, block == blocks - 1);
        summary.midiSent += events.midiCount();
        summary.sysexSent += events.sysexCount();
        host.beginBlock(block, position);

        const Clock::time_point start = Clock::now();
        if (list != nullptr) host.processEvents(list);
        host.processReplacing(in.pointers.data(), outBuffers.pointers.data(), blockSize);
        if (options.async && host.pluginIsAsync()) {
            ++summary.asyncBlocks;
            const Clock::time_point deadline = start + std::chrono::milliseconds(options.asyncTimeoutMs);
            for (int polls = 0;; ++polls) {
                if (host.currentPosition() >= blockSize) break;
                if (Clock::now() >= deadline) {
                    ++summary.asyncTimeouts;
                    break;
                }
                if (polls < 1000) {
                    std::this_thread::yield();
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            }
        }
        const Clock::time_point end = Clock::now();
        blockMicros.push_back(std::chrono::duration<float, std::micro>(end - start).count());
        blockStarts.push_back(std::chrono::duration<double>(start - runStart).count());

        float peak = -1.0f;
        for (int c = 0; c < outBuffers.count(); ++c) {
            const float* channel = outBuffers.pointers[static_cast<std::size_t>(c)];
            for (int i = 0; i < blockSize; ++i) {
                if (!isUntouched(channel[i])) peak = std::max(peak, std::fabs(channel[i]));
            }
        }
        blockPeaks.push_back(peak);
        if (summary.replacing) {
            std::size_t untouched = 0;
            for (int c = 0; c < outBuffers.count(); ++c) {
                const float* channel = outBuffers.pointers[static_cast<std::size_t>(c)];
                for (int i = 0; i < blockSize; ++i) untouched += isUntouched(channel[i]) ? 1 : 0;
            }
            const std::size_t total = static_cast<std::size_t>(outBuffers.count()) * static_cast<std::size_t>(blockSize);
            if (total > 0 && untouched == total) {
                ++summary.untouchedBlocks;
            } else if (untouched > 0) {
                ++summary.partialBlocks;
            }
        }
        if (checkCounter) {
            bool exact = outBuffers.count() > 0;
            for (int c = 0; exact && c < outBuffers.count(); ++c) {
                const float* channel = outBuffers.pointers[static_cast<std::size_t>(c)];
                for (int i = 0; i < blockSize; ++i) {
                    const CounterCode code = decodeCounterSample(channel[i]);
                    if (!code.valid || code.frameIndex != ((position + i) & (kCounterPeriodFrames - 1))) {
                        exact = false;
                        break;
                    }
                }
            }
            if (exact) ++summary.counterExactBlocks;
        }
        if (!output.samples.empty()) {
            const std::int64_t frames = std::min<std::int64_t>(blockSize, totalFrames - position);
            const int channels = std::min(storedChannels, outBuffers.count());
            for (int c = 0; c < channels; ++c) {
                const float* channel = outBuffers.pointers[static_cast<std::size_t>(c)];
                for (std::int64_t i = 0; i < frames; ++i) {
                    const float sample = channel[i];
                    output.samples[static_cast<std::size_t>((position + i) * storedChannels + c)] =
                        isUntouched(sample) ? 0.0f : sample;
                }
            }
        }
        if (options.idle) {
            const Clock::time_point idleStart = Clock::now();
            host.idle();
            loopIdleTimes.add(std::chrono::duration<double, std::micro>(Clock::now() - idleStart).count());
        }
        ++summary.blocks;
        progress.update(block + 1);
        if (options.realtime) std::this_thread::sleep_until(paceStart + blockDuration * static_cast<double>(block + 1));
    }
    if (observer != nullptr) observer->loopEnded();
    summary.wallSeconds = std::chrono::duration<double>(Clock::now() - runStart).count();
    sideThreads.stop();
    const IdleTimes& threadIdleTimes = sideThreads.idleTimes();
    summary.idleCalls = loopIdleTimes.calls + threadIdleTimes.calls;
    summary.idleThreadCalls = threadIdleTimes.calls;
    summary.idleMaxUs = std::max(loopIdleTimes.maxUs, threadIdleTimes.maxUs);
    summary.idleOver10ms = loopIdleTimes.over10ms + threadIdleTimes.over10ms;
    if (summary.wallSeconds > 0.0) {
        summary.idleShare = (loopIdleTimes.totalUs + threadIdleTimes.totalUs) / 1e6 / summary.wallSeconds;
    }
    summary.paramThreadChanges = sideThreads.parameterChanges();
    summary.paramThreadSeconds = sideThreads.parameterSeconds();
    summary.paramMaxUs = sideThreads.parameterMaxUs();
    for (float micros : blockMicros) summary.blocksOver10ms += micros > 10000.0f ? 1 : 0;
    if (options.realtime && !blockStarts.empty()) {
        // -80 dBFS: well below any test signal, well above denormals and rounding noise.
        constexpr float kSignalPeak = 1e-4f;
        const auto seconds = static_cast<std::size_t>(summary.wallSeconds) + 1;
        std::vector<int> withSignal(seconds, 0);
        std::vector<int> begun(seconds, 0);
        for (std::size_t b = 0; b < blockStarts.size(); ++b) {
            const auto second = std::min(static_cast<std::size_t>(blockStarts[b]), seconds - 1);
            ++begun[second];
            withSignal[second] += blockPeaks[b] > kSignalPeak ? 1 : 0;
        }
        // The last second is left out when it holds only the end of the run.
        const std::size_t shown = seconds > 1 && summary.wallSeconds - static_cast<double>(seconds - 1) < 0.5 ? seconds - 1 : seconds;
        for (std::size_t second = 0; second < shown; ++second) {
            summary.signalBySecond += begun[second] == 0 ? '.'
                                      : withSignal[second] == begun[second] ? '+'
                                      : withSignal[second] == 0             ? '-'
                                                                            : '~';
        }
    }
    progress.finish();
    host.stopProcess();
    host.suspend();
    result.ran = true;
    if (nextTimed < timed.size()) {
        err << "tolvane-host: " << (timed.size() - nextTimed) << " parameter change(s) fall after the last block\n";
    }

    summary.frames = blocks * blockSize;
    summary.inputs = inputs;
    summary.outputs = outputs;
    summary.blockTime = computeBlockTimeStats(std::vector<double>(blockMicros.begin(), blockMicros.end()));
    const HostCounters& counters = host.counters();
    summary.midiReceived = counters.midiReceived.load();
    summary.sysexReceived = counters.sysexReceived.load();
    summary.otherReceived = counters.otherEventsReceived.load();
    summary.eventsNotKept = counters.eventsNotKept.load();
    summary.badEventLists = counters.badEventLists.load();
    summary.timeQueries = counters.count(audioMasterGetTime);
    summary.automateCalls = counters.count(audioMasterAutomate);

    if (options.printEvents) printEvents(host, out);
    host.close();

    if (!options.outputPath.empty() && !writeAudioFile(options.outputPath, output, error)) {
        return fail(kExitFailure, error);
    }
    const bool machineToStdout = options.summaryJsonPath == "-" || options.summaryKvPath == "-";
    if (!options.quiet && !machineToStdout) out << formatSummaryText(summary);
    if (!options.summaryJsonPath.empty() && !writeText(options.summaryJsonPath, formatSummaryJson(summary), out, error)) {
        return fail(kExitFailure, error);
    }
    if (!options.summaryKvPath.empty() && !writeText(options.summaryKvPath, formatSummaryKv(summary), out, error)) {
        return fail(kExitFailure, error);
    }
    if (!options.blockLogPath.empty()) {
        std::string log;
        for (std::size_t b = 0; b < blockStarts.size(); ++b) {
            log += format("%.6f %.1f %.6g\n", unixStart + blockStarts[b], static_cast<double>(blockMicros[b]),
                          static_cast<double>(blockPeaks[b]));
        }
        if (!writeText(options.blockLogPath, log, out, error)) return fail(kExitFailure, error);
    }
    if (!options.blockTimesPath.empty()) {
        std::ostringstream times;
        for (float micros : blockMicros) times << micros << '\n';
        if (!writeText(options.blockTimesPath, times.str(), out, error)) return fail(kExitFailure, error);
    }
    return result;
}

int runHostTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    HostOptions options;
    const ParseResult parsed = parseArguments(argc, argv, options);
    if (!parsed.ok) {
        err << "tolvane-host: " << parsed.error << "\n";
        return kExitUsage;
    }
    if (options.help) {
        out << usageText();
        return kExitOk;
    }
    if (options.version) {
        out << "tolvane-host 1.9.0.1 (VST 2.4 host, interface version " << kVstVersion << ")\n";
        return kExitOk;
    }
    return runSession(options, out, err).exitCode;
}

}  // namespace tolvane::host
