// The X11 window of the dialog built without the Windows dialog manager: draws the soft
// dialog's controls in a look close to the Windows one and turns X events into its input.
// Xlib comes from xlib_api.h (loaded at run time).
#pragma once

#include "dialog/soft_dialog.h"

struct XlibApi;
struct _XDisplay;
struct _XGC;

class CX11Surface : public CSoftSurface {
public:
    CX11Surface();
    ~CX11Surface() override;
    CX11Surface(const CX11Surface&) = delete;
    CX11Surface& operator=(const CX11Surface&) = delete;

    // False without libX11.so.6, with $DISPLAY unset or empty, when the display cannot be
    // opened, or while another dialog of this process is up (the X error handler is
    // process-wide and can serve one dialog only).
    bool connect(SoftMetrics& metrics) override;
    bool show(const char* title, int width, int height) override;
    void draw(const CSoftDialog& dialog) override;
    bool waitInput(int milliseconds, SoftInput& input) override;
    void close() override;

    // The X window, for tests that look for it; 0 when none is shown.
    unsigned long windowId() const { return window; }
    bool lost = false;  // the X server went away
    int errors = 0;     // X errors on this dialog's connection

private:
    enum Color { Face, Highlight, Shadow, DarkShadow, Text, Window, Selection, SelectionText, ColorCount };
    bool translate(void* event, SoftInput& input);
    void text(int x, int y, const std::string& s, int color);
    void line(int x1, int y1, int x2, int y2, int color);
    void fill(const PixelRect& r, int color);
    void frame(const PixelRect& r, int topLeft, int bottomRight);
    void dottedFrame(const PixelRect& r);
    void underline(int x, int baseline, const std::string& s, int index);
    void drawControl(const CSoftDialog& dialog, const SoftControl& control);  // dispatches on the kind
    void drawGroupBox(const CSoftDialog& dialog, const SoftControl& control);
    void drawStatic(const SoftControl& control);
    void drawEdit(const SoftControl& control, bool focused);
    void drawUpDown(const SoftControl& control);
    void drawCheckBox(const SoftControl& control, bool focused);
    void drawPushButton(const SoftControl& control, bool focused);
    int textWidth(const std::string& s) const;

    const XlibApi* x = nullptr;
    _XDisplay* display = nullptr;
    unsigned long window = 0;
    unsigned long pixmap = 0;
    _XGC* gc = nullptr;
    void* font = nullptr;  // XFontStruct
    unsigned long colors[ColorCount] = {};
    unsigned long deleteAtom = 0;
    int width = 0, height = 0;
    int ascent = 10, descent = 3, charWidth = 6;
    bool handlerInstalled = false;
    bool ioHandlerInstalled = false;
    bool focusTaken = false;
};
