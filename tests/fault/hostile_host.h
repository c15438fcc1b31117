// A hostile host: one call at a time through the plug-in record with a random opcode, index,
// value and option, and for every pointer the plug-in may read or write either null or a buffer
// of exactly the smallest size the interface promises for that opcode (a heap block of that
// size, so that AddressSanitizer reports any access past it). The processing functions get
// random frame counts with buffers that hold them, null pointer arrays and null channels;
// setParameter and getParameter get any index and any float, NaN and infinities included.
//
// Header-only, shared by the fault test (random source) and the dispatcher fuzz target (the
// fuzzer's bytes). Never sends effClose (the caller closes at the end) and never hands a window
// handle to effEditOpen: a real host never lies about those, and nothing survives a lie there.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "frame/vst_abi.h"

namespace hostile {

// Interface text limits plus the terminating zero.
constexpr std::size_t kParamText = 8 + 1;
constexpr std::size_t kProgramText = 24 + 1;
constexpr std::size_t kEffectNameText = 32 + 1;
constexpr std::size_t kVendorText = 64 + 1;
constexpr std::size_t kOpaque = 512;  // records the plug-in does not implement; only passed on
constexpr int kMaxChannels = 16;
constexpr int kMaxFrames = 4096;

// Source: any type with `std::uint32_t next()`.
template <typename Source> std::uint32_t pick(Source& source, std::uint32_t n) { return n ? source.next() % n : 0; }

template <typename Source> std::int32_t anyInt(Source& source) {
    static const std::int32_t edges[] = {0, 1, -1, 2, 7, 16, 17, 44100, INT32_MAX, INT32_MIN, 1 << 20};
    return pick(source, 2) ? edges[pick(source, std::size(edges))] : static_cast<std::int32_t>(source.next());
}

template <typename Source> float anyFloat(Source& source) {
    static const float edges[] = {0.0f, 1.0f, 0.5f, -0.0f, -1.0f, 2.0f, 1e30f, -1e30f, 1e-40f,
                                  std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(), 44100.0f, 0.999999f};
    if (pick(source, 2)) return edges[pick(source, std::size(edges))];
    const std::uint32_t bits = source.next();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Exact-size heap buffers for one call, released after it.
class Buffers {
public:
    void* bytes(std::size_t size) {
        blocks.emplace_back(new std::uint8_t[size]());
        return blocks.back().get();
    }
    // A terminated text of random printable and unprintable bytes in a buffer of its own length.
    template <typename Source> char* text(Source& source) {
        static const char* const words[] = {"", "On", "off", "16", "-1", "999999999999", "  3x", "Default",
                                            "receiveVstEvents", "sendVstMidiEvent", "bypass", "+", "-"};
        if (pick(source, 2)) {
            const char* word = words[pick(source, std::size(words))];
            char* out = static_cast<char*>(bytes(std::strlen(word) + 1));
            std::memcpy(out, word, std::strlen(word) + 1);
            return out;
        }
        const std::size_t length = pick(source, 40);
        char* out = static_cast<char*>(bytes(length + 1));
        for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char>(1 + pick(source, 255));
        return out;
    }

private:
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks;
};

// An event list of up to 8 events of every type, some with lying sizes, null entries or a SysEx
// dump pointer that is null while dumpBytes says otherwise.
template <typename Source> VstEvents* eventList(Source& source, Buffers& buffers) {
    const int count = static_cast<int>(pick(source, 9));
    // VstEvents declares two slots; a host allocates more after them.
    const std::size_t slotCount = count > 2 ? static_cast<std::size_t>(count) : 2;
    auto* list = static_cast<VstEvents*>(buffers.bytes(sizeof(VstEvents) + (slotCount - 2) * sizeof(VstEvent*)));
    list->numEvents = pick(source, 8) == 0 ? -static_cast<VstInt32>(pick(source, 5)) : count;
    VstEvent** slots = list->events;  // the slots run on past the two declared ones
    for (int i = 0; i < count; ++i) {
        if (pick(source, 10) == 0) {
            slots[i] = nullptr;
            continue;
        }
        const std::uint32_t kind = pick(source, 4);
        if (kind == 0) {
            auto* sysex = static_cast<VstMidiSysexEvent*>(buffers.bytes(sizeof(VstMidiSysexEvent)));
            sysex->type = kVstSysExType;
            sysex->byteSize = anyInt(source);
            const std::int32_t dump = pick(source, 6) == 0 ? anyInt(source) : static_cast<std::int32_t>(pick(source, 300));
            sysex->dumpBytes = dump;
            // A truthful dump when the length is sane, else no dump (a lie the packer must refuse).
            sysex->sysexDump = dump > 0 && dump <= 70000 && pick(source, 4) != 0
                                   ? static_cast<char*>(buffers.bytes(static_cast<std::size_t>(dump)))
                                   : nullptr;
            slots[i] = reinterpret_cast<VstEvent*>(sysex);
        } else {
            auto* event = static_cast<VstMidiEvent*>(buffers.bytes(sizeof(VstMidiEvent)));
            event->type = kind == 1 ? static_cast<VstInt32>(pick(source, 8)) : kVstMidiType;
            event->byteSize = anyInt(source);
            event->deltaFrames = anyInt(source);
            for (char& b : event->midiData) b = static_cast<char>(source.next());
            slots[i] = reinterpret_cast<VstEvent*>(event);
        }
    }
    return list;
}

// One processing call with random frames: buffers for every channel the host could declare,
// sometimes null arrays or null channels.
template <typename Source> void processCall(AEffect* effect, Source& source) {
    const std::uint32_t shape = pick(source, 8);
    VstInt32 frames = static_cast<VstInt32>(pick(source, kMaxFrames + 1));
    if (shape == 0) frames = -static_cast<VstInt32>(pick(source, 1000));
    const std::size_t room = frames > 0 ? static_cast<std::size_t>(frames) : 1;
    std::vector<std::unique_ptr<float[]>> in, out;
    float* inPtr[kMaxChannels];
    float* outPtr[kMaxChannels];
    for (int c = 0; c < kMaxChannels; ++c) {
        in.emplace_back(new float[room]());
        out.emplace_back(new float[room]());
        inPtr[c] = pick(source, 12) == 0 ? nullptr : in.back().get();
        outPtr[c] = pick(source, 12) == 0 ? nullptr : out.back().get();
    }
    float** inputs = shape == 1 ? nullptr : inPtr;
    float** outputs = shape == 2 ? nullptr : outPtr;
    if (pick(source, 4) == 0) {
        if (effect->process) effect->process(effect, inputs, outputs, frames);
    } else if (effect->processReplacing) {
        effect->processReplacing(effect, inputs, outputs, frames);
    }
    if (pick(source, 8) == 0 && effect->processDoubleReplacing) {
        effect->processDoubleReplacing(effect, nullptr, nullptr, frames);
    }
}

// The pointer argument an opcode gets: null, or a buffer of the interface's size for it.
template <typename Source> void* pointerFor(VstInt32 opcode, Source& source, Buffers& buffers, VstIntPtr& value) {
    if (pick(source, 6) == 0) return nullptr;
    switch (opcode) {
    case effGetProgramName:
    case effGetProgramNameIndexed: return buffers.bytes(kProgramText);
    case effGetParamLabel:
    case effGetParamDisplay:
    case effGetParamName: return buffers.bytes(kParamText);
    case effGetEffectName: return buffers.bytes(kEffectNameText);
    case effGetVendorString:
    case effGetProductString:
    case effShellGetNextPlugin: return buffers.bytes(kVendorText);
    case effGetErrorText: return buffers.bytes(256);
    case effSetProgramName:
    case effCanDo:
    case effString2Parameter: return buffers.text(source);
    case effGetInputProperties:
    case effGetOutputProperties: return buffers.bytes(sizeof(VstPinProperties));
    case effProcessEvents: return eventList(source, buffers);
    case effGetChunk:
    case effEditGetRect: return buffers.bytes(sizeof(void*));
    case effSetChunk: {
        const std::size_t size = pick(source, 64);
        if (pick(source, 2)) value = static_cast<VstIntPtr>(size);  // else the random value stands
        if (value >= 0 && value <= INT32_MAX && static_cast<std::size_t>(value) > size) value = static_cast<VstIntPtr>(size);
        return buffers.bytes(size ? size : 1);
    }
    case effSetSpeakerArrangement: {
        auto* input = static_cast<VstSpeakerArrangement*>(buffers.bytes(sizeof(VstSpeakerArrangement)));
        auto* output = static_cast<VstSpeakerArrangement*>(buffers.bytes(sizeof(VstSpeakerArrangement)));
        input->numChannels = anyInt(source);
        output->numChannels = anyInt(source);
        input->type = anyInt(source);
        output->type = anyInt(source);
        value = pick(source, 4) == 0 ? 0 : reinterpret_cast<VstIntPtr>(input);
        return output;
    }
    case effGetSpeakerArrangement:
        value = pick(source, 4) == 0 ? 0 : reinterpret_cast<VstIntPtr>(buffers.bytes(sizeof(void*)));
        return buffers.bytes(sizeof(void*));
    case effEditOpen: return nullptr;  // a window handle: never faked
    default:
        // Records the plug-in leaves to the base's refusals (offline tasks, variable I/O, MIDI
        // program names, patch chunk information, parameter properties, vendor-specific data).
        return buffers.bytes(kOpaque);
    }
}

// One hostile call of any kind.
template <typename Source> void call(AEffect* effect, Source& source) {
    const std::uint32_t kind = pick(source, 10);
    if (kind < 2) {
        processCall(effect, source);
        return;
    }
    if (kind == 2) {
        effect->setParameter(effect, pick(source, 3) ? static_cast<VstInt32>(pick(source, 10)) : anyInt(source),
                             anyFloat(source));
        return;
    }
    if (kind == 3) {
        const float value =
            effect->getParameter(effect, pick(source, 3) ? static_cast<VstInt32>(pick(source, 10)) : anyInt(source));
        (void)value;
        return;
    }
    VstInt32 opcode = static_cast<VstInt32>(pick(source, 82));
    if (pick(source, 16) == 0) opcode = anyInt(source);
    if (opcode == effClose) opcode = effIdle;
    const VstInt32 index = pick(source, 2) ? static_cast<VstInt32>(pick(source, 20)) - 2 : anyInt(source);
    VstIntPtr value = pick(source, 2) ? static_cast<VstIntPtr>(anyInt(source))
                                      : static_cast<VstIntPtr>((static_cast<std::uint64_t>(source.next()) << 32) | source.next());
    Buffers buffers;
    void* ptr = pointerFor(opcode, source, buffers, value);
    effect->dispatcher(effect, opcode, index, value, ptr, anyFloat(source));
}

}  // namespace hostile
