// A dialog manager for platforms without the Windows one: the template's controls as data
// (edit boxes that take digits only, up-down controls, a check box, a push button, labels),
// keyboard focus in tab order, mnemonics, the keys of the Windows dialog manager (Tab, Enter,
// Escape, arrow keys stepping an up-down's buddy), timers and posted messages. It implements
// CDialogSystem, so the dialog's logic runs on it unchanged, and it sends that logic the same
// messages the Windows dialog manager would (EN_CHANGE on every text change, BN_CLICKED,
// WM_COMMAND IDOK / IDCANCEL, WM_TIMER).
//
// Drawing and input come from a CSoftSurface: an X11 window on Linux, a scripted one in tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "dialog/config_template.h"
#include "dialog/dialog_system.h"

// GetDlgItemInt's reading of a text: leading blanks, an optional sign, decimal digits; false
// when no digit follows or the number leaves the 32-bit range (signed or unsigned).
bool parseItemInt(const std::string& text, bool isSigned, std::uint32_t& value);
std::string formatItemInt(std::uint32_t value, bool isSigned);

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool contains(int px, int py) const { return px >= x && py >= y && px < x + width && py < y + height; }
};

enum class SoftKey { Character, Tab, BackTab, Left, Right, Up, Down, Home, End, Backspace, Delete, Enter, Escape, Space };

struct SoftInput {
    enum class Type {
        Key,       // `key`; `character` for SoftKey::Character
        Mnemonic,  // Alt with `character`
        Press,     // mouse button down at x, y (client pixels)
        Release,   // mouse button up at x, y
        Close,     // the window's close box
        Exposed,   // the window needs drawing
        Lost,      // the window system went away: the dialog cannot go on
    };
    Type type = Type::Key;
    SoftKey key = SoftKey::Character;
    char character = 0;
    int x = 0, y = 0;
};

struct SoftControl {
    const TemplateControl* item = nullptr;
    PixelRect rect;              // where it is drawn and clicked
    std::string text;            // shown text (labels without the '&'), or the edit box's contents
    int mnemonicIndex = -1;      // index into text of the underlined character, -1 for none
    int check = kBstUnchecked;   // check box state
    int lower = 0, upper = 100;  // up-down range
    int position = 0;            // up-down position
    SoftControl* buddy = nullptr;  // up-down: the edit box it steps
    SoftControl* spin = nullptr;   // edit box: its up-down control
    std::size_t caret = 0;       // edit box: caret index
    bool allSelected = false;    // edit box: the whole text is selected (typing replaces it)
    bool pressed = false;        // button held down by the mouse
    int pressedHalf = 0;         // up-down: +1 upper half held, -1 lower half held

    std::uint32_t style() const { return item->style; }
    bool tabStop() const { return (item->style & style::kTabStop) != 0; }
};

// Pixel size of the dialog's font: average character width and height, the dialog base units.
struct SoftMetrics {
    int baseX = 6;
    int baseY = 13;
};

class CSoftDialog;

class CSoftSurface {
public:
    virtual ~CSoftSurface() = default;
    // Prepares the window system and the font. False when no window can be shown (no library,
    // no display): the dialog then cannot be created and nothing is sent to it.
    virtual bool connect(SoftMetrics& metrics) = 0;
    // Shows a window of this client size. False when it cannot be created.
    virtual bool show(const char* title, int width, int height) = 0;
    // Draws the whole dialog.
    virtual void draw(const CSoftDialog& dialog) = 0;
    // Waits up to `milliseconds` for one input; false when none came in that time.
    virtual bool waitInput(int milliseconds, SoftInput& input) = 0;
    // Takes the window down and lets go of the window system.
    virtual void close() = 0;
};

class CSoftDialog {
public:
    CSoftDialog(const DialogTemplate& dialogTemplate, const SoftMetrics& metrics);

    const DialogTemplate& dialogTemplate;
    int width = 0, height = 0;        // client size in pixels
    std::vector<SoftControl> controls;  // in template (tab) order
    SoftControl* focus = nullptr;
    void* user = nullptr;               // the user slot
    bool ended = false;
    DialogResult result = 0;
    bool dirty = true;                  // needs drawing

    struct Posted { unsigned message; DialogWParam wparam; DialogLParam lparam; };
    std::deque<Posted> posted;
    struct Timer { unsigned id; unsigned milliseconds; std::chrono::steady_clock::time_point due; };
    std::vector<Timer> timers;

    // Where messages for the dialog procedure go (set by the system running the dialog).
    CDialogSystem* system = nullptr;

    SoftControl* find(int id);
    const SoftControl* find(int id) const;
    int pixelX(int dialogUnits) const;
    int pixelY(int dialogUnits) const;

    // Changes an edit box's text and reports EN_CHANGE (any text change does, like the Windows edit box).
    void setEditText(SoftControl& edit, const std::string& text);
    void handle(const SoftInput& input);
    void focusFirst();
    // Hands a message to the dialog procedure now.
    void deliver(unsigned message, DialogWParam wparam, DialogLParam lparam);

private:
    SoftMetrics metrics;
    void command(std::uint16_t id, std::uint16_t code, SoftControl* control);
    void key(SoftKey key, char character);
    void mnemonic(char character);
    void press(int x, int y);
    void release(int x, int y);
    void moveFocus(bool forward);
    void setFocus(SoftControl* control);
    void click(SoftControl& control);
    void step(SoftControl& spin, int delta);
    void editKey(SoftControl& edit, SoftKey key, char character);
    SoftControl* controlAt(int x, int y);
};

class CSoftDialogSystem : public CDialogSystem {
public:
    explicit CSoftDialogSystem(CSoftSurface& surface);

    DialogResult runModal(int templateId, CWaitDlg* dialog) override;
    void setUserData(DialogWindow window, void* data) override;
    void* userData(DialogWindow window) override;
    void setItemInt(DialogWindow window, int id, std::uint32_t value, bool isSigned) override;
    std::uint32_t itemInt(DialogWindow window, int id, bool isSigned) override;
    void setCheck(DialogWindow window, int id, int state) override;
    int checkState(DialogWindow window, int id) override;
    void setUpDownRange(DialogWindow window, int id, int lower, int upper) override;
    bool setTimer(DialogWindow window, unsigned id, unsigned milliseconds) override;
    bool killTimer(DialogWindow window, unsigned id) override;
    bool post(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) override;
    DialogResult send(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) override;
    bool end(DialogWindow window, DialogResult result) override;

    // The dialog being run, for tests that look at it; null outside runModal.
    CSoftDialog* current = nullptr;

private:
    CSoftDialog* dialogOf(DialogWindow window);
    CSoftSurface& surface;
};
