// tool_shell: start-up, main window, front panel initialisation and message
// loop shared by both tools. User-interface thread only.
//
// The port picker is filled at start-up and again whenever Windows reports a
// port arriving or leaving, and as its list drops down (port_picker.h).
#include "tool_shell.h"

#include <commctrl.h>
#include <dbt.h>

#include "log_menu.h"
#include "log_view.h"
#include "port_picker.h"
#include "port_worker.h"
#include "progress_bar.h"
#include "serial_port.h"
#include "system_library_win32.h"

static const ShellProfile* s_shell = nullptr;

enum {
    MAIN_DIALOG_RESOURCE = 103,     // front panel template
    MAIN_WINDOW_STYLE = 0x96880000, // WS_POPUPWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN
    PROGRESS_INITIAL_MAX = 2048,    // bar range before any transfer: 0..2048
};

static const char MAIN_CLASS[] = "main32Boot";

const ShellProfile* Shell() { return s_shell; }

void PostMainCommand(unsigned command)
{
    PostMessageA(g_main_window.load(), WM_COMMAND, MAKEWPARAM(0, command), 0);
}

void PostMainClose()
{
    PostMessageA(g_main_window.load(), WM_CLOSE, 0, 0);
}

HWND GetControlRect(HWND dialog, int id, RECT* rect)
{
    HWND control = GetDlgItem(dialog, id);
    if (!control)
        return nullptr;
    GetWindowRect(control, rect);
    POINT corner = {rect->left, rect->top};
    ScreenToClient(dialog, &corner);
    rect->left = corner.x;
    rect->top = corner.y;
    corner = {rect->right, rect->bottom};
    ScreenToClient(dialog, &corner);
    rect->right = corner.x;
    rect->bottom = corner.y;
    return control;
}

// A failure while the panel initialises: once the message loop runs, this
// acts as a press of "Exit" and the tool ends with exit code 0.
static INT_PTR FailPanelInit(HWND panel)
{
    PostMessageA(panel, WM_COMMAND, MAKEWPARAM(IDC_EXIT, 0), 0);
    return TRUE;
}

static INT_PTR InitFrontPanel(HWND panel)
{
    RECT place;
    if (!GetControlRect(panel, LOG_VIEW, &place)) {
        MessageBoxA(nullptr, "Failed GetControlRect -> LOG_VIEW", "Error", MB_OK);
        return FailPanelInit(panel);
    }
    const long rect[4] = {place.left, place.top, place.right, place.bottom};
    if (!CreateLogView(panel, rect))
        return FailPanelInit(panel);  // CreateLogView has shown its box
    DestroyWindow(GetDlgItem(panel, LOG_VIEW));

    HWND picker = GetDlgItem(panel, IDC_COMPORT);
    if (!picker) {
        MessageBoxA(nullptr, "Failed GetDlgItem -> IDC_COMPORT", "Error", MB_OK);
        return FailPanelInit(panel);
    }
    PickerUseOwnFont(picker);
    FillPortPicker(picker);  // "----" shown

    HWND bar = GetDlgItem(panel, IDC_PROGRESS);
    if (bar) {
        SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_INITIAL_MAX));
        SendMessageA(bar, PBM_SETSTEP, 1, 0);
        SnapProgressBar(bar);  // a themed bar shows where the transfer is
    }
    return TRUE;
}

// Clicks go to the tool; a change of the picker's selection (not typing in
// its edit field) stores the port and, for a port entry, posts the tool's
// "Select Port" to the main window. The list is made anew as it drops down.
static void PanelCommand(WPARAM wparam, LPARAM lparam)
{
    unsigned control = LOWORD(wparam);
    unsigned code = HIWORD(wparam);
    if (code == BN_CLICKED) {
        s_shell->panel_click(control);
    } else if (code == CBN_SELCHANGE && control == IDC_COMPORT) {
        HWND picker = reinterpret_cast<HWND>(lparam);
        int index = static_cast<int>(SendMessageA(picker, CB_GETCURSEL, 0, 0));
        if (s_shell->port_picked(index))
            PostMainCommand(s_shell->select_port_command);
        // Once the picker has put the entry into its edit field.
        PostMessageA(g_front_panel.load(), WM_SHELL_PICKER_START, 0, 0);
    } else if (code == CBN_DROPDOWN && control == IDC_COMPORT) {
        FillPortPicker(reinterpret_cast<HWND>(lparam));
    }
}

