// flash_sequence: FlashFirmware, from the power-cycle prompt to the panel
// restore.
//
// The firmware image is copied into buffers of this module when "Start
// Flash" is pressed, on the user-interface thread, where loads happen too:
// a load made while the sequence runs (possible after a late "Stop Flash")
// frees and replaces only the loaded image, never what reaches the device.
#include "flash_sequence.h"

#include <string.h>

#include "boot_monitor.h"
#include "firmware_image.h"
#include "log_view.h"
#include "panel_buttons.h"
#include "progress_bar.h"
#include "serial_port.h"

Shared<int> g_flash_state{FLASH_IDLE};

int FlashInProgress()
{
    int state = g_flash_state.load();
    return state == FLASH_STARTED || state == FLASH_PHASES || state == FLASH_HALTED;
}

// The sequence's own copy of the firmware image, written by "Start Flash"
// while the flash state is idle and read by the sequence it posts; the
// state hands it from one thread to the other. The frame buffer is the
// port worker's alone.
static unsigned char s_code[ZEL_CODE_BYTES];
static unsigned char s_eeprom[ZEL_EEPROM_BYTES];
static unsigned char s_frame[BM_FRAME_MAX];

struct FlashPhase {
    const char* start_line;       // logged when the phase begins
    unsigned char command;        // BM_CMD_*
    unsigned blocks;              // exchanges, also the progress bar's range
    unsigned block_bytes;         // address step per block
    const unsigned char* image;   // payload source, or nullptr (erase)
};

static const FlashPhase PHASE_TABLE[] = {
    {"Стираем старый код ... ", BM_CMD_ERASE, FLASH_ERASE_BLOCKS, FLASH_ERASE_BLOCK_BYTES, nullptr},
    {"Прошиваем новый код ... ", BM_CMD_PROGRAM, FLASH_PROGRAM_BLOCKS, FLASH_PROGRAM_BLOCK_BYTES, s_code},
    {"Прошиваем новый EEPROM ...", BM_CMD_EEPROM_WRITE, FLASH_EEPROM_BLOCKS, FLASH_EEPROM_BLOCK_BYTES, s_eeprom},
};

// Failure line per exchange outcome; %i is the block counter.
static const char* ExchangeFailureMessage(ExchangeOutcome outcome)
{
    switch (outcome) {
    case BM_OUTCOME_WRITE_FAILED: return "\r\nОшибка связи с устройством. i = %i\r\n";
    case BM_OUTCOME_NO_REPLY: return "\r\nУстройство не отвечает. i = %i\r\n";
    case BM_OUTCOME_NOT_SUPPORTED: return "\r\nКомманда не поддерживается устройством. i = %i\r\n";
    case BM_OUTCOME_BAD_CHECKSUM: return "\r\nНе верная контрольная сумма комманды. i = %i\r\n";
    default: return "\r\nНеопознаный ответ от устройства. i = %i\r\n";
    }
}

int TakeFirmwareForFlash()
{
    const unsigned char* code = g_code_image.load();
    const unsigned char* eeprom = g_eeprom_image.load();
    if (!code || !eeprom)
        return 0;
    memcpy(s_code, code, ZEL_CODE_BYTES);
    memcpy(s_eeprom, eeprom, ZEL_EEPROM_BYTES);
    return 1;
}

// 1 when every block of the phase was acknowledged as done.
static int RunPhase(const FlashPhase& phase)
{
    LogPrint("%s", phase.start_line);
    ProgressReset();
    ProgressBegin(phase.blocks);
    PortPurge(g_port.load());

    for (unsigned k = 0; k < phase.blocks; k++) {
        const unsigned char* payload = phase.image ? phase.image + k * phase.block_bytes : nullptr;
        unsigned length = BuildCommandFrame(s_frame, phase.command, k * phase.block_bytes, payload);
        ExchangeOutcome outcome = ExchangeCommand(s_frame, length);
        if (outcome != BM_OUTCOME_DONE) {
            LogPrint(ExchangeFailureMessage(outcome), (int)k);
            return 0;
        }
        ProgressStep();
    }
    LogPrint("успешно !\r\n");
    return 1;
}

// Moves the state from `from` to `to`; 0 when the other thread had moved it.
static int MoveState(int from, int to)
{
    return g_flash_state.compare_exchange_strong(from, to);
}

// A stopped sequence hands the panel back untouched; 1 when it was stopped.
static int EndIfStopped()
{
    return MoveState(FLASH_STOPPED, FLASH_IDLE);
}

// Sync or identify failed: the panel stays started until "Stop Flash",
// unless the user has pressed it already.
// A stop the technician made is no failure: the bar and the button are
// cleared instead. They are shown before the state moves: once it is idle
// the next flash may begin. (A stop that crosses the failure here shows it.)
static void EndWithoutRestore()
{
    if (g_flash_state.load() == FLASH_STOPPED)
        ProgressRunStopped();
    else
        ProgressRunFailed();
    if (!MoveState(FLASH_STARTED, FLASH_HALTED))
        EndIfStopped();
}

// The device answered and identified itself: the phases run from here on,
// whatever was pressed. The state moves first, so "Stop Flash" and the
// close guard see the phases before the panel shows them.
static void BeginPhases()
{
    if (MoveState(FLASH_STARTED, FLASH_PHASES)) {
        DisableStartFlash();
        return;
    }
    // A stop crossed the device's answer (or came during identify): show
    // the running phases again until the restore.
    g_flash_state.store(FLASH_PHASES);
    DisableStartFlash();
    LabelStopFlash();
    DisableComPort();
    DisableOpenFile();
}

// Back to idle: the order the panel has always been restored in; the state
// goes back to idle last.
static void RestorePanel()
{
    EnableStartFlash();
    EnableOpenFile();
    LabelStartFlash();
    EnableComPort();
    g_flash_state.store(FLASH_IDLE);
}

void FlashFirmware()
{
    // Stopped before it began: no probe, and the panel is the user's (the
    // bar and the button still show the last run that did begin).
    if (EndIfStopped())
        return;

    LogPrint("\r\nВыключите и включите питание устройства.\r\n");
    LogPrint("Прошивка начнется сразу после включения питания.\r\n");

    // A stop during the prompts ends the sequence before its first probe.
    if (EndIfStopped())
        return;
    ProgressRunWaiting();
    if (!SyncBootMonitor() || !IdentifyBootMonitor()) {
        EndWithoutRestore();
        return;
    }

    BeginPhases();
    int ok = 1;
    for (const FlashPhase& phase : PHASE_TABLE) {
        if (!RunPhase(phase)) {
            ok = 0;
            break;
        }
    }
    if (ok) {
        LogPrint("Выключите и включите питание устройства !\r\n");
        ProgressReset();
        ProgressRunSucceeded();
    } else {
        ProgressRunFailed();
    }
    RestorePanel();
}
