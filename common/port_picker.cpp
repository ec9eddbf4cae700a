// port_picker: rebuilding the picker from the port list (see port_picker.h).
#include "port_picker.h"

#include <stdio.h>

#include "serial_port.h"

enum {
    PICKER_TEXT_BYTES = 16,  // "COM 255" and its zero
};

void FillPortPicker(void* picker)
{
    int shown = PickerShown(picker);
    int shown_port = shown >= 1 ? GetListedPort(shown - 1) : 0;
    int count = EnumComPorts();
    PickerClear(picker);
    PickerAdd(picker, "----");
    int show = 0;
    for (int i = 0; i < count; ++i) {
        int com = GetListedPort(i);
        char text[PICKER_TEXT_BYTES];
        snprintf(text, sizeof text, "COM %i", com);
        PickerAdd(picker, text);
        if (com == shown_port)
            show = i + 1;
    }
    PickerShow(picker, show);
}
