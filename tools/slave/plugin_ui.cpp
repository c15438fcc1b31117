#include "tools/slave/plugin_ui.h"

#include <cstdio>

using tolvane::host::PluginHost;

namespace {

// Some plug-ins know their editor's size only once it is open: this one is used until then.
constexpr int kFallbackWidth = 400;
constexpr int kFallbackHeight = 300;

void say(const std::string& text) {
    std::printf("tolvane-slave: %s\n", text.c_str());
    std::fflush(stdout);
}

}  // namespace

CPluginUi::CPluginUi(CPluginProcessor& plugin, std::int32_t slaveNumber, std::unique_ptr<CEditorWindow> window,
                     std::string reopenHint)
    : plugin(plugin), slaveNumber(slaveNumber), window(std::move(window)), reopenHint(std::move(reopenHint)) {
    plugin.attachUi();
    attached = true;
}

CPluginUi::~CPluginUi() { shutdown(); }

std::string CPluginUi::title() const {
    const std::string name = plugin.pluginName().empty() ? std::string("plug-in") : plugin.pluginName();
    return name + " - tolvane-slave " + (slaveNumber < 0 ? std::string("(unnumbered)") : std::to_string(slaveNumber));
}

void CPluginUi::run(const std::atomic<bool>& stop, std::atomic<bool>& openRequest) {
    bool wantOpen = window != nullptr;
    while (!stop.load(std::memory_order_acquire)) {
        if (openRequest.exchange(false, std::memory_order_acq_rel)) {
            if (window == nullptr) say("the editor needs --editor");
            wantOpen = window != nullptr;
        }
        tick(wantOpen);
        wantOpen = false;
        plugin.waitForUiTurn(kUiTickInterval);
    }
    shutdown();
}

void CPluginUi::tick(bool wantOpen) {
    if (!attached) return;
    if (wantOpen && !isOpen) reopenAfterRelease = true;
    // Asked when a Stop is about to close the instance: its editor goes first, and comes back
    // on the fresh instance.
    const auto release = [this] {
        if (!isOpen) return;
        closeEditor(plugin.pluginHost());
        reopenAfterRelease = true;
    };
    plugin.uiStep(release, [this](PluginHost& host) {
        if (isOpen && window->pump()) {
            closeEditor(&host);
            say("editor closed; the slave goes on serving (to open it again: " + reopenHint + ")");
        } else if (!isOpen && reopenAfterRelease) {
            reopenAfterRelease = false;
            openEditor(host);
        }
        if (isOpen) {
            int width = 0;
            int height = 0;
            if (host.takeSizeRequest(width, height)) window->resize(width, height);
            host.editorIdle();
        }
        host.idle();
    });
}

void CPluginUi::openEditor(PluginHost& host) {
    if (!host.hasEditor()) {
        say(title() + ": the plug-in has no editor; the slave goes on serving");
        return;
    }
    int width = kFallbackWidth;
    int height = kFallbackHeight;
    const bool sized = host.editorRect(width, height);
    std::string error;
    if (!window->open(title(), width, height, error)) {
        say("cannot show the editor: " + error + "; the slave goes on serving");
        return;
    }
    if (!host.editorOpen(window->parentHandle())) {
        window->close();
        say(title() + ": the plug-in refused to open its editor; the slave goes on serving");
        return;
    }
    isOpen = true;
    int openWidth = width;
    int openHeight = height;
    if (host.editorRect(openWidth, openHeight) && (!sized || openWidth != width || openHeight != height)) {
        window->resize(openWidth, openHeight);
    }
    say("editor open: " + title() + " (" + std::to_string(openWidth) + " x " + std::to_string(openHeight) + ")");
}

void CPluginUi::closeEditor(PluginHost* host) {
    if (!isOpen) return;
    if (host != nullptr) host->editorClose();  // while its parent window still exists
    window->close();
    isOpen = false;
}

void CPluginUi::shutdown() {
    if (!attached) return;
    plugin.uiStep([this] { closeEditor(plugin.pluginHost()); }, [this](PluginHost& host) { closeEditor(&host); });
    if (isOpen && window) window->close();  // the instance was gone: only the window is left
    isOpen = false;
    plugin.detachUi();
    attached = false;
}
