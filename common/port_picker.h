// port_picker: the COM-port picker's entries, "----" and then one for each
// listed port in ascending order, so that entry k stands for port list
// entry k - 1 (serial_port.h). An entry reads "COM %i", followed by the
// device's name as Device Manager shows it where the system keeps a record
// of the port's device: "COM 3 (USB-SERIAL CH340)", so the technician tells
// the bench's adapter from a Bluetooth link or a modem. Windows' own
// " (COM3)" at the end of the name is dropped, and an over-long name is cut
// at a character. The texts are UTF-8, shown as wide text, so a name in any
// language reads as Windows writes it whatever the ANSI code page.
//
// FillPortPicker lists the ports and their devices anew and rebuilds the
// picker: at start-up, when Windows reports a port arriving or leaving, and
// each time the list drops down (so that what the user looks at is current
// even where a message was missed). The entry shown stays on its port while
// that port is listed, else "----"; a port whose open is still queued stays
// listed. The devices' records are read again only when the listed ports
// have changed since the last reading, or after NotePortDevicesChanged (a
// device arrived or left): a drop of the list then costs what it did
// without names. The dropped list is made as wide as its widest entry,
// within the work area of the monitor the panel is on. It opens,
// closes and logs nothing, sends no port request and leaves the selected
// port alone: the port changes only when the user picks an entry.
//
// User-interface thread only: the list and the picker change together
// inside one call, so the dialog procedure never reads one without the
// other. The picker operations are Win32 combo-box messages
// (port_picker_win32.cpp) or, natively, a recording stand-in.
#pragma once

enum {
    PICKER_NAME_BYTES = 160,   // a device's name in an entry, UTF-8 bytes at most (80 Cyrillic letters)
    PICKER_ENTRY_BYTES = 176,  // "COM 255 (" name ")" and its zero
};

void FillPortPicker(void* picker);
void NotePortDevicesChanged();  // the next fill reads the devices' records again

// The entry of COM<com> given its device's name (UTF-8, or nullptr): "COM
// %i", then " (name)" with a trailing " (COM<com>)" dropped in any letter
// case, blanks around it trimmed, and the name cut to PICKER_NAME_BYTES at
// the start of a character; "COM %i" alone when no name is left. 1 when a
// name went in.
int  PortEntryText(int com, const char* name, char* out, unsigned size);

// COM<com>'s entry as the picker lists it, with its device's name from the
// last reading of the records. User-interface thread.
void PortPickerEntry(int com, char* out, unsigned size);

// The dropped list's width in pixels: the widest entry's text plus the
// list's margins and scroll bar (`chrome`), kept within the right edge of
// the work area of the monitor the picker is on, and never narrower than
// the picker itself. Screen coordinates: a monitor left of the primary has
// negative ones.
int  DroppedListWidth(int widest_text, int chrome, int picker_left, int picker_right, int work_right);

// ---- Platform operations on the picker control -------------------------
int  PickerShown(void* picker);  // index of the entry shown, -1 for none
void PickerClear(void* picker);
void PickerAdd(void* picker, const char* utf8);
void PickerShow(void* picker, int index);
void PickerFitDroppedWidth(void* picker);  // the dropped list as wide as its widest entry
void PickerShowStart(void* picker);        // the closed picker shows the start of its entry
// Win32, at the panel's start: the picker and its list draw in a TrueType
// face of the dialog font's size. The dialog's "MS Sans Serif" is a bitmap
// font of one code page, and Windows links no other fonts to a bitmap font:
// a Cyrillic device name on an English Windows would show as boxes.
void PickerUseOwnFont(void* picker);
