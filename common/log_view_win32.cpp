// Win32 backend of log_view: the RICHEDIT log view in the front panel and
// the error box. CreateLogView runs once on the user-interface thread while
// the front panel initialises; LogViewInsert is called from both threads and
// reaches the control through synchronous sends, so from the port worker it
// returns only once the user-interface thread has handled them.
#include "log_view.h"

#include <windows.h>
#include <richedit.h>

#include "tool_profile.h"
#include "shell_handles.h"
#include "system_library_win32.h"

enum {
    LOG_TEXT_CODE_PAGE = 1251,  // the tools' texts are Windows-1251 bytes
};

// The log font, created once and kept for the life of the process (the
// view uses it; it is never deleted). User-interface thread only.
static HFONT s_log_font = nullptr;

// riched32.dll from the system folder by its full path. Where Windows has
// no SetDefaultDllDirectories (XP, 7 without its update), riched32 is a
// wrapper that loads riched20.dll by name, the exe's folder first: loaded
// before it, by its full path, riched20 is the module that name then finds.
static HMODULE LoadRichEditLibrary()
{
    LoadSystemLibrary(L"riched20.dll");
    return LoadSystemLibrary(L"riched32.dll");
}

int CreateLogView(void* parent, const long rect[4])
{
    if (!LoadRichEditLibrary())
        return ErrorBox("Failed loading RICHED32.DLL");

    HWND view = CreateWindowExA(WS_EX_CLIENTEDGE, "RICHEDIT", nullptr, Tool().log_view_style,
                                rect[0], rect[1], rect[2] - rect[0], rect[3] - rect[1],
                                static_cast<HWND>(parent), nullptr, g_instance.load(), nullptr);
    g_log_view = view;
    if (!view)
        return ErrorBox("Failed create RichEdit Control");

    // The record's 10 pixels are at 96 DPI; the tools declare themselves DPI
    // aware, so the font follows the screen's DPI as the dialog does.
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen)
        ReleaseDC(nullptr, screen);
    LOGFONTA lf = {};
    lf.lfHeight = LogFontHeight(dpi);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = RUSSIAN_CHARSET;
    lf.lfOutPrecision = OUT_STRING_PRECIS;
    lf.lfClipPrecision = CLIP_STROKE_PRECIS;
    lf.lfQuality = DRAFT_QUALITY;
    lf.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
    lstrcpynA(lf.lfFaceName, "MS Sans Serif", LF_FACESIZE);
    s_log_font = CreateFontIndirectA(&lf);  // a failure leaves the view's own font
    SendMessageA(view, WM_SETFONT, reinterpret_cast<WPARAM>(s_log_font), 1);

    PrepareLogView();
    return 1;
}

void ClearLogView()
{
    HWND view = g_log_view.load();
    if (view)
        SendMessageA(view, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
}

void LogViewLimitText(unsigned long chars)
{
    HWND view = g_log_view.load();
    if (view)
        SendMessageA(view, EM_EXLIMITTEXT, 0, static_cast<LPARAM>(chars));
}

// Before the view exists (or when it could not be made) a text has nowhere
// to go; answering 1 keeps LogViewInsert from trying the other message.
int LogViewSetTextEx(const char* text)
{
    HWND view = g_log_view.load();
    if (!view)
        return 1;
    SETTEXTEX how = {ST_SELECTION, LOG_TEXT_CODE_PAGE};
    return SendMessageA(view, EM_SETTEXTEX, reinterpret_cast<WPARAM>(&how),
                        reinterpret_cast<LPARAM>(text)) != 0;
}

void LogViewReplaceSel(const char* text)
{
    HWND view = g_log_view.load();
    if (view)
        SendMessageA(view, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
}

void LogViewScrollCaret()
{
    HWND view = g_log_view.load();
    if (view)
        SendMessageA(view, EM_SCROLLCARET, 0, 0);
}

void ShowErrorBox(const char* text, const char* title)
{
    // No owner: the front panel stays usable while the box is up.
    MessageBoxA(nullptr, text, title, MB_SYSTEMMODAL | MB_ICONERROR);
}
