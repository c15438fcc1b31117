#include "tools/host/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace tolvane::host {

namespace {

template <typename T>
bool parseNumber(std::string_view text, T& value) {
    if (text.empty()) return false;
    if (text.front() == '+') text.remove_prefix(1);
    T parsed{};
    const char* end = text.data() + text.size();
    auto result = std::from_chars(text.data(), end, parsed);
    if (result.ec != std::errc() || result.ptr != end) return false;
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(parsed)) return false;
    }
    value = parsed;
    return true;
}

template <typename T>
bool parseInRange(std::string_view text, T low, T high, T& value) {
    T parsed{};
    if (!parseNumber(text, parsed) || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

using Apply = bool (*)(HostOptions&, const std::string& value, std::string& error);

struct OptionRow {
    const char* name;     // without the leading dashes
    const char* metavar;  // null for a flag without a value
    const char* help;
    Apply apply;
};

constexpr std::int64_t kMaxRunBlocks = std::int64_t{1} << 40;

bool setCount(std::optional<std::int64_t>& target, const std::string& value, const char* what,
              std::string& error) {
    std::int64_t count = 0;
    if (!parseInRange<std::int64_t>(value, 0, kMaxRunBlocks, count)) {
        error = std::string("expects a count of ") + what + " (0 or more), got '" + value + "'";
        return false;
    }
    target = count;
    return true;
}

const OptionRow kOptions[] = {
    {"help", nullptr, "show this text and exit",
     [](HostOptions& o, const std::string&, std::string&) { return o.help = true; }},
    {"version", nullptr, "show the version and exit",
     [](HostOptions& o, const std::string&, std::string&) { return o.version = true; }},
    {"rate", "HZ", "sample rate (default 44100, or the input file's)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (!parseInRange(v, 1.0, 1536000.0, o.sampleRate)) {
             e = "expects a sample rate in Hz from 1 to 1536000, got '" + v + "'";
             return false;
         }
         return o.sampleRateGiven = true;
     }},
    {"block", "FRAMES", "block size in frames (default 512, 1 to 1048576)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (!parseInRange(v, 1, 1 << 20, o.blockSize)) {
             e = "expects a block size from 1 to 1048576 frames, got '" + v + "'";
             return false;
         }
         return true;
     }},
    {"blocks", "N", "run N blocks",
     [](HostOptions& o, const std::string& v, std::string& e) { return setCount(o.blocks, v, "blocks", e); }},
    {"frames", "N", "run N frames (the last block is padded)",
     [](HostOptions& o, const std::string& v, std::string& e) { return setCount(o.frames, v, "frames", e); }},
    {"seconds", "S", "run S seconds of audio",
     [](HostOptions& o, const std::string& v, std::string& e) {
         double seconds = 0.0;
         if (!parseInRange(v, 0.0, 1e7, seconds)) {
             e = "expects a duration in seconds, got '" + v + "'";
             return false;
         }
         o.seconds = seconds;
         return true;
     }},
    {"input", "FILE", "input audio file (.raw/.f32: float32 interleaved; Linux: any libsndfile format)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "expects a file name";
             return false;
         }
         o.inputPath = v;
         return true;
     }},
    {"input-channels", "N", "channel count of a raw input file (default: the plug-in's inputs)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (!parseInRange(v, 1, kMaxPluginChannels, o.inputChannels)) {
             e = "expects a channel count from 1 to 256, got '" + v + "'";
             return false;
         }
         return true;
     }},
    {"signal", "KIND", "generated input: sine[:HZ[:AMP]], noise[:AMP], silence or counter (default sine:440:0.5)",
     [](HostOptions& o, const std::string& v, std::string& e) { return parseSignal(v, o.signal, e); }},
    {"seed", "N", "seed of the noise signal",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (!parseNumber(v, o.seed)) {
             e = "expects a non-negative integer, got '" + v + "'";
             return false;
         }
         return true;
     }},
    {"output", "FILE", "write the plug-in's output (.raw/.f32: float32 interleaved; Linux: .wav, .flac)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "expects a file name";
             return false;
         }
         o.outputPath = v;
         return true;
     }},
    {"note", "KEY[:VEL[:EVERY[:LEN[:DELTA]]]]",
     "play note KEY (velocity VEL, default 100) every EVERY blocks (8) for LEN blocks (EVERY/2), at frame DELTA "
     "of the block (0); repeatable",
     [](HostOptions& o, const std::string& v, std::string& e) {
         NotePattern note;
         if (!parseNote(v, note, e)) return false;
         o.notes.push_back(note);
         return true;
     }},
    {"midi-channel", "N", "MIDI channel of the notes, 1 to 16 (default 1)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (!parseInRange(v, 1, 16, o.midiChannel)) {
             e = "expects a MIDI channel from 1 to 16, got '" + v + "'";
             return false;
         }
         return true;
     }},
    {"sysex", "HEX[:EVERY]", "send a SysEx message (hex bytes F0..F7) at block 0 and every EVERY blocks; repeatable",
     [](HostOptions& o, const std::string& v, std::string& e) {
         SysexPattern sysex;
         if (!parseSysex(v, sysex, e)) return false;
         o.sysex.push_back(std::move(sysex));
         return true;
     }},
    {"idle", nullptr, "send effIdle after every block, as most DAWs do",
     [](HostOptions& o, const std::string&, std::string&) { return o.idle = true; }},
    {"idle-thread", "MS",
     "call effIdle every MS milliseconds from a thread of its own while the blocks run, as a DAW's GUI thread "
     "does; the summary gives the longest call and the share of the run spent in effIdle",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (!parseInRange(v, 1, 60000, o.idleThreadMs)) {
             e = "expects milliseconds from 1 to 60000, got '" + v + "'";
             return false;
         }
         return true;
     }},
    {"param-thread", "INDEX|NAME=V1[,V2...][:COUNT[:MS]]",
     "from a thread of its own, set the parameter to V1, V2, ... in turn while the blocks run: COUNT changes "
     "in all (default: each value once), MS milliseconds apart (default 10)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         ParameterSweep sweep;
         if (!parseParameterSweep(v, sweep, e)) return false;
         o.parameterThread = std::move(sweep);
         return true;
     }},
    {"pause-at", "BLOCK:MS[:suspend]",
     "before block BLOCK, make no processing call for MS milliseconds, as a stopped transport does (with "
     ":suspend, effStopProcess and effMainsChanged 0 before, and back on after); the threads go on; repeatable",
     [](HostOptions& o, const std::string& v, std::string& e) {
         ProcessPause pause;
         if (!parsePause(v, pause, e)) return false;
         o.pauses.push_back(pause);
         return true;
     }},
    {"async", nullptr,
     "answer \"asyncProcessing\" yes; while the plug-in flags itself asynchronous, poll effGetCurrentPosition "
     "after each block until it reports the block's frames",
     [](HostOptions& o, const std::string&, std::string&) { return o.async = true; }},
    {"async-timeout", "MS", "longest poll for one asynchronous block (default 1000)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (!parseInRange(v, 0, 600000, o.asyncTimeoutMs)) {
             e = "expects milliseconds from 0 to 600000, got '" + v + "'";
             return false;
         }
         return true;
     }},
    {"can-do", "NAME=ANSWER", "answer the plug-in's canDo NAME with yes, no or unknown (1, -1, 0); repeatable",
     [](HostOptions& o, const std::string& v, std::string& e) {
         CanDoEntry entry;
         if (!parseCanDo(v, entry, e)) return false;
         o.canDo.push_back(entry);
         return true;
     }},
    {"tempo", "BPM", "tempo of the transport (default 120)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (!parseInRange(v, 1.0, 999.0, o.tempoBpm)) {
             e = "expects a tempo from 1 to 999 BPM, got '" + v + "'";
             return false;
         }
         return true;
     }},
    {"time-sig", "N/D", "time signature of the transport (default 4/4)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         const auto parts = split(v, '/');
         int numerator = 0;
         int denominator = 0;
         if (parts.size() != 2 || !parseInRange(parts[0], 1, 64, numerator) ||
             !parseInRange(parts[1], 1, 64, denominator) || (denominator & (denominator - 1)) != 0) {
             e = "expects a time signature such as 4/4 or 7/8, got '" + v + "'";
             return false;
         }
         o.timeSigNumerator = numerator;
         o.timeSigDenominator = denominator;
         return true;
     }},
    {"realtime", nullptr, "pace the blocks in real time instead of running as fast as possible",
     [](HostOptions& o, const std::string&, std::string&) { return o.realtime = true; }},
    {"param", "INDEX|NAME=VALUE", "set a parameter to a normalised value before the run; repeatable",
     [](HostOptions& o, const std::string& v, std::string& e) {
         ParameterChange change;
         if (!parseParameterChange(v, false, false, change, e)) return false;
         o.parameters.push_back(change);
         return true;
     }},
    {"param-text", "INDEX|NAME=TEXT", "set a parameter from text (effString2Parameter) before the run; repeatable",
     [](HostOptions& o, const std::string& v, std::string& e) {
         ParameterChange change;
         if (!parseParameterChange(v, true, false, change, e)) return false;
         o.parameters.push_back(change);
         return true;
     }},
    {"set-at", "BLOCK:INDEX|NAME=VALUE", "set a parameter to a normalised value before block BLOCK; repeatable",
     [](HostOptions& o, const std::string& v, std::string& e) {
         ParameterChange change;
         if (!parseParameterChange(v, false, true, change, e)) return false;
         o.parameters.push_back(change);
         return true;
     }},
    {"set-text-at", "BLOCK:INDEX|NAME=TEXT", "set a parameter from text before block BLOCK; repeatable",
     [](HostOptions& o, const std::string& v, std::string& e) {
         ParameterChange change;
         if (!parseParameterChange(v, true, true, change, e)) return false;
         o.parameters.push_back(change);
         return true;
     }},
    {"list-params", nullptr, "print every parameter (index, name, value, display) after the --param settings, and exit",
     [](HostOptions& o, const std::string&, std::string&) { return o.listParams = true; }},
    {"info", nullptr, "print the plug-in's identity, pins and capabilities, and exit",
     [](HostOptions& o, const std::string&, std::string&) { return o.info = true; }},
    {"print-events", nullptr, "print the events the plug-in sent, after the run",
     [](HostOptions& o, const std::string&, std::string&) { return o.printEvents = true; }},
    {"summary-json", "FILE", "write the summary as JSON to FILE ('-': standard output, instead of the text)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "expects a file name or -";
             return false;
         }
         o.summaryJsonPath = v;
         return true;
     }},
    {"summary-kv", "FILE", "write the summary as key=value lines to FILE ('-': standard output, instead of the text)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "expects a file name or -";
             return false;
         }
         o.summaryKvPath = v;
         return true;
     }},
    {"block-times", "FILE", "write the time of every processing call to FILE, one line of microseconds per block",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "expects a file name";
             return false;
         }
         o.blockTimesPath = v;
         return true;
     }},
    {"block-log", "FILE",
     "write one line per block to FILE: its start (Unix time in seconds), the time of its processing call in "
     "microseconds, and the peak of its output (-1: no output written)",
     [](HostOptions& o, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "expects a file name";
             return false;
         }
         o.blockLogPath = v;
         return true;
     }},
    {"quiet", nullptr, "print no text summary and no progress",
     [](HostOptions& o, const std::string&, std::string&) {
         o.progress = false;
         return o.quiet = true;
     }},
    {"no-progress", nullptr, "show no progress line, even on a terminal",
     [](HostOptions& o, const std::string&, std::string&) {
         o.progress = false;
         return true;
     }},
};

