// port_worker_win32: the port worker thread, its hidden "comport32loader"
// window and the three requests the user-interface thread makes of it.
//
// Open and close are sent; the tool's transfer is posted and runs inside
// DispatchMessageA to its end. While a transfer runs, its own synchronous
// sends to the user-interface thread let a sent open or close in: such a
// request is answered at once (ReplyMessage) and parked (port_worker.cpp),
// so the requester never waits on the transfer and the port never changes
// under it. A WM_CLOSE in that time closes the port and the window only
// once the transfer has returned.
#include "port_worker.h"

#include <windows.h>

#include "log_view.h"
#include "serial_port.h"
#include "tool_shell.h"

enum {
    PORT_WORKER_CLASS_STYLE = CS_PARENTDC | CS_NOCLOSE,  // 0x280
    PORT_WORKER_STYLE = 0xC6000000,  // WS_POPUP | WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, hidden
    WORKER_START_WAIT_MS = 2000,     // longest wait for a starting worker's window
    WORKER_START_POLL_MS = 5,
};

static const char PORT_WORKER_CLASS[] = "comport32loader";

// Port worker thread only: a WM_CLOSE came while a transfer ran.
static int s_close_after_transfer = 0;

enum {
    POSTED_REQUEST = 1,  // high word of a posted open or close
};

// The tool's after_port_change runs on the user-interface thread, where
// the port, the image and the panel cannot change while it decides.
static void SendPortChanged()
{
    SendMessageA(g_main_window.load(), WM_SHELL_PORT_CHANGED, 0, 0);
}

static void SendTransferDone()
{
    SendMessageA(g_main_window.load(), WM_SHELL_TRANSFER_DONE, 0, 0);
}

static LRESULT PortWorkerCommand(HWND window, WPARAM wparam)
{
    unsigned command = LOWORD(wparam);
    const ShellProfile* shell = Shell();
    void (*after_port_change)() = shell && shell->after_port_change ? SendPortChanged : nullptr;
    if ((command == ID_COM_OPEN || command == ID_COM_CLOSE) && HIWORD(wparam) == POSTED_REQUEST) {
        WorkerRunPostedRequest(command, after_port_change);
        return 0;
    }
    if (command == ID_COM_OPEN || command == ID_COM_CLOSE) {
        if (WorkerPortRequest(command))
            return 1;
        ReplyMessage(0);  // parked: the requester goes on; IsPortReady tells it later
        return 0;
    }
    if (shell && shell->transfer && command == shell->transfer_command) {
        WorkerRunTransfer(shell->transfer, after_port_change, shell->after_transfer ? SendTransferDone : nullptr);
        if (s_close_after_transfer)
            DestroyWindow(window);
    }
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
        // During a transfer: the close waits for it like a close request.
        if (!WorkerPortRequest(ID_COM_CLOSE)) {
            s_close_after_transfer = 1;
            ReplyMessage(0);
            return 0;
        }
        DestroyWindow(window);
        return 0;
    case WM_COMMAND:
        return PortWorkerCommand(window, wparam);
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

static DWORD WINAPI PortWorkerThread(LPVOID)
{
    HWND window = CreateWindowExA(0, PORT_WORKER_CLASS, "", PORT_WORKER_STYLE, 0, 0, 0, 0,
                                  nullptr, nullptr, g_instance.load(), nullptr);
    g_port_worker_window = window;
    if (!window) {
        ErrorBox("Failed create ComPort window");
        ExitThread(0);
    }
    // Messages of the worker window only; sent requests are served inside
    // GetMessageA ahead of posted transfers.
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

int StartPortWorker()
{
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

static void SendRequest(unsigned command)
{
    HWND worker = WorkerWindow();
    if (worker)
        SendMessageA(worker, WM_COMMAND, MAKEWPARAM(command, 0), 0);
}

void RequestPortOpen() { SendRequest(ID_COM_OPEN); }

void RequestPortClose() { SendRequest(ID_COM_CLOSE); }

void RequestTransfer()
{
    HWND worker = WorkerWindow();
    const ShellProfile* shell = Shell();
    if (worker && shell)
        PostMessageA(worker, WM_COMMAND, MAKEWPARAM(shell->transfer_command, 0), 0);
}

void PostPortRequest(unsigned command)
{
    HWND worker = WorkerWindow();
    if (worker)
        PostMessageA(worker, WM_COMMAND, MAKEWPARAM(command, POSTED_REQUEST), 0);
}

void SleepMs(unsigned ms) { Sleep(ms); }
