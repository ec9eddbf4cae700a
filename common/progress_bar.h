// progress_bar: the three operations with which the transfers drive the
// front panel's progress bar (control 1008, msctls_progress32).
//
// Called on the port worker thread; each is a synchronous send to the
// user-interface thread's control, found anew on every call. Before the
// front panel exists they do nothing. Pattern used by the transfers:
// ProgressReset + ProgressBegin(blocks) at the start, ProgressStep per
// acknowledged block, ProgressReset again only after a full success.
//
// progress_bar_win32.cpp is the real bar; progress_bar_record.cpp models the
// bar and records every operation for the native tests.
#pragma once

#include <string>

void ProgressBegin(unsigned steps);  // range 0..steps (low 16 bits), step 1
void ProgressStep();                 // position += step
void ProgressReset();                // position = 0

// ---- Recording backend (native builds) -------------------------------------
struct ProgressModel {
    unsigned max;       // range 0..max
    unsigned step;
    unsigned pos;
};
ProgressModel RecordedProgress();
std::string RecordedProgressOps();   // e.g. "reset begin:96 step step ..."
void ClearRecordedProgress();        // range 0..2048, step 1, position 0
