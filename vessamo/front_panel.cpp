// vessamo's reactions to the front panel, on the user-interface thread.
#include "front_panel.h"

#include "port_worker.h"
#include "serial_port.h"

enum {
    REOPEN_PAUSE_MS = 50,  // pause after reopening the port, ms
};

void OnFlashEeprom()
{
    RequestTransfer();  // queued; the panel stays usable meanwhile
}

void OnSelectPort()
{
    // Close and reopen even when the same port is picked again: that is how
    // the user resets a port in a bad state. The worker defers both until a
    // running transfer has ended.
    if (IsPortReady())
        RequestPortClose();
    RequestPortOpen();
    SleepMs(REOPEN_PAUSE_MS);
}

int OnPortPicked(int index)
{
    if (index < 1)
        return 0;  // "----" or no selection: an open port stays open
    // Picker line k stands for port list entry k - 1 (line 0 is "----").
    g_selected_port = GetListedPort(index - 1);
    return 1;
}
