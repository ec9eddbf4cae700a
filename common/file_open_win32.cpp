// file_open on Windows: the UTF-8 path becomes UTF-16 for _wfopen and the
// file calls (the conversion, _wfopen, MoveFileExW and FormatMessageW all
// exist on Windows XP).
#include "file_open.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

// The UTF-8 path as UTF-16, malloc'ed, with room for `extra` more units;
// nullptr when it does not convert.
static wchar_t* WidePath(const char* utf8_path, int extra)
{
    int chars = MultiByteToWideChar(CP_UTF8, 0, utf8_path, -1, nullptr, 0);
    if (chars <= 0)
        return nullptr;
    wchar_t* wide = static_cast<wchar_t*>(malloc((chars + extra) * sizeof(wchar_t)));
    if (wide && MultiByteToWideChar(CP_UTF8, 0, utf8_path, -1, wide, chars) != chars) {
        free(wide);
        wide = nullptr;
    }
    return wide;
}

FILE* OpenFileForReading(const char* utf8_path)
{
    wchar_t* wide = WidePath(utf8_path, 0);
    FILE* file = wide ? _wfopen(wide, L"rb") : nullptr;
    free(wide);
    return file;
}

// Windows' own words for error, in the user's language, as UTF-8.
static void SystemReason(DWORD error, char* reason, size_t reason_size)
{
    wchar_t text[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                             text, sizeof text / sizeof text[0], nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' '))
        --n;
    text[n] = L'\0';
    if (n == 0 || !WideCharToMultiByte(CP_UTF8, 0, text, -1, reason, static_cast<int>(reason_size), nullptr, nullptr))
        snprintf(reason, reason_size, "error %lu", static_cast<unsigned long>(error));
}

int WriteWholeFile(const char* utf8_path, const void* bytes, size_t n, char* reason, size_t reason_size)
{
    static const wchar_t SUFFIX[] = L".saving";
    wchar_t* target = WidePath(utf8_path, 0);
    wchar_t* temp = WidePath(utf8_path, sizeof SUFFIX / sizeof SUFFIX[0]);
    if (!target || !temp) {
        free(target);
        free(temp);
        snprintf(reason, reason_size, "the file name cannot be used");
        return 0;
    }
    lstrcatW(temp, SUFFIX);

    DWORD error = 0;
    HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
    } else {
        const char* at = static_cast<const char*>(bytes);
        for (size_t done = 0; done < n && !error;) {
            DWORD chunk = n - done > 0x100000 ? 0x100000 : static_cast<DWORD>(n - done);
            DWORD wrote = 0;
            if (!WriteFile(file, at + done, chunk, &wrote, nullptr) || wrote == 0)
                error = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
            done += wrote;
        }
        if (!error && !FlushFileBuffers(file))
            error = GetLastError();
        if (!CloseHandle(file) && !error)
            error = GetLastError();
        if (!error && !MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            error = GetLastError();
        if (error)
            DeleteFileW(temp);
    }
    free(target);
    free(temp);
    if (error)
        SystemReason(error, reason, reason_size);
    return error == 0;
}
