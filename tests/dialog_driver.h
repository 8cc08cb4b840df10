// Driving the certificator's dialog from another process, as a user sees it:
// finding the window, reading its title and control texts, pressing things.
#pragma once

#include <windows.h>

#include <string>

#include "verify.h"
#include "version_stamp.h"

// The certificator's dialog: a top-level dialog-class window with its title,
// of the process `pid` (any process when 0), on `desktop` (the caller's own
// when null), or null.
inline HWND find_dialog(DWORD pid, HDESK desktop = nullptr) {
    struct Search {
        DWORD pid;
        HWND found;
    } search = {pid, nullptr};
    EnumDesktopWindows(
        desktop,
        [](HWND window, LPARAM context) -> BOOL {
            auto *s = reinterpret_cast<Search *>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            char cls[16] = {};
            GetClassNameA(window, cls, sizeof cls);
            char title[title_size] = {};
            GetWindowTextA(window, title, sizeof title);
            if ((s->pid == 0 || owner == s->pid) && std::string(cls) == "#32770" &&
                std::string(title).rfind(base_title, 0) == 0) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

inline std::string window_text(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

inline std::string control_text(HWND dialog, int id) {
    char text[256] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

// Waits until the dialog has its verdict on the push button (the run's last
// update); null after `seconds`.
inline HWND wait_for_verdict(DWORD pid, int seconds, HDESK desktop = nullptr) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < DWORD(seconds) * 1000; Sleep(50)) {
        HWND dialog = find_dialog(pid, desktop);
        if (!dialog)
            continue;
        std::string button = control_text(dialog, button_control);
        if (button == passed_verdict.button || button == failed_verdict.button)
            return dialog;
    }
    return nullptr;
}
