#include "dialog/posix/x11_surface.h"

#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <X11/Xatom.h>

#include "dialog/posix/xlib_api.h"

namespace {

// Xlib's error handlers are process-wide: while the dialog is up, errors on its own connection
// are counted here and everything else goes on to the handler that was there before, so the
// host's own X connections behave as they did.
std::atomic<bool> dialogActive{false};
Display* dialogDisplay = nullptr;
CX11Surface* dialogSurface = nullptr;
XErrorHandler previousHandler = nullptr;
XIOErrorHandler previousIoHandler = nullptr;

int onXError(Display* d, XErrorEvent* event) {
    if (d == dialogDisplay) {
        if (dialogSurface) ++dialogSurface->errors;
        return 0;
    }
    return previousHandler ? previousHandler(d, event) : 0;
}

// The X server went away. Xlib's own handlers end the process at this point; for the dialog's
// connection both return instead, and the dialog ends as if cancelled.
int onXIOError(Display* d) {
    if (d == dialogDisplay) {
        if (dialogSurface) dialogSurface->lost = true;
        return 0;
    }
    return previousIoHandler ? previousIoHandler(d) : 0;
}

void onConnectionLost(Display*, void* surface) { static_cast<CX11Surface*>(surface)->lost = true; }

// Fonts tried in order: the 6x13 fixed font whose cell matches the Windows dialog's base units
// for an 8-point dialog font at 96 dpi, then whatever "fixed" is.
const char* const kFontNames[] = {"-misc-fixed-medium-r-semicondensed--13-*-*-*-c-60-iso8859-1", "6x13", "fixed"};

struct Rgb { unsigned short r, g, b; };
const Rgb kPalette[] = {
    {0xD4, 0xD0, 0xC8},  // Face
    {0xFF, 0xFF, 0xFF},  // Highlight
    {0x80, 0x80, 0x80},  // Shadow
    {0x40, 0x40, 0x40},  // DarkShadow
    {0x00, 0x00, 0x00},  // Text
    {0xFF, 0xFF, 0xFF},  // Window
    {0x0A, 0x24, 0x6A},  // Selection
    {0xFF, 0xFF, 0xFF},  // SelectionText
};

}  // namespace

CX11Surface::CX11Surface() = default;

CX11Surface::~CX11Surface() { close(); }

bool CX11Surface::connect(SoftMetrics& metrics) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    x = loadXlib();
    if (!x) return false;
    bool expected = false;
    if (!dialogActive.compare_exchange_strong(expected, true)) return false;
    display = x->OpenDisplay(name);
    if (!display) {
        dialogActive = false;
        return false;
    }
    dialogDisplay = display;
    dialogSurface = this;
    previousHandler = x->SetErrorHandler(onXError);
    handlerInstalled = true;
    // Surviving the loss of the server needs both handlers to return, which only a library
    // with the per-connection exit handler allows.
    if (x->SetIOErrorExitHandler) {
        x->SetIOErrorExitHandler(display, onConnectionLost, this);
        previousIoHandler = x->SetIOErrorHandler(onXIOError);
        ioHandlerInstalled = true;
    }

    XFontStruct* f = nullptr;
    for (const char* fontName : kFontNames) {
        if ((f = x->LoadQueryFont(display, fontName)) != nullptr) break;
    }
    font = f;
    if (f) {
        ascent = f->ascent;
        descent = f->descent;
        // The Windows way of measuring a dialog font: the average width of the 52 letters.
        static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        charWidth = std::max(1, (x->TextWidth(f, letters, 52) / 26 + 1) / 2);
    }
    metrics.baseX = charWidth;
    metrics.baseY = ascent + descent;

    const int screen = DefaultScreen(display);
    for (int i = 0; i < ColorCount; ++i) {
        XColor c{};
        c.red = static_cast<unsigned short>(kPalette[i].r * 257);
        c.green = static_cast<unsigned short>(kPalette[i].g * 257);
        c.blue = static_cast<unsigned short>(kPalette[i].b * 257);
        const bool light = kPalette[i].r + kPalette[i].g + kPalette[i].b > 3 * 0x90;
        colors[i] = x->AllocColor(display, DefaultColormap(display, screen), &c)
                        ? c.pixel
                        : (light ? WhitePixel(display, screen) : BlackPixel(display, screen));
    }
    return true;
}

