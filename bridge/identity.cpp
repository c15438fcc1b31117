#include "bridge/identity.h"

namespace {

const char* const kEffectCanDo[] = {"sendVstEvents",      "receiveVstEvents",      "sendVstMidiEvent",
                                    "receiveVstMidiEvent", "receiveVstTimeInfo",   "conformsToWindowRules",
                                    "plugAsChannelInsert", "plugAsSend"};

const DeliverableIdentity kEffect{
    "Tolvane", "Palisor Bandwick: Tolvane", "Software\\Vantor\\Tolvane", fourCharCode('T', 'o', 'l', 'v'),
    false,     kEffectCanDo,                 8};

// The instrument answers the first six capabilities only.
const DeliverableIdentity kInstrument{"Tolvane VSTi",
                                      "Palisor Bandwick: Tolvane VSTi",
                                      "Software\\Vantor\\TolvaneI",
                                      fourCharCode('T', 'o', 'l', 'I'),
                                      true,
                                      kEffectCanDo,
                                      6};

}  // namespace

const DeliverableIdentity& effectIdentity() { return kEffect; }
const DeliverableIdentity& instrumentIdentity() { return kInstrument; }
