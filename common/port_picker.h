// port_picker: the COM-port picker's entries, "----" and then "COM %i" for
// each listed port in ascending order, so that entry k stands for port list
// entry k - 1 (serial_port.h).
//
// FillPortPicker lists the ports anew and rebuilds the picker: at start-up,
// when Windows reports a port arriving or leaving, and each time the list
// drops down (so that what the user looks at is current even where a
// message was missed). The entry shown stays on its port while that port is
// listed, else "----". It opens, closes and logs nothing, sends no port
// request and leaves the selected port alone: the port changes only when
// the user picks an entry.
//
// User-interface thread only: the list and the picker change together
// inside one call, so the dialog procedure never reads one without the
// other. The picker operations are Win32 combo-box messages
// (port_picker_win32.cpp) or, natively, a recording stand-in.
#pragma once

void FillPortPicker(void* picker);

// ---- Platform operations on the picker control -------------------------
int  PickerShown(void* picker);  // index of the entry shown, -1 for none
void PickerClear(void* picker);
void PickerAdd(void* picker, const char* text);
void PickerShow(void* picker, int index);
