// qorcert-here.exe FOLDER|FILE: what Explorer's "Check QOR release" runs.
// The certificator takes no options and checks the folder it starts in, so
// this starts the qorcert.exe beside it in FOLDER, or in the folder that
// holds FILE (a qor.nfo), and ends. A windows program: no console window
// flashes. Paths stay in wide characters, so a folder named in any
// language is reached.
#include <windows.h>

#include <shellapi.h>

#include <string>

namespace {

// The folder to check: the argument itself, or the folder of a file.
std::wstring folder_of(const std::wstring &given) {
    const DWORD attributes = GetFileAttributesW(given.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return given;
    const std::size_t slash = given.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : given.substr(0, slash == 2 ? 3 : slash);
}

// qorcert.exe in this program's own folder.
std::wstring certificator() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"qorcert.exe";
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 2) {
        MessageBoxW(nullptr, L"Usage: qorcert-here.exe FOLDER (or its qor.nfo)",
                    L"QOR Release Authentication Certificator", MB_OK | MB_ICONERROR);
        return 2;
    }
    const std::wstring folder = folder_of(argv[1]);
    std::wstring exe = certificator();
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process)) {
        const std::wstring text = L"Cannot start " + exe + L" in " + folder;
        MessageBoxW(nullptr, text.c_str(), L"QOR Release Authentication Certificator",
                    MB_OK | MB_ICONERROR);
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
