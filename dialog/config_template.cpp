#include "dialog/config_template.h"

#include "dialog/resource.h"

const char* const kWaitMessage =
    "Waiting for Palisor Slave...\n"
    "If synchronous operation is not necessary,\n"
    "or this is just an initial scan for VST conformity,\n"
    "simply click Cancel now.";

namespace {

using namespace style;

constexpr std::uint32_t kBase = kChild | kVisible;
constexpr std::uint32_t kEditStyle = kBase | kEditRight | kAutoHScroll | kNumber | kBorder | kTabStop;
constexpr std::uint32_t kSpinStyle = kBase | kSetBuddyInt | kAlignRight | kAutoBuddy | kArrowKeys;
constexpr std::uint32_t kLabelStyle = kBase | kLeft | kGroup;

const TemplateControl kControls[] = {
    {kUnaddressedId, ControlKind::GroupBox, "BUTTON", "Configuration", kBase | kGroupBox, 7, 7, 213, 42},
    {kUnaddressedId, ControlKind::Static, "STATIC", "&Slave#:", kLabelStyle, 10, 20, 31, 8},
    {IDC_SLAVE, ControlKind::Edit, "EDIT", "", kEditStyle, 42, 17, 23, 14},
    {IDC_SLAVE_SPIN, ControlKind::UpDown, "msctls_updown32", "Spin1", kSpinStyle, 66, 17, 8, 14},
    {kUnaddressedId, ControlKind::Static, "STATIC", "&Inputs:", kLabelStyle, 83, 20, 31, 8},
    {IDC_INPUTS, ControlKind::Edit, "EDIT", "", kEditStyle, 115, 17, 23, 14},
    {IDC_INPUTS_SPIN, ControlKind::UpDown, "msctls_updown32", "Spin1", kSpinStyle, 139, 17, 8, 14},
    {kUnaddressedId, ControlKind::Static, "STATIC", "&Outputs:", kLabelStyle, 152, 20, 31, 8},
    {IDC_OUTPUTS, ControlKind::Edit, "EDIT", "", kEditStyle, 185, 17, 23, 14},
    {IDC_OUTPUTS_SPIN, ControlKind::UpDown, "msctls_updown32", "Spin2", kSpinStyle, 209, 17, 8, 14},
    {IDC_STEREO_PINS, ControlKind::CheckBox, "BUTTON", "&Stereo Pins", kBase | kAutoCheckBox | kNotify | kTabStop,
     83, 35, 51, 10},
    {IDC_WAIT_TEXT, ControlKind::Static, "STATIC",
     "Waiting for Palisor Slave...\n"
     "If synchronous operation is not necessary,\n"
     "or this is just an initial scan for VST conformity,\n"
     "simply click Cancel now.",
     kBase | kCenter | kGroup, 7, 52, 213, 46},
    {2, ControlKind::PushButton, "BUTTON", "Cancel", kBase | kPushButton | kTabStop, 89, 101, 50, 14},
};

}  // namespace

const DialogTemplate kConfigTemplate = {
    IDD_CONFIG,
    kPopup | kCaption | kSysMenu | kModalFrame | kSetFont,
    0, 0, 227, 122,
    "Palisor Bandwick: Tolvane",
    "MS Sans Serif",
    8,
    kControls,
    static_cast<int>(sizeof(kControls) / sizeof(kControls[0])),
};
