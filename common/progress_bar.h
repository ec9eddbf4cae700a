// progress_bar: the three operations with which the transfers drive the
// front panel's progress bar (control 1008, msctls_progress32).
//
// Called on the port worker thread; each is a synchronous send to the
// user-interface thread's control, found anew on every call. Before the
// front panel exists they do nothing. Pattern used by the transfers:
// ProgressReset + ProgressBegin(blocks) at the start, ProgressStep per
// acknowledged block, ProgressReset again only after a full success.
//
// A themed bar (Common Controls 6 on Vista and later) animates a move
// forward over a fraction of a second and draws a move back at once, so a
// phase that ends right after its last step is reset before its full bar
// was ever drawn. The real bar therefore follows every position change with
// the moves ProgressSnapMoves gives (platform-free, tested natively), made
// on the user-interface thread inside the same send; they cost a few calls
// a phase, not a few per step (each redraws the bar).
//
// progress_bar_win32.cpp is the real bar; the native tests link a model of
// it from tests/support.
#pragma once

void ProgressBegin(unsigned steps);  // range 0..steps (low 16 bits), step 1
void ProgressStep();                 // position += step
void ProgressReset();                // position = 0

// How the run stands. ProgressBegin means the run's blocks go out
// (RUN_PROGRESS, the bar's normal state).
enum RunShown { RUN_NONE, RUN_WAITING, RUN_PROGRESS, RUN_FAILED };
void ProgressRunWaiting();    // a run waits for the device: bar normal, button indeterminate
void ProgressRunFailed();     // bar in its error state where it stopped; button error; signalled
void ProgressRunSucceeded();  // button cleared; signalled
void ProgressRunStopped();    // bar normal, button cleared; not signalled

// The taskbar button for a run shown so, the bar at pos of 0..max.
enum TaskbarFlag { TASKBAR_NONE, TASKBAR_INDETERMINATE, TASKBAR_NORMAL, TASKBAR_ERROR };
struct TaskbarView {
    TaskbarFlag flag;
    unsigned done, total;  // the button's bar, where the flag shows one
};
// A failure before the first block shows a full red button, so that it is
// seen at all; otherwise the button's bar is the panel's.
TaskbarView TaskbarFor(RunShown shown, unsigned pos, unsigned max);

// One move of the bar: its range becomes 0..value, or its position value.
struct ProgressMove {
    int is_range;
    unsigned value;
};
enum { PROGRESS_SNAP_MOVES = 4 };
// The moves that make a full bar (pos at max) draw itself full at once: in a
// range widened by one, a step past the end and back, then the range
// restored. Returns their count: 0 short of full and for an empty range.
int ProgressSnapMoves(unsigned pos, unsigned max, ProgressMove moves[PROGRESS_SNAP_MOVES]);

// Win32 only: the front panel's bar (an HWND) snaps after each position
// change. Called once by the shell as the panel initialises.
void SnapProgressBar(void* bar);
// Win32, user-interface thread: Windows made (or made again) the taskbar
// button ("TaskbarButtonCreated" to the main window): the button follows
// the run from now on. A panel brought to the front stops the button's
// flashing.
void TaskbarButtonCreated();
void StopFlashingButton();
