// front_panel: what vessamo does with the user's clicks and port choices.
// No control is ever disabled; no transfer state is kept. The Win32 dialog
// procedure and main window (front_panel_win32.cpp) turn messages into these
// calls. Runs on the user-interface thread.
#pragma once

#include "resource.h"  // control and command ids (also read by vessamo.rc)

void OnFlashEeprom();                // main window, ID_PPP_FLASHEEPROM
void OnSelectPort();                 // main window, ID_PPP_SELECTPORT
int  OnPortPicked(int index);        // dialog: stores the port; 1 = post ID_PPP_SELECTPORT
