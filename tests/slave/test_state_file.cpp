// --state: the file's format (both kinds round trip, anything torn or foreign refused) and the
// plug-in processor restoring it over the --param settings, for the fixture plug-in with
// parameters and its variant that keeps a chunk.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/child_program.h"
#include "tools/slave/plugin_processor.h"
#include "tools/slave/state_file.h"
#include "tools/slave/state_keeper.h"

namespace {

std::string scratch(const char* name) {
    return std::string(TOLVANE_TEST_DIR) + "/" + name + "_" + std::to_string(testProcessId());
}

std::string readAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

PluginState paramState() {
    PluginState state;
    state.uniqueId = -1234567;
    state.version = 9;
    state.program = 3;
    state.params = {0.0f, 1.0f, 1.0f / 3.0f, 0.1f, 1e-7f};
    return state;
}

TEST(StateFile, BothKindsRoundTripAndEveryCutOrAlteredFileIsRefused) {
    PluginState chunk = paramState();
    chunk.params.clear();
    chunk.hasChunk = true;
    for (int b = 0; b < 256; ++b) chunk.chunk.push_back(static_cast<std::uint8_t>(b));
    for (const PluginState& state : {paramState(), chunk}) {
        const std::string text = formatStateFile(state);
        PluginState back;
        std::string error;
        ASSERT_TRUE(parseStateFile(text, back, error)) << error << "\n" << text;
        EXPECT_EQ(back, state);
        // A file cut anywhere, as a torn write would leave it, is refused and changes nothing.
        for (std::size_t length = 0; length < text.size(); ++length) {
            PluginState untouched = paramState();
            ASSERT_FALSE(parseStateFile(std::string_view(text).substr(0, length), untouched, error)) << length;
            ASSERT_EQ(untouched, paramState());
        }
    }
    const std::string good = formatStateFile(paramState());
    auto altered = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    for (const std::string& text : {altered("TolvaneState 1", "TolvaneState 2"), altered("params 5", "params 6"),
                                    altered("param 1 1", "param 1 1.5"), altered("param 2", "param 3"),
                                    altered("end\n", "end\nextra\n"), altered("program 3", "program -1")}) {
        PluginState state;
        std::string error;
        EXPECT_FALSE(parseStateFile(text, state, error)) << text;
        EXPECT_FALSE(error.empty());
    }
    PluginState state;
    std::string error;
    const std::string chunkText = formatStateFile(chunk);
    EXPECT_FALSE(parseStateFile(chunkText.substr(0, chunkText.find("00")) + "0g" + chunkText.substr(chunkText.find("00") + 2),
                                state, error));

    // Replacing a file leaves the new contents whole and nothing beside it.
    const std::string path = scratch("replaced");
    ASSERT_TRUE(replaceFileAtomically(path, "old\n", error)) << error;
    ASSERT_TRUE(replaceFileAtomically(path, good, error)) << error;
    EXPECT_EQ(readAll(path), good);
    EXPECT_EQ(readStateFile(path, state, error), StateRead::Read) << error;
    EXPECT_EQ(state, paramState());
    std::remove(path.c_str());
    EXPECT_EQ(readStateFile(path, state, error), StateRead::Missing);
}

// The first run takes --param and saves it; a change is saved; the next run (other --param) gets
// the saved state, and so does the instance reopened on Stop.
TEST(StateFile, APluginGetsItsSavedStateOverTheParamSettingsForBothKinds) {
    for (const std::string& library : {std::string(TOLVANE_HOST_FIXTURE), std::string(TOLVANE_HOST_FIXTURE_CHUNKS)}) {
        SCOPED_TRACE(library);
        const std::string path = scratch("fixture_state");
        std::remove(path.c_str());
        std::string error;
        {
            CPluginProcessor first(library, {{"Gain", 0.25f}});
            first.keepStateIn(path);
            ASSERT_TRUE(first.load(error)) << error;
            CStateKeeper keeper(first);
            keeper.start();
            PluginState saved;
            ASSERT_EQ(readStateFile(path, saved, error), StateRead::Read) << error;
            EXPECT_EQ(saved.hasChunk, library == TOLVANE_HOST_FIXTURE_CHUNKS);
            first.pluginHost()->setParameter(0, 0.75f);
            keeper.stop();  // the last state is saved at exit
        }
        CPluginProcessor second(library, {{"Gain", 0.1f}});
        second.keepStateIn(path);
        ASSERT_TRUE(second.load(error)) << error;
        EXPECT_EQ(second.pluginHost()->getParameter(0), 0.75f);
        second.transport(kCmdStop);
        EXPECT_EQ(second.pluginHost()->getParameter(0), 0.75f) << "the reopened instance has the state too";
        std::remove(path.c_str());
    }
}

// A file of another plug-in, or one cut short, is refused with a message and left as it is.
TEST(StateFile, AForeignOrTornFileIsRefusedAndLeftAlone) {
    const std::string path = scratch("foreign_state");
    std::string error;
    {
        CPluginProcessor fixture(TOLVANE_HOST_FIXTURE, {});
        fixture.keepStateIn(path);
        std::remove(path.c_str());
        ASSERT_TRUE(fixture.load(error)) << error;
        CStateKeeper keeper(fixture);
        keeper.start();
    }
    const std::string whole = readAll(path);
    CPluginProcessor crash(TOLVANE_CRASH_PLUGIN, {});
    crash.keepStateIn(path);
    EXPECT_FALSE(crash.load(error));
    EXPECT_TRUE(crash.settingsRefused());
    EXPECT_NE(error.find("'TvFx'"), std::string::npos) << error;
    EXPECT_NE(error.find("left as it is"), std::string::npos) << error;
    EXPECT_EQ(readAll(path), whole);

    ASSERT_TRUE(replaceFileAtomically(path, whole.substr(0, whole.size() - 4), error));
    CPluginProcessor torn(TOLVANE_HOST_FIXTURE, {});
    torn.keepStateIn(path);
    EXPECT_FALSE(torn.load(error));
    EXPECT_NE(error.find("cut short"), std::string::npos) << error;
    EXPECT_EQ(readAll(path), whole.substr(0, whole.size() - 4));
    std::remove(path.c_str());
}

}  // namespace
