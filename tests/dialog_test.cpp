// qorcert.exe end to end under Wine: each case starts the real program in a
// fresh folder and reads what a user would see. Also reads the compiled
// resources back out of the executable.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "control_ids.h"
#include "dialog_driver.h"
#include "fixtures.h"
#include "version_stamp.h"

namespace {

// Where the build put things (Wine sees the build tree on drive Z:).
const char qorcert_exe[] = QORCERT_EXE;
const char qorcert_signed_exe[] = QORCERT_SIGNED_EXE; // the same, signed by osslsigncode
const char project_version[] = QOR_VERSION;
const char web_page[] = QOR_WEB_PAGE;
const char url_browser[] = QOR_URL_BROWSER; // a Unix path: winebrowser runs it
const char url_record[] = QOR_URL_RECORD;

std::string read_bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The built, stamped executable.
const std::string &stamped_exe() {
    static const std::string bytes = read_bytes(qorcert_exe);
    return bytes;
}

struct Program {
    PROCESS_INFORMATION process = {};
    HWND dialog = nullptr;

    // Starts `exe` as qorcert.exe in `folder` and waits for its verdict.
    DWORD start_error = 0; // why the program could not be started

    Program(const fs::path &folder, const std::string &exe) {
        fs::path path = folder / "qorcert.exe";
        write_file(path, exe);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::wstring command = path.wstring();
        // Wine, loaded by the tests running beside this one, has been seen
        // to fail a start now and then; a program that truly cannot start
        // fails every time.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               folder.c_str(), &startup, &process)) {
                dialog = wait_for_verdict(process.dwProcessId, 60);
                return;
            }
            start_error = GetLastError();
            Sleep(1000);
        }
    }
    ~Program() {
        if (!process.hProcess)
            return;
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(process.hProcess, 99);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    // The exit status once the process has ended; STILL_ACTIVE if it does not.
    DWORD exit_status(int seconds) {
        WaitForSingleObject(process.hProcess, static_cast<DWORD>(seconds) * 1000);
        DWORD status = 0;
        GetExitCodeProcess(process.hProcess, &status);
        return status;
    }
    void command(int id, int code = BN_CLICKED) {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, code),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    }
};

std::string base_title_with(const std::string &version) {
    return std::string(base_title) + " " + version;
}

// ---- What the dialog shows after each outcome ----

enum class Nfo { absent, file, folder };

struct Shown {
    const char *what;
    Nfo kind;
    std::string nfo;
    int last; // the last stage the run reached
    bool genuine;
};

TEST(Dialog, ShowsEachStageAndTheVerdict) {
    std::string good = genuine(filler(7000));
    std::string misfit = good;
    misfit[good.size() - 18] = misfit[good.size() - 18] == '2' ? '3' : '2';
    std::string bad_symbol = good;
    bad_symbol[good.size() - 5] = 'I';
    std::string lf_only = filler(7000);
    lf_only.erase(std::remove(lf_only.begin(), lf_only.end(), '\r'), lf_only.end());
    lf_only += good.substr(7000);
    const Shown cases[] = {
        {"no qor.nfo", Nfo::absent, "", 1, false},
        {"a folder named qor.nfo", Nfo::folder, "", 1, false},
        {"an empty file", Nfo::file, "", 2, false},
        {"5999 bytes", Nfo::file, filler(5999), 2, false},
        {"6000 bytes", Nfo::file, filler(6000), 3, false},
        {"a bad marker", Nfo::file,
         filler(7000) + "QOR Authenticity Verification Information; " + "2222222222222222\r\n", 3,
         false},
        {"truncated by a byte", Nfo::file, good.substr(0, good.size() - 1), 3, false},
        {"a byte appended", Nfo::file, good + "\n", 3, false},
        {"a bad code symbol", Nfo::file, bad_symbol, 4, false},
        {"a code that does not fit", Nfo::file, misfit, 5, false},
        {"CR LF turned to LF", Nfo::file, lf_only, 5, false},
        {"a genuine file", Nfo::file, good, 5, true},
        {"a genuine file with zero bytes", Nfo::file,
         genuine(std::string(500, '\0') + filler(7000)), 5, true},
    };

    for (const Shown &c : cases) {
        fs::path folder = test_folder() / c.what;
        fs::create_directories(folder);
        if (c.kind == Nfo::file)
            write_file(folder / "qor.nfo", c.nfo);
        if (c.kind == Nfo::folder)
            fs::create_directory(folder / "qor.nfo");
        Program program(folder, stamped_exe());
        ASSERT_TRUE(program.dialog)
            << c.what << ": no dialog with a verdict; start error " << program.start_error;
        EXPECT_EQ(window_text(program.dialog), base_title_with(project_version)) << c.what;
        for (int stage = 0; stage < 5; ++stage) {
            const StatusLine &line = status_lines[stage];
            std::string expected;
            if (stage + 1 < c.last)
                expected = std::string(line.stage_text) + "passed.";
            else if (stage + 1 == c.last)
                expected = std::string(line.stage_text) + (c.genuine ? "passed." : "failed.");
            EXPECT_EQ(control_text(program.dialog, line.control_id), expected) << c.what;
        }
        const Verdict &v = c.genuine ? passed_verdict : failed_verdict;
        EXPECT_EQ(control_text(program.dialog, IDC_VERDICT), v.line) << c.what;
        EXPECT_EQ(control_text(program.dialog, IDC_VERDICT_DETAIL), v.detail) << c.what;
        EXPECT_EQ(control_text(program.dialog, IDC_BUTTON), v.button) << c.what;
        HWND bar = GetDlgItem(program.dialog, IDC_PROGRESS_BAR);
        EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 0) << c.what;
        EXPECT_EQ(control_text(program.dialog, IDC_RESULTS_FRAME), "Results");
        EXPECT_EQ(control_text(program.dialog, IDC_PROGRESS_FRAME), "Progress Report");
        program.command(IDC_BUTTON);
        EXPECT_EQ(program.exit_status(30), 0u) << c.what;
    }
}

