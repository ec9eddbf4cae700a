// Win32 progress bar operations: synchronous sends to the front panel's
// msctls_progress32 control, looked up anew on every call so that they do
// nothing before the front panel exists. Called on the port worker thread.
// The bar itself is subclassed on the user-interface thread so that a step
// that fills it is drawn at once (progress_bar.h): the extra moves cost no
// further cross-thread send.
//
// The run's state reaches the bar as a private message too, so the bar's
// own state (PBM_SETSTATE, Vista and later; XP's bar ignores it), the
// taskbar button (ITaskbarList3, Windows 7 and later, once Windows has said
// the button exists) and the end's signal are all made on the
// user-interface thread, where the taskbar's COM object lives.
#include "progress_bar.h"

#include <windows.h>
#include <commctrl.h>
#include <shobjidl.h>

#include "shell_handles.h"
#include "shell_ids.h"
#include "system_library_win32.h"

enum {
    WM_PROGRESS_RUN = WM_APP + 20,  // to the bar: wParam RunShown, lParam 1 when the run's end is signalled
    BAR_SETSTATE = WM_USER + 16,    // PBM_SETSTATE, not in XP's headers
    BAR_STATE_NORMAL = 1,           // PBST_NORMAL
    BAR_STATE_ERROR = 2,            // PBST_ERROR
};

static HWND ProgressBar()
{
    HWND panel = g_front_panel.load();
    return panel ? GetDlgItem(panel, IDC_PROGRESS) : nullptr;
}

static void SendRun(RunShown shown, int signalled)
{
    HWND bar = ProgressBar();
    if (bar)
        SendMessageA(bar, WM_PROGRESS_RUN, static_cast<WPARAM>(shown), signalled);
}

void ProgressRunWaiting() { SendRun(RUN_WAITING, 0); }
void ProgressRunFailed() { SendRun(RUN_FAILED, 1); }
void ProgressRunSucceeded() { SendRun(RUN_NONE, 1); }
void ProgressRunStopped() { SendRun(RUN_NONE, 0); }

void ProgressBegin(unsigned steps)
{
    SendRun(RUN_PROGRESS, 0);
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

// User-interface thread only: how the run stands, and the taskbar button's
// list once Windows has made the button (nullptr before, and on XP and Vista).
static LRESULT BarCall(HWND bar, UINT message, WPARAM wparam, LPARAM lparam)
{
    return CallWindowProcA(s_bar_proc, bar, message, wparam, lparam);
}

static RunShown s_shown = RUN_NONE;
static ITaskbarList3* s_taskbar = nullptr;

// CLSID_TaskbarList and IID_ITaskbarList3, here so that no GUID library is linked.
static const GUID TASKBAR_LIST_CLASS = {0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
static const GUID TASKBAR_LIST_3 = {0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};

typedef HRESULT(WINAPI* CoInitializeFn)(LPVOID);
typedef HRESULT(WINAPI* CoCreateInstanceFn)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);

static void ShowOnTaskbar(HWND bar)
{
    HWND button = g_main_window.load();
    if (!s_taskbar || !button)
        return;
    unsigned pos = static_cast<unsigned>(BarCall(bar, PBM_GETPOS, 0, 0));
    unsigned max = static_cast<unsigned>(BarCall(bar, PBM_GETRANGE, FALSE, 0));
    TaskbarView view = TaskbarFor(s_shown, pos, max);
    static const TBPFLAG FLAGS[] = {TBPF_NOPROGRESS, TBPF_INDETERMINATE, TBPF_NORMAL, TBPF_ERROR};
    if (view.flag == TASKBAR_NORMAL || view.flag == TASKBAR_ERROR)
        s_taskbar->SetProgressValue(button, view.done, view.total);
    s_taskbar->SetProgressState(button, FLAGS[view.flag]);
}

void TaskbarButtonCreated()
{
    if (!s_taskbar) {
        HMODULE ole = LoadSystemLibrary(L"ole32.dll");
        auto init = reinterpret_cast<CoInitializeFn>(LibraryCall(ole, "CoInitialize"));
        auto create = reinterpret_cast<CoCreateInstanceFn>(LibraryCall(ole, "CoCreateInstance"));
        void* list = nullptr;
        if (!init || !create || FAILED(init(nullptr)) ||
            FAILED(create(TASKBAR_LIST_CLASS, nullptr, CLSCTX_INPROC_SERVER, TASKBAR_LIST_3, &list)))
            return;
        s_taskbar = static_cast<ITaskbarList3*>(list);
        if (FAILED(s_taskbar->HrInit())) {
            s_taskbar->Release();
            s_taskbar = nullptr;
            return;
        }
    }
    // A new button (Explorer restarted) starts empty: show the run again.
    HWND panel = g_front_panel.load();
    HWND bar = panel ? GetDlgItem(panel, IDC_PROGRESS) : nullptr;
    if (bar)
        ShowOnTaskbar(bar);
}

// The panel, or a box it owns, is what the technician looks at.
static int PanelInFront()
{
    HWND front = GetForegroundWindow();
    HWND panel = g_front_panel.load();
    return front && panel && (front == panel || GetWindow(front, GW_OWNER) == panel);
}

static void SignalRunEnd(int failed)
{
    if (!PanelInFront()) {
        FLASHWINFO flash = {sizeof flash, g_main_window.load(), FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
        FlashWindowEx(&flash);
    }
    MessageBeep(failed ? MB_ICONHAND : MB_ICONASTERISK);
}

void StopFlashingButton()
{
    FLASHWINFO flash = {sizeof flash, g_main_window.load(), FLASHW_STOP, 0, 0};
    if (flash.hwnd)
        FlashWindowEx(&flash);
}

static LRESULT CALLBACK SnappingBarProc(HWND bar, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_PROGRESS_RUN) {
        s_shown = static_cast<RunShown>(wparam);
        BarCall(bar, BAR_SETSTATE, s_shown == RUN_FAILED ? BAR_STATE_ERROR : BAR_STATE_NORMAL, 0);
        ShowOnTaskbar(bar);
        if (lparam)
            SignalRunEnd(s_shown == RUN_FAILED);
        return 0;
    }
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
    if (message == PBM_STEPIT || message == PBM_SETPOS || message == PBM_DELTAPOS || message == PBM_SETRANGE)
        ShowOnTaskbar(bar);
    return result;  // what the message itself answered (the previous position)
}

void SnapProgressBar(void* bar)
{
    HWND window = static_cast<HWND>(bar);
    s_bar_proc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC));
    if (s_bar_proc)
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SnappingBarProc));
}
