// The layout of the dialog template IDD_CONFIG as data: the window and its thirteen controls in
// template (and tab) order, in dialog units, with their window styles. The Windows resource
// script (win32/config.rc) holds the same template for the Windows dialog manager; a Windows test
// compares the compiled resource with this table, and the dialog built without the Windows dialog
// manager (the X11 one) lays itself out from it.
#pragma once

#include <cstdint>

// Window style bits, with the values the Windows headers give them.
namespace style {
constexpr std::uint32_t kPopup = 0x80000000u;
constexpr std::uint32_t kChild = 0x40000000u;
constexpr std::uint32_t kVisible = 0x10000000u;
constexpr std::uint32_t kCaption = 0x00C00000u;
constexpr std::uint32_t kBorder = 0x00800000u;
constexpr std::uint32_t kSysMenu = 0x00080000u;
constexpr std::uint32_t kGroup = 0x00020000u;
constexpr std::uint32_t kTabStop = 0x00010000u;
constexpr std::uint32_t kModalFrame = 0x80u;  // DS_MODALFRAME
constexpr std::uint32_t kSetFont = 0x40u;     // DS_SETFONT
constexpr std::uint32_t kGroupBox = 0x7u;     // BS_GROUPBOX
constexpr std::uint32_t kAutoCheckBox = 0x3u; // BS_AUTOCHECKBOX
constexpr std::uint32_t kPushButton = 0x0u;   // BS_PUSHBUTTON
constexpr std::uint32_t kNotify = 0x4000u;    // BS_NOTIFY
constexpr std::uint32_t kLeft = 0x0u;         // SS_LEFT
constexpr std::uint32_t kCenter = 0x1u;       // SS_CENTER
constexpr std::uint32_t kEditRight = 0x2u;    // ES_RIGHT
constexpr std::uint32_t kAutoHScroll = 0x80u; // ES_AUTOHSCROLL
constexpr std::uint32_t kNumber = 0x2000u;    // ES_NUMBER
constexpr std::uint32_t kSetBuddyInt = 0x2u;  // UDS_SETBUDDYINT
constexpr std::uint32_t kAlignRight = 0x4u;   // UDS_ALIGNRIGHT
constexpr std::uint32_t kAutoBuddy = 0x10u;   // UDS_AUTOBUDDY
constexpr std::uint32_t kArrowKeys = 0x20u;   // UDS_ARROWKEYS
}  // namespace style

enum class ControlKind { GroupBox, Static, Edit, UpDown, CheckBox, PushButton };

struct TemplateControl {
    std::uint16_t id;        // 0xFFFF for controls that are never addressed
    ControlKind kind;
    const char* className;   // "BUTTON", "STATIC", "EDIT" or "msctls_updown32"
    const char* text;        // with '&' before the mnemonic character
    std::uint32_t style;     // including WS_CHILD and WS_VISIBLE
    std::int16_t x, y, cx, cy;
};

struct DialogTemplate {
    std::uint16_t id;
    std::uint32_t style;
    std::int16_t x, y, cx, cy;
    const char* caption;
    const char* fontName;
    std::uint16_t pointSize;
    const TemplateControl* controls;
    int controlCount;
};

constexpr std::uint16_t kUnaddressedId = 0xFFFF;

// The four lines of the waiting message.
extern const char* const kWaitMessage;
// IDD_CONFIG.
extern const DialogTemplate kConfigTemplate;
