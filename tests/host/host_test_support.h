// Shared helpers of the host tests: where the fixtures are, scratch file names, reading back
// raw audio and key=value summaries.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tolvane::host::test {

inline const std::string kFixture = TOLVANE_HOST_FIXTURE;
inline const std::string kHostExe = TOLVANE_HOST_EXE;

// A scratch file name unique to the running test (ctest runs test cases side by side).
inline std::string scratchPath(const std::string& suffix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(TOLVANE_HOST_TEST_DIR) + "/host_" + info->test_suite_name() + "_" + info->name() + "_" + suffix;
}

// Removes the file when the test ends.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& suffix) : path_(scratchPath(suffix)) { std::remove(path_.c_str()); }
    ~ScratchFile() { std::remove(path_.c_str()); }
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

}  // namespace tolvane::host::test
