// log_menu: the log view's context menu, for the log to leave the bench:
// "&Copy" (the selection; only where the view takes a selection, vessamo's,
// and greyed while nothing is selected), "Copy &Log" (the whole log on the
// clipboard as Unicode text) and "&Save Log As..." (a UTF-8 file with a
// header, log_save.h).
//
// Win32, user-interface thread: the front panel hands it every
// WM_CONTEXTMENU, whichever window it came from. A right-click over
// brannik's disabled view reaches the panel itself, so the click's point
// decides; the menu key and Shift+F10 (no point) open it from anywhere on
// the panel. Nothing in it changes the log or waits on the port worker: the
// worker's log lines and bar steps go on arriving while the menu or the
// save dialog is up.
#pragma once

// 1 when the message was the log's and its menu was shown.
int LogContextMenu(void* panel, void* from, long x, long y);