// Windows sends these to every top-level window, without registration: a
// port's device arrived or left, or some device node changed (an adapter
// whose port a driver is still setting up).
static int DeviceChangeMayMovePorts(WPARAM event, LPARAM data)
{
    if (event == DBT_DEVNODES_CHANGED)
        return 1;
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE)
        return 0;
    const DEV_BROADCAST_HDR* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    return header && header->dbch_devicetype == DBT_DEVTYP_PORT;
}

static INT_PTR CALLBACK FrontPanelProc(HWND panel, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        return InitFrontPanel(panel);
    case WM_COMMAND:
        PanelCommand(wparam, lparam);
        return TRUE;
    case WM_SHELL_PICKER_START:
        PickerShowStart(GetDlgItem(panel, IDC_COMPORT));
        return TRUE;
    case WM_CONTEXTMENU:
        return LogContextMenu(panel, reinterpret_cast<HWND>(wparam), static_cast<short>(LOWORD(lparam)),
                              static_cast<short>(HIWORD(lparam)))
                   ? TRUE
                   : FALSE;
    case WM_ACTIVATE:
        if (LOWORD(wparam) != WA_INACTIVE)
            StopFlashingButton();  // the technician came back to a run's end
        return FALSE;
    default:
        return FALSE;
    }
}

// Vista and later show the person ending the session why a program holds it
// up. Looked up at run time: Windows XP has no such calls.
typedef BOOL(WINAPI* ShutdownBlockReasonCreateFn)(HWND, LPCWSTR);
typedef BOOL(WINAPI* ShutdownBlockReasonDestroyFn)(HWND);

static void SetEndSessionReason(HWND window, int blocking)
{
    if (blocking) {
        auto create = reinterpret_cast<ShutdownBlockReasonCreateFn>(SystemCall("user32.dll", "ShutdownBlockReasonCreate"));
        if (create)
            create(window, L"A firmware flash is in progress. Ending now would leave the device half programmed.");
    } else {
        auto destroy = reinterpret_cast<ShutdownBlockReasonDestroyFn>(SystemCall("user32.dll", "ShutdownBlockReasonDestroy"));
        if (destroy)
            destroy(window);
    }
}

// WM_QUERYENDSESSION: the session may end exactly when the tool may close.
static LRESULT QueryEndSession(HWND window)
{
    int may_end = !s_shell->may_end_session || s_shell->may_end_session();
    SetEndSessionReason(window, !may_end);
    return may_end ? TRUE : FALSE;
}

// Windows 7 and later send it to the window whose taskbar button they made.
static UINT s_taskbar_button_created = 0;

