// The bare primitive the link benchmark measures our channel against: one shared region of the
// block's size and two wake-ups made directly from the operating system's calls (a futex word
// pair on Linux, two named events on Windows), with none of the channel's layers.
#pragma once

#include <cstddef>
#include <cstdint>

struct BareLink;

enum class BareSide { Parent = 0, Child = 1 };

// Creates (parent) or opens (child) the region and the wake-ups under a name unique to the run.
BareLink* bareOpen(const char* name, bool create, void** region);
// Closes everything; the creator also removes the names.
void bareClose(BareLink* link);
// Wakes the given side, or waits (up to `milliseconds`) for this side's wake-up.
void bareSignal(BareLink* link, BareSide side);
bool bareWait(BareLink* link, BareSide side, std::uint32_t milliseconds);
