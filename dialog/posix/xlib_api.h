// The Xlib functions the X11 dialog uses, loaded at run time from libX11.so.6, so that the
// plug-in has no link-time dependency on X11 and still loads where X11 is missing. Only the
// library's headers are used at build time (for its types, constants and field macros).
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

struct XlibApi {
    Display* (*OpenDisplay)(const char*);
    int (*CloseDisplay)(Display*);
    Window (*CreateSimpleWindow)(Display*, Window, int, int, unsigned, unsigned, unsigned, unsigned long,
                                 unsigned long);
    int (*DestroyWindow)(Display*, Window);
    int (*MapRaised)(Display*, Window);
    int (*StoreName)(Display*, Window, const char*);
    Atom (*InternAtom)(Display*, const char*, Bool);
    int (*ChangeProperty)(Display*, Window, Atom, Atom, int, int, const unsigned char*, int);
    Status (*SetWMProtocols)(Display*, Window, Atom*, int);
    void (*SetWMNormalHints)(Display*, Window, XSizeHints*);
    int (*SelectInput)(Display*, Window, long);
    GC (*CreateGC)(Display*, Drawable, unsigned long, XGCValues*);
    int (*FreeGC)(Display*, GC);
    int (*SetForeground)(Display*, GC, unsigned long);
    int (*FillRectangle)(Display*, Drawable, GC, int, int, unsigned, unsigned);
    int (*DrawLine)(Display*, Drawable, GC, int, int, int, int);
    int (*DrawPoint)(Display*, Drawable, GC, int, int);
    int (*DrawString)(Display*, Drawable, GC, int, int, const char*, int);
    int (*FillPolygon)(Display*, Drawable, GC, XPoint*, int, int, int);
    XFontStruct* (*LoadQueryFont)(Display*, const char*);
    int (*FreeFont)(Display*, XFontStruct*);
    int (*SetFont)(Display*, GC, Font);
    int (*TextWidth)(XFontStruct*, const char*, int);
    Status (*AllocColor)(Display*, Colormap, XColor*);
    int (*Pending)(Display*);
    int (*NextEvent)(Display*, XEvent*);
    int (*Flush)(Display*);
    int (*Sync)(Display*, Bool);
    int (*LookupString)(XKeyEvent*, char*, int, KeySym*, XComposeStatus*);
    XErrorHandler (*SetErrorHandler)(XErrorHandler);
    XIOErrorHandler (*SetIOErrorHandler)(XIOErrorHandler);
    Pixmap (*CreatePixmap)(Display*, Drawable, unsigned, unsigned, unsigned);
    int (*FreePixmap)(Display*, Pixmap);
    int (*CopyArea)(Display*, Drawable, Drawable, GC, int, int, unsigned, unsigned, int, int);
    int (*SetInputFocus)(Display*, Window, int, Time);
    // Optional (libX11 1.7 and later): lets the dialog survive the loss of the X server
    // instead of Xlib ending the host process.
    void (*SetIOErrorExitHandler)(Display*, void (*)(Display*, void*), void*);
};

// [main thread] The functions, loaded once and kept for the life of the process (the library
// is never unloaded: the host may use it too). Null when the library or a function is missing.
const XlibApi* loadXlib();
