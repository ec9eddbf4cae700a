// shell_handles: the process-wide handles of the tool's windows (Win32),
// low in the framework so that each backend reaches the window it works on
// without knowing the shell that made it.
//
// Written on the user-interface thread during start-up by tool_shell (the
// log view by CreateLogView, the port worker window by the worker thread
// itself; the main window and the worker window cleared as they are
// destroyed) and read from both threads, hence Shared values. The port
// worker thread's handle is g_port_worker_thread (serial_port.h).
#pragma once

#include <windows.h>
#include "shared_value.h"

extern Shared<HINSTANCE> g_instance;
extern Shared<HWND> g_main_window;
extern Shared<HWND> g_front_panel;
extern Shared<HWND> g_log_view;
extern Shared<HWND> g_port_worker_window;
