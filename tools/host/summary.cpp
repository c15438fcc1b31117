#include "tools/host/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <utility>

namespace tolvane::host {

BlockTimeStats computeBlockTimeStats(std::vector<double> microseconds) {
    BlockTimeStats stats;
    const std::size_t n = microseconds.size();
    if (n == 0) return stats;
    std::sort(microseconds.begin(), microseconds.end());
    stats.medianUs = n % 2 == 1 ? microseconds[n / 2] : (microseconds[n / 2 - 1] + microseconds[n / 2]) / 2.0;
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    stats.p99Us = microseconds[std::clamp<std::size_t>(rank, 1, n) - 1];
    stats.maxUs = microseconds.back();
    stats.meanUs = std::accumulate(microseconds.begin(), microseconds.end(), 0.0) / static_cast<double>(n);
    return stats;
}

namespace {

enum class Kind { Text, Number };

struct Field {
    std::string key;
    std::string value;
    Kind kind;
};

std::string number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

template <typename T>
std::string integer(T value) {
    return std::to_string(value);
}

std::vector<Field> fields(const Summary& s) {
    return {
        {"plugin", s.plugin, Kind::Text},
        {"effect_name", s.effectName, Kind::Text},
        {"sample_rate", number(s.sampleRate, 0), Kind::Number},
        {"block_size", integer(s.blockSize), Kind::Number},
        {"inputs", integer(s.inputs), Kind::Number},
        {"outputs", integer(s.outputs), Kind::Number},
        {"replacing", integer(s.replacing ? 1 : 0), Kind::Number},
        {"blocks", integer(s.blocks), Kind::Number},
        {"frames", integer(s.frames), Kind::Number},
        {"untouched_blocks", integer(s.untouchedBlocks), Kind::Number},
        {"partial_blocks", integer(s.partialBlocks), Kind::Number},
        {"counter_exact_blocks", integer(s.counterExactBlocks), Kind::Number},
        {"block_us_median", number(s.blockTime.medianUs, 3), Kind::Number},
        {"block_us_p99", number(s.blockTime.p99Us, 3), Kind::Number},
        {"block_us_max", number(s.blockTime.maxUs, 3), Kind::Number},
        {"block_us_mean", number(s.blockTime.meanUs, 3), Kind::Number},
        {"blocks_over_10ms", integer(s.blocksOver10ms), Kind::Number},
        {"wall_seconds", number(s.wallSeconds, 6), Kind::Number},
        {"signal_by_second", s.signalBySecond, Kind::Text},
        {"events_sent", integer(s.midiSent + s.sysexSent), Kind::Number},
        {"midi_sent", integer(s.midiSent), Kind::Number},
        {"sysex_sent", integer(s.sysexSent), Kind::Number},
        {"events_received", integer(s.midiReceived + s.sysexReceived + s.otherReceived), Kind::Number},
        {"midi_received", integer(s.midiReceived), Kind::Number},
        {"sysex_received", integer(s.sysexReceived), Kind::Number},
        {"other_received", integer(s.otherReceived), Kind::Number},
        {"events_not_kept", integer(s.eventsNotKept), Kind::Number},
        {"bad_event_lists", integer(s.badEventLists), Kind::Number},
        {"time_queries", integer(s.timeQueries), Kind::Number},
        {"idle_calls", integer(s.idleCalls), Kind::Number},
        {"idle_thread_calls", integer(s.idleThreadCalls), Kind::Number},
        {"idle_us_max", number(s.idleMaxUs, 3), Kind::Number},
        {"idle_share", number(s.idleShare, 6), Kind::Number},
        {"idle_over_10ms", integer(s.idleOver10ms), Kind::Number},
        {"param_thread_changes", integer(s.paramThreadChanges), Kind::Number},
        {"param_thread_seconds", number(s.paramThreadSeconds, 6), Kind::Number},
        {"param_thread_us_max", number(s.paramMaxUs, 3), Kind::Number},
        {"pauses", integer(s.pauses), Kind::Number},
        {"async_blocks", integer(s.asyncBlocks), Kind::Number},
        {"async_timeouts", integer(s.asyncTimeouts), Kind::Number},
        {"io_changes", integer(s.ioChanges), Kind::Number},
        {"param_changes", integer(s.parameterChanges), Kind::Number},
        {"param_changes_refused", integer(s.parameterChangesRefused), Kind::Number},
        {"automate_calls", integer(s.automateCalls), Kind::Number},
    };
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Key=value lines stay one line each: control characters in texts become spaces.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return text;
}

}  // namespace

std::string formatSummaryKv(const Summary& summary) {
    std::string out;
    for (const Field& field : fields(summary)) out += field.key + "=" + oneLine(field.value) + "\n";
    return out;
}

std::string formatSummaryJson(const Summary& summary) {
    std::string out = "{";
    bool first = true;
    for (const Field& field : fields(summary)) {
        out += first ? "\n  " : ",\n  ";
        first = false;
        out += jsonString(field.key) + ": " + (field.kind == Kind::Text ? jsonString(field.value) : field.value);
    }
    return out + "\n}\n";
}

std::string formatSummaryText(const Summary& s) {
    char text[2048];
    std::snprintf(
        text, sizeof(text),
        "plug-in      %s (%s)\n"
        "setup        %.0f Hz, %d frames per block, %d in, %d out%s\n"
        "processed    %lld blocks, %lld frames in %.3f s\n"
        "untouched    %lld blocks with no output written, %lld partly written\n"
        "block time   median %.1f us, p99 %.1f us, max %.1f us, mean %.1f us\n"
        "events sent  %llu MIDI, %llu SysEx\n"
        "events back  %llu MIDI, %llu SysEx, %llu other\n"
        "host calls   %llu time queries, %llu idle calls, %lld async blocks (%lld timed out),\n"
        "             %lld pin changes, %lld parameter changes (%lld refused), %llu automation calls\n",
        s.plugin.c_str(), s.effectName.c_str(), s.sampleRate, s.blockSize, s.inputs, s.outputs,
        s.replacing ? "" : " (accumulating process)", static_cast<long long>(s.blocks),
        static_cast<long long>(s.frames), s.wallSeconds, static_cast<long long>(s.untouchedBlocks),
        static_cast<long long>(s.partialBlocks), s.blockTime.medianUs, s.blockTime.p99Us, s.blockTime.maxUs,
        s.blockTime.meanUs, static_cast<unsigned long long>(s.midiSent), static_cast<unsigned long long>(s.sysexSent),
        static_cast<unsigned long long>(s.midiReceived), static_cast<unsigned long long>(s.sysexReceived),
        static_cast<unsigned long long>(s.otherReceived), static_cast<unsigned long long>(s.timeQueries),
        static_cast<unsigned long long>(s.idleCalls), static_cast<long long>(s.asyncBlocks),
        static_cast<long long>(s.asyncTimeouts), static_cast<long long>(s.ioChanges),
        static_cast<long long>(s.parameterChanges), static_cast<long long>(s.parameterChangesRefused),
        static_cast<unsigned long long>(s.automateCalls));
    std::string out = text;
    if (s.counterExactBlocks >= 0) {
        out += "counter      " + std::to_string(s.counterExactBlocks) + " blocks came back sample-exact\n";
    }
    if (s.blocksOver10ms > 0) out += "long calls   " + std::to_string(s.blocksOver10ms) + " processing calls over 10 ms\n";
    if (s.idleCalls > 0) {
        char line[256];
        std::snprintf(line, sizeof(line),
                      "idle         %llu calls (%llu from the idle thread), longest %.1f us, %lld over 10 ms, "
                      "%.2f %% of the run inside effIdle\n",
                      static_cast<unsigned long long>(s.idleCalls), static_cast<unsigned long long>(s.idleThreadCalls),
                      s.idleMaxUs, static_cast<long long>(s.idleOver10ms), s.idleShare * 100.0);
        out += line;
    }
    if (s.paramThreadChanges > 0) {
        char line[160];
        std::snprintf(line, sizeof(line), "param thread %lld changes in %.3f s, longest call %.1f us\n",
                      static_cast<long long>(s.paramThreadChanges), s.paramThreadSeconds, s.paramMaxUs);
        out += line;
    }
    if (s.pauses > 0) out += "pauses       " + std::to_string(s.pauses) + " stretches without processing calls\n";
    if (!s.signalBySecond.empty()) out += "signal       " + s.signalBySecond + " (per second: + signal, - none, ~ some)\n";
    if (s.eventsNotKept > 0 || s.badEventLists > 0) {
        out += "warning      " + std::to_string(s.eventsNotKept) + " received events not kept, " +
               std::to_string(s.badEventLists) + " malformed event lists from the plug-in\n";
    }
    return out;
}

}  // namespace tolvane::host