const OptionRow* findOption(std::string_view name) {
    for (const OptionRow& row : kOptions) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

// Splits "TARGET=REST" at the first '='.
bool splitAssignment(std::string_view text, std::string_view& target, std::string_view& rest) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    target = text.substr(0, equals);
    rest = text.substr(equals + 1);
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parseCanDo(const std::string& text, CanDoEntry& entry, std::string& error) {
    std::string_view name;
    std::string_view answer;
    if (!splitAssignment(text, name, answer)) {
        error = "expects NAME=ANSWER, got '" + text + "'";
        return false;
    }
    if (answer == "yes" || answer == "1") {
        entry.answer = CanDoAnswer::Yes;
    } else if (answer == "no" || answer == "-1") {
        entry.answer = CanDoAnswer::No;
    } else if (answer == "unknown" || answer == "0") {
        entry.answer = CanDoAnswer::Unknown;
    } else {
        error = "expects the answer yes, no or unknown (1, -1, 0), got '" + std::string(answer) + "'";
        return false;
    }
    entry.capability = std::string(name);
    return true;
}

bool parseSignal(const std::string& text, SignalShape& signal, std::string& error) {
    const auto parts = split(text, ':');
    SignalShape parsed;
    auto fail = [&](const std::string& what) {
        error = what + ", got '" + text + "'";
        return false;
    };
    if (parts[0] == "sine") {
        parsed.kind = SignalKind::Sine;
        if (parts.size() > 3) return fail("expects sine[:HZ[:AMP]]");
        if (parts.size() > 1 && !parseInRange(parts[1], 0.0, 1e6, parsed.frequencyHz)) {
            return fail("expects a sine frequency in Hz");
        }
        if (parts.size() > 2 && !parseInRange(parts[2], 0.0, 1000.0, parsed.amplitude)) {
            return fail("expects an amplitude from 0 to 1000");
        }
    } else if (parts[0] == "noise") {
        parsed.kind = SignalKind::Noise;
        if (parts.size() > 2) return fail("expects noise[:AMP]");
        if (parts.size() > 1 && !parseInRange(parts[1], 0.0, 1000.0, parsed.amplitude)) {
            return fail("expects an amplitude from 0 to 1000");
        }
    } else if (parts[0] == "silence" && parts.size() == 1) {
        parsed.kind = SignalKind::Silence;
    } else if (parts[0] == "counter" && parts.size() == 1) {
        parsed.kind = SignalKind::Counter;
    } else {
        return fail("expects sine[:HZ[:AMP]], noise[:AMP], silence or counter");
    }
    signal = parsed;
    return true;
}

bool parseNote(const std::string& text, NotePattern& note, std::string& error) {
    const auto parts = split(text, ':');
    NotePattern parsed;
    auto fail = [&](const std::string& what) {
        error = what + " in the note '" + text + "' (KEY[:VEL[:EVERY[:LEN[:DELTA]]]])";
        return false;
    };
    if (parts.size() > 5) return fail("too many fields");
    if (!parseInRange(parts[0], 0, 127, parsed.key)) return fail("expects a key from 0 to 127");
    if (parts.size() > 1 && !parseInRange(parts[1], 1, 127, parsed.velocity)) {
        return fail("expects a velocity from 1 to 127");
    }
    if (parts.size() > 2 && !parseInRange<std::int64_t>(parts[2], 1, kMaxRunBlocks, parsed.everyBlocks)) {
        return fail("expects EVERY of at least 1 block");
    }
    parsed.lengthBlocks = parsed.everyBlocks > 1 ? parsed.everyBlocks / 2 : 1;
    if (parts.size() > 3 && !parseInRange<std::int64_t>(parts[3], 1, parsed.everyBlocks, parsed.lengthBlocks)) {
        return fail("expects LEN from 1 to EVERY blocks");
    }
    if (parts.size() > 4 && !parseInRange(parts[4], 0, (1 << 20) - 1, parsed.deltaFrames)) {
        return fail("expects DELTA of 0 or more frames");
    }
    note = parsed;
    return true;
}

bool parseSysex(const std::string& text, SysexPattern& sysex, std::string& error) {
    const auto parts = split(text, ':');
    SysexPattern parsed;
    auto fail = [&](const std::string& what) {
        error = what + " in the SysEx '" + text + "' (HEX[:EVERY])";
        return false;
    };
    if (parts.size() > 2) return fail("too many fields");
    const std::string_view hex = parts[0];
    if (hex.size() < 4 || hex.size() % 2 != 0 || hex.size() > 2 * 65536) {
        return fail("expects an even number of hex digits, 2 to 65536 bytes");
    }
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return fail("expects hex digits");
        parsed.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    if (parsed.bytes.front() != 0xF0 || parsed.bytes.back() != 0xF7) return fail("expects F0 first and F7 last");
    if (parts.size() > 1 && !parseInRange<std::int64_t>(parts[1], 1, kMaxRunBlocks, parsed.everyBlocks)) {
        return fail("expects EVERY of at least 1 block");
    }
    sysex = std::move(parsed);
    return true;
}

bool parseParameterSweep(const std::string& text, ParameterSweep& sweep, std::string& error) {
    ParameterSweep parsed;
    auto fail = [&](const std::string& what) {
        error = what + " in '" + text + "' (INDEX|NAME=V1[,V2...][:COUNT[:MS]])";
        return false;
    };
    std::string_view target;
    std::string_view rest;
    if (!splitAssignment(text, target, rest)) return fail("expects a parameter and '='");
    parsed.target = std::string(target);
    const auto parts = split(rest, ':');
    if (parts.size() > 3) return fail("too many fields");
    for (std::string_view value : split(parts[0], ',')) {
        float number = 0.0f;
        if (!parseNumber(value, number)) return fail("expects normalised numbers (0.0 to 1.0) separated by commas");
        parsed.values.push_back(number);
    }
    parsed.count = static_cast<std::int64_t>(parsed.values.size());
    if (parts.size() > 1 && !parseInRange<std::int64_t>(parts[1], 1, kMaxRunBlocks, parsed.count)) {
        return fail("expects COUNT of at least 1");
    }
    if (parts.size() > 2 && !parseInRange(parts[2], 0, 60000, parsed.intervalMs)) {
        return fail("expects MS from 0 to 60000");
    }
    sweep = std::move(parsed);
    return true;
}

bool parsePause(const std::string& text, ProcessPause& pause, std::string& error) {
    const auto parts = split(text, ':');
    ProcessPause parsed;
    auto fail = [&](const std::string& what) {
        error = what + " in '" + text + "' (BLOCK:MS[:suspend])";
        return false;
    };
    if (parts.size() < 2 || parts.size() > 3) return fail("expects two or three fields");
    if (!parseInRange<std::int64_t>(parts[0], 0, kMaxRunBlocks, parsed.atBlock)) return fail("expects a block number");
    if (!parseInRange(parts[1], 0, 3600000, parsed.milliseconds)) return fail("expects MS from 0 to 3600000");
    if (parts.size() == 3) {
        if (parts[2] != "suspend") return fail("expects 'suspend' as the third field");
        parsed.suspend = true;
    }
    pause = parsed;
    return true;
}

bool parseParameterChange(const std::string& text, bool asText, bool timed, ParameterChange& change,
                          std::string& error) {
    ParameterChange parsed;
    parsed.asText = asText;
    std::string_view rest = text;
    if (timed) {
        const std::size_t colon = rest.find(':');
        if (colon == std::string_view::npos ||
            !parseInRange<std::int64_t>(rest.substr(0, colon), 0, kMaxRunBlocks, parsed.atBlock)) {
            error = "expects BLOCK:TARGET=VALUE with a block number first, got '" + text + "'";
            return false;
        }
        rest.remove_prefix(colon + 1);
    }
    std::string_view target;
    std::string_view value;
    if (!splitAssignment(rest, target, value)) {
        error = std::string("expects INDEX=") + (asText ? "TEXT" : "VALUE") + " or NAME=" +
                (asText ? "TEXT" : "VALUE") + ", got '" + text + "'";
        return false;
    }
    parsed.target = std::string(target);
    if (asText) {
        parsed.text = std::string(value);
    } else if (!parseNumber(value, parsed.value)) {
        error = "expects a normalised number (0.0 to 1.0) after '=', got '" + text + "'";
        return false;
    }
    change = std::move(parsed);
    return true;
}

ParseResult parseArguments(int argc, const char* const* argv, HostOptions& options) {
    ParseResult result;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
        if (arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg.size() < 2 || arg.substr(0, 2) != "--") {
            if (!arg.empty() && arg.front() == '-' && arg != "-") {
                result.error = "unknown option '" + std::string(arg) + "' (see --help)";
                return result;
            }
            if (!options.pluginPath.empty()) {
                result.error = "more than one plug-in given: '" + options.pluginPath + "' and '" + std::string(arg) + "'";
                return result;
            }
            options.pluginPath = std::string(arg);
            continue;
        }
        std::string_view name = arg.substr(2);
        std::optional<std::string> value;
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            value = std::string(name.substr(equals + 1));
            name = name.substr(0, equals);
        }
        const OptionRow* row = findOption(name);
        if (row == nullptr) {
            result.error = "unknown option '--" + std::string(name) + "' (see --help)";
            return result;
        }
        if (row->metavar == nullptr && value) {
            result.error = "option --" + std::string(name) + " takes no value";
            return result;
        }
        if (row->metavar != nullptr && !value) {
            if (i + 1 >= argc) {
                result.error = "option --" + std::string(name) + " needs a value " + row->metavar;
                return result;
            }
            value = std::string(argv[++i]);
        }
        std::string error;
        if (!row->apply(options, value.value_or(std::string()), error)) {
            result.error = "option --" + std::string(name) + " " + error;
            return result;
        }
    }
    if (options.help || options.version) {
        result.ok = true;
        return result;
    }
    const int lengths = (options.blocks ? 1 : 0) + (options.frames ? 1 : 0) + (options.seconds ? 1 : 0);
    if (lengths > 1) {
        result.error = "give at most one of --blocks, --frames and --seconds";
        return result;
    }
    if (options.pluginPath.empty()) {
        result.error = "no plug-in given (usage: tolvane-host [options] PLUGIN; see --help)";
        return result;
    }
    for (const NotePattern& note : options.notes) {
        if (note.deltaFrames >= options.blockSize) {
            result.error = "option --note: DELTA " + std::to_string(note.deltaFrames) +
                           " does not fit in a block of " + std::to_string(options.blockSize) + " frames";
            return result;
        }
    }
    result.ok = true;
    return result;
}

