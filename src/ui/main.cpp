// qorcert.exe: the dialog front end. Everything here is the platform's; the
// verification and the stamp are computed by the portable code.
#include <windows.h>

#include <string>

#include "control_ids.h"
#include "verify.h"
#include "version_stamp.h"

// The core names the controls it writes by number; the template must agree.
static_assert(status_lines[0].control_id == IDC_STAGE1 &&
              status_lines[1].control_id == IDC_STAGE2 &&
              status_lines[2].control_id == IDC_STAGE3 &&
              status_lines[3].control_id == IDC_STAGE4 && status_lines[4].control_id == IDC_STAGE5);
static_assert(verdict_control == IDC_VERDICT && verdict_detail_control == IDC_VERDICT_DETAIL &&
              button_control == IDC_BUTTON);

namespace {

const char web_page[] = QOR_WEB_PAGE;

// Kept for the life of the process: the stamp, whose second text nothing
// displays, and the title last composed (SetWindowTextA takes its own copy).
VersionStamp stamp;
char title[title_size];

void set_control_text(void *dialog, int control_id, const char *text) {
    SetWindowTextA(GetDlgItem(static_cast<HWND>(dialog), control_id), text);
}

// The full path of this executable, in wide characters: the ANSI call gives
// "?" for characters outside the code page, a name that opens nothing. A
// path that does not fit the usual 200 characters is fetched again with a
// larger buffer, never opened cut short.
std::wstring own_executable_path() {
    HMODULE module = GetModuleHandleW(nullptr);
    std::wstring path(200, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

void apply_version_stamp(HWND dialog) {
    stamp = read_version_stamp(own_executable_path());
    // The message box's text and caption are the product's own, exactly as
    // given: not a slip to tone down.
    if (!stamp.opened)
        MessageBoxA(dialog, "You should never be seeing this!", "FUCK!", MB_OK);
    // Template 1 has no control 110, so the warning shows nowhere; a
    // template that adds one shows it there.
    if (!stamp.present)
        set_control_text(dialog, IDC_STAMP_WARNING, "WARNING: No version info detected!");
    compose_title(stamp, title);
    SetWindowTextA(dialog, title);
}

// The banner fills its place in the template at any scaling: the bitmap
// is loaded at the size that place comes to on this screen (at 96 DPI, its
// own size).
void fit_banner(HWND dialog) {
    RECT place = {0, 0, BANNER_WIDTH, BANNER_HEIGHT};
    MapDialogRect(dialog, &place);
    HANDLE banner = LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_BANNER),
                               IMAGE_BITMAP, place.right, place.bottom, LR_CREATEDIBSECTION);
    if (banner)
        SendDlgItemMessageA(dialog, IDC_BANNER, STM_SETIMAGE, IMAGE_BITMAP,
                            reinterpret_cast<LPARAM>(banner));
}

INT_PTR CALLBACK main_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_CLOSE: EndDialog(dialog, 1); return TRUE;
    case WM_SHOWWINDOW:
        // Both run to completion here, so the dialog is first drawn with
        // its title and every line filled in.
        fit_banner(dialog);
        apply_version_stamp(dialog);
        run_verification({set_control_text, dialog});
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_BANNER: ShellExecuteA(dialog, "open", web_page, nullptr, nullptr, SW_HIDE); break;
        case IDC_BUTTON: EndDialog(dialog, 1); break;
        }
        return FALSE;
    }
    return FALSE;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, main_dialog_proc, 0);
    return 0;
}
