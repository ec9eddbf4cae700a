// panel_buttons: the eight operations that change brannik's front panel
// controls during a flash: the Start/Stop button (1002), the port picker
// (1000) and "Open File" (1009).
//
// Called by the front panel on the user-interface thread and by the flash
// sequence on the port worker thread; each is a synchronous send. Each finds
// its control anew; before the front panel exists they do nothing.
// panel_buttons_win32.cpp acts on the real controls; the native tests link a
// model of them from tests/support.
#pragma once

void LabelStopFlash();
void LabelStartFlash();
void DisableStartFlash();
void DisableComPort();
void DisableOpenFile();
void EnableStartFlash();
void EnableComPort();
void EnableOpenFile();
