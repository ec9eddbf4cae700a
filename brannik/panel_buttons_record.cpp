// panel_buttons_record: the native model of brannik's three flash controls
// (Start/Stop button, port picker, "Open File") with a log of the eight
// operations for the tests. A mutex guards it: the flash sequence calls the
// operations on the port worker while the front panel and tests do so on
// other threads.
#include "panel_buttons.h"

#include <mutex>
#include <string>

static std::mutex s_mutex;
static PanelModel s_panel = {false, "Start Flash", true, true};
static std::string s_ops;

static void Record(const char* op)
{
    if (!s_ops.empty())
        s_ops += ' ';
    s_ops += op;
}

void LabelStopFlash()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.start_label = "Stop Flash";
    Record("LabelStopFlash");
}

void LabelStartFlash()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.start_label = "Start Flash";
    Record("LabelStartFlash");
}

void DisableStartFlash()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.start_enabled = false;
    Record("DisableStartFlash");
}

void DisableComPort()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.comport_enabled = false;
    Record("DisableComPort");
}

void DisableOpenFile()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.openfile_enabled = false;
    Record("DisableOpenFile");
}

void EnableStartFlash()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.start_enabled = true;
    Record("EnableStartFlash");
}

void EnableComPort()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.comport_enabled = true;
    Record("EnableComPort");
}

void EnableOpenFile()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.openfile_enabled = true;
    Record("EnableOpenFile");
}

PanelModel RecordedPanel()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_panel;
}

std::string RecordedPanelOps()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_ops;
}

void ClearRecordedPanel()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel = PanelModel{false, "Start Flash", true, true};
    s_ops.clear();
}
