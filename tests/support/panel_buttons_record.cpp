// panel_buttons_record: the native model of brannik's three flash controls
// (Start/Stop button, port picker, "Open File") with a log of the eight
// operations for the tests. A mutex guards it: the flash sequence calls the
// operations on the port worker while the front panel and tests do so on
// other threads.
#include "panel_buttons.h"
#include "recording.h"

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

static void Label(const char* text, const char* op)
{
    if (g_view_send_hook)
        g_view_send_hook();
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.start_label = text;
    Record(op);
}

static void Enable(bool PanelModel::*control, bool on, const char* op)
{
    if (g_view_send_hook)
        g_view_send_hook();
    std::lock_guard<std::mutex> lock(s_mutex);
    s_panel.*control = on;
    Record(op);
}

void LabelStopFlash() { Label("Stop Flash", "LabelStopFlash"); }
void LabelStartFlash() { Label("Start Flash", "LabelStartFlash"); }
void DisableStartFlash() { Enable(&PanelModel::start_enabled, false, "DisableStartFlash"); }
void DisableComPort() { Enable(&PanelModel::comport_enabled, false, "DisableComPort"); }
void DisableOpenFile() { Enable(&PanelModel::openfile_enabled, false, "DisableOpenFile"); }
void EnableStartFlash() { Enable(&PanelModel::start_enabled, true, "EnableStartFlash"); }
void EnableComPort() { Enable(&PanelModel::comport_enabled, true, "EnableComPort"); }
void EnableOpenFile() { Enable(&PanelModel::openfile_enabled, true, "EnableOpenFile"); }

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
