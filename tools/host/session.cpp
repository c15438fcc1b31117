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
#include <optional>
#include <sstream>
#include <thread>

#include "tolvane_version.h"  // the version that runHostTool prints
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

// One run of the process loop and all around it, in three parts: setUp() loads the plug-in,
// applies the options, allocates everything the loop touches and starts the threads and the
// clock; processBlock() is one iteration of the loop; report() stops the run, completes the
// summary and writes the results. The members are declared in the order the run creates them,
// so that they go in the reverse order: the side threads stop before the plug-in is closed.
class Session {
public:
    Session(const HostOptions& options, std::ostream& out, std::ostream& err)
        : options_(options), out_(out), err_(err) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // False when the run ends here: on a failure, or once --info or --list-params has printed.
    bool setUp();
    // One block of the loop. It allocates nothing unless the plug-in changes its pins. False on a
    // failure.
    bool processBlock(std::int64_t block);
    // Right after the last block.
    void report();

    std::int64_t blocks() const { return blocks_; }
    const SessionResult& result() const { return result_; }

private:
    bool fail(int code, const std::string& message) {
        err_ << "tolvane-host: " << message << "\n";
        result_.exitCode = code;
        return false;
    }

    // setUp's parts.
    bool loadPlugin();
    bool resolveParameters();
    bool allocateRun();
    void startRun();

    // processBlock's parts.
    void applyDueChanges(std::int64_t block);
    void pauseIfDue(std::int64_t block);
    bool applyPinChange();
    void prepareBuffers(std::int64_t position);
    void callPlugin(std::int64_t block, std::int64_t position);
    void checkOutput(std::int64_t position);
    void storeOutput(std::int64_t position);

    // report's parts.
    void summariseThreads();
    void summariseSignal();
    void writeResults();

    const HostOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    SessionResult result_;
    Summary& summary_ = result_.summary;

    AudioData input_;
    std::string error_;
    bool haveInput_ = false;
    double sampleRate_ = 0.0;
    int blockSize_ = 0;
    std::optional<PluginHost> host_;
    VstInt32 inputs_ = 0;
    VstInt32 outputs_ = 0;
    std::vector<ResolvedChange> changes_;
    VstInt32 sweepIndex_ = 0;

    std::int64_t totalFrames_ = 0;
    std::int64_t blocks_ = 0;
    ChannelBuffers in_;
    ChannelBuffers outBuffers_;
    int storedChannels_ = 0;
    AudioData output_;
    std::vector<float> blockMicros_;
    // Each block's start in seconds from the loop's start, and its output peak (-1: untouched).
    std::vector<double> blockStarts_;
    std::vector<float> blockPeaks_;
    std::vector<ProcessPause> pauses_;
    std::size_t nextPause_ = 0;
    IdleTimes loopIdleTimes_;
    std::optional<BlockEvents> events_;
    std::optional<SignalGenerator> generator_;
    std::vector<ResolvedChange*> timed_;
    std::size_t nextTimed_ = 0;
    bool checkCounter_ = false;

    std::optional<ProgressLine> progress_;
    std::chrono::duration<double> blockDuration_{0.0};
    std::optional<SideThreads> sideThreads_;
    Clock::time_point runStart_;
    double unixStart_ = 0.0;
    // Pacing is counted from here; a pause moves it on by the pause's length.
    Clock::time_point paceStart_;
};

bool Session::setUp() {
    if (!loadPlugin() || !resolveParameters()) return false;
    if (options_.info) {
        printInfo(*host_, out_);
        return false;
    }
    if (options_.listParams) {
        printParameters(*host_, out_);
        return false;
    }
    if (!allocateRun()) return false;
    startRun();
    return true;
}

