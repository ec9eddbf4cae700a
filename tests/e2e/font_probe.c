/* font_probe: loaded into a running tool by the panel driver (a remote
   thread calling LoadLibraryW), it reads what another process cannot: the
   font of each control of the tool's front panel. A thread of its own (the
   loader lock is held in DllMain) writes "<its own path>.txt", one line a
   control: "ID HEIGHT FACE" in UTF-8, then unloads the probe. */
#include <windows.h>

static HINSTANCE s_self;

static BOOL CALLBACK FindPanel(HWND window, LPARAM found)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId() && GetDlgItem(window, 1000)) { /* IDC_COMPORT */
        *(HWND*)found = window;
        return FALSE;
    }
    return TRUE;
}

static BOOL CALLBACK NoteFont(HWND control, LPARAM file)
{
    HFONT font = (HFONT)SendMessageW(control, WM_GETFONT, 0, 0);
    LOGFONTW face;
    char face8[LF_FACESIZE * 3], line[LF_FACESIZE * 3 + 32];
    DWORD written = 0;
    if (!font || !GetObjectW(font, sizeof face, &face))
        return TRUE;
    WideCharToMultiByte(CP_UTF8, 0, face.lfFaceName, -1, face8, sizeof face8, NULL, NULL);
    wsprintfA(line, "%d %ld %s\n", GetDlgCtrlID(control), face.lfHeight, face8);
    WriteFile((HANDLE)file, line, lstrlenA(line), &written, NULL);
    return TRUE;
}

static DWORD WINAPI Probe(LPVOID unused)
{
    wchar_t path[MAX_PATH + 8], part[MAX_PATH + 8];
    HWND panel = NULL;
    HANDLE file;
    DWORD n = GetModuleFileNameW(s_self, path, MAX_PATH);
    (void)unused;
    if (n > 0 && n < MAX_PATH) {
        lstrcpyW(part, path);
        lstrcatW(part, L".part");
        lstrcatW(path, L".txt");
        EnumWindows(FindPanel, (LPARAM)&panel);
        file = CreateFileW(part, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            if (panel)
                EnumChildWindows(panel, NoteFont, (LPARAM)file);
            CloseHandle(file);
            MoveFileExW(part, path, MOVEFILE_REPLACE_EXISTING);
        }
    }
    FreeLibraryAndExitThread(s_self, 0);
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE thread;
        s_self = self;
        thread = CreateThread(NULL, 0, Probe, NULL, 0, NULL);
        if (thread)
            CloseHandle(thread);
    }
    return TRUE;
}
