// --state FILE: the hosted plug-in's state kept in a small text file, so that a plug-in opened
// again (a restart under --supervise, the reopening on Stop, the next run) sounds as it did.
//
// The file, in UTF-8 text with '\n' line ends:
//
//   TolvaneState 1
//   plugin UNIQUEID VERSION
//   program N
//   chunk BYTES HEX                 (a plug-in that keeps its state in a chunk)
//   params COUNT                    (any other plug-in; then COUNT lines)
//   param INDEX VALUE
//   end
//
// The first line is the magic and the format's version. UNIQUEID and VERSION are the plug-in
// record's uniqueID and version as signed decimal numbers; a file of another uniqueID is refused.
// VALUE is a normalised value written with nine significant digits, so it reads back to the same
// float. A file that lacks its last line, has a line it does not know or declares a count it does
// not hold is refused as torn: nothing of it is applied.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kStateFileVersion = 1;
// The largest chunk kept (a bank chunk of a sample-based plug-in can be large; beyond this the
// parameters are kept instead).
inline constexpr std::size_t kMaxStateChunkBytes = 64u << 20;
// The most parameters kept.
inline constexpr std::int32_t kMaxStateParams = 65536;

struct PluginState {
    std::int32_t uniqueId = 0;
    std::int32_t version = 0;
    std::int32_t program = 0;
    bool hasChunk = false;
    std::vector<std::uint8_t> chunk;  // the bank chunk, when hasChunk
    std::vector<float> params;        // every parameter's value, when !hasChunk
    bool operator==(const PluginState&) const = default;
};

std::string formatStateFile(const PluginState& state);
// False with a message that names what is wrong; `state` is then unchanged.
bool parseStateFile(std::string_view text, PluginState& state, std::string& error);

enum class StateRead { Missing, Read, Refused };
// Reads and parses the file. Missing when it does not exist (the first run); Refused with a
// message when it cannot be read or is no whole state file.
StateRead readStateFile(const std::string& path, PluginState& state, std::string& error);

// [main thread; not the audio thread] Writes `contents` to a temporary file in the same folder,
// flushes it to the disk and renames it over `path`, so that a reader (or a crash) finds either
// the old file or the new one, never a torn one. One file per platform (posix/, win32/).
bool replaceFileAtomically(const std::string& path, const std::string& contents, std::string& error);
