// system_library_win32: the one way the tools reach a library of Windows'
// own at run time, at the bottom of the framework (it includes nothing of
// it). Either thread.
//
// A DLL loaded by name is looked for in the exe's folder first, and a tool
// is run from where it was unpacked, often Downloads: nothing lying there
// may be loaded. So before any other code of the exe runs (its first
// constructor, SearchDllsInSystemFolderOnly) the DLL search is limited to
// the system folder as far as this Windows allows, and every library the
// tools load is loaded by its full path in the system folder.
#pragma once

#include <windows.h>

// A library of Windows' own, by its full path in the system folder (for a
// 32-bit tool on 64-bit Windows the redirector maps it to the 32-bit one):
// loaded by name, Windows would take a file of that name lying beside the
// exe first. nullptr when it is missing. Loaded for the life of the process.
HMODULE LoadSystemLibrary(const wchar_t* name);
// A call of a loaded library, found at run time so that a Windows lacking
// it still starts; nullptr where it or the library (nullptr) is missing.
void* LibraryCall(HMODULE module, const char* name);
// A call of a system DLL the exe imports (so loaded already), or nullptr
// where this Windows lacks it.
void* SystemCall(const char* dll, const char* name);
