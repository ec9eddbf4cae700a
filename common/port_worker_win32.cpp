// port_worker_win32: the port worker thread, its message-only
// "comport32loader" window and the posting of the user-interface thread's
// requests to it.
//
// Every request is a posted WM_COMMAND and runs inside DispatchMessageA to
// its end: the thread takes posted messages only in its loop, so requests
// run one at a time, in the order they were posted. A port change carries
// its kind in the low word (ID_COM_OPEN, ID_COM_CLOSE), POSTED_CHANGE in the
// high word and the port to open in lParam. A WM_CLOSE sent while a request
// runs (inside one of its sends) closes the port and the window once it has
// returned.
//
// The window is made message-only (parent HWND_MESSAGE, Windows 2000 and
// later) and the thread's IME is disabled before it: a top-level window of a
// thread that takes no message for 5 s, as this one does through a whole
// transfer, is what Windows counts as hung, and broadcasts and the
// session-end query would wait on it. imm32 comes by its full path from the
// system folder, like every library the tools load at run time.
#include "port_worker.h"

#include <windows.h>

#include "log_view.h"
#include "serial_port.h"
#include "shell_handles.h"
#include "system_library_win32.h"

enum {
    PORT_WORKER_CLASS_STYLE = CS_PARENTDC | CS_NOCLOSE,  // 0x280
    PORT_WORKER_STYLE = 0xC6000000,  // WS_POPUP | WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, hidden
    WORKER_START_WAIT_MS = 2000,     // longest wait for a starting worker's window
    WORKER_START_POLL_MS = 5,
    POSTED_CHANGE = 1,               // high word of a posted open or close
};

static const char PORT_WORKER_CLASS[] = "comport32loader";

// Port worker thread only: a WM_CLOSE came while a request ran.
static int s_close_when_done = 0;

// Set by StartPortWorker before the thread starts, then only read.
static const PortWorkerHooks* s_hooks = nullptr;

static void ClosePortAndWindow(HWND window)
{
    CloseComPort();
    DestroyWindow(window);
}

static LRESULT PortWorkerCommand(HWND window, WPARAM wparam, LPARAM lparam)
{
    unsigned command = LOWORD(wparam);
    if ((command == ID_COM_OPEN || command == ID_COM_CLOSE) && HIWORD(wparam) == POSTED_CHANGE) {
        WorkerRunPortChange(command, static_cast<int>(lparam), s_hooks->port_changed);
    } else if (s_hooks->transfer && command == s_hooks->transfer_command) {
        WorkerRunTransfer(s_hooks->transfer, s_hooks->transfer_done);
    } else {
        return 0;
    }
    if (s_close_when_done)
        ClosePortAndWindow(window);
    return 0;
}

static LRESULT CALLBACK PortWorkerWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        return 0;
    case WM_DESTROY:
        g_port_worker_window = nullptr;
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        if (BeginPaint(window, &ps))
            EndPaint(window, &ps);
        return 0;
    }
    case WM_NCPAINT:
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_CLOSE:
        // During a request: the close waits for it, and its sender does not.
        if (WorkerBusy()) {
            s_close_when_done = 1;
            ReplyMessage(0);
            return 0;
        }
        ClosePortAndWindow(window);
        return 0;
    case WM_COMMAND:
        return PortWorkerCommand(window, wparam, lparam);
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

typedef BOOL(WINAPI* ImmDisableImeFn)(DWORD);

// No IME window for this thread: it would be a top-level window of a thread
// that pumps only between requests. Where imm32 or the call is missing
// there is no IME to disable.
static void DisableImeForThisThread()
{
    auto disable = reinterpret_cast<ImmDisableImeFn>(LibraryCall(LoadSystemLibrary(L"imm32.dll"), "ImmDisableIME"));
    if (disable)
        disable(GetCurrentThreadId());
}

static DWORD WINAPI PortWorkerThread(LPVOID)
{
    DisableImeForThisThread();
    HWND window = CreateWindowExA(0, PORT_WORKER_CLASS, "", PORT_WORKER_STYLE, 0, 0, 0, 0,
                                  HWND_MESSAGE, nullptr, g_instance.load(), nullptr);
    g_port_worker_window = window;
    if (!window) {
        ErrorBox("Failed create ComPort window");
        ExitThread(0);
    }
    // Messages of the worker window only.
    MSG msg;
    while (IsWindow(g_port_worker_window.load())) {
        if (GetMessageA(&msg, g_port_worker_window.load(), 0, 0) <= 0)
            break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    ExitThread(0);
    return 0;
}

int StartPortWorker(const PortWorkerHooks* hooks)
{
    s_hooks = hooks;
    WNDCLASSA wc = {};
    wc.style = PORT_WORKER_CLASS_STYLE;
    wc.lpfnWndProc = PortWorkerWndProc;
    wc.hInstance = g_instance.load();
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = PORT_WORKER_CLASS;
    if (!RegisterClassA(&wc))
        return ErrorBox("Failed register modbus class !");

    HANDLE thread = CreateThread(nullptr, 0, PortWorkerThread, nullptr, 0, nullptr);
    g_port_worker_thread = thread;
    if (!thread)
        return ErrorBox("Failed create new thread");
    return 1;
}

// The worker window, waiting briefly when the thread has started but not
// yet created it: start-up shows the panel without waiting for the worker,
// and a port picked at once must not be dropped without a word. A worker
// whose window creation failed (its thread has ended) or that is gone gives
// nullptr, and the request is dropped.
static HWND WorkerWindow()
{
    HWND worker = g_port_worker_window.load();
    HANDLE thread = static_cast<HANDLE>(g_port_worker_thread.load());
    for (unsigned waited = 0; !worker && thread && waited < WORKER_START_WAIT_MS;
         waited += WORKER_START_POLL_MS) {
        if (WaitForSingleObject(thread, WORKER_START_POLL_MS) != WAIT_TIMEOUT)
            break;  // the thread has ended: no window will come
        worker = g_port_worker_window.load();
    }
    return worker;
}

int PostPortChange(unsigned command, int com)
{
    HWND worker = WorkerWindow();
    return worker && PostMessageA(worker, WM_COMMAND, MAKEWPARAM(command, POSTED_CHANGE), com);
}

void RequestTransfer()
{
    HWND worker = WorkerWindow();
    if (worker && s_hooks)
        PostMessageA(worker, WM_COMMAND, MAKEWPARAM(s_hooks->transfer_command, 0), 0);
}

void WorkerPause(unsigned ms) { Sleep(ms); }
