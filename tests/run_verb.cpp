// run_verb CLASS PATH: starts the certificator's Explorer verb on PATH as
// Explorer does: reads the verb's command from the registry
// (HKCU\Software\Classes\CLASS\shell\QORCertificator.Check\command), puts
// PATH in for %1 and %V, and starts it; then waits for the dialog it opens,
// prints its title and push button, and closes it.
#include <cstdio>
#include <string>

#include "dialog_driver.h"

int main() {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc != 3) {
        std::fprintf(stderr, "usage: run_verb CLASS PATH\n");
        return 2;
    }
    const std::wstring key =
        L"Software\\Classes\\" + std::wstring(argv[1]) + L"\\shell\\QORCertificator.Check\\command";
    wchar_t command[4096];
    DWORD size = sizeof command;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, command,
                     &size) != ERROR_SUCCESS) {
        std::fprintf(stderr, "run_verb: no verb command\n");
        return 1;
    }
    std::wstring line = command;
    for (const wchar_t *field : {L"%1", L"%V"})
        for (std::size_t at; (at = line.find(field)) != std::wstring::npos;)
            line.replace(at, 2, argv[2]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "run_verb: cannot start the verb's command\n");
        return 1;
    }
    WaitForSingleObject(process.hProcess, 30000);
    HWND dialog = wait_for_verdict(0, 60);
    if (!dialog) {
        std::fprintf(stderr, "run_verb: no certificator dialog appeared\n");
        return 1;
    }
    std::printf("title %s\nbutton %s\n", window_text(dialog).c_str(),
                control_text(dialog, button_control).c_str());
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    return 0;
}
