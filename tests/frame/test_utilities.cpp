// The display-text conversions with their bounded writing, and the speaker-arrangement
// utilities (run under AddressSanitizer on Linux, which catches any write or read outside
// the blocks).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "frame/audioeffectx.h"
#include "frame/bounded_text.h"

namespace {

class Texts : public AudioEffectX {
public:
    Texts() : AudioEffectX(nullptr, 1, 1) {}
    void processReplacing(float**, float**, VstInt32) override {}

    std::string ofInt(VstInt32 v, VstInt32 maxLen = 16) { return write([&](char* t) { int2string(v, t, maxLen); }, maxLen); }
    std::string ofFloat(float v, VstInt32 maxLen = 16) { return write([&](char* t) { float2string(v, t, maxLen); }, maxLen); }
    std::string ofDb(float v) { return write([&](char* t) { dB2string(v, t, 16); }, 16); }
    std::string ofHz(float v) { return write([&](char* t) { Hz2string(v, t, 16); }, 16); }
    std::string ofMs(float v) { return write([&](char* t) { ms2string(v, t, 16); }, 16); }

    // Writes into a buffer of maxLen + 1 bytes with guard bytes around it, and fails the test
    // if anything outside it changed.
    template <typename F>
    static std::string write(F convert, VstInt32 maxLen) {
        char area[64];
        std::memset(area, '#', sizeof area);
        char* text = area + 8;
        convert(text);
        for (char* c = area; c < text; ++c) {
            EXPECT_EQ(*c, '#') << "written before the buffer";
        }
        for (char* c = text + maxLen + 1; c < area + sizeof area; ++c) {
            EXPECT_EQ(*c, '#') << "written past text[maxLen]";
        }
        EXPECT_EQ(text[maxLen], '\0');
        return text;
    }
};

TEST(Int2String, DigitsSignAndLimits) {
    Texts t;
    EXPECT_EQ(t.ofInt(0), "0");
    EXPECT_EQ(t.ofInt(-7), "-7");
    EXPECT_EQ(t.ofInt(99999999), "99999999");
    EXPECT_EQ(t.ofInt(100000000), "Huge!");
    EXPECT_EQ(t.ofInt(-999999999), "-999999999");
    EXPECT_EQ(t.ofInt(-1000000000), "Huge!");  // would otherwise start with a non-digit
    EXPECT_EQ(t.ofInt(INT32_MIN), "Huge!");
    EXPECT_EQ(t.ofInt(1234567, 6), "123456");
    EXPECT_EQ(t.ofInt(-16, 2), "-1");
    EXPECT_EQ(t.ofInt(5, 0), "");
}

TEST(Float2String, EightCharactersTruncated) {
    Texts t;
    EXPECT_EQ(t.ofFloat(1.0f), "1.000000");
    EXPECT_EQ(t.ofFloat(3.5f), "3.500000");
    EXPECT_EQ(t.ofFloat(-0.25f), "-0.25000");
    EXPECT_EQ(t.ofFloat(100.0f), "100.0000");
    EXPECT_EQ(t.ofFloat(1234567.0f), "1234567.");
    EXPECT_EQ(t.ofFloat(-123456.0f), "-123456.");
    EXPECT_EQ(t.ofFloat(3.5f, 4), "3.50");
}

TEST(Float2String, ValuesThatDoNotFitSayHuge) {
    Texts t;
    EXPECT_EQ(t.ofFloat(100000000.5f), "Huge!");
    EXPECT_EQ(t.ofFloat(-10000000.0f), "Huge!");
    // Integer parts longer than the eight characters allow: no digits are dropped.
    EXPECT_EQ(t.ofFloat(12345678.0f), "Huge!");
    EXPECT_EQ(t.ofFloat(-1234567.0f), "Huge!");
    EXPECT_EQ(t.ofFloat(INFINITY), "Huge!");
    EXPECT_EQ(t.ofFloat(-INFINITY), "Huge!");
    EXPECT_EQ(t.ofFloat(std::nanf("")), "NaN");
    EXPECT_EQ(t.ofFloat(12345678.0f, 3), "Hug");
}

TEST(UnitTexts, DecibelsHertzAndMilliseconds) {
    Texts t;
    EXPECT_EQ(t.ofDb(0.0f), "-oo");
    EXPECT_EQ(t.ofDb(1.0f), "0.000000");
    EXPECT_EQ(t.ofDb(10.0f), "20.00000");
    EXPECT_EQ(t.ofHz(0.0f), "0.000000");
    EXPECT_EQ(t.ofHz(441.0f), "100.0000");  // 44100 / 441
    EXPECT_EQ(t.ofMs(441.0f), "10.00000");
    EXPECT_EQ(t.ofHz(1e-30f), "Huge!");
    t.setSampleRate(0.0f);
    EXPECT_EQ(t.ofMs(1.0f), "Huge!");
    EXPECT_EQ(t.ofMs(0.0f), "NaN");
}

TEST(UnitTexts, UseTheReplacedSampleRateAndFloatConversion) {
    class Replaced : public Texts {
    public:
        float getSampleRate() override { return 1000.0f; }
        void float2string(float value, char* text, VstInt32 maxLen) override {
            int2string(static_cast<VstInt32>(value), text, maxLen);
        }
    } r;
    EXPECT_EQ(Texts::write([&](char* t) { r.Hz2string(4.0f, t, 16); }, 16), "250");
    EXPECT_EQ(Texts::write([&](char* t) { r.ms2string(3000.0f, t, 16); }, 16), "3000");
    EXPECT_EQ(Texts::write([&](char* t) { r.dB2string(100.0f, t, 16); }, 16), "40");
}

TEST(BoundedText, AppendNeverPassesTheLimit) {
    EXPECT_EQ(Texts::write([](char* t) { boundedCopy(t, "abcdef", 4); boundedAppend(t, "XYZ", 4); }, 4), "abcd");
    EXPECT_EQ(Texts::write([](char* t) { boundedCopy(t, "ab", 5); boundedAppend(t, "XYZ", 5); }, 5), "abXYZ");
    EXPECT_EQ(Texts::write([](char* t) { boundedCopy(t, nullptr, 5); boundedAppend(t, nullptr, 5); }, 5), "");
    boundedCopy(nullptr, "x", 5);
    boundedAppend(nullptr, "x", 5);
    char guard[2] = {'#', '#'};
    boundedCopy(guard, "x", -1);
    boundedAppend(guard, "x", -1);
    EXPECT_EQ(guard[0], '#');
}

class Speakers : public AudioEffectX {
public:
    Speakers() : AudioEffectX(nullptr, 1, 1) {}
    void processReplacing(float**, float**, VstInt32) override {}
};

TEST(SpeakerArrangements, AllocateZeroFilledForExactlyTheChannels) {
    Speakers s;
    VstSpeakerArrangement* arrangement = nullptr;
    ASSERT_TRUE(s.allocateArrangement(&arrangement, 3));
    ASSERT_NE(arrangement, nullptr);
    EXPECT_EQ(arrangement->numChannels, 3);
    EXPECT_EQ(arrangement->type, 0);
    const auto* bytes = reinterpret_cast<const unsigned char*>(arrangement->speakers);
    for (std::size_t i = 0; i < 3 * sizeof(VstSpeakerProperties); ++i) {
        ASSERT_EQ(bytes[i], 0);
    }
    ASSERT_TRUE(s.allocateArrangement(&arrangement, 12));  // frees the old one first
    EXPECT_EQ(arrangement->numChannels, 12);
    speakerAt(arrangement, 11)->type = 5;  // past the declared 8, inside the block
    EXPECT_TRUE(s.deallocateArrangement(&arrangement));
    EXPECT_EQ(arrangement, nullptr);
    EXPECT_TRUE(s.deallocateArrangement(&arrangement));
}

TEST(SpeakerArrangements, RefusedCountsLeaveNoDanglingPointer) {
    Speakers s;
    VstSpeakerArrangement* arrangement = nullptr;
    ASSERT_TRUE(s.allocateArrangement(&arrangement, 2));
    EXPECT_FALSE(s.allocateArrangement(&arrangement, -1));
    EXPECT_EQ(arrangement, nullptr);  // the old block is gone and not left behind
    EXPECT_FALSE(s.allocateArrangement(&arrangement, AudioEffectX::kMaxArrangementChannels + 1));
    EXPECT_FALSE(s.allocateArrangement(nullptr, 2));
    EXPECT_TRUE(s.deallocateArrangement(&arrangement));  // no double free
}

TEST(SpeakerArrangements, CopyAndMatch) {
    Speakers s;
    VstSpeakerProperties from{};
    std::memset(from.name, 'n', sizeof from.name);  // no terminator: copied as 63 characters
    from.type = 7;
    from.azimuth = 0.5f;
    from.elevation = -0.5f;
    from.radius = 2.0f;
    from.reserved = 1.0f;
    std::memset(from.future, 0x33, sizeof from.future);
    VstSpeakerProperties to{};
    EXPECT_FALSE(s.copySpeaker(nullptr, &from));
    EXPECT_FALSE(s.copySpeaker(&to, nullptr));
    ASSERT_TRUE(s.copySpeaker(&to, &from));
    EXPECT_EQ(std::string(to.name), std::string(63, 'n'));
    EXPECT_EQ(to.type, 7);
    EXPECT_EQ(to.azimuth, 0.5f);
    EXPECT_EQ(to.elevation, -0.5f);
    EXPECT_EQ(to.radius, 2.0f);
    EXPECT_EQ(to.reserved, 1.0f);
    EXPECT_EQ(std::memcmp(to.future, from.future, sizeof to.future), 0);

    VstSpeakerArrangement* source = nullptr;
    ASSERT_TRUE(s.allocateArrangement(&source, 10));
    source->type = 42;
    for (int i = 0; i < 10; ++i) {
        std::strcpy(speakerAt(source, i)->name, "L");
        speakerAt(source, i)->type = i;
    }
    VstSpeakerArrangement* copy = nullptr;
    ASSERT_TRUE(s.allocateArrangement(&copy, 1));  // replaced by the match
    ASSERT_TRUE(s.matchArrangement(&copy, source));
    EXPECT_EQ(copy->type, 42);
    EXPECT_EQ(copy->numChannels, 10);
    EXPECT_EQ(speakerAt(copy, 9)->type, 9);
    EXPECT_STREQ(speakerAt(copy, 9)->name, "L");
    EXPECT_FALSE(s.matchArrangement(&copy, nullptr));

    source->numChannels = -5;  // a host's record with a bad count is refused before reading it
    EXPECT_FALSE(s.matchArrangement(&copy, source));
    EXPECT_EQ(copy, nullptr);
    source->numChannels = 10;
    s.deallocateArrangement(&source);
}

}  // namespace
