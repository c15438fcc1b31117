// The dialog's logic through the soft dialog manager and a scripted window: what the owner
// holds after each keystroke, click and timer tick, and how the dialog ends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "dialog/resource.h"
#include "dialog/wait_dlg.h"
#include "scripted_surface.h"
#include "tests/bridge/bridge_fixture.h"

namespace {

class WaitDialog : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.write("ConfigDlg", 0);
        bridge = makeBridge(sandbox);
    }
    void TearDown() override { closeBridge(bridge); }

    bool run() {
        CWaitDlg dialog(bridge, system);
        return dialog.doModal();
    }
    SoftControl& control(int id) { return *system.current->find(id); }
    std::string shown(int id) { return control(id).text; }
    // Centre of the upper (+1) or lower (-1) half of an up-down control.
    void clickSpin(int id, int half) {
        const PixelRect r = CSoftDialog(kConfigTemplate, SoftMetrics{}).find(id)->rect;
        surface.click(r.x + r.width / 2, half > 0 ? r.y + 2 : r.y + r.height - 2);
    }

    FakeHost host;
    SettingsSandbox sandbox;
    CTolvane* bridge = nullptr;
    ScriptedSurface surface;
    CSoftDialogSystem system{surface};
};

// A stored count of 20 is shown as 20 but clamped in the owner as the dialog opens; the
// controls show the owner's values and the up-down ranges are those of the counts.
TEST_F(WaitDialog, OpeningShowsTheValuesAndClampsTheCounts) {
    bridge->io = {20, 0, true};
    surface.check([&] {
        EXPECT_EQ(bridge->io.numInputs, 16);
        EXPECT_EQ(bridge->io.numOutputs, 1);
        EXPECT_EQ(shown(IDC_INPUTS), "20");
        EXPECT_EQ(shown(IDC_OUTPUTS), "0");
        EXPECT_EQ(shown(IDC_SLAVE), "-1");
        EXPECT_EQ(control(IDC_STEREO_PINS).check, kBstChecked);
        EXPECT_EQ(control(IDC_SLAVE_SPIN).lower, -1);
        EXPECT_EQ(control(IDC_SLAVE_SPIN).upper, 16);
        EXPECT_EQ(control(IDC_INPUTS_SPIN).lower, 0);
        EXPECT_EQ(control(IDC_OUTPUTS_SPIN).lower, 1);
        EXPECT_EQ(control(IDC_OUTPUTS_SPIN).upper, 16);
        ASSERT_EQ(system.current->timers.size(), 1u);
        EXPECT_EQ(system.current->timers[0].id, kConnectTimerId);
        EXPECT_EQ(system.current->timers[0].milliseconds, 100u);
        // The first tab stop has the focus, its text selected.
        EXPECT_EQ(system.current->focus, &control(IDC_SLAVE));
        EXPECT_TRUE(control(IDC_SLAVE).allSelected);
    });
    surface.key(SoftKey::Escape);
    EXPECT_FALSE(run());
    EXPECT_EQ(surface.title, "Palisor Bandwick: Tolvane");
    EXPECT_EQ(surface.width, 341);  // 227 x 122 dialog units with 6 x 13 pixel base units
    EXPECT_EQ(surface.height, 198);
    EXPECT_EQ(surface.closes, 1);
    EXPECT_FALSE(surface.gaveUp);
    EXPECT_EQ(bridge->io.numInputs, 16);
    EXPECT_TRUE(bridge->io.stereoPins);
}

// Every keystroke reaches the owner at once; the slave box reopens the channel each time
// (seen through a mark that a second channel of the same number leaves in the block).
TEST_F(WaitDialog, TypingReadsEveryKeystrokeAndReopensTheChannel) {
    CSlaveShMem four(4), forty(40);
    ASSERT_TRUE(four.block && forty.block);
    std::memcpy(four.block->args, "four", 4);
    std::memcpy(forty.block->args, "frty", 4);
    auto onBlock = [&](const char* mark) { return std::memcmp(bridge->channel.block->args, mark, 4) == 0; };

    surface.key(SoftKey::Backspace);  // the selected "-1" goes: an empty box is slave 0
    surface.check([&] { EXPECT_EQ(bridge->slaveNumber, 0); });
    surface.type("4");
    surface.check([&] {
        EXPECT_EQ(bridge->slaveNumber, 4);
        EXPECT_TRUE(onBlock("four"));
    });
    surface.type("0");
    surface.check([&] {
        EXPECT_EQ(bridge->slaveNumber, 40);
        EXPECT_TRUE(onBlock("frty"));
        EXPECT_FALSE(bridge->connected);  // the slave path only reopens
    });
    surface.type("-x ");  // digits only: no minus sign, no letters
    surface.check([&] { EXPECT_EQ(shown(IDC_SLAVE), "40"); });

    surface.key(SoftKey::Tab);  // inputs, text selected
    surface.type("7");
    surface.check([&] { EXPECT_EQ(bridge->io.numInputs, 7); });
    surface.type("5");
    surface.check([&] {
        EXPECT_EQ(bridge->io.numInputs, 16);  // 75 clamped, the box keeps 75
        EXPECT_EQ(shown(IDC_INPUTS), "75");
    });
    surface.key(SoftKey::Tab);  // outputs
    surface.key(SoftKey::Delete);
    surface.check([&] { EXPECT_EQ(bridge->io.numOutputs, 1); });  // empty box: 1 output
    surface.type("99999999999");  // beyond 32 bits: unreadable, read as 0
    surface.check([&] { EXPECT_EQ(bridge->io.numOutputs, 1); });
    surface.key(SoftKey::Escape);
    EXPECT_FALSE(run());
    EXPECT_EQ(bridge->slaveNumber, 40);
}

