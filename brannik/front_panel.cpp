// front_panel: brannik's Start/Stop toggle, port choice, "Open File" and
// close guard, free of any platform call so that the state table can be
// tested natively. Runs on the user-interface thread (OnPortRequestsServed
// when the port worker sends it there).
//
// Where a flash stands is g_flash_state (flash_sequence.h), shared with the
// sequence. "Start Flash" moves it to started before it posts the sequence;
// "Stop Flash" returns the panel to idle at once and lets "Exit" through,
// and the sequence, once it sees the stop, returns without probing again.
// "Start Flash" does nothing until a stopped sequence has returned (within
// one probe), so there is never more than one. Nothing here enables the
// Start/Stop button while the phases run.
//
// A port pick is posted to the port worker (port_worker.h) and the panel
// goes on at once, whatever the worker has in hand. The Start/Stop button
// is disabled from the pick until the worker has carried out every change
// queued (OnPortRequestsServed), and "Start Flash" does nothing meanwhile;
// "Stop Flash" works whatever the port, so no state outlives a press of it.
//
// From "Start Flash" until the flash state is idle again (the panel
// restored, or the stopped sequence returned) the PC is kept out of idle
// sleep. Windows keeps that request per thread, so it is made and released
// here, on the user-interface thread, never by the sequence.
#include "front_panel.h"

#include "boot_monitor.h"
#include "firmware_image.h"
#include "flash_sequence.h"
#include "keep_awake.h"
#include "panel_buttons.h"
#include "port_worker.h"
#include "serial_port.h"

// The panel shows idle (not started, no phases), so the Start/Stop button
// may follow the port and the image.
static int PanelShowsIdle()
{
    int state = g_flash_state.load();
    return state == FLASH_IDLE || state == FLASH_STOPPED;
}

// A flash may start: a port open, an image loaded, and no port change still
// queued that would change the port under it (or leave none).
static int ReadyToFlash()
{
    return PortChangesQueued() == 0 && IsPortReady() && IsFirmwareLoaded();
}

static void StartFlash()
{
    // The sequence flashes this copy, whatever is loaded while it runs.
    if (!TakeFirmwareForFlash())
        return;
    LabelStopFlash();
    DisableComPort();
    DisableOpenFile();
    // A stop that no sync consumed must not reach this flash.
    g_stop_request.store(0);
    // Awake before the flash can begin, so that no moment of it is without.
    KeepSystemAwake(1);
    // Started before the post, so that the sequence finds it so.
    g_flash_state.store(FLASH_STARTED);
    RequestTransfer();
}

static void StopFlash()
{
    g_stop_request.store(1);
    LabelStartFlash();
    EnableComPort();
    EnableOpenFile();
}

void OnStartStopFlash()
{
    int state = g_flash_state.load();
    if (state == FLASH_IDLE) {
        if (ReadyToFlash())
            StartFlash();
    } else if (state == FLASH_HALTED) {
        // The sequence has returned already: nothing is left to stop it.
        // Whatever the port and the image are now, the panel goes back to
        // idle, or nothing but ending the process would free it.
        g_flash_state.store(FLASH_IDLE);
        StopFlash();
        KeepSystemAwake(0);
        if (!ReadyToFlash())
            DisableStartFlash();
    } else if (state == FLASH_STARTED) {
        // The sequence may turn to the phases at this very moment; then
        // the phases run to their end and the button is already disabled.
        if (g_flash_state.compare_exchange_strong(state, FLASH_STOPPED))
            StopFlash();
    }
    // FLASH_STOPPED: the stopped sequence has yet to return.
    // FLASH_PHASES: the phases run to their end.
}

// User-interface thread only: the last pick was "----".
static int s_picked_none = 0;

// A change of port is posted to the worker, behind whatever it has in hand
// (a stopped flash whose probe write may never return, an open waiting on
// a Bluetooth port); the button waits for it to be carried out. "----" is
// a close alone, in the same queue, so picks are carried out in the order
// they were made: a port and then "----" leave no port open.
void OnSelectPort()
{
    DisableStartFlash();
    RequestPortClose();
    if (!s_picked_none)
        RequestPortOpen();
}

void OnOpenFile(void* owner)
{
    // The dialog pumps messages: the phases may have begun meanwhile.
    if (OpenFirmwareFile(owner) && ReadyToFlash() && PanelShowsIdle())
        EnableStartFlash();
}

void OnPortRequestsServed()
{
    // The panel saw the port as it was before this change (the pick that
    // queued it); the button follows the port as it is now, and stays
    // disabled while other changes are queued behind it.
    if (!PanelShowsIdle())
        return;
    if (ReadyToFlash())
        EnableStartFlash();
    else
        DisableStartFlash();
}

void OnFlashReturned()
{
    // Idle: the sequence restored the panel or returned stopped. Otherwise
    // it halted (the panel waits for "Stop Flash"), or "Start Flash" has
    // already posted the next one.
    if (g_flash_state.load() == FLASH_IDLE)
        KeepSystemAwake(0);
}

int OnPortPicked(int index)
{
    if (index >= 1) {
        // Picker entry 0 is "----"; entry k is port list entry k - 1.
        s_picked_none = 0;
        g_selected_port.store(GetListedPort(index - 1));
        return 1;
    }
    if (index == 0) {
        // The selected port keeps its value; the close goes the way of
        // every pick.
        s_picked_none = 1;
        DisableStartFlash();
        return 1;
    }
    return 0;
}

int MayCloseTool()
{
    return !FlashInProgress();
}