bool CX11Surface::show(const char* title, int w, int h) {
    if (!display) return false;
    width = w;
    height = h;
    const int screen = DefaultScreen(display);
    // The template places the dialog at 0, 0.
    window = x->CreateSimpleWindow(display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(w),
                                   static_cast<unsigned>(h), 0, colors[DarkShadow], colors[Face]);
    if (!window) return false;
    x->StoreName(display, window, title);
    const Atom utf8 = x->InternAtom(display, "UTF8_STRING", False);
    x->ChangeProperty(display, window, x->InternAtom(display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(title), static_cast<int>(std::strlen(title)));
    Atom dialogType = x->InternAtom(display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    x->ChangeProperty(display, window, x->InternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(&dialogType), 1);
    Atom protocols = x->InternAtom(display, "WM_DELETE_WINDOW", False);
    deleteAtom = protocols;
    x->SetWMProtocols(display, window, &protocols, 1);
    // A modal frame: fixed size.
    XSizeHints hints{};
    hints.flags = PPosition | PMinSize | PMaxSize;
    hints.min_width = hints.max_width = w;
    hints.min_height = hints.max_height = h;
    x->SetWMNormalHints(display, window, &hints);
    x->SelectInput(display, window,
                   ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
    gc = x->CreateGC(display, window, 0, nullptr);
    if (font) x->SetFont(display, gc, static_cast<XFontStruct*>(font)->fid);
    pixmap = x->CreatePixmap(display, window, static_cast<unsigned>(w), static_cast<unsigned>(h),
                             static_cast<unsigned>(DefaultDepth(display, screen)));
    x->MapRaised(display, window);
    // Make the X errors of the creation known now: any of them means no dialog.
    x->Sync(display, False);
    return errors == 0 && !lost && gc && pixmap;
}

void CX11Surface::close() {
    if (!display) return;
    // After the loss of the server these only free Xlib's memory: requests are no longer sent.
    if (pixmap) x->FreePixmap(display, pixmap);
    if (gc) x->FreeGC(display, gc);
    if (font) x->FreeFont(display, static_cast<XFontStruct*>(font));
    if (window) x->DestroyWindow(display, window);
    if (!lost) x->Sync(display, False);
    x->CloseDisplay(display);
    if (handlerInstalled) x->SetErrorHandler(previousHandler);
    if (ioHandlerInstalled) x->SetIOErrorHandler(previousIoHandler);
    handlerInstalled = ioHandlerInstalled = false;
    previousHandler = nullptr;
    previousIoHandler = nullptr;
    dialogDisplay = nullptr;
    dialogSurface = nullptr;
    display = nullptr;
    window = pixmap = 0;
    gc = nullptr;
    font = nullptr;
    focusTaken = false;
    dialogActive = false;
}

// ---- Input ----

bool CX11Surface::waitInput(int milliseconds, SoftInput& input) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, milliseconds));
    for (;;) {
        while (!lost && x->Pending(display) > 0) {
            XEvent event;
            x->NextEvent(display, &event);
            if (translate(&event, input)) return true;
        }
        if (lost) {
            input = {};
            input.type = SoftInput::Type::Lost;
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            lost = true;
        } else if (ready > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fd.revents & POLLIN)) {
            lost = true;
        }
    }
}

