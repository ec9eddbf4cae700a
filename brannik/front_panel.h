// front_panel: what brannik does with the user's clicks and port choices.
//
// The Win32 dialog procedure and main window (front_panel_win32.cpp) turn
// messages into these calls; the logic itself is platform-free so that the
// state table can be tested natively. Runs on the user-interface thread.
#pragma once

enum {
    IDC_COMPORT = 1000,
    IDC_STARTFLASH = 1002,
    LOG_VIEW = 1006,
    IDC_EXIT = 1007,
    IDC_PROGRESS = 1008,
    IDC_OPENFILE = 1009,
    ID_PPP_STARTFLASH = 40002,
    ID_PPP_SELECTPORT = 40012,
    ID_PPP_OPENFILE = 40014,
    ID_COM_STARTFLASH = 40013,
};

void OnStartStopFlash();             // main window, ID_PPP_STARTFLASH
void OnSelectPort();                 // main window, ID_PPP_SELECTPORT
void OnOpenFile(void* owner);        // main window, ID_PPP_OPENFILE
int  OnPortPicked(int index);        // dialog, CBN_SELCHANGE with CB_GETCURSEL's index;
                                     // 1 = the caller posts ID_PPP_SELECTPORT
int  MayCloseTool();                 // close guard: 1 = destroy the main window
