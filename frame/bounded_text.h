// Bounded text writing for every text the plug-in hands to the host. The host's buffer holds
// maxLen + 1 bytes: a text is cut to at most maxLen characters, always zero-terminated, and
// text[maxLen] is zeroed as well; nothing beyond text[maxLen] is ever written. A null buffer
// or a negative maxLen writes nothing; a null source counts as the empty text.
#pragma once

#include "frame/vst_abi.h"

// [any thread] Replaces the text with source.
void boundedCopy(char* text, const char* source, VstInt32 maxLen) noexcept;
// [any thread] Appends source to the text already there, as far as the limit leaves room.
// An existing text without a terminator within maxLen counts as full.
void boundedAppend(char* text, const char* source, VstInt32 maxLen) noexcept;
