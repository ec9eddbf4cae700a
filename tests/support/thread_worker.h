// thread_worker: a port worker for the panel tests. One real thread takes
// what the panel posts (port changes, transfers) in order and runs each
// through the product's own rules (WorkerRunPortChange, WorkerRunTransfer,
// port_worker.cpp) over the test's Port* backend. Its reports to the
// user-interface thread (after_port_change, after_transfer) wait, as a
// synchronous send does, until the test thread pumps, and run there. Pauses
// are recorded, not slept. Interleavings are the flash model's business
// (worker_double.h); this double runs freely.
#pragma once

#include <string>

void TwStart(void (*transfer)(), void (*after_port_change)(), void (*after_transfer)());
void TwStop();   // pumps until nothing is left, then ends the thread
void TwJoin();   // pumps until the worker has nothing queued or in hand
void TwPump();   // runs the reports waiting now; returns at once
// What the worker carried out since the last call, in order: "close",
// "open:3", "overtaken:3" (an open a later pick overtook), "pause:50", "transfer".
std::string TwDone();
