// The compiled dialog template in both plug-in modules, read back from their resources and
// compared with the layout the soft dialog manager uses: styles, identifiers, classes, texts
// and positions of the window and of every control, in template order.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "dialog/config_template.h"
#include "dialog/resource.h"
#include "dialog_driver.h"

namespace {

// A DLGTEMPLATE walker: WORD-aligned strings or ordinals, DWORD-aligned items.
struct Reader {
    const BYTE* p;
    WORD word() {
        WORD w;
        std::memcpy(&w, p, 2);
        p += 2;
        return w;
    }
    DWORD dword() {
        DWORD d;
        std::memcpy(&d, p, 4);
        p += 4;
        return d;
    }
    // A string, or "#n" for an ordinal.
    std::string text() {
        WORD first = word();
        std::string out;
        if (first == 0xFFFF) {
            out.push_back('#');
            out.append(std::to_string(word()));
            return out;
        }
        for (WORD c = first; c != 0; c = word()) out.push_back(static_cast<char>(c));
        return out;
    }
    void alignDword(const BYTE* base) {
        while ((p - base) % 4) ++p;
    }
};

// The predefined classes are stored as ordinals, the others by name; the dialog manager
// compares names without regard to case (the resource compiler writes them in capitals).
std::string classOrdinal(const char* name) {
    std::string n = name;
    if (n == "BUTTON") return "#128";
    if (n == "EDIT") return "#129";
    if (n == "STATIC") return "#130";
    for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return n;
}

std::string upper(std::string s) {
    if (!s.empty() && s[0] != '#') {
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

void checkModule(const char* path) {
    SCOPED_TRACE(path);
    HMODULE module = LoadLibraryExA(nativePath(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(IDD_CONFIG), reinterpret_cast<LPCSTR>(RT_DIALOG));
    ASSERT_NE(found, nullptr);
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    ASSERT_NE(base, nullptr);

    const DialogTemplate& t = kConfigTemplate;
    Reader r{base};
    EXPECT_EQ(r.dword(), t.style);
    EXPECT_EQ(r.dword(), 0u);  // extended style
    const WORD count = r.word();
    ASSERT_EQ(count, t.controlCount);
    EXPECT_EQ(static_cast<short>(r.word()), t.x);
    EXPECT_EQ(static_cast<short>(r.word()), t.y);
    EXPECT_EQ(static_cast<short>(r.word()), t.cx);
    EXPECT_EQ(static_cast<short>(r.word()), t.cy);
    EXPECT_EQ(r.text(), "");  // no menu
    EXPECT_EQ(r.text(), "");  // the default dialog class
    EXPECT_EQ(r.text(), t.caption);
    EXPECT_EQ(r.word(), t.pointSize);
    EXPECT_EQ(r.text(), t.fontName);

    for (int i = 0; i < count; ++i) {
        const TemplateControl& c = t.controls[i];
        SCOPED_TRACE(c.text);
        r.alignDword(base);
        EXPECT_EQ(r.dword(), c.style);
        EXPECT_EQ(r.dword(), 0u);
        EXPECT_EQ(static_cast<short>(r.word()), c.x);
        EXPECT_EQ(static_cast<short>(r.word()), c.y);
        EXPECT_EQ(static_cast<short>(r.word()), c.cx);
        EXPECT_EQ(static_cast<short>(r.word()), c.cy);
        EXPECT_EQ(r.word(), c.id);
        EXPECT_EQ(upper(r.text()), classOrdinal(c.className));
        EXPECT_EQ(r.text(), c.text);
        const WORD extra = r.word();
        EXPECT_EQ(extra, 0);
        r.p += extra;
    }
    FreeLibrary(module);
}

TEST(DialogTemplate, BothModulesCarryTheTemplate) {
    checkModule(TOLVANE_PLUGIN_PATH);
    checkModule(TOLVANE_INSTRUMENT_PATH);
}

TEST(DialogTemplate, WaitingMessageIsFourCentredLines) {
    const TemplateControl* wait = nullptr;
    for (int i = 0; i < kConfigTemplate.controlCount; ++i) {
        if (kConfigTemplate.controls[i].id == IDC_WAIT_TEXT) wait = &kConfigTemplate.controls[i];
    }
    ASSERT_NE(wait, nullptr);
    EXPECT_STREQ(wait->text, kWaitMessage);
    EXPECT_EQ(wait->style & 0xF, style::kCenter);
}

}  // namespace