// ---- The version stamp in the title ----

TEST(Dialog, ShowsTheStampedVersionInTheTitle) {
    const std::string &exe = stamped_exe();
    ASSERT_NE(exe.size() % 8, 0u) << "signing pads nothing, so the signed case shows no padding";
    std::string body = exe.substr(0, exe.size() - stamp_length);
    std::uint8_t custom[stamp_length];
    make_version_stamp("2.5 beta", "hidden", custom);
    std::string damaged = exe;
    damaged[exe.size() - stamp_length + 2] ^= 0x40;
    const struct {
        const char *what;
        std::string exe;
        std::string title;
    } cases[] = {
        {"the build's stamp", exe, base_title_with(project_version)},
        {"no stamp", body, base_title_with("")},
        {"a damaged signature", damaged, base_title_with("")},
        {"bytes after the stamp", exe + "!", base_title_with("")},
        {"another version", body + std::string(reinterpret_cast<char *>(custom), stamp_length),
         base_title_with("2.5 beta")},
        // The stamp ends in front of the signature and the zeros that
        // padded the file to a multiple of 8 before it was signed.
        {"a signed copy", read_bytes(qorcert_signed_exe), base_title_with(project_version)},
    };
    for (const auto &c : cases) {
        fs::path folder = test_folder() / c.what;
        fs::create_directories(folder);
        write_file(folder / "qor.nfo", genuine(filler(7000)));
        Program program(folder, c.exe);
        ASSERT_TRUE(program.dialog) << c.what << "; start error " << program.start_error;
        EXPECT_EQ(window_text(program.dialog), c.title) << c.what;
        // The stamp never changes the verdict, and its second text shows nowhere.
        EXPECT_EQ(control_text(program.dialog, IDC_BUTTON), passed_verdict.button) << c.what;
        for (HWND child = GetWindow(program.dialog, GW_CHILD); child;
             child = GetWindow(child, GW_HWNDNEXT))
            EXPECT_EQ(window_text(child).find("hidden"), std::string::npos) << c.what;
        PostMessageA(program.dialog, WM_CLOSE, 0, 0);
        EXPECT_EQ(program.exit_status(30), 0u) << c.what;
    }
}

