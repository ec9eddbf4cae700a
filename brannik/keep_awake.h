// keep_awake: asks Windows to keep the system out of idle sleep while a
// flash is in progress, so that a PC left alone during the phases does not
// go to sleep with the device half programmed. The display may still turn
// off.
//
// Windows keeps the request per thread and drops it when that thread ends;
// a release undoes only the calling thread's request. brannik makes and
// releases it on the user-interface thread only (front_panel.cpp). Repeating
// a call changes nothing. keep_awake_win32.cpp asks Windows; the native
// tests link a model of it from tests/support.
#pragma once

void KeepSystemAwake(int on);
