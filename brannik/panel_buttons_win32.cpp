// brannik's button operations on the real controls. Each looks its control
// up anew; before the front panel exists they do nothing. Called on both
// threads: from the port worker every call is a synchronous cross-thread
// send that returns once the user-interface thread has handled it.
#include "panel_buttons.h"

#include <windows.h>

#include "resource.h"
#include "shell_handles.h"

static HWND Control(int id)
{
    HWND panel = g_front_panel.load();
    return panel ? GetDlgItem(panel, id) : nullptr;
}

static void Label(int id, const char* text)
{
    HWND control = Control(id);
    if (control)
        SetWindowTextA(control, text);
}

static void Enable(int id, BOOL on)
{
    HWND control = Control(id);
    if (control)
        EnableWindow(control, on);
}

void LabelStopFlash() { Label(IDC_STARTFLASH, "Stop Flash"); }
void LabelStartFlash() { Label(IDC_STARTFLASH, "Start Flash"); }
void DisableStartFlash() { Enable(IDC_STARTFLASH, FALSE); }
void DisableComPort() { Enable(IDC_COMPORT, FALSE); }
void DisableOpenFile() { Enable(IDC_OPENFILE, FALSE); }
void EnableStartFlash() { Enable(IDC_STARTFLASH, TRUE); }
void EnableComPort() { Enable(IDC_COMPORT, TRUE); }
void EnableOpenFile() { Enable(IDC_OPENFILE, TRUE); }
