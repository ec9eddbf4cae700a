// log_menu_win32: the log view's context menu, the clipboard and the save
// dialog (see log_menu.h).
#include "log_menu.h"

#include <windows.h>
#include <commdlg.h>
#include <richedit.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "file_open.h"
#include "log_save.h"
#include "log_view.h"
#include "port_picker.h"
#include "serial_port.h"
#include "shell_handles.h"
#include "system_library_win32.h"
#include "tool_profile.h"

enum {
    ID_LOG_COPY = 1,
    ID_LOG_COPY_ALL = 2,
    ID_LOG_SAVE = 3,
    SAVE_NAME_CHARS = 8192,
    UTF8_BYTES_PER_CHAR = 3,
    MENU_KEY_OFFSET = 8,                // the menu key's menu opens this far inside the view's corner
    VERSION_SIGNATURE = 0xFEEF04BD,     // VS_FIXEDFILEINFO's first field
    CSIDL_DOCUMENTS = 0x0005,           // CSIDL_PERSONAL
};

// The view's text as it shows it, UTF-16: the Russian lines whatever the
// ANSI code page. Where the control does not take EM_GETTEXTEX, its ANSI
// text, which it then shows in the ANSI code page.
static std::u16string ViewText(HWND view)
{
    GETTEXTLENGTHEX length = {GTL_NUMCHARS, 1200};
    LRESULT n = SendMessageW(view, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0);
    if (n >= 0) {
        std::u16string text(static_cast<size_t>(n) * 2 + 2, u'\0');
        GETTEXTEX how = {static_cast<DWORD>(text.size() * sizeof(char16_t)), GT_DEFAULT, 1200, nullptr, nullptr};
        LRESULT got = SendMessageW(view, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&how),
                                   reinterpret_cast<LPARAM>(&text[0]));
        if (got > 0 || n == 0) {
            text.resize(static_cast<size_t>(got));
            return text;
        }
    }
    int bytes = GetWindowTextLengthA(view);
    std::string ansi(static_cast<size_t>(bytes) + 1, '\0');
    bytes = GetWindowTextA(view, &ansi[0], bytes + 1);
    int chars = MultiByteToWideChar(CP_ACP, 0, ansi.data(), bytes, nullptr, 0);
    std::u16string text(static_cast<size_t>(chars), u'\0');
    if (chars > 0)
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), bytes, reinterpret_cast<wchar_t*>(&text[0]), chars);
    return text;
}

static std::u16string LogAsShown()
{
    std::u16string text = ViewText(g_log_view.load());
    return LogTextWithCrLf(text.data(), text.size());
}

static void CopyLog(HWND panel)
{
    std::u16string text = LogAsShown();
    size_t bytes = (text.size() + 1) * sizeof(char16_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (!memory)
        return;
    void* at = GlobalLock(memory);
    memcpy(at, text.c_str(), bytes);
    GlobalUnlock(memory);
    if (OpenClipboard(panel)) {
        EmptyClipboard();
        if (SetClipboardData(CF_UNICODETEXT, memory))
            memory = nullptr;  // the clipboard's now
        CloseClipboard();
    }
    if (memory)
        GlobalFree(memory);
}

// The exe's own version record: "1.0.0.1".
static void ToolVersion(char* out, size_t size)
{
    snprintf(out, size, "unknown");
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const BYTE* bytes = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    DWORD n = found ? SizeofResource(nullptr, found) : 0;
    for (DWORD at = 0; bytes && at + 4 * 4 <= n; at += 4) {
        DWORD fields[4];
        memcpy(fields, bytes + at, sizeof fields);
        if (fields[0] == VERSION_SIGNATURE) {
            // signature, struct version, then the file version's two halves
            snprintf(out, size, "%lu.%lu.%lu.%lu", fields[2] >> 16, fields[2] & 0xFFFF, fields[3] >> 16,
                     fields[3] & 0xFFFF);
            return;
        }
    }
}

typedef LONG(WINAPI* RtlGetVersionFn)(OSVERSIONINFOW*);
typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, BOOL*);

// "10.0.19045, 64-bit": the version Windows really is (RtlGetVersion is not
// told a smaller one by the manifest) and whether Windows itself is 64-bit.
static void WindowsVersion(char* out, size_t size)
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    auto get = reinterpret_cast<RtlGetVersionFn>(SystemCall("ntdll.dll", "RtlGetVersion"));
    if (!get || get(&info) != 0) {
        info.dwOSVersionInfoSize = sizeof info;
        GetVersionExW(&info);
    }
    BOOL wow = FALSE;
    auto is_wow = reinterpret_cast<IsWow64ProcessFn>(SystemCall("kernel32.dll", "IsWow64Process"));
    if (is_wow)
        is_wow(GetCurrentProcess(), &wow);
    int bits = sizeof(void*) == 8 || wow ? 64 : 32;
    char pack[128] = "";
    if (info.szCSDVersion[0])
        WideCharToMultiByte(CP_UTF8, 0, info.szCSDVersion, -1, pack + 1, sizeof pack - 1, nullptr, nullptr);
    if (pack[1])
        pack[0] = ' ';
    snprintf(out, size, "%lu.%lu.%lu%s, %d-bit", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, pack,
             bits);
}

