// The real dialog in the plug-in module, created through the entry point as a host does, with
// the effect's settings in a private place: shown until the user ends it, closed by a waiting
// tolvane-slave, worked with the keyboard, and never holding up creation when no window can be
// shown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "dialog_driver.h"
#include "tests/support/child_program.h"

namespace {

using Clock = std::chrono::steady_clock;

VstIntPtr VSTCALLBACK host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

const std::map<std::string, std::int32_t> kStored = {
    {"ConfigDlg", 1}, {"NumInputs", 20}, {"NumOutputs", 3}, {"StereoPins", 0}, {"TermSlave", 1}};

// Works the dialog from a second thread while the test thread is inside the entry point. If
// the dialog is still there after the step, it is cancelled after a while, so that a failing
// test ends.
class CUser {
public:
    template <typename Step>
    explicit CUser(Step step, bool needVisible = true)
        : thread([this, step, needVisible] {
              enterTestDesktop();
              // Until the dialog is there, or creation ended without one.
              const auto until = Clock::now() + std::chrono::seconds(20);
              while (!shown && !done && Clock::now() < until) {
                  shown = needVisible ? waitForDialog(100) : waitUntilExists(100);
              }
              if (shown) step();
              const auto deadline = Clock::now() + std::chrono::seconds(20);
              while (!done) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
                  if (Clock::now() > deadline && dialogExists()) {
                      forced = true;
                      cancelDialog();
                  }
              }
          }) {}
    ~CUser() { finish(); }
    void finish() {
        done = true;
        if (thread.joinable()) thread.join();
    }
    static bool waitUntilExists(int milliseconds) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        while (Clock::now() < deadline) {
            if (dialogExists()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::atomic<bool> shown{false};
    std::atomic<bool> forced{false};

private:
    std::atomic<bool> done{false};
    std::thread thread;
};

class DialogModule : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("TOLVANE_TEST_NO_XVFB")) GTEST_SKIP() << "Xvfb is not installed";
        enterTestDesktop();
        ASSERT_TRUE(module.load(TOLVANE_PLUGIN_PATH));
    }
    static void close(AEffect* effect) {
        if (effect) effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
    }
    static std::string display(AEffect* effect, VstInt32 index) {
        char text[64] = {};
        effect->dispatcher(effect, effGetParamDisplay, index, 0, text, 0.0f);
        return text;
    }
    static void expectWrittenBack(const CPrivateSettings& settings) {
        std::int32_t value = 0;
        EXPECT_TRUE(settings.read("NumInputs", value));
        EXPECT_EQ(value, 16);  // the stored 20, clamped as the dialog opened
        EXPECT_TRUE(settings.read("NumOutputs", value));
        EXPECT_EQ(value, 3);
        EXPECT_TRUE(settings.read("ConfigDlg", value));
        EXPECT_EQ(value, 1);
        EXPECT_TRUE(settings.read("StereoPins", value));
        EXPECT_EQ(value, 0);
    }
    CPluginModule module;
};

TEST_F(DialogModule, ShownUntilCancelledThenTheSettingsAreWrittenBack) {
    if (headless()) GTEST_SKIP() << "needs a display";
    CPrivateSettings settings(kStored);
    std::atomic<std::int32_t> inputsShown{0};
    CUser user([&] {
        inputsShown = shownInputs();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a few ticks without a slave
        cancelDialog();
    });
    AEffect* effect = module.create(host);
    user.finish();
    ASSERT_NE(effect, nullptr);
    EXPECT_TRUE(user.shown);
    EXPECT_FALSE(user.forced);
    // Shown as stored (clamped only in the owner); Wine's up-down control brings its buddy's
    // text into range when it gets its range.
    if (inputsShown != -1) {
        EXPECT_TRUE(inputsShown == 20 || inputsShown == 16) << inputsShown;
    }
    EXPECT_EQ(effect->numInputs, 16);
    EXPECT_EQ(effect->numOutputs, 3);
    EXPECT_EQ(display(effect, 1), "Default");  // slave -1
    expectWrittenBack(settings);
    close(effect);
    EXPECT_FALSE(dialogExists());
}

