// The open-file dialog for a .zel image (user-interface thread). The request
// and its buffers are kept between calls; the dialog opens with no file name
// filled in each time.
#include "firmware_image.h"

#include <windows.h>
#include <commdlg.h>
#include <stddef.h>
#include <string.h>

// The classic request record, up to lpTemplateName: 76 bytes in the 32-bit
// exe; the 64-bit exe needs the same record with 64-bit pointers.
static const DWORD OPEN_REQUEST_BYTES = offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR);
static_assert(sizeof(void*) != 4 || OPEN_REQUEST_BYTES == 76, "the classic record is 76 bytes");

enum {
    OPEN_NAME_CHARS = 8192,         // full path chosen
    OPEN_FLAGS = OFN_NOLONGNAMES | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST,  // 0x41800
};

static OPENFILENAMEA s_request;
static char s_file_name[OPEN_NAME_CHARS];
static char s_file_title[OPEN_NAME_CHARS];
static char s_initial_dir[1];

int OpenFirmwareFile(void* owner)
{
    s_file_name[0] = '\0';
    s_initial_dir[0] = '\0';

    memset(&s_request, 0, sizeof s_request);
    s_request.lStructSize = OPEN_REQUEST_BYTES;
    s_request.hwndOwner = static_cast<HWND>(owner);
    s_request.lpstrFilter = "ZEL binary flash (*.zel)\0*.zel\0\0";
    s_request.nFilterIndex = 1;
    s_request.lpstrFile = s_file_name;
    s_request.nMaxFile = OPEN_NAME_CHARS;
    s_request.lpstrFileTitle = s_file_title;
    s_request.nMaxFileTitle = OPEN_NAME_CHARS;
    s_request.lpstrInitialDir = s_initial_dir;
    s_request.lpstrTitle = "Open";
    s_request.Flags = OPEN_FLAGS;

    // Cancelled (or the dialog failed): nothing shown, the image held stays.
    if (!GetOpenFileNameA(&s_request))
        return 0;
    return LoadFirmwareImage(s_file_name);
}
