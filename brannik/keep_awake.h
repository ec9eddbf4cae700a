// keep_awake: what brannik asks of Windows for the length of a flash. The
// system is kept out of idle sleep, so that a PC left alone during the
// phases does not go to sleep with the device half programmed (the display
// may still turn off); and the timer resolution is asked down to 1 ms, so
// that the serial driver's 50 ms read time-outs fire near 50 ms rather than
// on the next 15.6 ms tick (up to 63 ms: a 30 s flash would take up to 38 s,
// and a reply an adapter delayed would have that much less time).
//
// Windows keeps the awake request per thread and drops it when that thread
// ends; a release undoes only the calling thread's request. brannik makes
// and releases both on the user-interface thread only (front_panel.cpp).
// Repeating a call changes nothing: every timer request made is ended once.
// keep_awake_win32.cpp asks Windows; the native tests link a model of it
// from tests/support.
#pragma once

void KeepSystemAwake(int on);
