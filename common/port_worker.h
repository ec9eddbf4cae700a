// port_worker: the second thread of each tool, the only one that touches the
// serial port.
//
// It owns a hidden window of class "comport32loader" and pumps messages for
// that window alone. The user-interface thread asks it for three things:
// open and close (sent: the caller waits until done) and the tool's transfer
// (posted: queued, run to its end, one at a time). Reports from the worker
// (log lines, progress, button states) are synchronous sends to windows of
// the user-interface thread, which serves them while it waits in a request.
//
// An open or close that arrives while a transfer runs (delivered while the
// transfer waits in one of its own sends) is not carried out there: it is
// answered at once and kept on a pending list, served when the transfer has
// returned, in the order the requests came, before any transfer queued
// behind it. So the port is never closed or changed under a running transfer.
//
// Start-up shows the front panel without waiting for the worker's window. A
// request made in that short interval waits (up to 2 s) for the window
// instead of being dropped; a request made when the worker could not create
// its window, or after the window is gone, is dropped without a word.
//
// An open or close may also be posted (PostPortRequest): queued behind a
// transfer that may never return (a stopped flash whose probe write hangs),
// so that the user-interface thread never waits on it.
//
// A tool that holds something for the length of a transfer (brannik keeps
// the PC awake) is told on the user-interface thread after each transfer.
// A tool whose panel depends on the port (brannik's Start button) is told
// after parked or posted requests were served, since the panel saw the port
// as it was before them. The worker sends that to the user-interface
// thread, which looks at the port and the panel itself: a decision made on
// the worker could be overtaken by a click or a load before it arrives.
// WM_CLOSE on the worker window during a transfer is deferred like a close
// request.
//
// The rules for requests (port_worker.cpp) are platform-free; the thread,
// the window and the three requests are Win32 (port_worker_win32.cpp).
// Front panel logic calls the requests through this header only; native
// tests link a double of them that runs the same rules.
#pragma once

#include "shell_ids.h"  // ID_COM_OPEN, ID_COM_CLOSE

// ---- User-interface thread ----------------------------------------------
int  StartPortWorker();     // Win32: register class, create thread; 1 or 0 after ErrorBox
void RequestPortOpen();     // sent: returns after the worker has handled it
void RequestPortClose();    // sent: returns after the worker has handled it
void RequestTransfer();     // posted: returns at once
void PostPortRequest(unsigned command);  // ID_COM_OPEN or ID_COM_CLOSE, posted: returns at once
void SleepMs(unsigned ms);  // the pause the main window makes between requests

// ---- Port worker thread ------------------------------------------------
// An open or close: carried out now (1), or parked while a transfer runs (0).
int  WorkerPortRequest(unsigned command);
// Runs the transfer, then the requests parked meanwhile, then after_port_change
// if there were any, then after_transfer. Either may be nullptr; the Win32
// layer gives ones that send to the user-interface thread.
void WorkerRunTransfer(void (*transfer)(), void (*after_port_change)(), void (*after_transfer)());
// A posted open or close, then after_port_change (may be nullptr).
void WorkerRunPostedRequest(unsigned command, void (*after_port_change)());

// ---- Either thread --------------------------------------------------------
// Posted opens and closes carried out so far (written by the port worker
// before its after_port_change). A requester that counts its posts knows
// whether some are still queued: a sent request would overtake them, since
// a thread takes sent messages before posted ones.
int  PostedPortRequestsServed();
