// worker_double: a port worker for native tests that keeps the real
// worker's ordering rules while the test decides every interleaving.
//
// One worker thread takes what the panel posts (transfers, opens and
// closes) in order, through the product's own rules (WorkerRunPortChange,
// WorkerRunTransfer, port_worker.cpp). It runs only when the test lets it,
// and stops at each yield point: a view operation (a synchronous send to the
// user-interface thread, seen through g_view_send_hook), a serial write or
// read or a moment of a slow open (the link calls WdIoPoint), the pause
// after an open or close, an access to a shared value (seen through
// g_shared_access_hook), or waiting for work. As on Win32:
// - a send completes only while the user-interface side pumps: between
//   actions, or in a modal dialog;
// - posted work is taken only when the worker waits for work, never inside
//   a transfer or a port change;
// - while the user-interface side is inside an action, every shared value
//   it touches is a point where the test may hand the worker a few steps
//   (its I/O, its shared accesses, taking posted work, but no send: the
//   user-interface thread is not pumping), so an action can be cut between
//   any two of its accesses, as a real thread switch would cut it.
// The test thread plays the user-interface thread. Everything is decided by
// the test's calls, so a seed replays exactly.
#pragma once

enum WdAt {
    WD_IDLE,   // waiting for a request or a transfer
    WD_IO,     // before a serial write or read, or pausing
    WD_SEND,   // in a send to the user-interface thread
    WD_STUCK,  // in a write that never returns
    WD_SHARED, // before an access to a shared value
};

// Starts a worker whose transfer is `transfer`, with `after_port_change` for
// WorkerRunPortChange and `after_transfer` for WorkerRunTransfer (sent to the user-interface side,
// as on Win32; each runs whole, its keep-awake calls counting for the
// calling thread, which plays the user-interface thread). Installs the view
// send hook and the shared access hook.
void WdStart(void (*transfer)(), void (*after_port_change)(), void (*after_transfer)());
// Ends the worker: from now on every yield point passes at once and the
// link is expected to fail its I/O (WdDraining), so whatever runs ends.
void WdStop();
int  WdDraining();

// User-interface side.
// Lets the worker pass up to `steps` yield points, the UI pumping (between
// actions, or in a modal loop such as the open-file dialog).
void WdRun(int steps);
// The same, but stops before the worker's next access to `value` (a
// Shared<T>; nullptr: to any shared value), so that it is held between two
// of its accesses.
void WdRunToShared(int steps, const void* value);
void WdDeliverSends();     // pumps until the worker no longer waits in a send
WdAt WdWhere();
int  WdOutstanding();      // transfers posted and not yet returned
int  WdQueued();           // posted transfers and port requests not yet taken
// Between WdAction(1) and WdAction(0) the user-interface side is inside an
// action: before each of its shared accesses, `steps` (set by the test) says
// how many steps the worker takes right there, 0 for none. `conflict` is 1
// when the worker stands before an access of that same value.
void WdSetSwitchSteps(int (*steps)(int conflict));
void WdAction(int inside);
int  WdSwitches();         // switches inside actions in which the worker moved

// Link side, on the worker thread.
void WdIoPoint();          // before each serial write or read, and while an open takes long
void WdStuck();            // a write that never returns; comes back only when draining
