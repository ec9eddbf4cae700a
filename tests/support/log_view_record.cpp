// log_view_record: the native stand-in for the log view and the error box.
// Everything inserted, every view message and every box shown is recorded
// for the tests; a mutex guards the record because tests log from more than
// one thread. Like a Windows rich edit control (and unlike Wine's), the view
// takes 32,767 characters until its limit is raised, and cuts an insertion
// that would pass the limit at it.
#include "log_view.h"
#include "recording.h"

#include <string.h>

#include <algorithm>
#include <mutex>
#include <string>

static std::mutex s_mutex;
static std::string s_log;
static std::string s_messages;
static std::string s_boxes;
static int s_refuse_settextex = 0;
static const size_t RICHEDIT_DEFAULT_LIMIT = 32767;  // characters, before EM_EXLIMITTEXT
static size_t s_limit = RICHEDIT_DEFAULT_LIMIT;

// The part of text that fits under the limit goes in; the rest is lost.
static void Insert(const char* text)
{
    size_t room = s_log.size() < s_limit ? s_limit - s_log.size() : 0;
    s_log.append(text, std::min(strlen(text), room));
}

void (*g_view_send_hook)() = nullptr;

static void SendPoint()
{
    if (g_view_send_hook)
        g_view_send_hook();
}

static void NoteMessage(const char* name)
{
    if (!s_messages.empty())
        s_messages += ' ';
    s_messages += name;
}

int LogViewSetTextEx(const char* text)
{
    SendPoint();
    std::lock_guard<std::mutex> lock(s_mutex);
    NoteMessage("settextex");
    if (s_refuse_settextex)
        return 0;
    Insert(text);
    return 1;
}

void LogViewReplaceSel(const char* text)
{
    SendPoint();
    std::lock_guard<std::mutex> lock(s_mutex);
    NoteMessage("replacesel");
    Insert(text);
}

void LogViewScrollCaret()
{
    SendPoint();
    std::lock_guard<std::mutex> lock(s_mutex);
    NoteMessage("scroll");
}

void LogViewLimitText(unsigned long chars)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    NoteMessage("limit");
    s_limit = chars;
}

void ClearLogView()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    NoteMessage("clear");
    s_log.clear();
}

void ShowErrorBox(const char* text, const char* title)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_boxes += title;
    s_boxes += '|';
    s_boxes += text;
    s_boxes += '\n';
}

std::string RecordedLog()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_log;
}

std::string RecordedErrorBoxes()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_boxes;
}

std::string RecordedLogMessages()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_messages;
}

void ClearRecordedLog()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_log.clear();
    s_messages.clear();
    s_boxes.clear();
    s_refuse_settextex = 0;
    s_limit = RICHEDIT_DEFAULT_LIMIT;  // a new control
}

void RefuseSetTextEx(int refuse)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_refuse_settextex = refuse;
}
