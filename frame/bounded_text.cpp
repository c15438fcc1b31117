#include "frame/bounded_text.h"

namespace {

// Copies characters of source into text[from..maxLen) and terminates right after them.
void copyFrom(char* text, VstInt32 from, const char* source, VstInt32 maxLen) noexcept {
    VstInt32 at = from;
    if (source != nullptr) {
        for (const char* s = source; at < maxLen && *s != '\0'; ++s) {
            text[at++] = *s;
        }
    }
    text[at] = '\0';
    text[maxLen] = '\0';
}

}  // namespace

void boundedCopy(char* text, const char* source, VstInt32 maxLen) noexcept {
    if (text == nullptr || maxLen < 0) {
        return;
    }
    copyFrom(text, 0, source, maxLen);
}

void boundedAppend(char* text, const char* source, VstInt32 maxLen) noexcept {
    if (text == nullptr || maxLen < 0) {
        return;
    }
    VstInt32 length = 0;
    while (length < maxLen && text[length] != '\0') {
        ++length;
    }
    copyFrom(text, length, source, maxLen);
}
