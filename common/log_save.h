// log_save: the log as it leaves the bench, for an engineer to read: the
// text "Copy Log" puts on the clipboard and the file "Save Log As..."
// writes. Platform-free; log_menu_win32.cpp reads the view, asks for the
// file's name and writes it through WriteWholeFile (file_open.h).
//
// Both hold the log exactly as the view shows it, line breaks as CR LF (the
// view hands a break back as "\r\n", "\r\r\n" or a lone "\r"). The file is
// UTF-8 with a byte-order mark, so Notepad on Windows 7 reads the Russian
// lines whatever the ANSI code page: a header of four lines (the tool and its
// version, the Windows version, the time of saving, the open port), a blank
// line, then the log. Any thread; nothing here is shared.
#pragma once

#include <stddef.h>
#include <string>

enum { LOG_PORT_TEXT_BYTES = 224 };  // a picker entry, ", 921600 baud" and the zero

// The view's text with every line break made CR LF.
std::u16string LogTextWithCrLf(const char16_t* text, size_t n);
std::string Utf16ToUtf8(const std::u16string& text);  // a lone surrogate becomes U+FFFD

// The header's port: "COM 3 (USB-SERIAL CH340), 115200 baud" from the
// picker's entry of the open port, or "none open" when entry is nullptr.
void LogPortText(const char* entry, unsigned baud, char* out, size_t size);

struct LogFileHeader {
    const char* tool;       // "brannik"
    const char* version;    // "1.0.0.1"
    const char* windows;    // "10.0.19045, 64-bit"
    int exe_bits;           // 32 or 64
    const char* saved;      // "2026-12-10 14:03:22"
    const char* port;       // LogPortText
};
std::string LogFileBytes(const LogFileHeader& header, const std::u16string& log_crlf);

// The name offered the first time: "brannik-2026-12-10-140322.log".
void LogFileName(const char* tool, const int date_time[6], char* out, size_t size);
