// The one instrument switch: TOLVANE_INSTRUMENT=1 builds TolvaneI, 0 builds Tolvane.
#include "bridge/identity.h"

#ifndef TOLVANE_INSTRUMENT
#error "TOLVANE_INSTRUMENT must be 0 (effect) or 1 (instrument)"
#endif

const DeliverableIdentity& deliverableIdentity() {
    return TOLVANE_INSTRUMENT ? instrumentIdentity() : effectIdentity();
}