static std::string LogFile()
{
    char version[32], windows[192], saved[32], entry[PICKER_ENTRY_BYTES], port[LOG_PORT_TEXT_BYTES];
    ToolVersion(version, sizeof version);
    WindowsVersion(windows, sizeof windows);
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(saved, sizeof saved, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    int com = g_open_port.load();
    if (com)
        PortPickerEntry(com, entry, sizeof entry);
    LogPortText(com ? entry : nullptr, Tool().baud, port, sizeof port);
    LogFileHeader header = {Tool().log_name, version, windows, static_cast<int>(sizeof(void*) * 8), saved, port};
    return LogFileBytes(header, LogAsShown());
}

static std::wstring Wide(const char* text, UINT code_page)
{
    int n = MultiByteToWideChar(code_page, 0, text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(code_page, 0, text, -1, &wide[0], n);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

// The save dialog's request, as Open File's: the classic record, so that the
// dialog looks and behaves the same from XP on.
static const DWORD SAVE_REQUEST_BYTES = offsetof(OPENFILENAMEW, lpTemplateName) + sizeof(LPCWSTR);

// User-interface thread only: the folder last saved to ("" before the first save).
static wchar_t s_last_folder[SAVE_NAME_CHARS];
static wchar_t s_file_name[SAVE_NAME_CHARS];
static wchar_t s_current_dir[SAVE_NAME_CHARS];

typedef HRESULT(WINAPI* GetFolderPathFn)(HWND, int, HANDLE, DWORD, LPWSTR);

static void SaveLogAs(HWND panel)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    const int when[6] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    char name[96];
    LogFileName(Tool().log_name, when, name, sizeof name);
    MultiByteToWideChar(CP_UTF8, 0, name, -1, s_file_name, SAVE_NAME_CHARS);

    static wchar_t documents[MAX_PATH];
    const wchar_t* folder = s_last_folder;
    if (!s_last_folder[0]) {
        auto get = reinterpret_cast<GetFolderPathFn>(LibraryCall(LoadSystemLibrary(L"shell32.dll"), "SHGetFolderPathW"));
        if (get && SUCCEEDED(get(panel, CSIDL_DOCUMENTS, nullptr, 0, documents)))
            folder = documents;
    }

    OPENFILENAMEW request = {};
    request.lStructSize = SAVE_REQUEST_BYTES;
    request.hwndOwner = panel;
    request.lpstrFilter = L"Log files (*.log)\0*.log\0All files (*.*)\0*.*\0\0";
    request.nFilterIndex = 1;
    request.lpstrFile = s_file_name;
    request.nMaxFile = SAVE_NAME_CHARS;
    request.lpstrInitialDir = folder;
    request.lpstrDefExt = L"log";
    request.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;

    DWORD kept = GetCurrentDirectoryW(SAVE_NAME_CHARS, s_current_dir);
    BOOL chosen = GetSaveFileNameW(&request);
    if (kept > 0 && kept < SAVE_NAME_CHARS)
        SetCurrentDirectoryW(s_current_dir);
    if (!chosen)
        return;

    static char path[SAVE_NAME_CHARS * UTF8_BYTES_PER_CHAR];
    if (!WideCharToMultiByte(CP_UTF8, 0, s_file_name, -1, path, sizeof path, nullptr, nullptr))
        return;
    std::string file = LogFile();
    char reason[512];
    if (WriteWholeFile(path, file.data(), file.size(), reason, sizeof reason)) {
        lstrcpynW(s_last_folder, s_file_name, SAVE_NAME_CHARS);
        wchar_t* slash = wcsrchr(s_last_folder, L'\\');
        if (slash)
            *slash = L'\0';
        return;
    }
    std::wstring text = L"The log could not be saved to\n" + Wide(path, CP_UTF8) + L"\n\n" + Wide(reason, CP_UTF8) +
                        L"\n\nThe log is unchanged: save it again elsewhere.";
    MessageBoxW(panel, text.c_str(), Wide(Tool().error_title, 1251).c_str(), MB_OK | MB_ICONERROR);
}

int LogContextMenu(void* panel_window, void* from_window, long x, long y)
{
    HWND panel = static_cast<HWND>(panel_window);
    HWND from = static_cast<HWND>(from_window);
    HWND view = g_log_view.load();
    if (!view)
        return 0;
    RECT place;
    GetWindowRect(view, &place);
    POINT at = {x, y};
    if (x == -1 && y == -1) {  // the menu key or Shift+F10
        at.x = place.left + MENU_KEY_OFFSET;
        at.y = place.top + MENU_KEY_OFFSET;
    } else if (from != view && !PtInRect(&place, at)) {
        return 0;
    }

    HMENU menu = CreatePopupMenu();
    if (!menu)
        return 0;
    if (IsWindowEnabled(view)) {
        CHARRANGE selection = {0, 0};
        SendMessageA(view, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
        AppendMenuW(menu, MF_STRING | (selection.cpMin == selection.cpMax ? MF_GRAYED : 0), ID_LOG_COPY, L"&Copy");
    }
    AppendMenuW(menu, MF_STRING, ID_LOG_COPY_ALL, L"Copy &Log");
    AppendMenuW(menu, MF_STRING, ID_LOG_SAVE, L"&Save Log As...");
    int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, panel, nullptr);
    DestroyMenu(menu);
    if (chosen == ID_LOG_COPY)
        SendMessageA(view, WM_COPY, 0, 0);
    else if (chosen == ID_LOG_COPY_ALL)
        CopyLog(panel);
    else if (chosen == ID_LOG_SAVE)
        SaveLogAs(panel);
    return 1;
}
