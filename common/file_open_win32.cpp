// file_open on Windows: the UTF-8 path becomes UTF-16 for _wfopen (both the
// conversion and _wfopen exist on Windows XP).
#include "file_open.h"

#include <windows.h>
#include <stdlib.h>

FILE* OpenFileForReading(const char* utf8_path)
{
    int chars = MultiByteToWideChar(CP_UTF8, 0, utf8_path, -1, nullptr, 0);
    if (chars <= 0)
        return nullptr;
    wchar_t* wide = static_cast<wchar_t*>(malloc(chars * sizeof(wchar_t)));
    if (!wide)
        return nullptr;
    FILE* file = nullptr;
    if (MultiByteToWideChar(CP_UTF8, 0, utf8_path, -1, wide, chars) == chars)
        file = _wfopen(wide, L"rb");
    free(wide);
    return file;
}
