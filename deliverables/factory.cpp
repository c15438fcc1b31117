// The factory hook of the frame: one new bridge object per call of the entry point.
#include <new>

#include "bridge/tolvane.h"
#include "frame/factory.h"

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
    try {
        return new (std::nothrow) CTolvane(audioMaster, deliverableIdentity());
    } catch (...) {
        return nullptr;  // nothing may leave the library through the host's call
    }
}
