// log_view_record: the native stand-in for the log view and the error box.
// Everything inserted, every view message and every box shown is recorded
// for the tests; a mutex guards the record because tests log from more than
// one thread.
#include "log_view.h"
#include "recording.h"

#include <mutex>
#include <string>

static std::mutex s_mutex;
static std::string s_log;
static std::string s_messages;
static std::string s_boxes;
static int s_refuse_settextex = 0;

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
    s_log += text;
    return 1;
}

void LogViewReplaceSel(const char* text)
{
    SendPoint();
    std::lock_guard<std::mutex> lock(s_mutex);
    NoteMessage("replacesel");
    s_log += text;
}

void LogViewScrollCaret()
{
    SendPoint();
    std::lock_guard<std::mutex> lock(s_mutex);
    NoteMessage("scroll");
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
}

void RefuseSetTextEx(int refuse)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_refuse_settextex = refuse;
}
