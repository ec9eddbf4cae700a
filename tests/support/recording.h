// recording: the native stand-ins for the Win32 views that the transfers
// and the front panels drive (log view and error box, progress bar,
// brannik's flash controls, the port picker), and for brannik's keep-awake
// request. Each records what reaches it so that the tests can read the
// text, the bar and the controls as a technician would. Every model but the
// picker's (user-interface side only) is guarded by a mutex: the transfers
// drive them from the port worker while the tests read them.
#pragma once

#include <string>
#include <thread>
#include <vector>

// Called at the start of every view operation, from whichever thread makes
// it; nullptr by default. Each operation stands for a synchronous send to
// the user-interface thread, and the worker double (worker_double.h) uses
// this to let the user-interface side act while the worker waits in one.
extern void (*g_view_send_hook)();

// ---- Log view and error box (log_view_record.cpp) --------------------------
std::string RecordedLog();          // everything inserted, expanded bytes
std::string RecordedErrorBoxes();   // "title|text\n" per box shown
std::string RecordedLogMessages();  // "settextex replacesel scroll ..." in call order
// A new view: empty, accepting EM_SETTEXTEX again, with the default limit
// of 32,767 characters.
void ClearRecordedLog();
// 1: the view answers EM_SETTEXTEX with 0 and inserts nothing, as a
// riched32 that does not know the message would.
void RefuseSetTextEx(int refuse);

// ---- Progress bar (progress_bar_record.cpp) --------------------------------
struct ProgressModel {
    unsigned max;       // range 0..max
    unsigned step;
    unsigned pos;
    int shown;          // RunShown: the bar's state and the taskbar button follow it
    int ends;           // run ends signalled
};
ProgressModel RecordedProgress();
std::string RecordedProgressOps();   // e.g. "reset begin:96 step step ..."
std::string RecordedRunOps();        // "waiting failed succeeded stopped" in call order
void ClearRecordedProgress();        // range 0..2048, step 1, position 0, nothing shown

// ---- brannik's flash controls (panel_buttons_record.cpp) -------------------
struct PanelModel {
    bool start_enabled;
    std::string start_label;
    bool comport_enabled;
    bool openfile_enabled;
};
PanelModel RecordedPanel();
std::string RecordedPanelOps();   // e.g. "DisableStartFlash EnableStartFlash ..."
void ClearRecordedPanel();        // start-up state: Start disabled "Start Flash", others enabled

// ---- brannik's keep-awake request (keep_awake_record.cpp) ------------------
// Per thread, as Windows keeps it: a release on another thread than the
// hold leaves the system kept awake.
bool RecordedAwake();              // some thread's request stands
std::string RecordedAwakeOps();    // "hold release ..." in call order
void ClearRecordedAwake();
// A double that runs a user-interface handler on a thread of its own makes
// the calls count for the user-interface thread `id` (nullptr: its own).
void RecordAsThread(const std::thread::id* id);

// ---- The port picker (port_picker_record.cpp) ------------------------------
std::vector<std::string> RecordedPicker();  // its entries, "----" first
std::string RecordedPickerShown();          // the entry shown, "" for none
int PickerIndexOf(const std::string& text); // -1 when no entry reads so
void PickerUserPicks(int index);            // the user's choice, before CBN_SELCHANGE
void ClearRecordedPicker();                 // empty, nothing shown