std::string usageText() {
    std::string text =
        "Usage: tolvane-host [options] PLUGIN\n"
        "\n"
        "Loads a VST 2.4 plug-in (a .so on Linux, a .dll on Windows), runs it through open, sample\n"
        "rate, block size, resume, a process loop, suspend and close, and prints a summary: blocks\n"
        "processed, blocks whose outputs the plug-in left untouched, per-block time (median, 99th\n"
        "percentile, maximum) and the events sent and received.\n"
        "Exit status: 0 done, 1 the plug-in or a file failed, 2 bad arguments.\n"
        "\n"
        "Options:\n";
    for (const OptionRow& row : kOptions) {
        std::string left = std::string("  --") + row.name;
        if (row.metavar != nullptr) left += std::string(" ") + row.metavar;
        text += left;
        if (left.size() < 30) {
            text.append(30 - left.size(), ' ');
        } else {
            text += "\n" + std::string(30, ' ');
        }
        // Help texts are wrapped at 100 columns, continuation lines under the first.
        std::string_view help = row.help;
        constexpr std::size_t kWidth = 100 - 30;
        while (help.size() > kWidth) {
            std::size_t cut = help.rfind(' ', kWidth);
            if (cut == std::string_view::npos || cut == 0) cut = kWidth;
            text += std::string(help.substr(0, cut)) + "\n" + std::string(30, ' ');
            help.remove_prefix(std::min(help.size(), cut + 1));
        }
        text += std::string(help) + "\n";
    }
    text +=
        "\n"
        "Examples:\n"
        "  tolvane-host Tolvane.so --signal counter --seconds 2 --output out.wav\n"
        "  tolvane-host Tolvane.so --list-params\n"
        "  tolvane-host Tolvane.so --async --param Synch=0 --note 60 --idle --summary-json -\n"
        "  tolvane-host Tolvane.so --realtime --seconds 10 --idle-thread 30 --param-thread 1=0.1,0.2:1000:5\n";
    return text;
}

}  // namespace tolvane::host