static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == s_taskbar_button_created && message) {
        TaskbarButtonCreated();
        return 0;
    }
    switch (message) {
    case WM_CREATE:
    case WM_SIZE:
        return 0;
    case WM_DESTROY:
        g_main_window = nullptr;
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        if (s_shell->main_close)
            s_shell->main_close(window);
        return 0;
    case WM_COMMAND:
        return s_shell->main_command ? s_shell->main_command(window, wparam, lparam) : 0;
    case WM_QUERYENDSESSION:
        return QueryEndSession(window);
    case WM_DEVICECHANGE:
        if (DeviceChangeMayMovePorts(wparam, lparam) && g_front_panel.load()) {
            NotePortDevicesChanged();
            FillPortPicker(GetDlgItem(g_front_panel.load(), IDC_COMPORT));
        }
        return TRUE;
    case WM_SHELL_PORT_CHANGED:
        if (s_shell->after_port_change)
            s_shell->after_port_change();
        return 0;
    case WM_SHELL_TRANSFER_DONE:
        if (s_shell->after_transfer)
            s_shell->after_transfer();
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

int CreateMainWindow()
{
    s_taskbar_button_created = RegisterWindowMessageW(L"TaskbarButtonCreated");
    WNDCLASSA wc = {};
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = g_instance.load();
    wc.hIcon = LoadIconA(g_instance.load(), MAKEINTRESOURCEA(IDI_TOOL));  // taskbar, Alt+Tab
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = MAIN_CLASS;
    if (!RegisterClassA(&wc))
        return ErrorBox("Failed register class");

    HWND window = CreateWindowExA(0, MAIN_CLASS, Tool().title, MAIN_WINDOW_STYLE, 0, 0, 0, 0,
                                  nullptr, nullptr, g_instance.load(), nullptr);
    g_main_window = window;
    if (!window)
        return ErrorBox("Failed create window");
    // The small icon drawn from the icon's own small image at this DPI,
    // not shrunk from the large one. Kept for the life of the process.
    HANDLE small = LoadImageA(g_instance.load(), MAKEINTRESOURCEA(IDI_TOOL), IMAGE_ICON,
                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0);
    if (small)
        SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    return 1;
}

int CreateMainDialog()
{
    HWND panel = CreateDialogParamA(g_instance.load(), MAKEINTRESOURCEA(MAIN_DIALOG_RESOURCE),
                                    g_main_window.load(), FrontPanelProc, 0);
    g_front_panel = panel;
    if (!panel)
        return ErrorBox("Failed creating MainDialog: %i", static_cast<int>(GetLastError()));
    return 1;
}

// A window the running tool's main window owns and shows: its panel.
static BOOL CALLBACK FindShownOwned(HWND window, LPARAM found)
{
    HWND* owner_then_found = reinterpret_cast<HWND*>(found);
    if (GetWindow(window, GW_OWNER) == owner_then_found[0] && IsWindowVisible(window)) {
        owner_then_found[1] = window;
        return FALSE;
    }
    return TRUE;
}

// A second start brings the running tool's front panel to the front, or
// whatever box or dialog stands in front of it: the main window itself is
// hidden and 0 x 0, and making it the foreground window leaves the panel
// covered. This process was just started by the user, so Windows lets it
// hand the foreground on.
static void BringToFront(HWND running)
{
    HWND front = GetLastActivePopup(running);
    if (!front || front == running || !IsWindowVisible(front)) {
        HWND owner_then_found[2] = {running, nullptr};
        EnumWindows(FindShownOwned, reinterpret_cast<LPARAM>(owner_then_found));
        front = owner_then_found[1] ? GetLastActivePopup(owner_then_found[1]) : running;
    }
    if (IsIconic(front))
        ShowWindow(front, SW_RESTORE);
    SetForegroundWindow(front);
}

// The worker's reports come to the main window, so the tool's
// after_port_change and after_transfer run on the user-interface thread,
// where the port, the image and the panel cannot change while they decide.
static void SendPortChanged()
{
    SendMessageA(g_main_window.load(), WM_SHELL_PORT_CHANGED, 0, 0);
}

static void SendTransferDone()
{
    SendMessageA(g_main_window.load(), WM_SHELL_TRANSFER_DONE, 0, 0);
}

// Filled once from the profile before the worker starts.
static PortWorkerHooks s_worker_hooks = {};

int RunToolShell(const ShellProfile* shell, HINSTANCE instance)
{
    s_shell = shell;
    SetToolProfile(shell->tool);
    InitCommonControls();

    // One instance per tool: class and title together, so the two tools
    // can run side by side.
    HWND running = FindWindowA(MAIN_CLASS, Tool().title);
    if (running) {
        BringToFront(running);
        return 1;
    }
    if (shell->before_windows && !shell->before_windows())
        return 0;

    g_main_window = nullptr;
    g_front_panel = nullptr;
    g_log_view = nullptr;
    g_port_worker_window = nullptr;
    g_port_worker_thread = nullptr;
    g_instance = instance;

    if (!CreateMainWindow())
        return 0;
    if (!CreateMainDialog())
        return 0;
    s_worker_hooks.transfer_command = shell->transfer_command;
    s_worker_hooks.transfer = shell->transfer;
    s_worker_hooks.port_changed = shell->after_port_change ? SendPortChanged : nullptr;
    s_worker_hooks.transfer_done = shell->after_transfer ? SendTransferDone : nullptr;
    if (!StartPortWorker(&s_worker_hooks))
        return 0;
    if (shell->after_worker)
        shell->after_worker();
    ShowWindow(g_front_panel.load(), SW_SHOW);

    // No accelerators and no dialog keyboard handling.
    MSG msg = {};
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