bool CX11Surface::translate(void* raw, SoftInput& input) {
    XEvent& event = *static_cast<XEvent*>(raw);
    input = {};
    switch (event.type) {
    case Expose:
        if (event.xexpose.count != 0) return false;
        input.type = SoftInput::Type::Exposed;
        return true;
    case MapNotify:
        // Without a window manager nobody gives the window the keyboard; a modal dialog takes it.
        if (!focusTaken) {
            x->SetInputFocus(display, window, RevertToParent, CurrentTime);
            focusTaken = true;
        }
        return false;
    case ClientMessage:
        if (static_cast<unsigned long>(event.xclient.data.l[0]) != deleteAtom) return false;
        input.type = SoftInput::Type::Close;
        return true;
    case ButtonPress:
    case ButtonRelease:
        if (event.xbutton.button != Button1) return false;
        input.type = event.type == ButtonPress ? SoftInput::Type::Press : SoftInput::Type::Release;
        input.x = event.xbutton.x;
        input.y = event.xbutton.y;
        return true;
    case KeyPress: {
        char chars[8] = {};
        KeySym sym = 0;
        const int n = x->LookupString(&event.xkey, chars, sizeof(chars), &sym, nullptr);
        const bool shift = (event.xkey.state & ShiftMask) != 0;
        const bool alt = (event.xkey.state & Mod1Mask) != 0;
        input.type = SoftInput::Type::Key;
        switch (sym) {
        case XK_Tab: input.key = shift ? SoftKey::BackTab : SoftKey::Tab; return true;
        case XK_ISO_Left_Tab: input.key = SoftKey::BackTab; return true;
        case XK_Escape: input.key = SoftKey::Escape; return true;
        case XK_Return:
        case XK_KP_Enter: input.key = SoftKey::Enter; return true;
        case XK_Up:
        case XK_KP_Up: input.key = SoftKey::Up; return true;
        case XK_Down:
        case XK_KP_Down: input.key = SoftKey::Down; return true;
        case XK_Left:
        case XK_KP_Left: input.key = SoftKey::Left; return true;
        case XK_Right:
        case XK_KP_Right: input.key = SoftKey::Right; return true;
        case XK_Home:
        case XK_KP_Home: input.key = SoftKey::Home; return true;
        case XK_End:
        case XK_KP_End: input.key = SoftKey::End; return true;
        case XK_BackSpace: input.key = SoftKey::Backspace; return true;
        case XK_Delete:
        case XK_KP_Delete: input.key = SoftKey::Delete; return true;
        case XK_space: input.key = SoftKey::Space; return true;
        default: break;
        }
        if (n != 1 || static_cast<unsigned char>(chars[0]) < 0x20 || chars[0] == 0x7F) return false;
        input.type = alt ? SoftInput::Type::Mnemonic : SoftInput::Type::Key;
        input.key = SoftKey::Character;
        input.character = chars[0];
        return true;
    }
    default: return false;
    }
}

// ---- Drawing ----

int CX11Surface::textWidth(const std::string& s) const {
    if (font) return x->TextWidth(static_cast<XFontStruct*>(font), s.data(), static_cast<int>(s.size()));
    return static_cast<int>(s.size()) * charWidth;
}

void CX11Surface::text(int tx, int baseline, const std::string& s, int color) {
    x->SetForeground(display, gc, colors[color]);
    x->DrawString(display, pixmap, gc, tx, baseline, s.data(), static_cast<int>(s.size()));
}

void CX11Surface::line(int x1, int y1, int x2, int y2, int color) {
    x->SetForeground(display, gc, colors[color]);
    x->DrawLine(display, pixmap, gc, x1, y1, x2, y2);
}

void CX11Surface::fill(const PixelRect& r, int color) {
    if (r.width <= 0 || r.height <= 0) return;
    x->SetForeground(display, gc, colors[color]);
    x->FillRectangle(display, pixmap, gc, r.x, r.y, static_cast<unsigned>(r.width), static_cast<unsigned>(r.height));
}

void CX11Surface::frame(const PixelRect& r, int topLeft, int bottomRight) {
    const int right = r.x + r.width - 1;
    const int bottom = r.y + r.height - 1;
    line(r.x, r.y, right - 1, r.y, topLeft);
    line(r.x, r.y, r.x, bottom - 1, topLeft);
    line(r.x, bottom, right, bottom, bottomRight);
    line(right, r.y, right, bottom, bottomRight);
}

