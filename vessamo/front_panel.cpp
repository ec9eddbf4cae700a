// vessamo's reactions to the front panel, on the user-interface thread.
// Nothing here waits on the port worker.
#include "front_panel.h"

#include "port_worker.h"
#include "serial_port.h"

void OnFlashEeprom()
{
    RequestTransfer();  // queued; the panel stays usable meanwhile
}

void OnSelectPort()
{
    // Close and reopen even when the same port is picked again: that is how
    // the user resets a port in a bad state. Both are posted: the worker
    // carries them out after a running transfer has ended, and pauses after
    // the open; the panel goes on at once.
    RequestPortClose();
    RequestPortOpen();
}

int OnPortPicked(int index)
{
    if (index < 1)
        return 0;  // "----" or no selection: an open port stays open
    // Picker line k stands for port list entry k - 1 (line 0 is "----").
    g_selected_port = GetListedPort(index - 1);
    return 1;
}
