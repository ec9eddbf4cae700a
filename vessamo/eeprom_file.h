// eeprom_file: "zel_eeprom.dat", the EEPROM data vessamo writes.
//
// Raw EEPROM contents, a whole number of 128-byte blocks, read once at
// start-up from the working directory before any window exists, and
// read-only afterwards. A file over 262,144 bytes (2,048 blocks, all the
// 18-bit frame address can reach) is refused rather than written wrapped.
// On failure an error box is shown and start-up ends.
#pragma once

enum {
    EEPROM_BLOCK_BYTES = 128,       // one write block
    EEPROM_MAX_BYTES = 262144,      // 2,048 blocks: the 18-bit address range
};

#define EEPROM_FILE_NAME "zel_eeprom.dat"

// Set once by LoadEepromData, before the port worker starts.
extern unsigned char* g_eeprom_data;
extern int g_eeprom_length;

int LoadEepromData();  // 1, or 0 after ErrorBox
