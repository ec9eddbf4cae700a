// port_worker: what the port worker does with the requests that reach it,
// free of any platform call so that the native tests drive the same rules.
//
// An open or close is carried out at once, unless a transfer is running:
// then it was delivered while the transfer waited in one of its own
// synchronous sends, and carrying it out would change the port under the
// transfer. It is parked instead and served, in arrival order, as soon as
// the transfer returns, before the worker takes anything else.
#include "port_worker.h"

#include "serial_port.h"
#include "shared_value.h"

enum {
    PENDING_SLOTS = 16,  // opens/closes parked during one transfer
};

// Port worker thread only.
static int s_busy = 0;  // 1 while a transfer (and the pending list after it) runs
static unsigned s_pending[PENDING_SLOTS];
static int s_pending_count = 0;

static Shared<int> s_posted_served{0};  // written by the port worker only

// A full list is reduced to its net effect on the port: the last close, if
// any, then one open if an open came after it. Open and close each depend
// only on whether a port is open, so the port ends as the full list would
// have left it; only the log lines of the dropped steps are lost.
static void CompactPending()
{
    int last_close = -1;
    for (int i = 0; i < s_pending_count; ++i)
        if (s_pending[i] == ID_COM_CLOSE)
            last_close = i;
    int open_after = 0;
    for (int i = last_close + 1; i < s_pending_count; ++i)
        if (s_pending[i] == ID_COM_OPEN)
            open_after = 1;
    s_pending_count = 0;
    if (last_close >= 0)
        s_pending[s_pending_count++] = ID_COM_CLOSE;
    if (open_after)
        s_pending[s_pending_count++] = ID_COM_OPEN;
}

static void RunPortRequest(unsigned command)
{
    if (command == ID_COM_OPEN)
        OpenComPort();
    else
        CloseComPort();
}

int WorkerPortRequest(unsigned command)
{
    if (!s_busy) {
        RunPortRequest(command);
        return 1;
    }
    if (s_pending_count == PENDING_SLOTS)
        CompactPending();
    s_pending[s_pending_count++] = command;
    return 0;
}

void WorkerRunTransfer(void (*transfer)(), void (*after_port_change)(), void (*after_transfer)())
{
    s_busy = 1;
    transfer();
    // Still busy: a request arriving while a parked one runs (inside its log
    // send) joins the end of the list instead of running nested.
    int served = 0;
    while (s_pending_count > 0) {
        unsigned command = s_pending[0];
        for (int i = 1; i < s_pending_count; ++i)
            s_pending[i - 1] = s_pending[i];
        --s_pending_count;
        RunPortRequest(command);
        served = 1;
    }
    // Done: a request that arrives while the hooks below wait in their
    // sends to the user-interface thread is carried out at once. Parked, it
    // would wait for the next transfer.
    s_busy = 0;
    if (served && after_port_change)
        after_port_change();
    if (after_transfer)
        after_transfer();
}

void WorkerRunPostedRequest(unsigned command, void (*after_port_change)())
{
    RunPortRequest(command);
    s_posted_served.store(s_posted_served.load() + 1);
    if (after_port_change)
        after_port_change();
}

int PostedPortRequestsServed()
{
    return s_posted_served.load();
}