// The up-down control steps its buddy within its range (arrow keys and clicks alike); -1 is
// reached this way only and selects the default slave.
TEST_F(WaitDialog, UpDownStepsWithinItsRangeDownToTheDefaultSlave) {
    const std::int32_t number = 1;
    bridge->slaveNumber = number;
    bridge->io = {20, 2, false};
    surface.key(SoftKey::Down);
    surface.check([&] { EXPECT_EQ(bridge->slaveNumber, 0); });
    clickSpin(IDC_SLAVE_SPIN, -1);
    surface.check([&] {
        EXPECT_EQ(bridge->slaveNumber, -1);
        EXPECT_EQ(shown(IDC_SLAVE), "-1");
        ASSERT_NE(bridge->channel.block, nullptr);
    });
    surface.key(SoftKey::Down);  // at the lower limit: no change
    surface.check([&] { EXPECT_EQ(shown(IDC_SLAVE), "-1"); });
    // A box showing more than the range steps to the limit.
    clickSpin(IDC_INPUTS_SPIN, -1);
    surface.check([&] {
        EXPECT_EQ(shown(IDC_INPUTS), "16");
        EXPECT_EQ(system.current->focus, &control(IDC_INPUTS));  // a click focuses the buddy
    });
    surface.key(SoftKey::Down);
    surface.check([&] { EXPECT_EQ(bridge->io.numInputs, 15); });
    surface.key(SoftKey::Tab);
    for (int i = 0; i < 20; ++i) surface.key(SoftKey::Up);
    surface.check([&] {
        EXPECT_EQ(shown(IDC_OUTPUTS), "16");
        EXPECT_EQ(bridge->io.numOutputs, 16);
    });
    surface.key(SoftKey::Escape);
    EXPECT_FALSE(run());
    EXPECT_EQ(bridge->slaveNumber, -1);
}

// The check box is read only when the dialog ends, by Cancel as well as OK.
TEST_F(WaitDialog, CancelKeepsTheEditsAndReadsTheCheckBoxAtTheEnd) {
    bridge->io.stereoPins = false;
    surface.alt('s');  // two controls answer to S: the first after the focus is the check box
    surface.check([&] { EXPECT_EQ(system.current->focus, &control(IDC_STEREO_PINS)); });
    surface.key(SoftKey::Space);
    surface.check([&] {
        EXPECT_EQ(control(IDC_STEREO_PINS).check, kBstChecked);
        EXPECT_FALSE(bridge->io.stereoPins);
    });
    surface.alt('i');
    surface.type("3");
    surface.check([&] { EXPECT_EQ(bridge->io.numInputs, 3); });
    surface.key(SoftKey::Tab);
    surface.key(SoftKey::Tab);
    surface.check([&] { EXPECT_EQ(system.current->focus, &control(IDC_STEREO_PINS)); });
    surface.key(SoftKey::Tab);
    surface.key(SoftKey::Enter);  // Enter on the focused Cancel button is Cancel
    EXPECT_FALSE(run());
    EXPECT_TRUE(bridge->io.stereoPins);
    EXPECT_EQ(bridge->io.numInputs, 3);
}

TEST_F(WaitDialog, EveryWayOfEndingItKeepsTheValues) {
    const PixelRect cancel = CSoftDialog(kConfigTemplate, SoftMetrics{}).find(static_cast<int>(kIdCancel))->rect;
    const PixelRect check = CSoftDialog(kConfigTemplate, SoftMetrics{}).find(IDC_STEREO_PINS)->rect;

    surface.click(check.x + 3, check.y + 3);
    surface.click(cancel.x + 5, cancel.y + 5);
    EXPECT_FALSE(run());
    EXPECT_TRUE(bridge->io.stereoPins);

    // Enter outside the Cancel button is IDOK: doModal answers true.
    surface.key(SoftKey::Space);  // focus on the slave box: no effect
    surface.key(SoftKey::Enter);
    EXPECT_TRUE(run());

    // The close box, Escape and a posted WM_CLOSE-style close all cancel.
    surface.steps.push_back([] {
        SoftInput in;
        in.type = SoftInput::Type::Close;
        return std::optional<SoftInput>(in);
    });
    EXPECT_FALSE(run());

    // A window system that goes away ends it too, keeping the values.
    surface.type("5");
    surface.steps.push_back([] {
        SoftInput in;
        in.type = SoftInput::Type::Lost;
        return std::optional<SoftInput>(in);
    });
    EXPECT_FALSE(run());
    EXPECT_EQ(bridge->slaveNumber, 5);
    EXPECT_EQ(surface.closes, 4);
    EXPECT_FALSE(surface.gaveUp);
}

