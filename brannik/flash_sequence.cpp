// flash_sequence: FlashFirmware, from the power-cycle prompt to the panel
// restore.
//
// The firmware image is copied into buffers of this module when the sequence
// starts, so a load made while the sequence runs (possible after a late
// "Stop Flash") cannot free or change what reaches the device.
#include "flash_sequence.h"

#include <string.h>

#include "boot_monitor.h"
#include "firmware_image.h"
#include "log_view.h"
#include "panel_buttons.h"
#include "progress_bar.h"
#include "serial_port.h"

std::atomic<int> g_flash_in_progress{0};
std::atomic<int> g_flash_sequence_active{FLASH_SEQUENCE_NONE};

// The sequence's own copy of the firmware image and its one frame buffer.
// Only the port worker touches them, one sequence at a time.
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

static const FlashPhase FLASH_PHASES[] = {
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

// Takes the sequence's copy of the loaded image; 0 when none is loaded.
static int CopyFirmwareImage()
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

// Back to idle: the order the panel has always been restored in.
static void RestorePanel()
{
    EnableStartFlash();
    EnableOpenFile();
    LabelStartFlash();
    EnableComPort();
    g_flash_in_progress.store(0);
}

void FlashFirmware()
{
    g_flash_sequence_active.store(FLASH_SEQUENCE_WAITING);

    // Reachable without an image only through a stop, a failed load and a
    // new start racing each other: nothing to send, back to idle.
    if (!CopyFirmwareImage()) {
        RestorePanel();
        g_flash_sequence_active.store(FLASH_SEQUENCE_NONE);
        return;
    }

    LogPrint("\r\nВыключите и включите питание устройства.\r\n");
    LogPrint("Прошивка начнется сразу после включения питания.\r\n");

    // Sync and identify failures leave the panel in the started state; the
    // user leaves it with "Stop Flash".
    if (!SyncBootMonitor() || !IdentifyBootMonitor()) {
        g_flash_sequence_active.store(FLASH_SEQUENCE_NONE);
        return;
    }

    // From here the phases run to their end and "Stop Flash" is ignored.
    // The button operation is a synchronous send, so a stop being handled
    // right now has finished when it returns and the flag below is final.
    g_flash_sequence_active.store(FLASH_SEQUENCE_PHASES);
    DisableStartFlash();
    if (g_flash_in_progress.load() == 0) {
        // A stop arrived after the device had answered: the phases run
        // anyway, so show them as running until the restore below.
        LabelStopFlash();
        DisableComPort();
        DisableOpenFile();
        g_flash_in_progress.store(1);
    }

    int ok = 1;
    for (const FlashPhase& phase : FLASH_PHASES) {
        if (!RunPhase(phase)) {
            ok = 0;
            break;
        }
    }
    if (ok) {
        LogPrint("Выключите и включите питание устройства !\r\n");
        ProgressReset();
    }

    RestorePanel();
    g_flash_sequence_active.store(FLASH_SEQUENCE_NONE);
}
