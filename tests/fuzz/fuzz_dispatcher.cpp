// The plug-in record under a hostile host: dispatcher, setParameter, getParameter and the
// processing functions called with the fuzzer's opcodes, indexes, values, options and frame
// counts, and for every pointer the plug-in may touch either null or a buffer of exactly the
// smallest size the interface promises (tests/fault/hostile_host.h says which). The buffers are
// exact-size heap blocks, so any access past one is reported. After every call the record must
// still be one a host can use: its magic, its pin counts within 0..16 and 1..16.
//
// No slave is served, so the connect attempts find none; the Slave# parameter still moves the
// bridge over the numbers 0..16 and opens their named objects (see docs/fuzzing.md).
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "bridge/tolvane.h"
#include "tests/fault/hostile_host.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/scratch.h"

namespace {

VstIntPtr VSTCALLBACK hostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    static VstTimeInfo time{};
    switch (opcode) {
    case audioMasterVersion: return 2400;
    case audioMasterCanDo: {
        const char* text = static_cast<const char*>(ptr);
        FUZZ_CHECK(text != nullptr);
        // Asynchronous blocks are written after the call into buffers the host keeps; this host
        // frees them after each call, so it does not offer that mode.
        return std::strcmp(text, "acceptIOChanges") == 0 || std::strcmp(text, "receiveVstEvents") == 0 ? 1 : -1;
    }
    case audioMasterGetTime: return reinterpret_cast<VstIntPtr>(&time);
    case audioMasterProcessEvents: {
        const auto* list = static_cast<const VstEvents*>(ptr);
        FUZZ_CHECK(list && list->numEvents == 1 && list->events[0]);
        return 1;
    }
    case audioMasterIOChanged: return 1;
    default: return 0;
    }
}

// The fuzzer's bytes as the hostile host's choices; zeros once they run out.
struct InputSource {
    explicit InputSource(FuzzInput& input) : input(input) {}
    std::uint32_t next() { return input.value<std::uint32_t>(); }
    FuzzInput& input;
};

struct Fixture {
    Fixture() {
        settingsFolder = makeScratchConfigHome("fuzz");
        identity = effectIdentity();
        identity.settingsKey = "Software\\Vantor\\TolvaneFuzzDispatcher";
        effect = (new CTolvane(hostCallback, identity))->getAeffect();
        effect->dispatcher(effect, effOpen, 0, 0, nullptr, 0.0f);
    }
    ~Fixture() {
        // effClose: the frame deletes the object, whose channel closes (and removes) its objects.
        effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
        removeScratchFolder(settingsFolder);
    }
    std::string settingsFolder;
    DeliverableIdentity identity;
    AEffect* effect;
};

Fixture* gFixture = nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!gFixture) {
        gFixture = new Fixture;
        std::atexit([] { delete gFixture; });
    }
    AEffect* effect = gFixture->effect;
    FuzzInput input(data, size);
    InputSource source(input);
    for (int calls = 0; calls < 64 && input.remaining() > 0; ++calls) {
        hostile::call(effect, source);
        FUZZ_CHECK(effect->magic == kEffectMagic);
        FUZZ_CHECK(effect->numInputs >= 0 && effect->numInputs <= kMaxIoChannels);
        FUZZ_CHECK(effect->numOutputs >= 1 && effect->numOutputs <= kMaxIoChannels);
        FUZZ_CHECK(effect->object != nullptr && effect->dispatcher && effect->processReplacing);
    }
    return 0;
}
