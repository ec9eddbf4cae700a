// front_panel: what brannik does with the user's clicks and port choices.
//
// The Win32 dialog procedure and main window (front_panel_win32.cpp) turn
// messages into these calls; the logic itself is platform-free so that the
// state table can be tested natively. Runs on the user-interface thread.
#pragma once

#include "resource.h"  // control and command ids (also read by brannik.rc)

void OnStartStopFlash();             // main window, ID_PPP_STARTFLASH
void OnSelectPort();                 // main window, ID_PPP_SELECTPORT
void OnOpenFile(void* owner);        // main window, ID_PPP_OPENFILE
int  OnPortPicked(int index);        // dialog, CBN_SELCHANGE with CB_GETCURSEL's index;
                                     // 1 = the caller posts ID_PPP_SELECTPORT ("----" too)
int  MayCloseTool();                 // close guard: 1 = destroy the main window
void OnPortRequestsServed();         // sent by the port worker after each port change it carried out
void OnFlashReturned();              // sent by the port worker after each flash sequence returned
