// The hosted plug-in's UI on the slave's main thread, as a host's GUI thread drives it: effIdle
// about 30 times a second, with or without a window, and with --editor the plug-in's editor in
// a window of the slave (effEditGetRect for its size, effEditOpen with the window, effEditIdle
// with every tick, effEditClose when the window closes). Closing the window leaves the slave
// serving; a request (SIGUSR1, "e" and Enter) opens it again. The link is served meanwhile on a
// thread of its own, so a busy editor never delays a block.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/slave/editor_window.h"
#include "tools/slave/plugin_processor.h"

// The UI's tick: effIdle and effEditIdle about 30 times a second.
constexpr std::chrono::milliseconds kUiTickInterval{33};

class CPluginUi {
public:
    // `window` is null without --editor; `reopenHint` says how to open the editor again once its
    // window is closed. Attaches the plug-in's UI side (plugin.attachUi()).
    CPluginUi(CPluginProcessor& plugin, std::int32_t slaveNumber, std::unique_ptr<CEditorWindow> window,
              std::string reopenHint);
    ~CPluginUi();  // shutdown()
    CPluginUi(const CPluginUi&) = delete;
    CPluginUi& operator=(const CPluginUi&) = delete;

    // [main thread] Ticks until `stop` is set. The editor opens at the first tick, and again
    // whenever `openRequest` is found set (it is cleared then).
    void run(const std::atomic<bool>& stop, std::atomic<bool>& openRequest);
    // [main thread] One tick: the window's messages, the editor's opening or closing, effEditIdle
    // and effIdle. `wantOpen` asks for the editor when it is not open.
    void tick(bool wantOpen);
    // [main thread] Closes the editor and detaches the UI; nothing of the plug-in's UI is called
    // after it. Idempotent.
    void shutdown();

    // The title of the editor's window: the plug-in's name and the slave number.
    std::string title() const;

private:
    void openEditor(tolvane::host::PluginHost& host);
    void closeEditor(tolvane::host::PluginHost* host);

    CPluginProcessor& plugin;
    std::int32_t slaveNumber;
    std::unique_ptr<CEditorWindow> window;
    std::string reopenHint;
    bool attached = false;
    bool isOpen = false;
    bool reopenAfterRelease = false;  // the editor was closed for a Stop's reopening
};