bool Session::loadPlugin() {
    // A sound file is read first, so that its sample rate can be the run's; a raw file needs the
    // plug-in's input count and is read once the plug-in is open.
    haveInput_ = !options_.inputPath.empty();
    if (haveInput_ && !isRawAudioPath(options_.inputPath) && !readAudioFile(options_.inputPath, 0, input_, error_)) {
        return fail(kExitFailure, error_);
    }
    sampleRate_ = options_.sampleRate;
    if (haveInput_ && !options_.sampleRateGiven && input_.sampleRate > 0.0) sampleRate_ = input_.sampleRate;
    blockSize_ = options_.blockSize;

    HostConfig config;
    config.sampleRate = sampleRate_;
    config.blockSize = blockSize_;
    config.tempoBpm = options_.tempoBpm;
    config.timeSigNumerator = options_.timeSigNumerator;
    config.timeSigDenominator = options_.timeSigDenominator;
    if (options_.async) config.canDo.push_back({"asyncProcessing", CanDoAnswer::Yes});
    config.canDo.insert(config.canDo.end(), options_.canDo.begin(), options_.canDo.end());

    PluginHost& host = host_.emplace(config);
    if (!host.load(options_.pluginPath, error_)) return fail(kExitFailure, error_);
    host.setSampleRate(sampleRate_);
    host.setBlockSize(blockSize_);

    host.readChannelCounts(inputs_, outputs_);  // checked by load
    if (haveInput_ && isRawAudioPath(options_.inputPath)) {
        const int channels = options_.inputChannels > 0 ? options_.inputChannels : std::max(inputs_, 1);
        if (!readAudioFile(options_.inputPath, channels, input_, error_)) return fail(kExitFailure, error_);
    }
    return true;
}

bool Session::resolveParameters() {
    PluginHost& host = *host_;
    // Resolve every parameter change before anything runs, so that a wrong name fails at once.
    changes_.reserve(options_.parameters.size());
    for (const ParameterChange& change : options_.parameters) {
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
        changes_.push_back(std::move(resolved));
    }
    if (options_.parameterThread) {
        const auto index = host.findParameter(options_.parameterThread->target);
        if (!index) {
            return fail(kExitUsage, "the plug-in has no parameter '" + options_.parameterThread->target + "' (it has " +
                                        std::to_string(host.numParams()) + ": " + parameterNames(host) + ")");
        }
        sweepIndex_ = *index;
    }
    for (ResolvedChange& resolved : changes_) {
        if (resolved.change->atBlock >= 0) continue;
        ++summary_.parameterChanges;
        if (!applyChange(host, resolved)) {
            ++summary_.parameterChangesRefused;
            err_ << "tolvane-host: the plug-in refused the text '" << resolved.change->text << "' for parameter "
                 << resolved.index << "\n";
        }
    }
    // Pins changed by a parameter take effect at a suspend, as a DAW applies them.
    if (host.takeIoChanged()) {
        host.suspend();
        ++summary_.ioChanges;
        if (!host.readChannelCounts(inputs_, outputs_)) {
            return fail(kExitFailure, "the plug-in changed its pins to invalid counts");
        }
    }
    return true;
}

