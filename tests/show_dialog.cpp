// show_dialog DESKTOP [--close]: waits for a certificator's dialog on the
// named desktop, prints its title, texts and screen rectangle; with --close,
// closes it instead.
#include <cstdio>
#include <cstring>

#include "dialog_driver.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: show_dialog DESKTOP [--close]\n");
        return 2;
    }
    // The desktop appears when the certificator's start has made it.
    HWND dialog = nullptr;
    for (int second = 0; second < 60 && !dialog; ++second) {
        HDESK desktop = OpenDesktopA(argv[1], 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
        dialog = desktop ? wait_for_verdict(0, 1, desktop) : (Sleep(1000), nullptr);
    }
    if (!dialog) {
        std::fprintf(stderr, "show_dialog: no certificator dialog appeared\n");
        return 1;
    }
    if (argc > 2 && std::strcmp(argv[2], "--close") == 0) {
        PostMessageA(dialog, WM_CLOSE, 0, 0);
        return 0;
    }
    RECT r;
    GetWindowRect(dialog, &r);
    std::printf("window %ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
    std::printf("title  %s\n", window_text(dialog).c_str());
    for (const StatusLine &line : status_lines)
        std::printf("%s\n", control_text(dialog, line.control_id).c_str());
    for (int id : {verdict_control, verdict_detail_control})
        std::printf("%s\n", control_text(dialog, id).c_str());
    std::printf("button %s\n", control_text(dialog, button_control).c_str());
    return 0;
}
