// panel_buttons: the eight operations that change brannik's front panel
// controls during a flash: the Start/Stop button (1002), the port picker
// (1000) and "Open File" (1009).
//
// Called by the front panel on the user-interface thread and by the flash
// sequence on the port worker thread; each is a synchronous send. Each finds
// its control anew; before the front panel exists they do nothing.
// panel_buttons_win32.cpp acts on the real controls; panel_buttons_record.cpp
// models them and records every operation for the native tests.
#pragma once

#include <string>

void LabelStopFlash();
void LabelStartFlash();
void DisableStartFlash();
void DisableComPort();
void DisableOpenFile();
void EnableStartFlash();
void EnableComPort();
void EnableOpenFile();

// ---- Recording backend (native builds) -------------------------------------
struct PanelModel {
    bool start_enabled;
    std::string start_label;
    bool comport_enabled;
    bool openfile_enabled;
};
PanelModel RecordedPanel();
std::string RecordedPanelOps();   // e.g. "DisableStartFlash EnableStartFlash ..."
void ClearRecordedPanel();        // start-up state: Start disabled "Start Flash", others enabled
