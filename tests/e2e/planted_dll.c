/* planted_dll: stands for a DLL that a browser or a zip left beside a tool
   in a Downloads folder (built as riched32.dll and as comctl32.dll). When a
   process loads it, it writes "<its own path>.loaded" naming that process,
   so that a test sees the load; it exports nothing, as such a file would
   not serve the tool. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH + 8];
        char exe[MAX_PATH];
        DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
        DWORD m = GetModuleFileNameA(NULL, exe, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            lstrcatA(path, ".loaded");
            HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (f != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                WriteFile(f, exe, m, &written, NULL);
                CloseHandle(f);
            }
        }
    }
    return TRUE;
}