void CX11Surface::dottedFrame(const PixelRect& r) {
    x->SetForeground(display, gc, colors[Text]);
    for (int i = r.x; i < r.x + r.width; i += 2) {
        x->DrawPoint(display, pixmap, gc, i, r.y);
        x->DrawPoint(display, pixmap, gc, i, r.y + r.height - 1);
    }
    for (int j = r.y; j < r.y + r.height; j += 2) {
        x->DrawPoint(display, pixmap, gc, r.x, j);
        x->DrawPoint(display, pixmap, gc, r.x + r.width - 1, j);
    }
}

void CX11Surface::underline(int tx, int baseline, const std::string& s, int index) {
    if (index < 0 || index >= static_cast<int>(s.size())) return;
    const int from = tx + textWidth(s.substr(0, static_cast<std::size_t>(index)));
    const int w = textWidth(s.substr(static_cast<std::size_t>(index), 1));
    line(from, baseline + 1, from + w - 1, baseline + 1, Text);
}

void CX11Surface::drawGroupBox(const CSoftDialog& dialog, const SoftControl& c) {
    const PixelRect& r = c.rect;
    const int lineHeight = ascent + descent;
    const int top = r.y + lineHeight / 2;
    frame({r.x, top, r.width, r.height - (top - r.y)}, Shadow, Highlight);
    frame({r.x + 1, top + 1, r.width - 2, r.height - (top - r.y) - 2}, Highlight, Shadow);
    const int tx = r.x + dialog.pixelX(4) + 2;
    fill({tx - 2, r.y, textWidth(c.text) + 4, lineHeight}, Face);
    text(tx, r.y + ascent, c.text, Text);
    underline(tx, r.y + ascent, c.text, c.mnemonicIndex);
}

// Lines broken at '\n', left-aligned or centred (SS_CENTER).
void CX11Surface::drawStatic(const SoftControl& c) {
    const PixelRect& r = c.rect;
    const int lineHeight = ascent + descent;
    const bool centre = (c.style() & 0xF) == style::kCenter;
    std::size_t start = 0;
    int baseline = r.y + ascent;
    while (start <= c.text.size()) {
        std::size_t end = c.text.find('\n', start);
        if (end == std::string::npos) end = c.text.size();
        const std::string part = c.text.substr(start, end - start);
        const int tx = centre ? r.x + (r.width - textWidth(part)) / 2 : r.x;
        text(tx, baseline, part, Text);
        const int index = c.mnemonicIndex - static_cast<int>(start);
        if (index >= 0 && index < static_cast<int>(part.size())) underline(tx, baseline, part, index);
        baseline += lineHeight;
        start = end + 1;
    }
}

void CX11Surface::drawEdit(const SoftControl& c, bool focused) {
    const PixelRect& r = c.rect;
    const int lineHeight = ascent + descent;
    frame(r, Shadow, Highlight);
    frame({r.x + 1, r.y + 1, r.width - 2, r.height - 2}, DarkShadow, Face);
    const PixelRect inner{r.x + 2, r.y + 2, r.width - 4, r.height - 4};
    fill(inner, Window);
    const int tw = textWidth(c.text);
    const int tx = std::max(inner.x + 1, inner.x + inner.width - 1 - tw);  // ES_RIGHT
    const int baseline = inner.y + (inner.height - lineHeight) / 2 + ascent;
    if (focused && c.allSelected && !c.text.empty()) {
        fill({tx, baseline - ascent, tw, lineHeight}, Selection);
        text(tx, baseline, c.text, SelectionText);
    } else {
        text(tx, baseline, c.text, Text);
    }
    if (focused && !c.allSelected) {
        const int cx = tx + textWidth(c.text.substr(0, std::min(c.caret, c.text.size())));
        line(cx, baseline - ascent, cx, baseline + descent - 1, Text);
    }
}

