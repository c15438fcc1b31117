#include "tools/host/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <utility>

#include <nlohmann/json.hpp>

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

using Json = nlohmann::ordered_json;

// One summary value: as the key=value lines print it, and as the JSON form carries it (a string,
// an integer, or a number with the key=value form's decimals).
struct Field {
    std::string key;
    std::string value;
    Json json;
};

Field textField(std::string key, const std::string& value) {
    return {std::move(key), value, value};
}

Field numberField(std::string key, double value, int decimals) {
    char printed[64];
    std::snprintf(printed, sizeof(printed), "%.*f", decimals, value);
    // The JSON number is the printed one read back, so both forms give the same value; without
    // decimals it is an integer.
    Json json = decimals == 0 ? Json(std::strtoll(printed, nullptr, 10)) : Json(std::strtod(printed, nullptr));
    return {std::move(key), printed, std::move(json)};
}

template <typename T>
Field integerField(std::string key, T value) {
    return {std::move(key), std::to_string(value), value};
}

std::vector<Field> fields(const Summary& s) {
    return {
        textField("plugin", s.plugin),
        textField("effect_name", s.effectName),
        numberField("sample_rate", s.sampleRate, 0),
        integerField("block_size", s.blockSize),
        integerField("inputs", s.inputs),
        integerField("outputs", s.outputs),
        integerField("replacing", s.replacing ? 1 : 0),
        integerField("blocks", s.blocks),
        integerField("frames", s.frames),
        integerField("untouched_blocks", s.untouchedBlocks),
        integerField("partial_blocks", s.partialBlocks),
        integerField("counter_exact_blocks", s.counterExactBlocks),
        numberField("block_us_median", s.blockTime.medianUs, 3),
        numberField("block_us_p99", s.blockTime.p99Us, 3),
        numberField("block_us_max", s.blockTime.maxUs, 3),
        numberField("block_us_mean", s.blockTime.meanUs, 3),
        integerField("blocks_over_10ms", s.blocksOver10ms),
        numberField("wall_seconds", s.wallSeconds, 6),
        textField("signal_by_second", s.signalBySecond),
        integerField("events_sent", s.midiSent + s.sysexSent),
        integerField("midi_sent", s.midiSent),
        integerField("sysex_sent", s.sysexSent),
        integerField("events_received", s.midiReceived + s.sysexReceived + s.otherReceived),
        integerField("midi_received", s.midiReceived),
        integerField("sysex_received", s.sysexReceived),
        integerField("other_received", s.otherReceived),
        integerField("events_not_kept", s.eventsNotKept),
        integerField("bad_event_lists", s.badEventLists),
        integerField("time_queries", s.timeQueries),
        integerField("idle_calls", s.idleCalls),
        integerField("idle_thread_calls", s.idleThreadCalls),
        numberField("idle_us_max", s.idleMaxUs, 3),
        numberField("idle_share", s.idleShare, 6),
        integerField("idle_over_10ms", s.idleOver10ms),
        integerField("param_thread_changes", s.paramThreadChanges),
        numberField("param_thread_seconds", s.paramThreadSeconds, 6),
        numberField("param_thread_us_max", s.paramMaxUs, 3),
        integerField("pauses", s.pauses),
        integerField("async_blocks", s.asyncBlocks),
        integerField("async_timeouts", s.asyncTimeouts),
        integerField("io_changes", s.ioChanges),
        integerField("param_changes", s.parameterChanges),
        integerField("param_changes_refused", s.parameterChangesRefused),
        integerField("automate_calls", s.automateCalls),
    };
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
    Json json = Json::object();
    for (Field& field : fields(summary)) json[field.key] = std::move(field.json);
    // Texts from the plug-in need not be UTF-8: bytes that are not become U+FFFD instead of an
    // exception.
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
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
