// Plug-ins that misbehave at load, one per build of this file (FIXTURE_BAD_KIND):
//   1 the entry point returns null
//   2 the record has the wrong magic (its functions abort: the host must not call them)
//   3 no entry point is exported
//   4 the record declares an absurd output count
//   5 the record has no dispatcher
#include <cstdlib>

#include "frame/vst_abi.h"

#if defined(_WIN32)
#define FIXTURE_EXPORT __declspec(dllexport)
#else
#define FIXTURE_EXPORT __attribute__((visibility("default")))
#endif

namespace {

constexpr int kKind = FIXTURE_BAD_KIND;

int gClosed = 0;

VstIntPtr VSTCALLBACK abortingDispatcher(AEffect*, VstInt32, VstInt32, VstIntPtr, void*, float) { std::abort(); }
void VSTCALLBACK abortingProcess(AEffect*, float**, float**, VstInt32) { std::abort(); }

VstIntPtr VSTCALLBACK countingDispatcher(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    if (opcode == effClose) ++gClosed;
    return 0;
}
void VSTCALLBACK silentProcess(AEffect*, float**, float**, VstInt32) {}

AEffect gRecord{};

AEffect* create(audioMasterCallback) {
    gRecord = AEffect{};
    gRecord.magic = kEffectMagic;
    gRecord.dispatcher = countingDispatcher;
    gRecord.processReplacing = silentProcess;
    gRecord.numInputs = 2;
    gRecord.numOutputs = 2;
    if (kKind == 1) return nullptr;
    if (kKind == 2) {
        gRecord.magic = 0x12345678;
        gRecord.dispatcher = abortingDispatcher;
        gRecord.processReplacing = abortingProcess;
        gRecord.process = abortingProcess;
    }
    if (kKind == 4) gRecord.numOutputs = 100000;
    if (kKind == 5) gRecord.dispatcher = nullptr;
    return &gRecord;
}

}  // namespace

// Kind 3 exports an unrelated function only.
extern "C" FIXTURE_EXPORT AEffect* fixtureEntry(audioMasterCallback master) __asm__(FIXTURE_ENTRY_NAME);
extern "C" FIXTURE_EXPORT AEffect* fixtureEntry(audioMasterCallback master) { return create(master); }
