// port_worker: the second thread of each tool, the only one that touches the
// serial port.
//
// It owns a message-only window of class "comport32loader" and pumps
// messages for that window alone. The user-interface thread asks it for
// three things, each posted, so the asker goes on at once: open the picked
// port, close the port, run the tool's transfer. They are carried out one at
// a time, to their end, in the order they were asked for, but for an open
// that a later pick overtook before the worker came to it: that one is not
// made, so a run down the list opens only the port it stops at. A port change
// asked for during a transfer waits for the transfer to return, so the port
// never changes under it, and a pick made while a slow open (a Bluetooth
// port calling its phone) runs is carried out after it. The pause the line
// gets after an open or a close is made here too, so the panel keeps taking
// input meanwhile. Reports from the worker (log lines, progress, button
// states) are synchronous sends to windows of the user-interface thread.
//
// The window is message-only and the thread has no IME window: the worker
// takes no message while a transfer runs, and a top-level window of a thread
// that takes none is what Windows counts as hung (broadcasts and the
// session-end query wait on it). A message-only window gets neither.
//
// Start-up shows the front panel without waiting for the worker's window. A
// request made in that short interval waits (up to 2 s) for the window
// instead of being dropped; a request made when the worker could not create
// its window, or after the window is gone, is dropped without a word.
//
// A tool whose panel depends on the port (brannik's Start button) is told on
// the user-interface thread after each port change, and can ask how many
// changes are still queued: the panel saw the port as it was before them.
// The worker sends that to the user-interface thread, which looks at the
// port and the panel itself: a decision made on the worker could be
// overtaken by a click or a load before it arrives. A tool that holds
// something for the length of a transfer (brannik keeps the PC awake) is
// told there after each transfer. WM_CLOSE on the worker window during a
// transfer or a port change waits for it to end.
//
// The rules (port_worker.cpp) are platform-free; the thread, the window and
// the posting are Win32 (port_worker_win32.cpp). Front panel logic calls the
// requests through this header only; native tests link doubles of the
// platform half that run the same rules.
#pragma once

#include "shell_ids.h"  // ID_COM_OPEN, ID_COM_CLOSE

// What the worker runs and how it reports, given by the layer above (the
// shell) when it starts the worker: the worker names no window of its.
struct PortWorkerHooks {
    unsigned transfer_command;  // RequestTransfer posts it; the worker runs transfer
    void (*transfer)();
    // On the worker, after each port change carried out and after each
    // transfer has returned; each may be nullptr.
    void (*port_changed)();
    void (*transfer_done)();
};

// ---- User-interface thread ----------------------------------------------
// Win32: register class, create thread; 1 or 0 after ErrorBox. hooks must
// live as long as the process.
int  StartPortWorker(const PortWorkerHooks* hooks);
void RequestPortOpen();     // posted: opens the port selected now, then pauses
void RequestPortClose();    // posted: closes the open port, if any, then pauses
void RequestTransfer();     // posted: runs the tool's transfer
// Opens and closes asked for and not yet carried out.
int  PortChangesQueued();
// The port of the last open asked for, while changes are queued and no
// close was asked for after it; else 0.
int  PortOpenQueued();

// Platform half of the port requests: posts an open (of COM`com`) or a close
// to the worker; 0 when it was dropped (no worker window).
int  PostPortChange(unsigned command, int com);

// ---- Port worker thread ------------------------------------------------
// An open or close, then the line's pause, then after_port_change (the
// hooks' port_changed; may be nullptr).
// An open that a later pick overtook (a close was posted after it) is not
// made, nor its pause: 0; else 1.
int  WorkerRunPortChange(unsigned command, int com, void (*after_port_change)());
// The transfer, then after_transfer (may be nullptr).
void WorkerRunTransfer(void (*transfer)(), void (*after_transfer)());
// 1 while a transfer or a port change runs: a WM_CLOSE then waits for it.
int  WorkerBusy();
// The pause after an open or a close (Win32: Sleep), on the worker.
void WorkerPause(unsigned ms);
