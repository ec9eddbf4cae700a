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
// Front panel logic calls these through this header only; native tests link
// a double of them.
#pragma once

#include "shell_ids.h"  // ID_COM_OPEN, ID_COM_CLOSE

int  StartPortWorker();     // Win32: register class, create thread; 1 or 0 after ErrorBox
void RequestPortOpen();     // sent: returns after the worker has handled it
void RequestPortClose();    // sent: returns after the worker has handled it
void RequestTransfer();     // posted: returns at once
void SleepMs(unsigned ms);  // the pause the main window makes between requests
