// front_panel: what vessamo does with the user's clicks and port choices.
// No control is ever disabled; no transfer state is kept. The Win32 dialog
// procedure and main window (front_panel_win32.cpp) turn messages into these
// calls. Runs on the user-interface thread.
#pragma once

enum {
    IDC_COMPORT = 1000,
    IDC_FLASHEEPROM = 1005,
    LOG_VIEW = 1006,
    IDC_EXIT = 1007,
    IDC_PROGRESS = 1008,
    ID_PPP_FLASHEEPROM = 40003,
    ID_PPP_SELECTPORT = 40004,
    ID_COM_CONNECTED = 40009,
    ID_COM_FLASHEEPROM = 40012,
};

void OnFlashEeprom();                // main window, ID_PPP_FLASHEEPROM
void OnSelectPort();                 // main window, ID_PPP_SELECTPORT
int  OnPortPicked(int index);        // dialog: stores the port; 1 = post ID_PPP_SELECTPORT