TEST(Dialog, RunsFromAFolderNamedInAnyLanguage) {
    // The stamp as qortool stamp writes "2.0-ß" given in UTF-8 on Linux.
    std::string version, refused;
    ASSERT_TRUE(windows_1252_from_utf8("2.0-\u00DF", version, refused));
    std::uint8_t custom[stamp_length];
    make_version_stamp(version.c_str(), "", custom);
    const std::string &built = stamped_exe();
    std::string exe = built.substr(0, built.size() - stamp_length) +
                      std::string(reinterpret_cast<char *>(custom), stamp_length);
    const std::wstring title =
        std::wstring(base_title, base_title + sizeof base_title - 1) + L" 2.0-\u00DF";
    for (const wchar_t *name :
         {L"M\u00FCller", L"\u20ACuro", L"\u041A\u0438\u0440\u0438\u043B\u043B\u0438\u0446\u0430",
          L"\u4E2D\u6587"}) {
        fs::path folder = test_folder() / name;
        fs::create_directories(folder);
        write_file(folder / "qor.nfo", genuine(filler(7000)));
        Program program(folder, exe);
        // A message box about the executable would hold the run back: no verdict.
        ASSERT_TRUE(program.dialog)
            << folder.u8string().size() << "-byte folder: no verdict; start error "
            << program.start_error;
        wchar_t shown[256] = {};
        GetWindowTextW(program.dialog, shown, 256);
        EXPECT_EQ(std::wstring(shown), title);
        EXPECT_EQ(control_text(program.dialog, IDC_BUTTON), passed_verdict.button);
        PostMessageA(program.dialog, WM_CLOSE, 0, 0);
        EXPECT_EQ(program.exit_status(30), 0u);
    }
}

// Every text the run can write fits its static on one line, measured with
// the dialog's font, "MS Sans Serif" at 8 points.
TEST(Dialog, ShowsEveryLineWhole) {
    fs::path folder = test_folder();
    Program program(folder, stamped_exe());
    ASSERT_TRUE(program.dialog);
    HDC dc = GetDC(program.dialog);
    HFONT font = CreateFontA(-MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL,
                             FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "MS Sans Serif");
    HGDIOBJ old = SelectObject(dc, font);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    auto fits = [&](int id, const std::string &text) {
        RECT client;
        GetClientRect(GetDlgItem(program.dialog, id), &client);
        SIZE size;
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
        EXPECT_LE(size.cx, client.right)
            << "control " << id << " at " << dpi << " DPI: \"" << text << "\"";
    };
    for (const StatusLine &line : status_lines)
        for (const char *word : {passed_word, failed_word})
            fits(line.control_id, std::string(line.stage_text) + word);
    for (const Verdict &v : {passed_verdict, failed_verdict}) {
        fits(IDC_VERDICT, v.line);
        fits(IDC_VERDICT_DETAIL, v.detail);
    }
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(program.dialog, dc);
    // The banner fills the dialog's width, at any DPI.
    RECT dialog_client, banner;
    GetClientRect(program.dialog, &dialog_client);
    GetClientRect(GetDlgItem(program.dialog, IDC_BANNER), &banner);
    EXPECT_NEAR(banner.right, dialog_client.right, 2) << "at " << dpi << " DPI";
    program.command(IDC_BUTTON);
    EXPECT_EQ(program.exit_status(30), 0u);
}

// ---- The message table ----

std::vector<std::string> recorded_urls() {
    std::ifstream in(url_record);
    std::vector<std::string> urls;
    for (std::string line; std::getline(in, line);)
        urls.push_back(line);
    return urls;
}

// Routes the shell's web page requests to a script that records them.
void record_web_pages() {
    std::string browser = url_browser;
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\WineBrowser", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Browsers", 0, REG_SZ, reinterpret_cast<const BYTE *>(browser.c_str()),
                   static_cast<DWORD>(browser.size() + 1));
    RegCloseKey(key);
    std::ofstream(url_record, std::ios::trunc);
}

std::vector<std::string> wait_for_urls(std::size_t count) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000; Sleep(50))
        if (recorded_urls().size() >= count)
            break;
    return recorded_urls();
}

