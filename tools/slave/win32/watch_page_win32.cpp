// The supervisor's watch page on Windows: an unnamed, inheritable file mapping backed by the paging
// file; the child (started with handle inheritance) is given the handle's value.
#include <windows.h>

#include <charconv>
#include <cstdint>
#include <new>

#include "tools/slave/hang_watch.h"

struct CWatchPage::State {
    HANDLE mapping = nullptr;
    void* view = nullptr;
};

CWatchPage::CWatchPage() : state(std::make_unique<State>()) {}

CWatchPage::~CWatchPage() {
    if (state->view != nullptr) UnmapViewOfFile(state->view);
    if (state->mapping != nullptr) CloseHandle(state->mapping);
}

bool CWatchPage::create(std::string& error) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, sizeof(WatchPage), nullptr);
    void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(WatchPage)) : nullptr;
    if (view == nullptr) {
        error = "cannot create the supervisor's watch page (error " + std::to_string(GetLastError()) + ")";
        if (mapping != nullptr) CloseHandle(mapping);
        return false;
    }
    state->mapping = mapping;
    state->view = view;
    new (view) WatchPage{};
    return true;
}

std::string CWatchPage::childHandle() const {
    return std::to_string(static_cast<std::uintptr_t>(reinterpret_cast<std::uintptr_t>(state->mapping)));
}

bool CWatchPage::attach(std::string_view handle, std::string& error) {
    std::uintptr_t value = 0;
    const auto [end, problem] = std::from_chars(handle.data(), handle.data() + handle.size(), value);
    HANDLE mapping = reinterpret_cast<HANDLE>(value);
    void* view = problem == std::errc() && end == handle.data() + handle.size() && value != 0
                     ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(WatchPage))
                     : nullptr;
    if (view == nullptr) {
        error = "--watch " + std::string(handle) + " names no watch page";
        return false;
    }
    state->mapping = mapping;
    state->view = view;
    return true;
}

WatchPage* CWatchPage::page() const { return static_cast<WatchPage*>(state->view); }
