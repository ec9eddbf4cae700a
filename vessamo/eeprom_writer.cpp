// FlashEeprom: writes the EEPROM data to the device block by block.
// Runs on the port worker thread; the port worker never closes or reopens
// the port while this runs, but the handle is still read afresh for every
// call on the port.
#include "eeprom_writer.h"

#include "eeprom_file.h"
#include "log_view.h"
#include "progress_bar.h"
#include "serial_port.h"

enum {
    EEPROM_ADDRESS_HIGH_MASK = 0x03,  // frame byte 2 holds address bits 17-16 only
    EEPROM_FRAME_DATA_OFFSET = 5,     // start, count, 3 address bytes, then the data
};

void BuildEepromFrame(unsigned char* frame, unsigned block, const unsigned char* data)
{
    // 18-bit EEPROM byte address, big-endian; higher bits are dropped, so
    // block 2,048 lands on block 0's address (the loader refuses such data).
    unsigned address = block * EEPROM_BLOCK_BYTES;
    frame[0] = EEPROM_FRAME_START;
    frame[1] = EEPROM_FRAME_COUNT;
    frame[2] = (unsigned char)((address >> 16) & EEPROM_ADDRESS_HIGH_MASK);
    frame[3] = (unsigned char)((address >> 8) & 0xFF);
    frame[4] = (unsigned char)(address & 0xFF);
    for (int k = 0; k < EEPROM_BLOCK_BYTES; ++k)
        frame[EEPROM_FRAME_DATA_OFFSET + k] = data[k];
}

// The blocks, each written and acknowledged; 1 when every one was.
static int WriteBlocks()
{
    // Drop whatever an earlier, failed run left in either direction.
    PortPurge(g_port.load());
    LogPrint("Записываем данные ... ");

    ProgressReset();
    ProgressBegin((unsigned)g_eeprom_length / EEPROM_BLOCK_BYTES);

    unsigned char frame[EEPROM_FRAME_BYTES];
    unsigned char reply[EEPROM_REPLY_BYTES];

    for (unsigned i = 0; i < (unsigned)g_eeprom_length / EEPROM_BLOCK_BYTES; ++i) {
        BuildEepromFrame(frame, i, g_eeprom_data + (size_t)i * EEPROM_BLOCK_BYTES);

        PortHandle port = g_port.load();
        if (!port || !PortWrite(port, frame, EEPROM_FRAME_BYTES)) {
            LogPrint("Ошибка отправки данных. i = %i\n", (int)i);
            return 0;
        }

        // Any surplus beyond 15 bytes stays queued and starts the next reply.
        port = g_port.load();
        int got = port ? PortRead(port, reply, EEPROM_REPLY_BYTES) : 0;
        if (got < 0)
            got = 0;  // a failed read counts as nothing received
        if (got != EEPROM_REPLY_BYTES) {
            LogPrint("Неверное количество полученных данных. i = %i, lpSize = %i\n", (int)i, got);
            return 0;
        }
        if (reply[0] != EEPROM_FRAME_START) {
            LogPrint("Неверный формат ответной посылки. i = %i  %02X %02X %02X %02X\n",
                     (int)i, reply[0], reply[1], reply[2], reply[3]);
            return 0;
        }

        switch (reply[1]) {
        case EEPROM_REPLY_WRITTEN:
            ProgressStep();
            break;
        case EEPROM_REPLY_WRITE_ERROR:
            LogPrint("Ошибка записи в микросхему EEPROM. i = %i, err = %i\n", (int)i, reply[2]);
            return 0;
        case EEPROM_REPLY_BUS_NOT_READY:
            LogPrint("Шина данных устройства EEPROM не готова. i = %i, err = %i\n", (int)i, reply[2]);
            return 0;
        case EEPROM_REPLY_SIZE_ERROR:
            LogPrint("Не верный размер переданных данных. i = %i\n", (int)i);
            return 0;
        default:
            break;  // a status the device family may add later: not a failure
        }
    }

    LogPrint("OK !\r\n");
    ProgressReset();
    return 1;
}

void FlashEeprom()
{
    if (!g_port.load())
        return;  // no port: not a word, not a byte
    if (WriteBlocks())
        ProgressRunSucceeded();
    else
        ProgressRunFailed();
}
