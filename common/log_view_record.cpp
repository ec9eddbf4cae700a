// log_view_record: the native stand-in for the log view and the error box.
// Everything inserted and every box shown is recorded for the tests; a mutex
// guards the record because tests log from more than one thread.
#include "log_view.h"

#include <mutex>
#include <string>

static std::mutex s_mutex;
static std::string s_log;
static std::string s_boxes;

void LogViewInsert(const char* expanded)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_log += expanded;
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

void ClearRecordedLog()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_log.clear();
    s_boxes.clear();
}
