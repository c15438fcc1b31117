#include "tools/slave/state_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>

namespace {

constexpr std::string_view kMagic = "TolvaneState";
constexpr char kHexDigits[] = "0123456789abcdef";

// Splits off the next '\n'-ended line; false at the end of the text or for a last line
// without its '\n' (a file cut short).
bool nextLine(std::string_view& text, std::string_view& line) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return true;
}

// The next space-separated word of `line`.
std::string_view nextWord(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = line.find(' ');
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return word;
}

bool parseInteger(std::string_view word, long long low, long long high, long long& value) {
    if (word.empty() || word.size() > 24) return false;
    char buffer[32];
    word.copy(buffer, word.size());
    buffer[word.size()] = '\0';
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(buffer, &end, 10);
    return errno == 0 && end == buffer + word.size() && value >= low && value <= high;
}

bool parseUnit(std::string_view word, float& value) {
    if (word.empty() || word.size() > 40) return false;
    char buffer[48];
    word.copy(buffer, word.size());
    buffer[word.size()] = '\0';
    char* end = nullptr;
    errno = 0;
    const float number = std::strtof(buffer, &end);
    if (errno != 0 || end != buffer + word.size() || !std::isfinite(number) || number < 0.0f || number > 1.0f) {
        return false;
    }
    value = number;
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "KEY WORDS..." with the key expected: the words after it.
bool keyed(std::string_view line, std::string_view key, std::string_view& rest) {
    if (nextWord(line) != key) return false;
    rest = line;
    return true;
}

}  // namespace

std::string formatStateFile(const PluginState& state) {
    std::string text = std::string(kMagic) + " " + std::to_string(kStateFileVersion) + "\n";
    text += "plugin " + std::to_string(state.uniqueId) + " " + std::to_string(state.version) + "\n";
    text += "program " + std::to_string(state.program) + "\n";
    if (state.hasChunk) {
        text += "chunk " + std::to_string(state.chunk.size()) + " ";
        text.reserve(text.size() + 2 * state.chunk.size() + 8);
        for (std::uint8_t byte : state.chunk) {
            text += kHexDigits[byte >> 4];
            text += kHexDigits[byte & 15];
        }
        text += "\n";
    } else {
        text += "params " + std::to_string(state.params.size()) + "\n";
        for (std::size_t i = 0; i < state.params.size(); ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "param %zu %.9g\n", i, static_cast<double>(state.params[i]));
            text += line;
        }
    }
    text += "end\n";
    return text;
}

bool parseStateFile(std::string_view text, PluginState& result, std::string& error) {
    PluginState state;
    std::string_view line;
    std::string_view rest;
    long long number = 0;
    long long second = 0;
    const auto refuse = [&error](const std::string& why) {
        error = why;
        return false;
    };

    if (!nextLine(text, line) || !keyed(line, kMagic, rest)) return refuse("not a Tolvane state file");
    if (!parseInteger(nextWord(rest), 1, std::numeric_limits<int>::max(), number) || !rest.empty()) {
        return refuse("not a Tolvane state file");
    }
    if (number != kStateFileVersion) {
        return refuse("a state file of format version " + std::to_string(number) + ", this program reads version " +
                      std::to_string(kStateFileVersion));
    }
    constexpr long long kMin = std::numeric_limits<std::int32_t>::min();
    constexpr long long kMax = std::numeric_limits<std::int32_t>::max();
    if (!nextLine(text, line) || !keyed(line, "plugin", rest) || !parseInteger(nextWord(rest), kMin, kMax, number) ||
        !parseInteger(nextWord(rest), kMin, kMax, second) || !rest.empty()) {
        return refuse("the state file has no plug-in line");
    }
    state.uniqueId = static_cast<std::int32_t>(number);
    state.version = static_cast<std::int32_t>(second);
    if (!nextLine(text, line) || !keyed(line, "program", rest) || !parseInteger(nextWord(rest), 0, kMax, number) ||
        !rest.empty()) {
        return refuse("the state file has no program line");
    }
    state.program = static_cast<std::int32_t>(number);

    if (!nextLine(text, line)) return refuse("the state file is cut short");
    if (keyed(line, "chunk", rest)) {
        if (!parseInteger(nextWord(rest), 0, static_cast<long long>(kMaxStateChunkBytes), number)) {
            return refuse("the state file's chunk has no valid size");
        }
        const std::string_view hex = nextWord(rest);
        if (hex.size() != 2 * static_cast<std::size_t>(number) || !rest.empty()) {
            return refuse("the state file's chunk is not " + std::to_string(number) + " bytes long");
        }
        state.hasChunk = true;
        state.chunk.resize(static_cast<std::size_t>(number));
        for (std::size_t i = 0; i < state.chunk.size(); ++i) {
            const int high = hexValue(hex[2 * i]);
            const int low = hexValue(hex[2 * i + 1]);
            if (high < 0 || low < 0) return refuse("the state file's chunk holds a character that is no hex digit");
            state.chunk[i] = static_cast<std::uint8_t>(high << 4 | low);
        }
    } else if (keyed(line, "params", rest)) {
        if (!parseInteger(nextWord(rest), 0, kMaxStateParams, number) || !rest.empty()) {
            return refuse("the state file's parameter count is not valid");
        }
        state.params.resize(static_cast<std::size_t>(number));
        for (long long i = 0; i < number; ++i) {
            long long index = 0;
            if (!nextLine(text, line)) return refuse("the state file is cut short");
            if (!keyed(line, "param", rest) || !parseInteger(nextWord(rest), i, i, index) ||
                !parseUnit(nextWord(rest), state.params[static_cast<std::size_t>(i)]) || !rest.empty()) {
                return refuse("the state file's parameter line " + std::to_string(i) + " is not valid");
            }
        }
    } else {
        return refuse("the state file has neither a chunk nor parameters");
    }
    if (!nextLine(text, line) || line != "end" || !text.empty()) return refuse("the state file is cut short or has extra lines");
    result = std::move(state);
    return true;
}

StateRead readStateFile(const std::string& path, PluginState& state, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::FILE* probe = std::fopen(path.c_str(), "rb");
        if (probe == nullptr && errno == ENOENT) return StateRead::Missing;
        if (probe != nullptr) std::fclose(probe);
        error = "cannot read " + path;
        return StateRead::Refused;
    }
    // A state file larger than the largest chunk in hex, with room for the lines around it, is no
    // state file of ours.
    constexpr std::streamoff kMaxFileBytes = static_cast<std::streamoff>(2 * kMaxStateChunkBytes + 4096);
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0 || size > kMaxFileBytes) {
        error = path + " is too large for a state file";
        return StateRead::Refused;
    }
    file.seekg(0, std::ios::beg);
    std::string text(static_cast<std::size_t>(size), '\0');
    if (!file.read(text.data(), size)) {
        error = "cannot read " + path;
        return StateRead::Refused;
    }
    if (!parseStateFile(text, state, error)) {
        error = path + ": " + error;
        return StateRead::Refused;
    }
    return StateRead::Read;
}
