// scripted_port: the Port* backend of serial_port.h as a script (see
// scripted_port.h).
#include "scripted_port.h"

#include <string.h>

#include <string>
#include <vector>

#include "serial_port.h"

struct PortDevice {
    int com;
};

static ScriptStep s_fail = SCRIPT_FAIL_NONE;
static std::vector<std::string> s_names;
static std::vector<std::pair<std::string, std::string>> s_devices;
static int s_listings = 0;
static std::string s_calls;
static int s_open_handles = 0;
static PortLineSettings s_reported;
static PortLineSettings s_applied;

// What PortGetState writes, so that PortSetState can tell it got that state.
static const char STATE_MARK[] = "state-from-get";

static void Record(const std::string& call)
{
    if (!s_calls.empty())
        s_calls += ' ';
    s_calls += call;
}

void ScriptNote(const std::string& what) { Record(what); }

void ScriptReset()
{
    s_fail = SCRIPT_FAIL_NONE;
    s_names.clear();
    s_devices.clear();
    s_listings = 0;
    s_calls.clear();
    s_open_handles = 0;
    s_reported = ScriptCleanLine();
    memset(&s_applied, 0, sizeof s_applied);
}

PortLineSettings ScriptCleanLine()
{
    PortLineSettings l;
    memset(&l, 0, sizeof l);
    l.baud = 9600;
    l.byte_size = 8;
    l.binary = 1;
    l.dtr_control = PORT_LINE_ON;
    l.rts_control = PORT_LINE_ON;
    l.xon_char = 0x11;
    l.xoff_char = 0x13;
    l.xon_limit = 2048;
    l.xoff_limit = 512;
    return l;
}

void ScriptFailAt(ScriptStep step) { s_fail = step; }
void ScriptSetPresent(int com) { s_names.push_back("COM" + std::to_string(com)); }
void ScriptSetNames(const std::vector<std::string>& names) { s_names.insert(s_names.end(), names.begin(), names.end()); }
int ScriptListings() { return s_listings; }
std::string ScriptCalls() { return s_calls; }
void ScriptClearCalls() { s_calls.clear(); }
int ScriptOpenHandles() { return s_open_handles; }
void ScriptReportLine(const PortLineSettings& line) { s_reported = line; }
PortLineSettings ScriptAppliedLine() { return s_applied; }

void PortListNames(PortNameSink take, void* context)
{
    ++s_listings;
    for (const std::string& name : s_names)
        take(name.data(), (unsigned)name.size(), context);
}

void ScriptSetDevices(const std::vector<std::pair<std::string, std::string>>& records) { s_devices = records; }

void PortListDevices(PortDeviceSink take, void* context)
{
    for (const auto& r : s_devices)
        take(r.first.data(), (unsigned)r.first.size(), r.second.c_str(), context);
}

PortHandle PortCreate(int com)
{
    Record("create:" + std::to_string(com));
    if (s_fail == SCRIPT_FAIL_CREATE)
        return nullptr;
    ++s_open_handles;
    return new PortDevice{com};
}

void PortSetupQueues(PortHandle h, unsigned in_bytes, unsigned out_bytes)
{
    Record("queues:" + std::to_string(in_bytes) + "/" + std::to_string(out_bytes));
}

int PortGetState(PortHandle h, PortLineState* state)
{
    Record("get");
    if (s_fail == SCRIPT_FAIL_GET_STATE)
        return 0;
    memset(state->raw, 0, sizeof state->raw);
    memcpy(state->raw, STATE_MARK, sizeof STATE_MARK);
    state->line = s_reported;
    return 1;
}

int PortSetState(PortHandle h, const PortLineState* state)
{
    bool from_get = memcmp(state->raw, STATE_MARK, sizeof STATE_MARK) == 0;
    s_applied = state->line;
    Record("set:" + std::to_string(state->line.baud) + (from_get ? "" : "(not-from-get)"));
    return s_fail == SCRIPT_FAIL_SET_STATE ? 0 : 1;
}

int PortSetTimeouts(PortHandle h, const PortTimeouts* t)
{
    Record("timeouts:" + std::to_string(t->read_interval_ms) + "/" +
           std::to_string(t->read_multiplier_ms) + "/" + std::to_string(t->read_constant_ms) +
           "/" + std::to_string(t->write_multiplier_ms) + "/" +
           std::to_string(t->write_constant_ms));
    return s_fail == SCRIPT_FAIL_TIMEOUTS ? 0 : 1;
}

void PortPurge(PortHandle h) { Record("purge"); }
void PortDropInput(PortHandle h) { Record("drop-input"); }

int PortWrite(PortHandle h, const void* data, unsigned n)
{
    Record("write:" + std::to_string(n));
    return 1;
}

int PortRead(PortHandle h, void* data, unsigned n)
{
    Record("read:" + std::to_string(n));
    return 0;
}

void PortRelease(PortHandle h)
{
    Record("release");
    if (h) {
        --s_open_handles;
        delete h;
    }
}
