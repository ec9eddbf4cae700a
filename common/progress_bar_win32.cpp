// Win32 progress bar operations: synchronous sends to the front panel's
// msctls_progress32 control, looked up anew on every call so that they do
// nothing before the front panel exists. Called on the port worker thread.
#include "progress_bar.h"

#include <windows.h>
#include <commctrl.h>

#include "tool_shell.h"

static HWND ProgressBar()
{
    HWND panel = g_front_panel.load();
    return panel ? GetDlgItem(panel, IDC_PROGRESS) : nullptr;
}

void ProgressBegin(unsigned steps)
{
    // The range's maximum is a 16-bit field: only the low 16 bits count.
    HWND bar = ProgressBar();
    if (bar)
        SendMessageA(bar, PBM_SETRANGE, 0, static_cast<LPARAM>((steps & 0xFFFFu) << 16));
    bar = ProgressBar();
    if (bar)
        SendMessageA(bar, PBM_SETSTEP, 1, 0);
}

void ProgressStep()
{
    HWND bar = ProgressBar();
    if (bar)
        SendMessageA(bar, PBM_STEPIT, 0, 0);
}

void ProgressReset()
{
    HWND bar = ProgressBar();
    if (bar)
        SendMessageA(bar, PBM_SETPOS, 0, 0);
}
