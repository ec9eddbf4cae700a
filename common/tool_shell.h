// tool_shell: start-up and windowing skeleton shared by both tools (Win32).
//
// Owns the hidden main window (class
// "main32Boot", the single-instance rendezvous), the front panel (dialog 103)
// and its initialisation (log view over LOG_VIEW, port picker, progress bar
// range), the message loop and the exit code. What differs between the tools
// comes in through a ShellProfile: the tool profile, the handlers of the
// front panel's and main window's commands, the port worker's transfer, and
// two start-up hooks.
//
// The main window's class carries the tool's icon (resource IDI_TOOL) for
// the taskbar and Alt+Tab; each exe's manifest asks for Common Controls 6
// and declares it DPI aware, so the panel is laid out in dialog units at the
// screen's DPI.
//
// The top of the framework: it starts the port worker with the tool's
// transfer and reports that come back to the main window, and nothing in
// common/ includes it.
//
// Runs on the user-interface thread; it writes the shell handles
// (shell_handles.h) during start-up. Exit codes: 1 when the tool already
// runs, 0 on a start-up failure, else the quit message's code (0).
#pragma once

#include <windows.h>

#include "shell_handles.h"
#include "shell_ids.h"
#include "tool_profile.h"

struct ShellProfile {
    const ToolProfile* tool;
    // Port worker: the tool's transfer command (posted) and the transfer.
    unsigned transfer_command;
    void (*transfer)();
    // After each port change the worker carried out: the worker sends
    // WM_SHELL_PORT_CHANGED, and this runs on the
    // user-interface thread. May be nullptr.
    void (*after_port_change)();
    // After each transfer has returned: the worker sends
    // WM_SHELL_TRANSFER_DONE, and this runs on the user-interface thread.
    // May be nullptr.
    void (*after_transfer)();
    // Before any window: 0 ends start-up with exit code 0. May be nullptr.
    int (*before_windows)();
    // Once the port worker is started, before the panel is shown. May be nullptr.
    void (*after_worker)();
    // Front panel button clicks (the dialog procedure answers TRUE itself).
    void (*panel_click)(unsigned control);
    // A pick in the port picker: given CB_GETCURSEL's index, 1 when the
    // main window is to get select_port_command.
    int (*port_picked)(int index);
    unsigned select_port_command;
    // Main window WM_COMMAND (its result is the answer) and WM_CLOSE.
    LRESULT (*main_command)(HWND window, WPARAM wparam, LPARAM lparam);
    void (*main_close)(HWND window);
    // Windows asks before a log-off, shutdown or restart ends the process:
    // 1 lets the session end, 0 holds it (a flash that must not be cut).
    // nullptr: always 1.
    int (*may_end_session)();
};

const ShellProfile* Shell();  // the profile RunToolShell was given

// Port worker to main window, sent: a port change was carried out;
// a transfer has returned.
enum { WM_SHELL_PORT_CHANGED = WM_APP + 1, WM_SHELL_TRANSFER_DONE = WM_APP + 2 };
// Front panel to itself, posted after a pick: the closed picker shows the
// start of the entry picked.
enum { WM_SHELL_PICKER_START = WM_APP + 3 };

// WinMain's body for a tool. Returns the process exit code.
int RunToolShell(const ShellProfile* shell, HINSTANCE instance);

int  CreateMainWindow();    // 1, or 0 after ErrorBox
int  CreateMainDialog();    // 1, or 0 after ErrorBox
// The control's handle, with its outer rectangle in the dialog's client
// coordinates in *rect; nullptr (rect untouched) when there is no such control.
HWND GetControlRect(HWND dialog, int id, RECT* rect);

// Front panel to main window: WM_COMMAND with command in the high word.
void PostMainCommand(unsigned command);
// "Exit": WM_CLOSE to the main window.
void PostMainClose();
