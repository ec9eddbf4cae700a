// progress_bar: the three operations with which the transfers drive the
// front panel's progress bar (control 1008, msctls_progress32).
//
// Called on the port worker thread; each is a synchronous send to the
// user-interface thread's control, found anew on every call. Before the
// front panel exists they do nothing. Pattern used by the transfers:
// ProgressReset + ProgressBegin(blocks) at the start, ProgressStep per
// acknowledged block, ProgressReset again only after a full success.
//
// progress_bar_win32.cpp is the real bar; the native tests link a model of
// it from tests/support.
#pragma once

void ProgressBegin(unsigned steps);  // range 0..steps (low 16 bits), step 1
void ProgressStep();                 // position += step
void ProgressReset();                // position = 0
