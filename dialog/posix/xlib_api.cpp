#include "dialog/posix/xlib_api.h"

#include <dlfcn.h>

#include <mutex>

namespace {

template <typename F>
bool bind(void* library, const char* name, F& function) {
    function = reinterpret_cast<F>(dlsym(library, name));
    return function != nullptr;
}

const XlibApi* load() {
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    static XlibApi api;
    const bool complete =
        bind(library, "XOpenDisplay", api.OpenDisplay) && bind(library, "XCloseDisplay", api.CloseDisplay) &&
        bind(library, "XCreateSimpleWindow", api.CreateSimpleWindow) &&
        bind(library, "XDestroyWindow", api.DestroyWindow) && bind(library, "XMapRaised", api.MapRaised) &&
        bind(library, "XStoreName", api.StoreName) && bind(library, "XInternAtom", api.InternAtom) &&
        bind(library, "XChangeProperty", api.ChangeProperty) &&
        bind(library, "XSetWMProtocols", api.SetWMProtocols) &&
        bind(library, "XSetWMNormalHints", api.SetWMNormalHints) &&
        bind(library, "XSelectInput", api.SelectInput) && bind(library, "XCreateGC", api.CreateGC) &&
        bind(library, "XFreeGC", api.FreeGC) && bind(library, "XSetForeground", api.SetForeground) &&
        bind(library, "XFillRectangle", api.FillRectangle) && bind(library, "XDrawLine", api.DrawLine) &&
        bind(library, "XDrawPoint", api.DrawPoint) && bind(library, "XDrawString", api.DrawString) &&
        bind(library, "XFillPolygon", api.FillPolygon) && bind(library, "XLoadQueryFont", api.LoadQueryFont) &&
        bind(library, "XFreeFont", api.FreeFont) && bind(library, "XSetFont", api.SetFont) &&
        bind(library, "XTextWidth", api.TextWidth) && bind(library, "XAllocColor", api.AllocColor) &&
        bind(library, "XPending", api.Pending) && bind(library, "XNextEvent", api.NextEvent) &&
        bind(library, "XFlush", api.Flush) && bind(library, "XSync", api.Sync) &&
        bind(library, "XLookupString", api.LookupString) &&
        bind(library, "XSetErrorHandler", api.SetErrorHandler) &&
        bind(library, "XSetIOErrorHandler", api.SetIOErrorHandler) &&
        bind(library, "XCreatePixmap", api.CreatePixmap) && bind(library, "XFreePixmap", api.FreePixmap) &&
        bind(library, "XCopyArea", api.CopyArea) && bind(library, "XSetInputFocus", api.SetInputFocus);
    if (!complete) {
        dlclose(library);
        return nullptr;
    }
    bind(library, "XSetIOErrorExitHandler", api.SetIOErrorExitHandler);
    return &api;
}

}  // namespace

const XlibApi* loadXlib() {
    static std::once_flag once;
    static const XlibApi* api = nullptr;
    std::call_once(once, [] { api = load(); });
    return api;
}