// Keystrokes on the real window: Tab moves to the inputs box (selecting its text), a digit
// replaces it, the arrow keys step the up-down control, Escape cancels.
TEST_F(DialogModule, KeyboardEditsReachTheSettings) {
    if (headless()) GTEST_SKIP() << "needs a display";
    CPrivateSettings settings({{"ConfigDlg", 1}, {"NumInputs", 2}, {"NumOutputs", 3}, {"StereoPins", 0}});
    CUser user([&] { pressKeys("t9ddtue"); });
    AEffect* effect = module.create(host);
    user.finish();
    ASSERT_NE(effect, nullptr);
    EXPECT_TRUE(user.shown);
    EXPECT_FALSE(user.forced);
    std::int32_t value = 0;
    EXPECT_TRUE(settings.read("NumInputs", value));
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(settings.read("NumOutputs", value));
    EXPECT_EQ(value, 4);
    EXPECT_EQ(display(effect, 1), "Default");
    close(effect);
}

TEST_F(DialogModule, AWaitingSlaveClosesIt) {
    if (headless()) GTEST_SKIP() << "needs a display";
    const std::int32_t number = 300000 + testProcessId() % 100000;
    CChildProgram slave;
    ASSERT_TRUE(slave.start(nativePath(TOLVANE_SLAVE_EXE), {"--slave", std::to_string(number)}));
    CPrivateSettings settings(kStored);
    CUser user([&] { enterSlaveNumber(number); });
    const auto start = Clock::now();
    AEffect* effect = module.create(host);
    const auto took = Clock::now() - start;
    user.finish();
    ASSERT_NE(effect, nullptr);
    EXPECT_TRUE(user.shown);
    EXPECT_FALSE(user.forced) << slave.output();
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_EQ(display(effect, 1), std::to_string(number));
    expectWrittenBack(settings);
    close(effect);
    // A polite stop, so that the slave removes its named objects.
    int exitCode = -1;
    EXPECT_TRUE(slave.requestStop());
    EXPECT_TRUE(slave.waitExit(5000, exitCode));
}

// Wine without any display: depending on the prefix, the null graphics driver gives a window no
// one sees (which still ticks and takes commands, and is cancelled here) or no driver can be
// loaded (the dialog cannot be created). Either way creation ends and the settings are written.
TEST_F(DialogModule, HeadlessCreationNeverHangs) {
    if (!headless() || !TOLVANE_WINDOWS) GTEST_SKIP() << "Windows without a display only";
    CPrivateSettings settings(kStored);
    CUser user([&] { cancelDialog(); }, false);
    const auto start = Clock::now();
    AEffect* effect = module.create(host);
    const auto took = Clock::now() - start;
    user.finish();
    ASSERT_NE(effect, nullptr);
    EXPECT_FALSE(user.forced);
    EXPECT_LT(took, std::chrono::seconds(15));
    expectWrittenBack(settings);
    close(effect);
}

// Without a display the dialog cannot be created: creation goes on at once, with nothing
// edited, and the settings are written back as read (the counts kept in range).
TEST_F(DialogModule, NoDisplayMeansCreationGoesOnAtOnce) {
    CNoDisplay noDisplay;
    if (!noDisplay.active) GTEST_SKIP() << "the display cannot be hidden on this platform";
    CPrivateSettings settings(kStored);
    const auto start = Clock::now();
    AEffect* effect = module.create(host);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->numInputs, 16);
    expectWrittenBack(settings);
    close(effect);
}

// The X server goes away while the dialog is up: the dialog ends as if cancelled and the host
// process lives on (Xlib would otherwise end it).
TEST_F(DialogModule, LosingTheXServerEndsTheDialog) {
    CPrivateXServer server;
    if (!server.start()) GTEST_SKIP() << "needs an X server of the test's own (Linux with Xvfb)";
    CPrivateSettings settings(kStored);
    CUser user([&] { server.stop(); });
    AEffect* effect = module.create(host);
    user.finish();
    ASSERT_NE(effect, nullptr);
    EXPECT_TRUE(user.shown);
    EXPECT_FALSE(user.forced);
    expectWrittenBack(settings);
    close(effect);
}

}  // namespace
