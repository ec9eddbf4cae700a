// flash_sequence: FlashFirmware, brannik's one transfer.
//
// Asks for a power cycle, catches and identifies the boot monitor, then
// erases 96 blocks, programs 384 and writes 128 EEPROM blocks, stepping the
// progress bar per acknowledged block and logging each phase; at the end of
// the phases, successful or not, it restores the front panel to idle. A sync
// or identify failure ends it without that restore.
//
// Runs on the port worker thread (ID_COM_STARTFLASH). A sequence whose
// "Stop Flash" came before it probed returns without a probe and without
// touching the panel; one whose stop crossed the device's answer, or came
// while the device identified itself, runs the phases with the panel put
// back into the running state. It works from its own copy of the firmware
// image, taken on the user-interface thread when "Start Flash" is pressed
// (TakeFirmwareForFlash), builds each frame in one fixed buffer and
// allocates nothing.
#pragma once

#include "shared_value.h"

enum {
    FLASH_ERASE_BLOCKS = 96,        // 512-byte erase blocks
    FLASH_ERASE_BLOCK_BYTES = 512,
    FLASH_PROGRAM_BLOCKS = 384,     // 128-byte program blocks
    FLASH_PROGRAM_BLOCK_BYTES = 128,
    FLASH_EEPROM_BLOCKS = 128,      // 8-byte EEPROM blocks
    FLASH_EEPROM_BLOCK_BYTES = 8,
};

// The flash state: the one value that says where a flash stands, for the
// front panel (user-interface thread) and FlashFirmware (port worker) alike.
// Each thread moves it only from the states listed for it, by
// compare-and-swap where the other thread may move it too, and moves it
// before it changes the panel to match, so a panel change never runs ahead
// of the state.
//
//   front panel:   IDLE -> STARTED ("Start Flash", set before the post)
//                  STARTED -> STOPPED, HALTED -> IDLE ("Stop Flash")
//   FlashFirmware: STOPPED -> IDLE (a stopped sequence returns untouched)
//                  STARTED -> HALTED (sync write or identify failed)
//                  STARTED or STOPPED -> PHASES (the device answered)
//                  PHASES -> IDLE (the panel restore)
enum FlashState {
    FLASH_IDLE = 0,     // panel idle; no sequence posted or running
    FLASH_STARTED = 1,  // panel started; a sequence is posted or waits for the device
    FLASH_STOPPED = 2,  // "Stop Flash" made the panel idle; the sequence has yet to return
    FLASH_PHASES = 3,   // erase, program and EEPROM write run to their end
    FLASH_HALTED = 4,   // the sequence gave up before the phases; the panel stays started
};
extern Shared<int> g_flash_state;

// The flash-in-progress flag: 1 while the panel shows a flash (started,
// halted or running phases), when "Exit" is refused.
int FlashInProgress();

// User-interface thread, "Start Flash", while the flash state is idle (no
// sequence runs): copies the loaded image for the next sequence. 0 when no
// image is loaded.
int TakeFirmwareForFlash();

void FlashFirmware();
