// log_save: the clipboard text and the log file (see log_save.h).
#include "log_save.h"

#include <stdio.h>

std::u16string LogTextWithCrLf(const char16_t* text, size_t n)
{
    std::u16string out;
    out.reserve(n + n / 16);
    for (size_t i = 0; i < n; ++i) {
        char16_t c = text[i];
        if (c != u'\r' && c != u'\n') {
            out += c;
            continue;
        }
        // One break: CRs followed by an LF, a lone LF, or a lone CR.
        if (c == u'\r') {
            size_t j = i;
            while (j < n && text[j] == u'\r')
                ++j;
            if (j < n && text[j] == u'\n')
                i = j;
        }
        out += u"\r\n";
    }
    return out;
}

static void PutUtf8(std::string* out, unsigned code)
{
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string Utf16ToUtf8(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            PutUtf8(&out, 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            PutUtf8(&out, 0xFFFD);
        } else {
            PutUtf8(&out, c);
        }
    }
    return out;
}

void LogPortText(const char* entry, unsigned baud, char* out, size_t size)
{
    if (entry)
        snprintf(out, size, "%s, %u baud", entry, baud);
    else
        snprintf(out, size, "none open");
}

std::string LogFileBytes(const LogFileHeader& header, const std::u16string& log_crlf)
{
    char head[1024];
    snprintf(head, sizeof head,
             "\xEF\xBB\xBF"
             "Tool: %s %s (%d-bit exe)\r\n"
             "Windows: %s\r\n"
             "Saved: %s\r\n"
             "Port: %s\r\n"
             "\r\n",
             header.tool, header.version, header.exe_bits, header.windows, header.saved, header.port);
    return head + Utf16ToUtf8(log_crlf);
}

void LogFileName(const char* tool, const int t[6], char* out, size_t size)
{
    snprintf(out, size, "%s-%04d-%02d-%02d-%02d%02d%02d.log", tool, t[0], t[1], t[2], t[3], t[4], t[5]);
}
