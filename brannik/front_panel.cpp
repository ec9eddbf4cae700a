// front_panel: brannik's Start/Stop toggle, port choice, "Open File" and
// close guard, free of any platform call so that the state table can be
// tested natively. Runs on the user-interface thread.
//
// Two rules keep one flash at a time and keep a stop where it belongs:
// "Start Flash" does nothing until the previous sequence has returned, and
// clears any stop request that no sync consumed before it posts the new one.
// Once the sequence runs its phases, "Stop Flash" is ignored and the tool
// cannot be closed until the sequence has returned.
#include "front_panel.h"

#include "boot_monitor.h"
#include "firmware_image.h"
#include "flash_sequence.h"
#include "panel_buttons.h"
#include "port_worker.h"
#include "serial_port.h"

enum {
    PORT_SETTLE_MS = 50,   // pause after each open or close request, ms
};

static void StartFlash()
{
    // A sequence still ending (it notices a stop within one probe) would
    // otherwise run side by side with the new one.
    if (g_flash_sequence_active.load() != FLASH_SEQUENCE_NONE)
        return;
    LabelStopFlash();
    DisableComPort();
    DisableOpenFile();
    g_stop_request.store(0);
    // The flag is set before the post so that a sequence which ends at once
    // cannot have its restore overwritten by a late "started".
    g_flash_in_progress.store(1);
    RequestTransfer();
}

static void StopFlash()
{
    // Erase, program and EEPROM write run to their end; the sequence
    // restores the panel itself.
    if (g_flash_sequence_active.load() == FLASH_SEQUENCE_PHASES)
        return;
    g_stop_request.store(1);
    LabelStartFlash();
    EnableComPort();
    EnableOpenFile();
    g_flash_in_progress.store(0);
}

void OnStartStopFlash()
{
    if (!IsPortReady() || !IsFirmwareLoaded())
        return;
    if (g_flash_in_progress.load() == 0)
        StartFlash();
    else
        StopFlash();
}

void OnSelectPort()
{
    if (IsPortReady()) {
        RequestPortClose();
        SleepMs(PORT_SETTLE_MS);
        DisableStartFlash();
    }
    RequestPortOpen();
    SleepMs(PORT_SETTLE_MS);
    if (IsPortReady() && IsFirmwareLoaded())
        EnableStartFlash();
}

void OnOpenFile(void* owner)
{
    if (OpenFirmwareFile(owner) && IsPortReady())
        EnableStartFlash();
}

int OnPortPicked(int index)
{
    if (index >= 1) {
        // Picker entry 0 is "----"; entry k is port list entry k - 1.
        g_selected_port.store(GetListedPort(index - 1));
        return 1;
    }
    if (index == 0) {
        RequestPortClose();
        DisableStartFlash();
    }
    return 0;
}

int MayCloseTool()
{
    return g_flash_in_progress.load() == 0 &&
           g_flash_sequence_active.load() == FLASH_SEQUENCE_NONE;
}
