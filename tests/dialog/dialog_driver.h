// What the module tests do per platform: load a plug-in module and create an instance through
// its entry point, keep the deliverable's settings in a private place, and work the dialog
// window from another thread as a user would (dialog_driver_posix.cpp with X11,
// dialog_driver_win32.cpp with the Windows window functions).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "frame/vst_abi.h"

class CPluginModule {
public:
    CPluginModule();
    ~CPluginModule();
    bool load(const std::string& path);
    // Calls the entry point on this thread (the constructor runs the dialog modally here).
    AEffect* create(audioMasterCallback host);

private:
    void* handle = nullptr;
};

// The effect's settings, kept where only this test looks: a scratch XDG_CONFIG_HOME on Linux,
// the registry key of the (throwaway) Wine prefix on Windows, removed again by the destructor.
class CPrivateSettings {
public:
    explicit CPrivateSettings(const std::map<std::string, std::int32_t>& values);
    ~CPrivateSettings();
    bool read(const char* name, std::int32_t& value) const;

private:
    std::string place;
};

// Puts the calling thread's windows where the dialog and the test meet: on Windows with a
// display, a desktop of this test's own (its desktop process is started from this process,
// with the display the test was given); elsewhere nothing to do. Call in every thread that
// creates or looks for the dialog, before it does.
void enterTestDesktop();
// [test thread] Waits until the dialog window is shown; false after `milliseconds`.
bool waitForDialog(int milliseconds);
// True while a window with the dialog's title exists.
bool dialogExists();
// Types the slave number into the slave box (which has the focus when the dialog opens).
bool enterSlaveNumber(std::int32_t number);
// Keystrokes to the focused control, one at a time: 't' Tab, 'u' up, 'd' down, 'e' Escape,
// digits as typed.
bool pressKeys(const std::string& keys);
// Ends the dialog through its window: Escape on Linux, a posted Cancel command on Windows.
bool cancelDialog();
// The number the inputs box shows; -1 when it cannot be read on this platform.
std::int32_t shownInputs();

// The host environment has no display: nothing can show a window.
bool headless();
// Hides the display from the plug-in for the rest of the scope where the platform allows it.
class CNoDisplay {
public:
    CNoDisplay();
    ~CNoDisplay();
    bool active = false;

private:
    std::string saved;
};

// An X server of the test's own that the test can take away (Linux; elsewhere start fails).
// While it runs, DISPLAY names it.
class CPrivateXServer {
public:
    ~CPrivateXServer();
    bool start();
    void stop();

private:
    int pid = -1;
    std::string saved;
};

std::string nativePath(const std::string& path);