// Everything the loop touches is allocated here.
bool Session::allocateRun() {
    totalFrames_ = static_cast<std::int64_t>(std::llround(sampleRate_));
    if (options_.blocks) {
        totalFrames_ = *options_.blocks * blockSize_;
    } else if (options_.frames) {
        totalFrames_ = *options_.frames;
    } else if (options_.seconds) {
        totalFrames_ = static_cast<std::int64_t>(std::llround(*options_.seconds * sampleRate_));
    } else if (haveInput_) {
        totalFrames_ = input_.frames();
    }
    blocks_ = (totalFrames_ + blockSize_ - 1) / blockSize_;
    if (blocks_ > kMaxSessionBlocks) {
        return fail(kExitUsage, "the run is too long: " + std::to_string(blocks_) + " blocks, at most " +
                                    std::to_string(kMaxSessionBlocks));
    }

    in_.allocate(inputs_, blockSize_);
    outBuffers_.allocate(outputs_, blockSize_);
    storedChannels_ = outputs_;
    output_.channels = storedChannels_;
    output_.sampleRate = sampleRate_;
    if (!options_.outputPath.empty()) {
        if (storedChannels_ < 1) return fail(kExitFailure, "the plug-in has no outputs to write to " + options_.outputPath);
        const double values = static_cast<double>(totalFrames_) * storedChannels_;
        if (values > static_cast<double>(std::size_t{1} << 29)) {
            return fail(kExitUsage, "the output would hold more than 2 GiB: shorten the run");
        }
        output_.samples.assign(static_cast<std::size_t>(values), 0.0f);
    }
    blockMicros_.reserve(static_cast<std::size_t>(blocks_));
    blockStarts_.reserve(static_cast<std::size_t>(blocks_));
    blockPeaks_.reserve(static_cast<std::size_t>(blocks_));
    pauses_ = options_.pauses;
    std::stable_sort(pauses_.begin(), pauses_.end(),
                     [](const ProcessPause& a, const ProcessPause& b) { return a.atBlock < b.atBlock; });
    events_.emplace(options_, blockSize_);
    generator_.emplace(options_.signal, sampleRate_, options_.seed);
    for (ResolvedChange& resolved : changes_) {
        if (resolved.change->atBlock >= 0) timed_.push_back(&resolved);
    }
    std::stable_sort(timed_.begin(), timed_.end(),
                     [](const ResolvedChange* a, const ResolvedChange* b) { return a->change->atBlock < b->change->atBlock; });

    summary_.plugin = options_.pluginPath;
    summary_.effectName = host_->effectName();
    summary_.sampleRate = sampleRate_;
    summary_.blockSize = blockSize_;
    summary_.replacing = host_->usesReplacing();
    checkCounter_ = !haveInput_ && options_.signal.kind == SignalKind::Counter;
    if (checkCounter_) summary_.counterExactBlocks = 0;
    return true;
}

void Session::startRun() {
    progress_.emplace(options_.progress && !options_.quiet && stdoutIsTerminal(), out_, blocks_);
    blockDuration_ = std::chrono::duration<double>(blockSize_ / sampleRate_);
    host_->resume();
    host_->startProcess();
    sideThreads_.emplace(*host_, options_.idleThreadMs,
                         options_.parameterThread ? &*options_.parameterThread : nullptr, sweepIndex_);
    sideThreads_->start();
    runStart_ = Clock::now();
    unixStart_ = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    paceStart_ = runStart_;
}

bool Session::processBlock(std::int64_t block) {
    applyDueChanges(block);
    pauseIfDue(block);
    if (!applyPinChange()) return false;
    const std::int64_t position = block * blockSize_;
    prepareBuffers(position);
    callPlugin(block, position);
    checkOutput(position);
    storeOutput(position);
    if (options_.idle) {
        const Clock::time_point idleStart = Clock::now();
        host_->idle();
        loopIdleTimes_.add(std::chrono::duration<double, std::micro>(Clock::now() - idleStart).count());
    }
    ++summary_.blocks;
    progress_->update(block + 1);
    if (options_.realtime) std::this_thread::sleep_until(paceStart_ + blockDuration_ * static_cast<double>(block + 1));
    return true;
}

void Session::applyDueChanges(std::int64_t block) {
    while (nextTimed_ < timed_.size() && timed_[nextTimed_]->change->atBlock <= block) {
        ++summary_.parameterChanges;
        if (!applyChange(*host_, *timed_[nextTimed_])) ++summary_.parameterChangesRefused;
        ++nextTimed_;
    }
}

void Session::pauseIfDue(std::int64_t block) {
    while (nextPause_ < pauses_.size() && pauses_[nextPause_].atBlock <= block) {
        const ProcessPause& pause = pauses_[nextPause_++];
        const Clock::time_point pauseStart = Clock::now();
        if (pause.suspend) {
            host_->stopProcess();
            host_->suspend();
        }
        std::this_thread::sleep_until(pauseStart + std::chrono::milliseconds(pause.milliseconds));
        if (pause.suspend) {
            host_->resume();
            host_->startProcess();
        }
        paceStart_ += Clock::now() - pauseStart;
        ++summary_.pauses;
    }
}

