// vessamo's Win32 glue: the front panel's button clicks, the main window's
// WM_COMMAND and WM_CLOSE, the start-up hooks and WinMain. The decisions are
// made by the platform-free functions of front_panel.h. No control is ever
// disabled. User-interface thread only.
#include <windows.h>

#include "eeprom_file.h"
#include "eeprom_writer.h"
#include "front_panel.h"
#include "log_view.h"
#include "tool_profile.h"
#include "tool_shell.h"

static void PanelClick(unsigned control)
{
    if (control == IDC_FLASHEEPROM)
        PostMainCommand(ID_PPP_FLASHEEPROM);
    else if (control == IDC_EXIT)
        PostMainClose();
}

static LRESULT MainCommand(HWND window, WPARAM wparam, LPARAM lparam)
{
    // Commands from the front panel carry their id in the high word.
    switch (HIWORD(wparam)) {
    case ID_PPP_FLASHEEPROM:
        OnFlashEeprom();
        return 1;
    case ID_PPP_SELECTPORT:
        OnSelectPort();
        return 1;
    default:
        return 0;
    }
}

static void MainClose(HWND window)
{
    // Always closes, also while a write runs: the process ends with it.
    DestroyWindow(window);
}

static void LogDataSize()
{
    LogPrint("Успешно загружен файл EEPROM. Размер: %i байт\n", g_eeprom_length);
}

static const ShellProfile VESSAMO_SHELL = {
    &VESSAMO_PROFILE,
    ID_COM_FLASHEEPROM,
    FlashEeprom,
    nullptr,
    nullptr,
    LoadEepromData,
    LogDataSize,
    PanelClick,
    OnPortPicked,
    ID_PPP_SELECTPORT,
    MainCommand,
    MainClose,
    nullptr,  // a session end closes it at once, as "Exit" does
};

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return RunToolShell(&VESSAMO_SHELL, instance);
}