TEST_F(WaitDialog, WithoutAWindowNothingIsEdited) {
    bridge->io = {20, 0, true};
    surface.available = false;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(run());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(bridge->io.numInputs, 20);
    EXPECT_EQ(bridge->io.numOutputs, 0);
    EXPECT_EQ(bridge->slaveNumber, -1);
    EXPECT_EQ(surface.closes, 0);
}

// A slave that is already waiting: the first tick, 100 ms after the dialog opens, connects
// with the base's initial rate and block size and the counts shown at that moment, and the
// dialog closes itself with IDOK.
TEST_F(WaitDialog, AWaitingSlaveClosesTheDialogOnTheFirstTick) {
    const std::int32_t number = uniqueSlaveNumber();
    ScriptedSlave slave(number);
    std::mutex mutex;
    float rate = 0;
    std::int32_t frames = 0;
    std::int32_t io[4] = {};
    slave.handler = [&](SlaveBlock& block, std::int32_t command) {
        std::lock_guard<std::mutex> lock(mutex);
        if (command == kCmdSetSampleRate) std::memcpy(&rate, block.args, 4);
        if (command == kCmdSetBlockSize) std::memcpy(&frames, block.args, 4);
        if (command == kCmdSetIo) std::memcpy(io, block.args, sizeof(io));
        return ScriptedSlave::passThrough(block, command);
    };
    bridge->slaveNumber = number;
    bridge->io = {2, 2, false};
    surface.key(SoftKey::Tab);
    surface.type("3");  // inputs 3, before the first tick

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(run());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(95));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_FALSE(surface.gaveUp);
    EXPECT_TRUE(slave.waitForCommand(kCmdStart));  // the start command is not waited for
    EXPECT_EQ(slave.commands(), (std::vector<std::int32_t>{kCmdSetIo, kCmdSetSampleRate, kCmdSetBlockSize,
                                                           kCmdGetInfo, kCmdStart}));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(rate, 44100.0f);
    EXPECT_EQ(frames, 1024);
    EXPECT_EQ(io[0], 3);
    EXPECT_EQ(io[1], 2);
    EXPECT_TRUE(bridge->startPending);
    EXPECT_FALSE(bridge->connected);  // established later, by the processing call
}

// Without a slave the timer keeps trying and the dialog stays until cancelled.
TEST_F(WaitDialog, WithoutASlaveTheTimerKeepsTrying) {
    bridge->slaveNumber = uniqueSlaveNumber();
    surface.giveUpAfter = std::chrono::milliseconds(450);
    EXPECT_FALSE(run());
    EXPECT_TRUE(surface.gaveUp);  // still open after four ticks
    EXPECT_TRUE(bridge->channel.masterRole);
    EXPECT_FALSE(bridge->startPending);
}

TEST(DialogItemInt, ReadsAsTheWindowsDialogManagerDoes) {
    std::uint32_t v = 99;
    EXPECT_FALSE(parseItemInt("", true, v));
    EXPECT_FALSE(parseItemInt("-", true, v));
    EXPECT_FALSE(parseItemInt("x1", false, v));
    EXPECT_EQ(v, 99u);
    EXPECT_TRUE(parseItemInt("  12", false, v));
    EXPECT_EQ(v, 12u);
    EXPECT_TRUE(parseItemInt("-1", true, v));
    EXPECT_EQ(static_cast<std::int32_t>(v), -1);
    EXPECT_TRUE(parseItemInt("4294967295", false, v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_FALSE(parseItemInt("4294967296", false, v));
    EXPECT_FALSE(parseItemInt("2147483648", true, v));
    EXPECT_TRUE(parseItemInt("-2147483648", true, v));
    EXPECT_EQ(v, 0x80000000u);
    EXPECT_EQ(formatItemInt(0xFFFFFFFFu, true), "-1");
    EXPECT_EQ(formatItemInt(0xFFFFFFFFu, false), "4294967295");
}

TEST(DialogItemInt, UpDownRangeCarriesBothLimitsIn16Bits) {
    EXPECT_EQ(static_cast<std::uint64_t>(upDownRangeParam(-1, 16)), 0xFFFFFFFFFFFF0010ull);
    EXPECT_EQ(upDownRangeParam(0, 16), 0x10);
    EXPECT_EQ(upDownRangeParam(1, 16), 0x10010);
}

}  // namespace