bool Session::applyPinChange() {
    if (!host_->takeIoChanged()) return true;
    // The one place the loop may allocate: the plug-in changed its pins.
    host_->stopProcess();
    host_->suspend();
    if (!host_->readChannelCounts(inputs_, outputs_)) {
        return fail(kExitFailure, "the plug-in changed its pins to invalid counts");
    }
    in_.allocate(inputs_, blockSize_);
    outBuffers_.allocate(outputs_, blockSize_);
    host_->resume();
    host_->startProcess();
    ++summary_.ioChanges;
    return true;
}

// Fills the inputs from the input file or the generator, and the outputs with the pattern that
// shows which samples the plug-in left untouched.
void Session::prepareBuffers(std::int64_t position) {
    if (haveInput_) {
        for (int c = 0; c < in_.count(); ++c) {
            float* channel = in_.pointers[static_cast<std::size_t>(c)];
            const int source = c % input_.channels;
            for (int i = 0; i < blockSize_; ++i) {
                const std::int64_t frame = position + i;
                channel[i] = frame < input_.frames()
                                 ? input_.samples[static_cast<std::size_t>(frame * input_.channels + source)]
                                 : 0.0f;
            }
        }
    } else {
        generator_->fill(in_.pointers.data(), in_.count(), blockSize_);
    }
    const float fill = summary_.replacing ? kUntouchedSample : 0.0f;
    for (int c = 0; c < outBuffers_.count(); ++c) {
        std::fill_n(outBuffers_.pointers[static_cast<std::size_t>(c)], blockSize_, fill);
    }
}

