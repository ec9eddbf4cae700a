// Win32 progress bar operations: synchronous sends to the front panel's
// msctls_progress32 control, looked up anew on every call so that they do
// nothing before the front panel exists. Called on the port worker thread.
// The bar itself is subclassed on the user-interface thread so that a step
// that fills it is drawn at once (progress_bar.h): the extra moves cost no
// further cross-thread send.
#include "progress_bar.h"

#include <windows.h>
#include <commctrl.h>

#include "shell_handles.h"
#include "shell_ids.h"

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

// The bar's own procedure, saved by SnapProgressBar before the worker starts;
// read on the user-interface thread only.
static WNDPROC s_bar_proc = nullptr;

static LRESULT BarCall(HWND bar, UINT message, WPARAM wparam, LPARAM lparam)
{
    return CallWindowProcA(s_bar_proc, bar, message, wparam, lparam);
}

static LRESULT CALLBACK SnappingBarProc(HWND bar, UINT message, WPARAM wparam, LPARAM lparam)
{
    LRESULT result = BarCall(bar, message, wparam, lparam);
    if (message == PBM_STEPIT || message == PBM_SETPOS || message == PBM_DELTAPOS) {
        unsigned pos = static_cast<unsigned>(BarCall(bar, PBM_GETPOS, 0, 0));
        unsigned max = static_cast<unsigned>(BarCall(bar, PBM_GETRANGE, FALSE, 0));
        ProgressMove moves[PROGRESS_SNAP_MOVES];
        int n = ProgressSnapMoves(pos, max, moves);
        for (int i = 0; i < n; ++i) {
            if (moves[i].is_range)
                BarCall(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(moves[i].value));
            else
                BarCall(bar, PBM_SETPOS, static_cast<WPARAM>(moves[i].value), 0);
        }
    }
    return result;  // what the message itself answered (the previous position)
}

void SnapProgressBar(void* bar)
{
    HWND window = static_cast<HWND>(bar);
    s_bar_proc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC));
    if (s_bar_proc)
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SnappingBarProc));
}
