// port_worker: what the port worker does with the requests that reach it,
// free of any platform call so that the native tests drive the same rules.
//
// Every request is posted, and the worker takes posted work only in its own
// loop, one piece at a time: a port change never runs inside a transfer (the
// transfer's sends to the user-interface thread let only sent messages in),
// and changes run in the order they were asked for.
#include "port_worker.h"

#include "serial_port.h"
#include "shared_value.h"
#include "tool_profile.h"

// User-interface thread only: changes posted so far, and the port of the
// last open among them unless a close was posted after it.
static int s_changes_posted = 0;
static int s_last_open = 0;
// Written by the user-interface thread only: the number, in posting order,
// of the last close posted. Every pick begins with a close, so an open with
// a lower number than this one was overtaken by a later pick.
static Shared<int> s_last_close_posted{0};
// Written by the port worker only, before its after_port_change.
static Shared<int> s_changes_served{0};
// Port worker thread only.
static int s_busy = 0;

void RequestPortOpen()
{
    // The port picked now: a later pick, made while this one is still
    // queued, must not change what this one opens.
    int com = g_selected_port.load();
    if (PostPortChange(ID_COM_OPEN, com)) {
        ++s_changes_posted;
        s_last_open = com;
    }
}

void RequestPortClose()
{
    if (PostPortChange(ID_COM_CLOSE, 0)) {
        ++s_changes_posted;
        s_last_open = 0;  // whatever open is queued, a close follows it
        s_last_close_posted.store(s_changes_posted);
    }
}

int PortChangesQueued()
{
    return s_changes_posted - s_changes_served.load();
}

int PortOpenQueued()
{
    return PortChangesQueued() ? s_last_open : 0;
}

static void Pause(unsigned ms)
{
    if (ms)
        WorkerPause(ms);
}

int WorkerRunPortChange(unsigned command, int com, void (*after_port_change)())
{
    s_busy = 1;
    // Changes are served in posting order: this one's number follows the
    // count served. A close posted after an open means a later pick: the
    // open would only raise DTR and RTS on a port nobody chose (a board
    // wired to DTR resets, a Bluetooth port calls its phone) before that
    // close drops it again, so it is not made. Closes are always made.
    int number = s_changes_served.load() + 1;
    int made = 1;
    if (command == ID_COM_OPEN) {
        if (s_last_close_posted.load() > number) {
            made = 0;
        } else {
            OpenComPortNumber(com);
            Pause(Tool().open_pause_ms);
        }
    } else if (g_port.load()) {
        CloseComPort();
        Pause(Tool().close_pause_ms);
    }
    s_busy = 0;
    s_changes_served.store(number);
    if (after_port_change)
        after_port_change();
    return made;
}

void WorkerRunTransfer(void (*transfer)(), void (*after_transfer)())
{
    s_busy = 1;
    transfer();
    s_busy = 0;
    if (after_transfer)
        after_transfer();
}

int WorkerBusy()
{
    return s_busy;
}
