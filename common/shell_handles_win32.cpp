// shell_handles_win32: the handles themselves (see shell_handles.h).
#include "shell_handles.h"

Shared<HINSTANCE> g_instance{nullptr};
Shared<HWND> g_main_window{nullptr};
Shared<HWND> g_front_panel{nullptr};
Shared<HWND> g_log_view{nullptr};
Shared<HWND> g_port_worker_window{nullptr};
