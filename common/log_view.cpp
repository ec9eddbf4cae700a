// log_view: formatting and line-feed expansion of log texts and error-box
// texts; the platform part shows them (log_view_win32.cpp or
// log_view_record.cpp).
#include "log_view.h"

#include <stdarg.h>
#include <stdio.h>

#include "tool_profile.h"

int LogFontHeight(int dpi)
{
    const int base_dpi = 96;
    if (dpi <= 0)
        dpi = base_dpi;
    // Negative: a character height, not a cell height.
    return -((LOG_FONT_PIXELS_AT_96_DPI * dpi + base_dpi / 2) / base_dpi);
}

size_t ExpandLineFeeds(const char* text, char* out, size_t out_size)
{
    if (out_size == 0)
        return 0;
    size_t room = out_size - 1;  // keep one byte for the terminating zero
    size_t len = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') {
            // The CR and its LF go in together or not at all.
            if (len + 2 > room) {
                // Nor leave a CR of the text's own whose LF did not fit.
                if (len > 0 && out[len - 1] == '\r' && p > text && p[-1] == '\r')
                    --len;
                break;
            }
            out[len++] = '\r';
            out[len++] = '\n';
        } else {
            if (len + 1 > room)
                break;
            out[len++] = *p;
        }
    }
    out[len] = '\0';
    return len;
}

void LogPrint(const char* format, ...)
{
    // Both buffers are the caller's own, so two threads may log at once.
    char text[LOG_FORMAT_BYTES];
    char expanded[LOG_EXPAND_BYTES];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);  // cuts an overlong text
    va_end(args);
    if (n < 0)
        text[0] = '\0';
    ExpandLineFeeds(text, expanded, sizeof expanded);
    LogViewInsert(expanded);
}

void LogViewInsert(const char* expanded)
{
    // An empty text would only delete a selection the user made, so it is
    // not sent; the view still scrolls.
    if (expanded[0] != '\0' && !LogViewSetTextEx(expanded))
        LogViewReplaceSel(expanded);
    LogViewScrollCaret();
}

void PrepareLogView()
{
    LogViewLimitText(LOG_VIEW_TEXT_LIMIT);
    ClearLogView();
}

int ErrorBox(const char* format, ...)
{
    char text[ERROR_BOX_BYTES];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        text[0] = '\0';
    ShowErrorBox(text, Tool().error_title);
    return 0;
}
