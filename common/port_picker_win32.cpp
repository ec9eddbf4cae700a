// Win32 operations of the port picker: messages to the combo box. None of
// them makes the combo box notify a selection change.
#include "port_picker.h"

#include <windows.h>

static HWND Combo(void* picker) { return static_cast<HWND>(picker); }

int PickerShown(void* picker)
{
    return static_cast<int>(SendMessageA(Combo(picker), CB_GETCURSEL, 0, 0));  // CB_ERR is -1
}

void PickerClear(void* picker) { SendMessageA(Combo(picker), CB_RESETCONTENT, 0, 0); }

void PickerAdd(void* picker, const char* text)
{
    SendMessageA(Combo(picker), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void PickerShow(void* picker, int index) { SendMessageA(Combo(picker), CB_SETCURSEL, index, 0); }
