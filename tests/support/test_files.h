// Files of the tests: names unique to the running test, removed again at its end, and reading
// back what a program wrote (text, raw 32-bit float audio, key=value summaries).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// A file name in `folder` unique to the running test (ctest runs test cases side by side):
// <folder>/<tag>_<suite>_<test>_<suffix>.
inline std::string testScratchPath(const std::string& folder, const std::string& tag, const std::string& suffix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return folder + "/" + tag + "_" + info->test_suite_name() + "_" + info->name() + "_" + suffix;
}

// A file path that is removed when the test begins and when it ends.
class ScratchFile {
public:
    explicit ScratchFile(std::string path) : path_(std::move(path)) { std::remove(path_.c_str()); }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline std::vector<float> readRawFloats(const std::string& path) {
    const std::string bytes = readText(path);
    std::vector<float> values(bytes.size() / sizeof(float));
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

inline void writeRawFloats(const std::string& path, const std::vector<float>& values) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
}

// key=value lines; a later line of a key wins, lines without '=' are passed over.
inline std::map<std::string, std::string> parseKv(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

// The value of `key` as a number; -1 when the key is missing.
inline double kvNumber(const std::map<std::string, std::string>& kv, const std::string& key) {
    const auto it = kv.find(key);
    return it == kv.end() ? -1.0 : std::atof(it->second.c_str());
}
