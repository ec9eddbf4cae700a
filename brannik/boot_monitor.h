// boot_monitor: the link to the device's resident boot monitor.
//
// SyncBootMonitor probes the line until the boot monitor answers (or the user
// stops); IdentifyBootMonitor reads and logs its version; BuildCommandFrame
// lays out erase, program and EEPROM-write frames; ExchangeCommand sends one
// frame and classifies the 5-byte status reply. Strictly request and reply,
// never a retry; an exchange whose reply is short waits once more for the
// rest, which an adapter may hold back. Runs on the port worker thread over
// the port that OpenComPort left at 115200 8N1 with a 50 ms total read
// time-out.
// IdentifyBootMonitor logs its outcome; SyncBootMonitor logs only a probe
// write that failed.
#pragma once

#include "shared_value.h"

enum : unsigned char {
    BM_SYNC_PROBE = 0x55,            // probe byte, sent over and over during the sync
    BM_SYNC_ANSWER = 0xAA,           // the boot monitor's answer that ends the sync
    BM_FRAME_START = 0x0F,           // byte 0 of every frame and status reply
    BM_CMD_IDENTIFY = 0x00,          // command: identify
    BM_CMD_ERASE = 0x01,             // command: erase a 512-byte code block
    BM_CMD_PROGRAM = 0x02,           // command: program a 128-byte code block
    BM_CMD_EEPROM_WRITE = 0x03,      // command: write an 8-byte EEPROM block
    BM_REPLY_STATUS = 0xFF,          // reply type: status
    BM_REPLY_IDENTIFY = 0xF0,        // reply type: identify
    BM_STATUS_DONE = 0x01,           // status: carried out
    BM_STATUS_NOT_SUPPORTED = 0xF1,  // status: command not supported
    BM_STATUS_BAD_CHECKSUM = 0xF2,   // status: frame checksum wrong
    BM_WHITENING = 0x55,             // XORed into every payload byte
    BM_IDENTIFY_DATA_COUNT = 0x0C,   // data count byte of a good identify reply
};

enum {
    BM_FRAME_MAX = 136,              // longest frame (program), bytes
    BM_PROGRAM_PAYLOAD = 128,        // data bytes in a program frame
    BM_EEPROM_PAYLOAD = 8,           // data bytes in an EEPROM-write frame
    BM_STATUS_REPLY_LEN = 5,         // bytes in a status reply
    BM_EXCHANGE_READ = 6,            // bytes asked for after a frame (one more than a reply)
    BM_IDENTIFY_READ = 64,           // bytes asked for after identify
    BM_LATE_REPLY_WAIT_MS = 20,      // a short reply's one more read: an adapter's latency timer and a tick
};

enum ExchangeOutcome {
    BM_OUTCOME_DONE,
    BM_OUTCOME_NOT_SUPPORTED,
    BM_OUTCOME_BAD_CHECKSUM,
    BM_OUTCOME_NO_REPLY,
    BM_OUTCOME_UNRECOGNISED,
    BM_OUTCOME_WRITE_FAILED,
};

// Set to 1 by the front panel's "Stop Flash"; read and cleared by the sync.
extern Shared<int> g_stop_request;

int SyncBootMonitor();
int IdentifyBootMonitor();

// XOR of n bytes: the frame checksum over bytes 2..L.
unsigned char FrameChecksum(const unsigned char* bytes, unsigned n);

// Builds the frame for command (erase, program, EEPROM write) at address with
// the payload (nullptr, 128 or 8 data bytes, not yet whitened) into frame
// (BM_FRAME_MAX bytes). Returns the frame length: 8, 136 or 16.
unsigned BuildCommandFrame(unsigned char* frame, unsigned char command,
                           unsigned address, const unsigned char* payload);

ExchangeOutcome ExchangeCommand(const unsigned char* frame, unsigned length);
