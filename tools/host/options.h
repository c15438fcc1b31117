// The command line of tolvane-host. Options are rows of one table (name, value placeholder,
// help text, a function that applies the value), so adding an option is adding a row; the usage
// text is generated from the same table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/signals.h"
#include "tools/hosting/plugin_host.h"

namespace tolvane::host {

// A note played every `everyBlocks` blocks for `lengthBlocks` blocks, starting at block 0.
struct NotePattern {
    int key = 60;
    int velocity = 100;
    std::int64_t everyBlocks = 8;
    std::int64_t lengthBlocks = 4;
    int deltaFrames = 0;  // position of the note-on and note-off inside their blocks
};

// A SysEx message sent at block 0 and, when everyBlocks > 0, every everyBlocks blocks.
struct SysexPattern {
    std::vector<std::uint8_t> bytes;  // F0 ... F7
    std::int64_t everyBlocks = 0;
};

// A parameter change: before the run (atBlock < 0) or before block atBlock.
struct ParameterChange {
    std::string target;   // a decimal index or a parameter name
    bool asText = false;  // through effString2Parameter
    float value = 0.0f;   // normalised value, when !asText
    std::string text;     // when asText
    std::int64_t atBlock = -1;
};

// Parameter changes made from a thread of their own while the blocks run, as a DAW's automation
// or GUI thread does: values[0], values[1], ... in turn, `count` changes in all, `intervalMs` apart.
struct ParameterSweep {
    std::string target;  // a decimal index or a parameter name
    std::vector<float> values;
    std::int64_t count = 0;
    int intervalMs = 10;
};

// A stretch without processing calls before block atBlock: the transport stopped (suspend false),
// or the plug-in switched off (effStopProcess, effMainsChanged 0, and back on afterwards).
struct ProcessPause {
    std::int64_t atBlock = 0;
    int milliseconds = 0;
    bool suspend = false;
};

struct HostOptions {
    std::string pluginPath;

    double sampleRate = 44100.0;
    bool sampleRateGiven = false;
    int blockSize = 512;

    // At most one of these gives the run's length; without any, the input file's length, else 1 s.
    std::optional<std::int64_t> blocks;
    std::optional<std::int64_t> frames;
    std::optional<double> seconds;

    std::string inputPath;
    int inputChannels = 0;  // raw input files; 0: the plug-in's input count
    SignalShape signal;
    std::uint64_t seed = 1;
    std::string outputPath;

    std::vector<NotePattern> notes;
    int midiChannel = 1;  // 1..16
    std::vector<SysexPattern> sysex;

    bool idle = false;
    int idleThreadMs = 0;  // > 0: a thread of its own calls effIdle every this many ms
    std::optional<ParameterSweep> parameterThread;
    std::vector<ProcessPause> pauses;
    bool async = false;
    int asyncTimeoutMs = 1000;
    std::vector<CanDoEntry> canDo;  // overrides of the host's answers, in order
    double tempoBpm = 120.0;
    int timeSigNumerator = 4;
    int timeSigDenominator = 4;
    bool realtime = false;

    std::vector<ParameterChange> parameters;
    bool listParams = false;
    bool info = false;

    bool printEvents = false;
    bool quiet = false;
    bool progress = true;
    std::string summaryJsonPath;  // "-" for stdout
    std::string summaryKvPath;    // "-" for stdout
    std::string blockTimesPath;   // one line per block: microseconds of its processing call
    std::string blockLogPath;     // one line per block: start (Unix time), call time, output peak

    bool help = false;
    bool version = false;
};

struct ParseResult {
    bool ok = false;
    std::string error;  // one line, names the option at fault
};

// Parses argv[1..argc-1]. "--name value" and "--name=value" are both accepted.
ParseResult parseArguments(int argc, const char* const* argv, HostOptions& options);
std::string usageText();

// Pieces of the option syntax, exposed for the tests.
bool parseCanDo(const std::string& text, CanDoEntry& entry, std::string& error);
bool parseSignal(const std::string& text, SignalShape& signal, std::string& error);
bool parseNote(const std::string& text, NotePattern& note, std::string& error);
bool parseSysex(const std::string& text, SysexPattern& sysex, std::string& error);
bool parseParameterSweep(const std::string& text, ParameterSweep& sweep, std::string& error);
bool parsePause(const std::string& text, ProcessPause& pause, std::string& error);
bool parseParameterChange(const std::string& text, bool asText, bool timed, ParameterChange& change,
                          std::string& error);

}  // namespace tolvane::host
