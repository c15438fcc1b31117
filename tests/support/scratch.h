// Scratch places and environment variables for tests and fuzz targets: a folder of their own
// under the system's temporary folder (a private settings store, for one), and environment
// variables that a test sets for itself and its children.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

// Sets an environment variable of this process; children started afterwards inherit it. An
// empty value clears it on Windows.
#if defined(_WIN32)
inline void setTestEnv(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }
#else
inline void setTestEnv(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
#endif

// An environment variable for the span of one test; emptied again afterwards (the Windows
// build runs all cases in one process).
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name(name) { setTestEnv(name, value); }
    ~ScopedEnv() { setTestEnv(name, ""); }
    const char* name;
};

// A new, empty folder only its owner may enter, "tolvane-<tag>-<random>" under the system's
// temporary folder; empty when none could be made.
inline std::string makeScratchFolder(const std::string& tag) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error) return {};
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder = base / ("tolvane-" + tag + "-" + std::to_string(random()));
        if (fs::create_directory(folder, error)) {
            fs::permissions(folder, fs::perms::owner_all, error);
            return folder.string();
        }
    }
    return {};
}

// A scratch folder set as XDG_CONFIG_HOME, so that the settings the code under test writes stay
// in it. Without one the test process stops: an empty XDG_CONFIG_HOME would send those settings
// to the user's own ~/.config.
inline std::string makeScratchConfigHome(const std::string& tag) {
    std::string folder = makeScratchFolder(tag);
    if (folder.empty()) {
        std::fprintf(stderr, "no scratch folder could be made for the settings; stopping\n");
        std::abort();
    }
    setTestEnv("XDG_CONFIG_HOME", folder);
    return folder;
}

// Removes the folder and all it holds; nothing for an empty path.
inline void removeScratchFolder(const std::string& folder) {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
}
