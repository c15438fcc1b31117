// Shared helpers of the host tests: where the fixtures are, and the tests' file helpers
// (tests/support/test_files.h) with scratch names in the host tests' folder.
#pragma once

#include <string>

#include "tests/support/test_files.h"

namespace tolvane::host::test {

inline const std::string kFixture = TOLVANE_HOST_FIXTURE;
inline const std::string kHostExe = TOLVANE_HOST_EXE;

// A scratch file name unique to the running test.
inline std::string scratchPath(const std::string& suffix) {
    return testScratchPath(TOLVANE_HOST_TEST_DIR, "host", suffix);
}

// Removes the file when the test ends.
struct ScratchFile : ::ScratchFile {
    explicit ScratchFile(const std::string& suffix) : ::ScratchFile(scratchPath(suffix)) {}
};

using ::parseKv;
using ::readRawFloats;
using ::readText;

}  // namespace tolvane::host::test
