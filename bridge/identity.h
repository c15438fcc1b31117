// What differs between the two deliverables built from this tree, the effect Tolvane and the
// instrument TolvaneI. Each plug-in module links exactly one identity (deliverables/identity.cpp,
// compiled with or without the instrument switch) and hands it to the bridge's constructor.
#pragma once

#include "frame/vst_abi.h"

struct DeliverableIdentity {
    const char* effectName;      // "Tolvane" / "Tolvane VSTi"
    const char* productString;   // "Palisor Bandwick: Tolvane" / "... Tolvane VSTi"
    const char* settingsKey;     // "Software\\Vantor\\Tolvane" / "...\\TolvaneI"
    VstInt32 uniqueId;           // 'Tolv' / 'TolI'
    bool isInstrument;           // declares itself a synthesizer
    const char* const* canDoTable;  // capabilities answered 1 by canDo, in order
    int canDoCount;
};

// The identity of the deliverable this module is (defined by the deliverable's build).
const DeliverableIdentity& deliverableIdentity();

// Both identities, for tests and tools that exercise either deliverable in one process.
const DeliverableIdentity& effectIdentity();
const DeliverableIdentity& instrumentIdentity();

constexpr const char* kVendorString = "Edrin Vantor";
constexpr VstInt32 kVendorVersion = 1008;
constexpr const char* kProgramName = "--Fixed--";
