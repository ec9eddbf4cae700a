// eeprom_writer: FlashEeprom, vessamo's one transfer.
//
// Writes the EEPROM data one 128-byte block at a time: a 133-byte frame
// (0x55, 0x83, 18-bit big-endian address, 128 data bytes), then a 15-byte
// reply read with the 2,500 ms total time-out. Ends at the first failure with
// one log line; "OK !" and a progress reset only after every block passed.
// Runs on the port worker thread (ID_COM_FLASHEEPROM).
#pragma once

enum : unsigned char {
    EEPROM_FRAME_START = 0x55,            // byte 0 of a frame and of a reply
    EEPROM_FRAME_COUNT = 0x83,            // bytes after the count: 3 address + 128 data
    EEPROM_REPLY_WRITTEN = 0xAA,          // block written
    EEPROM_REPLY_BUS_NOT_READY = 0xDD,    // the device's EEPROM bus is not ready
    EEPROM_REPLY_SIZE_ERROR = 0xEE,       // wrong size of transferred data
    EEPROM_REPLY_WRITE_ERROR = 0xFF,      // writing the EEPROM chip failed
};

enum {
    EEPROM_FRAME_BYTES = 133,
    EEPROM_REPLY_BYTES = 15,
};

// Fills frame (133 bytes) for block index with its 128 data bytes.
void BuildEepromFrame(unsigned char* frame, unsigned block, const unsigned char* data);

void FlashEeprom();