void CX11Surface::drawUpDown(const SoftControl& c) {
    const PixelRect& r = c.rect;
    const int half = r.height / 2;
    const PixelRect up{r.x, r.y, r.width, half};
    const PixelRect down{r.x, r.y + half, r.width, r.height - half};
    for (int part = 0; part < 2; ++part) {
        const PixelRect& b = part == 0 ? up : down;
        const bool held = c.pressedHalf == (part == 0 ? 1 : -1);
        fill(b, Face);
        frame(b, held ? Shadow : Highlight, held ? Highlight : DarkShadow);
        const int cx = b.x + b.width / 2;
        const int cy = b.y + b.height / 2;
        XPoint tri[3];
        if (part == 0) {
            tri[0] = {static_cast<short>(cx - 3), static_cast<short>(cy + 2)};
            tri[1] = {static_cast<short>(cx + 3), static_cast<short>(cy + 2)};
            tri[2] = {static_cast<short>(cx), static_cast<short>(cy - 1)};
        } else {
            tri[0] = {static_cast<short>(cx - 3), static_cast<short>(cy - 1)};
            tri[1] = {static_cast<short>(cx + 3), static_cast<short>(cy - 1)};
            tri[2] = {static_cast<short>(cx), static_cast<short>(cy + 2)};
        }
        x->SetForeground(display, gc, colors[Text]);
        x->FillPolygon(display, pixmap, gc, tri, 3, Convex, CoordModeOrigin);
    }
}

void CX11Surface::drawCheckBox(const SoftControl& c, bool focused) {
    const PixelRect& r = c.rect;
    const int lineHeight = ascent + descent;
    const int box = 13;
    const PixelRect b{r.x, r.y + (r.height - box) / 2, box, box};
    frame(b, Shadow, Highlight);
    frame({b.x + 1, b.y + 1, b.width - 2, b.height - 2}, DarkShadow, Face);
    fill({b.x + 2, b.y + 2, b.width - 4, b.height - 4}, c.pressed ? Face : Window);
    if (c.check == kBstChecked) {
        for (int i = 0; i < 3; ++i) {
            line(b.x + 3, b.y + 5 + i, b.x + 5, b.y + 7 + i, Text);
            line(b.x + 5, b.y + 7 + i, b.x + 9, b.y + 3 + i, Text);
        }
    }
    const int tx = b.x + box + 4;
    const int baseline = r.y + (r.height - lineHeight) / 2 + ascent;
    text(tx, baseline, c.text, Text);
    underline(tx, baseline, c.text, c.mnemonicIndex);
    if (focused) dottedFrame({tx - 1, baseline - ascent - 1, textWidth(c.text) + 2, lineHeight + 2});
}

void CX11Surface::drawPushButton(const SoftControl& c, bool focused) {
    const int lineHeight = ascent + descent;
    PixelRect b = c.rect;
    if (focused) {
        frame(b, Text, Text);
        b = {b.x + 1, b.y + 1, b.width - 2, b.height - 2};
    }
    if (c.pressed) {
        frame(b, Shadow, Shadow);
    } else {
        frame(b, Highlight, DarkShadow);
        frame({b.x + 1, b.y + 1, b.width - 2, b.height - 2}, Face, Shadow);
    }
    const int shift = c.pressed ? 1 : 0;
    const int tx = b.x + (b.width - textWidth(c.text)) / 2 + shift;
    const int baseline = b.y + (b.height - lineHeight) / 2 + ascent + shift;
    text(tx, baseline, c.text, Text);
    underline(tx, baseline, c.text, c.mnemonicIndex);
    if (focused) dottedFrame({b.x + 3, b.y + 3, b.width - 6, b.height - 6});
}

void CX11Surface::drawControl(const CSoftDialog& dialog, const SoftControl& c) {
    const bool focused = dialog.focus == &c;
    switch (c.item->kind) {
    case ControlKind::GroupBox: drawGroupBox(dialog, c); break;
    case ControlKind::Static: drawStatic(c); break;
    case ControlKind::Edit: drawEdit(c, focused); break;
    case ControlKind::UpDown: drawUpDown(c); break;
    case ControlKind::CheckBox: drawCheckBox(c, focused); break;
    case ControlKind::PushButton: drawPushButton(c, focused); break;
    }
}

void CX11Surface::draw(const CSoftDialog& dialog) {
    if (!display || lost || !pixmap) return;
    fill({0, 0, width, height}, Face);
    for (const SoftControl& c : dialog.controls) drawControl(dialog, c);
    x->CopyArea(display, pixmap, window, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height), 0, 0);
    x->Flush(display);
}
