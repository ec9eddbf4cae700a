// flash_sequence: FlashFirmware, brannik's one transfer.
//
// Asks for a power cycle, catches and identifies the boot monitor, then
// erases 96 blocks, programs 384 and writes 128 EEPROM blocks, stepping the
// progress bar per acknowledged block and logging each phase; at the end of
// the phases, successful or not, it restores the front panel to idle. A sync
// or identify failure ends it without that restore.
//
// Runs on the port worker thread (ID_COM_STARTFLASH). It works from its own
// copy of the firmware image taken when it starts, builds each frame in one
// fixed buffer and allocates nothing.
#pragma once

#include <atomic>

enum {
    FLASH_ERASE_BLOCKS = 96,        // 512-byte erase blocks
    FLASH_ERASE_BLOCK_BYTES = 512,
    FLASH_PROGRAM_BLOCKS = 384,     // 128-byte program blocks
    FLASH_PROGRAM_BLOCK_BYTES = 128,
    FLASH_EEPROM_BLOCKS = 128,      // 8-byte EEPROM blocks
    FLASH_EEPROM_BLOCK_BYTES = 8,
};

// 1 from "Start Flash" until the panel restore (or "Stop Flash").
// Written by both threads.
extern std::atomic<int> g_flash_in_progress;

// Where FlashFirmware stands; written only by FlashFirmware (port worker).
// The front panel refuses to close while it is not FLASH_SEQUENCE_NONE,
// starts no second flash before it is back to FLASH_SEQUENCE_NONE, and
// ignores "Stop Flash" once it is FLASH_SEQUENCE_PHASES.
enum {
    FLASH_SEQUENCE_NONE = 0,      // no sequence running
    FLASH_SEQUENCE_WAITING = 1,   // prompts, sync and identify: waiting for the device
    FLASH_SEQUENCE_PHASES = 2,    // erase, program, EEPROM: runs to its end
};
extern std::atomic<int> g_flash_sequence_active;

void FlashFirmware();
