// log_view: the two ways both tools speak to the user.
//
// LogPrint appends printf-style text to the front panel's read-only log view,
// writing a carriage return in front of every line feed. ErrorBox shows a
// system-modal error box with the tool's title and always returns 0, so that
// a failing step can end with `return ErrorBox(...)`.
//
// Texts are Windows-1251 byte strings. Formatting is bounded: an overlong
// text is cut, never overflows. Every call formats and expands into buffers
// of its own, so the user-interface thread and the port worker may both log.
//
// LogViewInsert puts an expanded text in at the caret: with EM_SETTEXTEX and
// code page 1251, so that the bytes show as Cyrillic whatever the system's
// ANSI code page; where the control refuses that message (a riched32 that
// does not know it answers 0) with EM_REPLACESEL, so the log is never left
// silently empty.
//
// A new rich edit control takes at most 32,767 characters and quietly cuts
// whatever would pass that; brannik writes about 300 characters a flash, so
// the log would stop after about a hundred flashes. PrepareLogView raises the limit
// to the largest the control takes when the view is created; the tools never
// trim the log. The platform part (the view messages, ShowErrorBox,
// CreateLogView) lives in log_view_win32.cpp; the native tests link a
// recording stand-in from tests/support.
#pragma once

#include <stddef.h>

enum {
    LOG_FORMAT_BYTES = 32768,   // formatted text incl. terminating zero
    LOG_EXPAND_BYTES = 32768,   // expanded text incl. terminating zero
    ERROR_BOX_BYTES = 512,      // error box text incl. terminating zero
};

// The text limit set on the log view: the largest a rich edit control takes.
const unsigned long LOG_VIEW_TEXT_LIMIT = 0x7FFFFFFE;

void LogPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
int  ErrorBox(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The log font's lfHeight at the screen's DPI: the record's 10 pixels are
// at 96 DPI (100 %), so 150 % (144 DPI) gives 15, rounded as MulDiv does.
// A DPI the screen does not tell (0 or less) counts as 96.
enum { LOG_FONT_PIXELS_AT_96_DPI = 10 };
int LogFontHeight(int dpi);

// Copies text into out (out_size bytes), writing 0x0D before every 0x0A.
// A text that does not fit is cut; the result is always zero-terminated.
// Returns the length written.
size_t ExpandLineFeeds(const char* text, char* out, size_t out_size);

void LogViewInsert(const char* expanded);  // insert at the caret, scroll to it
void PrepareLogView();  // once the view exists: raise its text limit, empty it

// ---- Platform backend ------------------------------------------------------
int  LogViewSetTextEx(const char* text);   // EM_SETTEXTEX, ST_SELECTION, 1251; the control's answer
void LogViewReplaceSel(const char* text);  // EM_REPLACESEL
void LogViewScrollCaret();                 // EM_SCROLLCARET
void LogViewLimitText(unsigned long chars); // EM_EXLIMITTEXT
void ClearLogView();                       // WM_SETTEXT with the empty text
void ShowErrorBox(const char* text, const char* title);

// Win32 only: creates the RICHEDIT log view over rect {left, top, right,
// bottom} of parent; 1 on success, 0 after ErrorBox.
int  CreateLogView(void* parent, const long rect[4]);
