// The version resource of each DLL, read back the way Windows Explorer and hosts read it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string windowsPath(const char* path) {
    std::string p = path;
    if (!p.empty() && p[0] == '/') p = "Z:" + p;  // Wine maps the Unix root to drive Z:
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

struct VersionInfo {
    std::vector<char> data;
    bool load(const char* path) {
        const std::string file = windowsPath(path);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
        if (size == 0) return false;
        data.resize(size);
        return GetFileVersionInfoA(file.c_str(), 0, size, data.data()) != 0;
    }
    std::string text(const char* name) {
        void* value = nullptr;
        UINT length = 0;
        const std::string query = std::string("\\StringFileInfo\\0c0704b0\\") + name;
        if (!VerQueryValueA(data.data(), query.c_str(), &value, &length) || !value) return "<missing>";
        return static_cast<const char*>(value);
    }
};

void expectVersion(const char* path, const char* description) {
    VersionInfo info;
    ASSERT_TRUE(info.load(path)) << path;
    void* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data.data(), "\\", &fixed, &length));
    auto* version = static_cast<VS_FIXEDFILEINFO*>(fixed);
    EXPECT_EQ(version->dwFileVersionMS, 0x00010009u);
    EXPECT_EQ(version->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(version->dwProductVersionMS, 0x00010009u);
    void* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data.data(), "\\VarFileInfo\\Translation", &translation, &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(static_cast<WORD*>(translation)[0], 0x0C07);
    EXPECT_EQ(static_cast<WORD*>(translation)[1], 1200);
    EXPECT_EQ(info.text("FileVersion"), "1.09");
    EXPECT_EQ(info.text("ProductVersion"), "1.09");
    EXPECT_EQ(info.text("CompanyName"), "Edrin Vantor");
    EXPECT_EQ(info.text("ProductName"), "Palisor Bandwick");
    EXPECT_EQ(info.text("FileDescription"), description);
    EXPECT_EQ(info.text("InternalName"), description);
}

}  // namespace

TEST(VersionResource, Effect) { expectVersion(TOLVANE_EFFECT, "Tolvane x64"); }
TEST(VersionResource, Instrument) { expectVersion(TOLVANE_INSTRUMENT_PLUGIN, "Tolvane VSTi x64"); }