// Sends the block's events and audio and, for an asynchronous plug-in, waits for its output;
// keeps how long that took and when it began.
void Session::callPlugin(std::int64_t block, std::int64_t position) {
    PluginHost& host = *host_;
    VstEvents* list = events_->build(block, block == blocks_ - 1);
    summary_.midiSent += events_->midiCount();
    summary_.sysexSent += events_->sysexCount();
    host.beginBlock(block, position);

    const Clock::time_point start = Clock::now();
    if (list != nullptr) host.processEvents(list);
    host.processReplacing(in_.pointers.data(), outBuffers_.pointers.data(), blockSize_);
    if (options_.async && host.pluginIsAsync()) {
        ++summary_.asyncBlocks;
        const Clock::time_point deadline = start + std::chrono::milliseconds(options_.asyncTimeoutMs);
        for (int polls = 0;; ++polls) {
            if (host.currentPosition() >= blockSize_) break;
            if (Clock::now() >= deadline) {
                ++summary_.asyncTimeouts;
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
    blockMicros_.push_back(std::chrono::duration<float, std::micro>(end - start).count());
    blockStarts_.push_back(std::chrono::duration<double>(start - runStart_).count());
}

// The block's output peak, whether the plug-in wrote all of it, and whether it carries the
// counter signal sample for sample.
void Session::checkOutput(std::int64_t position) {
    float peak = -1.0f;
    for (int c = 0; c < outBuffers_.count(); ++c) {
        const float* channel = outBuffers_.pointers[static_cast<std::size_t>(c)];
        for (int i = 0; i < blockSize_; ++i) {
            if (!isUntouched(channel[i])) peak = std::max(peak, std::fabs(channel[i]));
        }
    }
    blockPeaks_.push_back(peak);
    if (summary_.replacing) {
        std::size_t untouched = 0;
        for (int c = 0; c < outBuffers_.count(); ++c) {
            const float* channel = outBuffers_.pointers[static_cast<std::size_t>(c)];
            for (int i = 0; i < blockSize_; ++i) untouched += isUntouched(channel[i]) ? 1 : 0;
        }
        const std::size_t total = static_cast<std::size_t>(outBuffers_.count()) * static_cast<std::size_t>(blockSize_);
        if (total > 0 && untouched == total) {
            ++summary_.untouchedBlocks;
        } else if (untouched > 0) {
            ++summary_.partialBlocks;
        }
    }
    if (checkCounter_) {
        bool exact = outBuffers_.count() > 0;
        for (int c = 0; exact && c < outBuffers_.count(); ++c) {
            const float* channel = outBuffers_.pointers[static_cast<std::size_t>(c)];
            for (int i = 0; i < blockSize_; ++i) {
                const CounterCode code = decodeCounterSample(channel[i]);
                if (!code.valid || code.frameIndex != ((position + i) & (kCounterPeriodFrames - 1))) {
                    exact = false;
                    break;
                }
            }
        }
        if (exact) ++summary_.counterExactBlocks;
    }
}

// Copies the block's output into what is written to the output file, untouched samples as 0.
void Session::storeOutput(std::int64_t position) {
    if (output_.samples.empty()) return;
    const std::int64_t frames = std::min<std::int64_t>(blockSize_, totalFrames_ - position);
    const int channels = std::min(storedChannels_, outBuffers_.count());
    for (int c = 0; c < channels; ++c) {
        const float* channel = outBuffers_.pointers[static_cast<std::size_t>(c)];
        for (std::int64_t i = 0; i < frames; ++i) {
            const float sample = channel[i];
            output_.samples[static_cast<std::size_t>((position + i) * storedChannels_ + c)] =
                isUntouched(sample) ? 0.0f : sample;
        }
    }
}

void Session::report() {
    summary_.wallSeconds = std::chrono::duration<double>(Clock::now() - runStart_).count();
    sideThreads_->stop();
    summariseThreads();
    for (float micros : blockMicros_) summary_.blocksOver10ms += micros > 10000.0f ? 1 : 0;
    if (options_.realtime && !blockStarts_.empty()) summariseSignal();
    progress_->finish();
    PluginHost& host = *host_;
    host.stopProcess();
    host.suspend();
    result_.ran = true;
    if (nextTimed_ < timed_.size()) {
        err_ << "tolvane-host: " << (timed_.size() - nextTimed_) << " parameter change(s) fall after the last block\n";
    }

    summary_.frames = blocks_ * blockSize_;
    summary_.inputs = inputs_;
    summary_.outputs = outputs_;
    summary_.blockTime = computeBlockTimeStats(std::vector<double>(blockMicros_.begin(), blockMicros_.end()));
    const HostCounters& counters = host.counters();
    summary_.midiReceived = counters.midiReceived.load();
    summary_.sysexReceived = counters.sysexReceived.load();
    summary_.otherReceived = counters.otherEventsReceived.load();
    summary_.eventsNotKept = counters.eventsNotKept.load();
    summary_.badEventLists = counters.badEventLists.load();
    summary_.timeQueries = counters.count(audioMasterGetTime);
    summary_.automateCalls = counters.count(audioMasterAutomate);

    if (options_.printEvents) printEvents(host, out_);
    host.close();
    writeResults();
}

// The effIdle calls of the loop and of the idle thread, and the parameter thread's changes.
void Session::summariseThreads() {
    const IdleTimes& threadIdleTimes = sideThreads_->idleTimes();
    summary_.idleCalls = loopIdleTimes_.calls + threadIdleTimes.calls;
    summary_.idleThreadCalls = threadIdleTimes.calls;
    summary_.idleMaxUs = std::max(loopIdleTimes_.maxUs, threadIdleTimes.maxUs);
    summary_.idleOver10ms = loopIdleTimes_.over10ms + threadIdleTimes.over10ms;
    if (summary_.wallSeconds > 0.0) {
        summary_.idleShare = (loopIdleTimes_.totalUs + threadIdleTimes.totalUs) / 1e6 / summary_.wallSeconds;
    }
    summary_.paramThreadChanges = sideThreads_->parameterChanges();
    summary_.paramThreadSeconds = sideThreads_->parameterSeconds();
    summary_.paramMaxUs = sideThreads_->parameterMaxUs();
}

// One character per second of the run: whether the blocks begun in it had output signal.
void Session::summariseSignal() {
    // -80 dBFS: well below any test signal, well above denormals and rounding noise.
    constexpr float kSignalPeak = 1e-4f;
    const auto seconds = static_cast<std::size_t>(summary_.wallSeconds) + 1;
    std::vector<int> withSignal(seconds, 0);
    std::vector<int> begun(seconds, 0);
    for (std::size_t b = 0; b < blockStarts_.size(); ++b) {
        const auto second = std::min(static_cast<std::size_t>(blockStarts_[b]), seconds - 1);
        ++begun[second];
        withSignal[second] += blockPeaks_[b] > kSignalPeak ? 1 : 0;
    }
    // The last second is left out when it holds only the end of the run.
    const std::size_t shown = seconds > 1 && summary_.wallSeconds - static_cast<double>(seconds - 1) < 0.5 ? seconds - 1 : seconds;
    for (std::size_t second = 0; second < shown; ++second) {
        summary_.signalBySecond += begun[second] == 0 ? '.'
                                   : withSignal[second] == begun[second] ? '+'
                                   : withSignal[second] == 0             ? '-'
                                                                         : '~';
    }
}

// The output file, the summary as text, JSON or key=value, and the per-block logs.
void Session::writeResults() {
    if (!options_.outputPath.empty() && !writeAudioFile(options_.outputPath, output_, error_)) {
        fail(kExitFailure, error_);
        return;
    }
    const bool machineToStdout = options_.summaryJsonPath == "-" || options_.summaryKvPath == "-";
    if (!options_.quiet && !machineToStdout) out_ << formatSummaryText(summary_);
    if (!options_.summaryJsonPath.empty() && !writeText(options_.summaryJsonPath, formatSummaryJson(summary_), out_, error_)) {
        fail(kExitFailure, error_);
        return;
    }
    if (!options_.summaryKvPath.empty() && !writeText(options_.summaryKvPath, formatSummaryKv(summary_), out_, error_)) {
        fail(kExitFailure, error_);
        return;
    }
    if (!options_.blockLogPath.empty()) {
        std::string log;
        for (std::size_t b = 0; b < blockStarts_.size(); ++b) {
            log += format("%.6f %.1f %.6g\n", unixStart_ + blockStarts_[b], static_cast<double>(blockMicros_[b]),
                          static_cast<double>(blockPeaks_[b]));
        }
        if (!writeText(options_.blockLogPath, log, out_, error_)) {
            fail(kExitFailure, error_);
            return;
        }
    }
    if (!options_.blockTimesPath.empty()) {
        std::ostringstream times;
        for (float micros : blockMicros_) times << micros << '\n';
        if (!writeText(options_.blockTimesPath, times.str(), out_, error_)) fail(kExitFailure, error_);
    }
}

}  // namespace

SessionResult runSession(const HostOptions& options, std::ostream& out, std::ostream& err, SessionObserver* observer) {
    Session session(options, out, err);
    if (!session.setUp()) return session.result();
    if (observer != nullptr) observer->loopStarted();
    bool ran = true;
    for (std::int64_t block = 0; ran && block < session.blocks(); ++block) ran = session.processBlock(block);
    // The observer hears of the loop's end also when a block failed.
    if (observer != nullptr) observer->loopEnded();
    if (ran) session.report();
    return session.result();
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
        out << "tolvane-host " TOLVANE_VERSION_STRING " (VST 2.4 host, interface version " << kVstVersion << ")\n";
        return kExitOk;
    }
    return runSession(options, out, err).exitCode;
}

}  // namespace tolvane::host
