// brannik's Win32 glue: the front panel's button clicks, the main window's
// WM_COMMAND and WM_CLOSE, and WinMain. The decisions are made by the
// platform-free functions of front_panel.h. User-interface thread only.
#include <windows.h>

#include "flash_sequence.h"
#include "front_panel.h"
#include "tool_profile.h"
#include "tool_shell.h"

static void PanelClick(unsigned control)
{
    if (control == IDC_STARTFLASH)
        PostMainCommand(ID_PPP_STARTFLASH);
    else if (control == IDC_OPENFILE)
        PostMainCommand(ID_PPP_OPENFILE);
    else if (control == IDC_EXIT)
        PostMainClose();
}

static LRESULT MainCommand(HWND window, WPARAM wparam, LPARAM lparam)
{
    // Commands from the front panel carry their id in the high word.
    switch (HIWORD(wparam)) {
    case ID_PPP_STARTFLASH:
        OnStartStopFlash();
        return 1;
    case ID_PPP_SELECTPORT:
        OnSelectPort();
        return 1;
    case ID_PPP_OPENFILE:
        OnOpenFile(g_front_panel.load());
        return 1;
    default:
        return 0;
    }
}

static void MainClose(HWND window)
{
    // Refused while a flash is in progress.
    if (MayCloseTool())
        DestroyWindow(window);
}

static const ShellProfile BRANNIK_SHELL = {
    &BRANNIK_PROFILE,
    ID_COM_STARTFLASH,
    FlashFirmware,
    OnPortRequestsServed,
    OnFlashReturned,
    nullptr,
    nullptr,
    PanelClick,
    OnPortPicked,
    ID_PPP_SELECTPORT,
    MainCommand,
    MainClose,
    MayCloseTool,  // a session end must not cut a flash any more than "Exit"
};

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return RunToolShell(&BRANNIK_SHELL, instance);
}