TEST(Dialog, OnlyThePushButtonAndTheCloseBoxEndIt) {
    record_web_pages();
    fs::path folder = test_folder();
    write_file(folder / "qor.nfo", genuine(filler(7000)));
    Program program(folder, stamped_exe());
    ASSERT_TRUE(program.dialog);

    // Escape reaches the dialog through its message loop; the banner click
    // posted after it is handled after it, so once the page has opened the
    // Escape key has been seen and ignored.
    PostMessageA(GetDlgItem(program.dialog, IDC_BUTTON), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(program.dialog, WM_COMMAND, MAKEWPARAM(IDC_BANNER, STN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(program.dialog, IDC_BANNER)));
    EXPECT_EQ(wait_for_urls(1), std::vector<std::string>{web_page});
    for (int id : {IDOK, IDCANCEL, IDC_PROGRESS_FRAME, IDC_VERDICT, IDC_PROGRESS_BAR})
        program.command(id);
    EXPECT_TRUE(IsWindow(program.dialog));
    EXPECT_EQ(program.exit_status(0), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(recorded_urls().size(), 1u) << "the banner opened the page more than once";

    program.command(IDC_BUTTON);
    EXPECT_EQ(program.exit_status(30), 0u);

    Program closed(folder, stamped_exe());
    ASSERT_TRUE(closed.dialog);
    PostMessageA(closed.dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(closed.exit_status(30), 0u);
}

// ---- The compiled resources ----

struct Resource {
    const std::uint8_t *data;
    std::size_t size;
};

Resource find_resource(HMODULE module, const char *name, const char *type) {
    HRSRC found = FindResourceA(module, name, type);
    if (!found)
        return {nullptr, 0};
    return {static_cast<const std::uint8_t *>(LockResource(LoadResource(module, found))),
            SizeofResource(module, found)};
}

// Reads an extended dialog template field by field.
struct TemplateReader {
    const std::uint8_t *p;
    std::uint16_t word() {
        std::uint16_t v = static_cast<std::uint16_t>(p[0] | p[1] << 8);
        p += 2;
        return v;
    }
    std::uint32_t dword() {
        std::uint32_t lo = word();
        return lo | static_cast<std::uint32_t>(word()) << 16;
    }
    // A string, or an ordinal written as "#n".
    std::string sz_or_ord() {
        std::uint16_t first = word();
        if (first == 0xFFFF)
            return std::string(1, '#').append(std::to_string(word()));
        std::string s;
        for (std::uint16_t c = first; c != 0; c = word())
            s += static_cast<char>(c);
        return s;
    }
    void align(const std::uint8_t *base) {
        while ((p - base) % 4)
            ++p;
    }
};

// Class names are case-insensitive; the resource compiler writes other
// classes in upper case, and may write the predefined ones as ordinals.
std::string class_name(const std::string &cls) {
    if (cls == "#128")
        return "BUTTON";
    if (cls == "#130")
        return "STATIC";
    std::string upper = cls;
    CharUpperA(upper.data());
    return upper;
}

TEST(Resources, HoldTemplateOneBannerAndIcon) {
    HMODULE module = LoadLibraryExA(qorcert_exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(module);

    // DPI aware: per monitor (version 2) where Windows has it, per monitor
    // or system-aware before. Wine scales nothing itself, so this is what
    // a test can hold on to beside the screenshots.
    Resource manifest = find_resource(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_TRUE(manifest.data);
    const std::string text(reinterpret_cast<const char *>(manifest.data), manifest.size);
    EXPECT_NE(text.find(">true/pm</dpiAware>"), std::string::npos) << text;
    EXPECT_NE(text.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos) << text;

    Resource dialog = find_resource(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(5)); // RT_DIALOG
    ASSERT_TRUE(dialog.data);
    TemplateReader r = {dialog.data};
    EXPECT_EQ(r.word(), 1);      // dlgVer
    EXPECT_EQ(r.word(), 0xFFFF); // signature: extended template
    EXPECT_EQ(r.dword(), 0u);    // helpID
    EXPECT_EQ(r.dword(), 1u);    // exStyle: WS_EX_DLGMODALFRAME
    EXPECT_EQ(r.dword(), 0x90C808C5u);
    std::uint16_t count = r.word();
    EXPECT_EQ(count, 12);
    const std::uint16_t frame[4] = {0, 0, 208, 207};
    for (std::uint16_t v : frame)
        EXPECT_EQ(r.word(), v);
    EXPECT_EQ(r.sz_or_ord(), ""); // no menu
    EXPECT_EQ(r.sz_or_ord(), ""); // the standard dialog class
    r.sz_or_ord();                // the design-time caption, never shown
    EXPECT_EQ(r.word(), 8);       // points
    EXPECT_EQ(r.word(), 0);       // weight
    EXPECT_EQ(r.p[0], 0);         // not italic
    EXPECT_EQ(r.p[1], 0);         // character set
    r.p += 2;
    EXPECT_EQ(r.sz_or_ord(), "MS Sans Serif");

    const struct {
        int id;
        const char *cls, *text;
        std::uint32_t style;
        std::uint16_t x, y, cx, cy;
    } controls[12] = {
        {109, "STATIC", "#1", 0x5000010E, 0, 0, 208, 38},
        {101, "BUTTON", "Results", 0x50020007, 12, 120, 184, 39},
        {107, "STATIC", "", 0x50000000, 21, 132, 170, 8},
        {111, "BUTTON", "QOR ROCK", 0x50010300, 81, 188, 44, 13},
        {106, "BUTTON", "Progress Report", 0x50020007, 12, 44, 184, 72},
        {102, "STATIC", "", 0x50000000, 21, 56, 170, 8},
        {103, "STATIC", "", 0x50000000, 21, 67, 170, 8},
        {104, "STATIC", "", 0x50000000, 21, 78, 170, 8},
        {108, "STATIC", "", 0x50000000, 21, 100, 170, 8},
        {105, "STATIC", "", 0x50000000, 21, 89, 170, 8},
        {112, "STATIC", "", 0x50000000, 21, 143, 170, 8},
        {1000, "msctls_progress32", "Progress1", 0x50800000, 24, 168, 159, 12},
    };
    for (int i = 0; i < count && i < 12; ++i) {
        const auto &want = controls[i];
        r.align(dialog.data);
        EXPECT_EQ(r.dword(), 0u) << "helpID of control " << i;
        EXPECT_EQ(r.dword(), 0u) << "exStyle of control " << i;
        EXPECT_EQ(r.dword(), want.style) << "style of control " << i;
        const std::uint16_t rect[4] = {want.x, want.y, want.cx, want.cy};
        for (std::uint16_t v : rect)
            EXPECT_EQ(r.word(), v) << "rectangle of control " << i;
        EXPECT_EQ(r.dword(), static_cast<std::uint32_t>(want.id)) << "control " << i;
        EXPECT_EQ(class_name(r.sz_or_ord()), class_name(want.cls)) << "control " << i;
        EXPECT_EQ(r.sz_or_ord(), want.text) << "control " << i;
        EXPECT_EQ(r.word(), 0) << "creation data of control " << i;
    }

    Resource banner = find_resource(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(2)); // RT_BITMAP
    ASSERT_TRUE(banner.data);
    BITMAPINFOHEADER bmp;
    std::memcpy(&bmp, banner.data, sizeof bmp);
    EXPECT_EQ(bmp.biWidth, 312);
    EXPECT_EQ(bmp.biHeight, 62); // positive: rows bottom-up
    EXPECT_EQ(bmp.biBitCount, 8);
    EXPECT_EQ(bmp.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_TRUE(bmp.biClrUsed == 0 || bmp.biClrUsed == 256);
    EXPECT_EQ(banner.size, sizeof bmp + 256 * 4 + 312 * 62);

    Resource group = find_resource(module, "ID1_ICON1", MAKEINTRESOURCEA(14)); // RT_GROUP_ICON
    ASSERT_TRUE(group.data);
    TemplateReader g = {group.data};
    EXPECT_EQ(g.word(), 0); // reserved
    EXPECT_EQ(g.word(), 1); // icons
    EXPECT_EQ(g.word(), 1); // one image
    EXPECT_EQ(g.p[0], 32);
    EXPECT_EQ(g.p[1], 32);
    EXPECT_EQ(g.p[2], 16); // colours
    g.p += 4;
    g.word();               // planes
    EXPECT_EQ(g.word(), 4); // bits per pixel
    g.dword();
    std::uint16_t image_id = g.word();
    Resource image =
        find_resource(module, MAKEINTRESOURCEA(image_id), MAKEINTRESOURCEA(3)); // RT_ICON
    ASSERT_TRUE(image.data);
    BITMAPINFOHEADER ico;
    std::memcpy(&ico, image.data, sizeof ico);
    EXPECT_EQ(ico.biWidth, 32);
    EXPECT_EQ(ico.biHeight, 64); // image and mask
    EXPECT_EQ(ico.biBitCount, 4);
    FreeLibrary(module);
}

} // namespace
