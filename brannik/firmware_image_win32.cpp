// The open-file dialog for a .zel image (user-interface thread). The request
// and its buffers are kept between calls; the dialog opens with no file name
// filled in each time. The dialog and the path are wide characters, so a
// folder named in any language can be chosen and opened: the ANSI dialog
// turns letters outside the code page into '?'. The path reaches the loader
// as UTF-8.
//
// The dialog moves the process's current directory to the folder it
// browsed (OFN_NOCHANGEDIR does not stop that for an open dialog), and a
// process holds its current directory: a USB stick holding the image could
// not be ejected nor its folder renamed while the tool runs. The directory
// is put back as it was as soon as the dialog returns, whatever the user
// chose.
#include "firmware_image.h"

#include <windows.h>
#include <commdlg.h>
#include <stddef.h>
#include <string.h>

// The classic request record, up to lpTemplateName: 76 bytes in the 32-bit
// exe; the 64-bit exe needs the same record with 64-bit pointers.
static const DWORD OPEN_REQUEST_BYTES = offsetof(OPENFILENAMEW, lpTemplateName) + sizeof(LPCWSTR);
static_assert(sizeof(void*) != 4 || OPEN_REQUEST_BYTES == 76, "the classic record is 76 bytes");

enum {
    OPEN_NAME_CHARS = 8192,         // full path chosen
    OPEN_FLAGS = OFN_NOLONGNAMES | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST,  // 0x41800
    UTF8_BYTES_PER_CHAR = 3,        // a UTF-16 unit takes at most 3 bytes (a pair takes 4)
};

static OPENFILENAMEW s_request;
static wchar_t s_file_name[OPEN_NAME_CHARS];
static wchar_t s_file_title[OPEN_NAME_CHARS];
static wchar_t s_initial_dir[1];
static char s_path_utf8[OPEN_NAME_CHARS * UTF8_BYTES_PER_CHAR];
static wchar_t s_current_dir[OPEN_NAME_CHARS];  // before the dialog

int OpenFirmwareFile(void* owner)
{
    s_file_name[0] = L'\0';
    s_initial_dir[0] = L'\0';

    memset(&s_request, 0, sizeof s_request);
    s_request.lStructSize = OPEN_REQUEST_BYTES;
    s_request.hwndOwner = static_cast<HWND>(owner);
    s_request.lpstrFilter = L"ZEL binary flash (*.zel)\0*.zel\0\0";
    s_request.nFilterIndex = 1;
    s_request.lpstrFile = s_file_name;
    s_request.nMaxFile = OPEN_NAME_CHARS;
    s_request.lpstrFileTitle = s_file_title;
    s_request.nMaxFileTitle = OPEN_NAME_CHARS;
    s_request.lpstrInitialDir = s_initial_dir;
    s_request.lpstrTitle = L"Open";
    s_request.Flags = OPEN_FLAGS;

    DWORD kept = GetCurrentDirectoryW(OPEN_NAME_CHARS, s_current_dir);
    BOOL chosen = GetOpenFileNameW(&s_request);
    if (kept > 0 && kept < OPEN_NAME_CHARS)
        SetCurrentDirectoryW(s_current_dir);
    // Cancelled (or the dialog failed): nothing shown, the image held stays.
    if (!chosen)
        return 0;
    // The buffer holds any path the dialog can return; a failed conversion
    // leaves an empty path, which the loader refuses as unopenable.
    if (!WideCharToMultiByte(CP_UTF8, 0, s_file_name, -1, s_path_utf8, sizeof s_path_utf8, nullptr, nullptr))
        s_path_utf8[0] = '\0';
    return LoadFirmwareImage(s_path_utf8);
}
