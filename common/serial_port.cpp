// serial_port: enumeration, open and close of the tool's one serial port,
// over the Port* backend of the platform (see serial_port.h).
#include "serial_port.h"

#include <initializer_list>

#include "log_view.h"
#include "tool_profile.h"

Shared<PortHandle> g_port{nullptr};
Shared<int> g_selected_port{0};
Shared<int> g_open_port{0};
Shared<void*> g_port_worker_thread{nullptr};

static const char MSG_PORT_OPENED[] = "Открыт порт COM%i\n";  // same in both tools

enum {
    PORT_PURGE_ALL = 0x0F,  // abort and clear both directions (PurgeComm flags)
};

// User-interface thread only.
static int s_port_list[PORT_LIST_SLOTS];
static Shared<int> s_port_count{0};

// The COM number a port name stands for when the tool opens "\\.\COM<n>":
// "COM" (any case) and a number without leading zeros, up to three digits;
// trailing blanks and zeros (a registry string's padding) are ignored. 0 for
// anything else ("COM007", "COM3A", "LPT1", "COM0").
int ComPortNumber(const char* name, unsigned length)
{
    while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '\t' || name[length - 1] == '\0'))
        --length;
    if (length < 4 || length > 6)
        return 0;
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm')
        return 0;
    // "COM007" is another device name than "COM7", which the tool would open.
    if (name[3] == '0')
        return 0;
    int com = 0;
    for (unsigned i = 3; i < length; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        com = com * 10 + (name[i] - '0');
    }
    return com;
}

struct NamedPorts {
    int last;
    unsigned char named[PORT_LIST_SLOTS];  // by COM number
};

static void TakePortName(const char* name, unsigned length, void* context)
{
    NamedPorts* ports = static_cast<NamedPorts*>(context);
    int com = ComPortNumber(name, length);
    if (com >= 1 && com <= ports->last)
        ports->named[com] = 1;
}

int EnumComPorts(int also)
{
    // Built anew each time: both sources may name a port, and names repeat.
    NamedPorts ports = {};
    ports.last = Tool().last_listed_port;
    if (ports.last > PORT_LIST_SLOTS - 1)
        ports.last = PORT_LIST_SLOTS - 1;
    PortListNames(TakePortName, &ports);
    // The user sees what is open, even an adapter already pulled: a
    // transfer on it reports the lost line, and a pick of another entry
    // closes it.
    for (int keep : {g_open_port.load(), also})
        if (keep >= 1 && keep <= ports.last)
            ports.named[keep] = 1;
    int count = 0;
    for (int com = 1; com <= ports.last; ++com)
        if (ports.named[com])
            s_port_list[count++] = com;
    s_port_count.store(count);
    return count;
}

int GetListedPort(int index)
{
    if (index < 0 || index >= s_port_count.load())
        return 0;
    return s_port_list[index];
}

int ApplyPortTimeouts(PortHandle h, unsigned read_constant_ms)
{
    PortTimeouts t;
    t.read_interval_ms = 0;
    t.read_multiplier_ms = Tool().read_multiplier_ms;
    t.read_constant_ms = read_constant_ms;
    t.write_multiplier_ms = 0;
    t.write_constant_ms = 0;
    return PortSetTimeouts(h, &t);
}

void TakeOverLine(PortLineSettings* line, unsigned baud)
{
    line->baud = baud;
    line->byte_size = 8;
    line->parity = 0;
    line->stop_bits = 0;
    line->binary = 1;
    // Nothing waits on a modem line or on XOFF: with no write time-out, a
    // write held back by either would never return.
    line->out_cts_flow = 0;
    line->out_dsr_flow = 0;
    line->out_xon_xoff = 0;
    line->in_xon_xoff = 0;
    // Every byte arrives as sent: none dropped, stripped or replaced.
    line->dsr_sensitivity = 0;
    line->null_strip = 0;
    line->error_char = 0;
    line->parity_check = 0;
    // A framing error (the device's power cycle puts one on the line during
    // the sync) must not fail every read and write that follows.
    line->abort_on_error = 0;
    if (line->dtr_control == PORT_LINE_HANDSHAKE)
        line->dtr_control = PORT_LINE_ON;
    if (line->rts_control == PORT_LINE_HANDSHAKE)
        line->rts_control = PORT_LINE_ON;
    // Windows refuses a DCB whose XON and XOFF are the same character or
    // whose limits pass the queue, even with XON/XOFF off.
    line->xon_char = PORT_XON_CHAR;
    line->xoff_char = PORT_XOFF_CHAR;
    line->xon_limit = PORT_XON_LIMIT;
    line->xoff_limit = PORT_XOFF_LIMIT;
}

// A failed set-up step: release the port, forget it, then log.
static int FailOpen(PortHandle h, const char* format, int com)
{
    PortRelease(h);
    g_port.store(nullptr);
    g_open_port.store(0);
    LogPrint(format, com);
    return 0;
}

int OpenComPort()
{
    return OpenComPortNumber(g_selected_port.load());
}

int OpenComPortNumber(int com)
{
    // Already open: keep that port and its settings, even if another number
    // has been picked since.
    if (g_port.load())
        return 1;
    const ToolProfile& tool = Tool();

    PortHandle h = PortCreate(com);
    if (!h) {
        g_port.store(nullptr);
        LogPrint(tool.msg_open_failed, com);
        return 0;
    }
    g_port.store(h);
    PortSetupQueues(h, PORT_QUEUE_BYTES, PORT_QUEUE_BYTES);

    // The format strings of some tools ignore the COM number; passing it
    // always keeps the call the same for both.
    PortLineState state;
    if (!PortGetState(h, &state))
        return FailOpen(h, tool.msg_get_state_failed, com);
    TakeOverLine(&state.line, tool.baud);
    if (!PortSetState(h, &state))
        return FailOpen(h, tool.msg_set_state_failed, com);
    PortPurge(h);
    if (!ApplyPortTimeouts(h, Tool().read_constant_ms))
        return FailOpen(h, tool.msg_timeouts_failed, com);

    g_open_port.store(com);
    LogPrint(MSG_PORT_OPENED, com);
    return 1;
}

void CloseComPort()
{
    PortHandle h = g_port.load();
    if (!h)
        return;
    PortPurge(h);
    PortRelease(h);
    g_port.store(nullptr);
    g_open_port.store(0);
    if (Tool().msg_port_closed)
        LogPrint("%s", Tool().msg_port_closed);
}

int IsPortReady()
{
    return g_port_worker_thread.load() != nullptr && g_port.load() != nullptr;
}
