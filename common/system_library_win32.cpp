// system_library_win32: the DLL-search limit, made as the exe's first
// constructor, and the loading of system libraries by their full path.
#include "system_library_win32.h"

void* LibraryCall(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

void* SystemCall(const char* dll, const char* name)
{
    return LibraryCall(GetModuleHandleA(dll), name);
}

// Where kernel32 has SetDefaultDllDirectories (Windows 8, Windows 7 with its
// update) later loads by name search the system folder only;
// SetDllDirectoryA("") takes the current folder out of the search (XP SP1
// and later). Looked up at run time, so Windows XP still starts.
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryAFn)(LPCSTR);
enum { SEARCH_SYSTEM32_ONLY = 0x00000800 };  // LOAD_LIBRARY_SEARCH_SYSTEM32, not in XP's headers

// Run as the program's first constructor (priority 101, the first a
// program may take): the C runtime's start-up runs the constructors before
// WinMain, the stack protector's among them, which asks the crypto API for
// its random guard and so loads DLLs. scripts/check_exes.sh checks that this
// one comes first in the exe's constructor table; every exe calls
// LoadSystemLibrary, which pulls this file and so the constructor in.
// Set by it: every load by name searches the system folder only.
static int s_system_folder_only = 0;

__attribute__((constructor(101))) static void SearchDllsInSystemFolderOnly()
{
    auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(SystemCall("kernel32.dll", "SetDefaultDllDirectories"));
    if (set_default && set_default(SEARCH_SYSTEM32_ONLY))
        s_system_folder_only = 1;
    auto set_directory = reinterpret_cast<SetDllDirectoryAFn>(SystemCall("kernel32.dll", "SetDllDirectoryA"));
    if (set_directory)
        set_directory("");
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n + 1 + lstrlenW(name) >= MAX_PATH)
        return nullptr;
    path[n] = L'\\';
    lstrcpyW(path + n + 1, name);
    // The library's own imports are loaded by name. With the limit above
    // they come from the system folder already. Without it (XP, Vista and 7
    // without KB2533623) the altered search looks for them first in the
    // library's own folder, the system folder, instead of the exe's.
    if (s_system_folder_only)
        return LoadLibraryW(path);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
