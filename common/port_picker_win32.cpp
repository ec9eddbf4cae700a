// Win32 operations of the port picker: messages to the combo box. None of
// them makes the combo box notify a selection change. The entries go in as
// wide text: the picker is a Common Controls 6 combo box, a Unicode window,
// so a device's name keeps every letter whatever the ANSI code page.
#include "port_picker.h"

#include <windows.h>

enum {
    DROPPED_MARGIN_PX = 8,  // the list's own border and the text's indent, both sides
};

static HWND Combo(void* picker) { return static_cast<HWND>(picker); }

int PickerShown(void* picker)
{
    return static_cast<int>(SendMessageW(Combo(picker), CB_GETCURSEL, 0, 0));  // CB_ERR is -1
}

void PickerClear(void* picker) { SendMessageW(Combo(picker), CB_RESETCONTENT, 0, 0); }

void PickerAdd(void* picker, const char* utf8)
{
    wchar_t text[PICKER_ENTRY_BYTES];
    if (!MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, PICKER_ENTRY_BYTES))
        text[0] = L'\0';
    SendMessageW(Combo(picker), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void PickerShow(void* picker, int index)
{
    SendMessageW(Combo(picker), CB_SETCURSEL, index, 0);
    PickerShowStart(picker);
}

// The edit field of a closed picker holds the whole entry and would show
// its end; its start is the port's number and the device's name.
void PickerShowStart(void* picker)
{
    SendMessageW(Combo(picker), CB_SETEDITSEL, 0, MAKELPARAM(0, 0));
}

// The widest entry in the picker's own font, plus the list's margins and
// scroll bar, within the work area of the monitor the picker is on (a
// second monitor may lie on either side of the primary one).
void PickerFitDroppedWidth(void* picker)
{
    HWND combo = Combo(picker);
    HDC dc = GetDC(combo);
    if (!dc)
        return;
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(combo, WM_GETFONT, 0, 0)));
    int widest = 0;
    int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[PICKER_ENTRY_BYTES];
        LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
        if (length < 0 || length >= PICKER_ENTRY_BYTES)
            continue;
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        SIZE size = {};
        if (GetTextExtentPoint32W(dc, text, static_cast<int>(length), &size) && size.cx > widest)
            widest = size.cx;
    }
    SelectObject(dc, old);
    ReleaseDC(combo, dc);

    RECT picker_rect;
    GetWindowRect(combo, &picker_rect);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    long work_right = 0x7FFFFFFF;
    if (GetMonitorInfoW(MonitorFromWindow(combo, MONITOR_DEFAULTTONEAREST), &monitor))
        work_right = monitor.rcWork.right;
    int width = DroppedListWidth(widest, 2 * DROPPED_MARGIN_PX + GetSystemMetrics(SM_CXVSCROLL),
                                 picker_rect.left, picker_rect.right, static_cast<int>(work_right));
    SendMessageW(combo, CB_SETDROPPEDWIDTH, width, 0);
}

// Created once, from the dialog font the picker was given, and kept for the
// life of the process like the log's font. "Microsoft Sans Serif" is the
// TrueType face Windows links to fonts of other scripts.
void PickerUseOwnFont(void* picker)
{
    HWND combo = Combo(picker);
    HFONT dialog_font = reinterpret_cast<HFONT>(SendMessageW(combo, WM_GETFONT, 0, 0));
    LOGFONTW face = {};
    if (!dialog_font || !GetObjectW(dialog_font, sizeof face, &face))
        return;
    lstrcpynW(face.lfFaceName, L"Microsoft Sans Serif", LF_FACESIZE);
    face.lfCharSet = DEFAULT_CHARSET;
    face.lfOutPrecision = OUT_TT_PRECIS;
    HFONT font = CreateFontIndirectW(&face);
    if (font)
        SendMessageW(combo, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}
