// The two ends of plug-in creation. Each plug-in module defines createEffectInstance; the frame
// defines the exported entry point that calls it.
#pragma once

#include "frame/audioeffect.h"

// [main thread] Creates one new plug-in object for the host callback (never null when called
// by the entry point), or returns null when it cannot. It may throw: the entry point catches.
AudioEffect* createEffectInstance(audioMasterCallback audioMaster);

// [main thread] The module's entry point, exported as VSTPluginMain and as main: asks the host
// for its version, creates one plug-in object and returns its record. Null when the callback is
// null, when the host answers the version query with 0 or when no object can be created.
extern "C" AEffect* VSTPluginMain(audioMasterCallback audioMaster) noexcept;
