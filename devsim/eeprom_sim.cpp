// The EEPROM device personality: takes vessamo's 133-byte write frames,
// checks them, answers each with a 15-byte reply and rebuilds the EEPROM
// contents written. Runs on devsim's main thread, fed by its poll loop.
#include "eeprom_sim.h"
#include "frame_input.h"
#include "eeprom_writer.h"

#include <cstring>

namespace {

void EepromDeviceSave();

enum : unsigned char {
    EEPROM_ADDR_HIGH_MASK = 0xFC,    // byte 2 bits that must be 0 (18-bit address)
    EEPROM_ADDR_LOW_MASK = 0x7F,     // byte 4 bits that must be 0 (128-byte blocks)
    EEPROM_SURPLUS_BYTE = 0x00,      // the 16th byte of the long16 fault
};

enum {
    EEPROM_BLOCK_BYTES = 128,        // data bytes per frame
    EEPROM_MAX_BLOCKS = 2048,        // distinct 18-bit block addresses
    EEPROM_MAX_BYTES = EEPROM_MAX_BLOCKS * EEPROM_BLOCK_BYTES,
    EEPROM_DATA_OFFSET = 5,          // first data byte in the frame
};
static_assert((unsigned)EEPROM_FRAME_BYTES <= (unsigned)DEVSIM_FRAME_MAX, "a write frame must fit the frame buffer");

FrameInput s_in;                     // the frame being received
unsigned char s_image[EEPROM_MAX_BYTES];
unsigned s_image_end = 0;            // end of the highest block written, bytes
unsigned s_answered = 0;             // frames answered in the current transfer

unsigned Reply(unsigned char* out, unsigned char status, unsigned char err) {
    out[0] = EEPROM_FRAME_START;
    out[1] = status;
    out[2] = err;
    for (unsigned i = 3; i < EEPROM_REPLY_BYTES; i++) out[i] = FillerByte(i - 3);  // not interpreted
    return EEPROM_REPLY_BYTES;
}

// Sends the reply (or the fault in its place); returns 1 when the device
// wrote the block.
int Answer(const Fault* f, unsigned block, double now) {
    unsigned char r[DEVSIM_REPLY_MAX];
    unsigned n = Reply(r, EEPROM_REPLY_WRITTEN, 0);
    if (!f) {
        QueueReply(WorkDone(PHASE_BLOCK, now), r, n);
        return 1;
    }
    TranscriptNote("fault at block %u", block);
    int written = 1;
    switch (f->kind) {
    case FAULT_STATUS:
        n = Reply(r, (unsigned char)f->arg, (unsigned char)f->arg2);
        written = f->arg == EEPROM_REPLY_WRITTEN;
        break;
    case FAULT_SHORT: n = f->arg; break;
    case FAULT_BAD_START: r[0] = EEPROM_REPLY_WRITTEN; break;
    case FAULT_LONG:
        while (n < f->arg) r[n++] = EEPROM_SURPLUS_BYTE;
        break;
    case FAULT_HANGUP:
        QueueHangup(now);
        if (g_opt.once) RequestFinish();
        return 0;
    default:  // silence
        n = 0;
        written = 0;
        break;
    }
    QueueReply(written ? WorkDone(PHASE_BLOCK, now) : now, r, n);
    return written;
}

void HandleFrame(double now) {
    const unsigned char* b = s_in.frame;
    TranscriptBytes(now, '<', b, EEPROM_FRAME_BYTES);
    if ((b[2] & EEPROM_ADDR_HIGH_MASK) || (b[4] & EEPROM_ADDR_LOW_MASK)) {
        Violation("frame address bytes %02X %02X %02X are not an 18-bit block address", b[2], b[3], b[4]);
        return;
    }
    unsigned address = (unsigned)b[2] << 16 | (unsigned)b[3] << 8 | b[4];
    unsigned block = address / EEPROM_BLOCK_BYTES;
    if (block == 0) s_answered = 0;  // block 0 starts a transfer
    const Fault* f = TakeFault(PHASE_BLOCK, block);
    if (Answer(f, block, now)) {
        memcpy(s_image + address, b + EEPROM_DATA_OFFSET, EEPROM_BLOCK_BYTES);
        if (address + EEPROM_BLOCK_BYTES > s_image_end) s_image_end = address + EEPROM_BLOCK_BYTES;
    }
    int answered = !f || (f->kind != FAULT_SILENCE && f->kind != FAULT_HANGUP);
    if (answered) s_answered++;
    if (g_opt.blocks && s_answered == g_opt.blocks) {
        TranscriptNote("transfer of %u blocks complete", g_opt.blocks);
        EepromDeviceSave();
        s_answered = 0;
        if (g_opt.once) RequestFinish();
    }
}

void EepromDeviceInit() {
    memset(s_image, 0xFF, sizeof s_image);
}

void EepromDeviceInput(const unsigned char* bytes, unsigned n, double now) {
    for (unsigned i = 0; i < n; i++) {
        unsigned char c = bytes[i];
        if (FrameInputDropping(&s_in, c)) continue;
        unsigned have = FrameInputAdd(&s_in, c);
        if (have == 1 && c != EEPROM_FRAME_START) {
            Violation("byte %02X where a frame start 55 is due", c);
            FrameInputDrop(&s_in, s_in.frame, 1);
        } else if (have == 2 && c != EEPROM_FRAME_COUNT) {
            Violation("frame count byte %02X (expected 83)", c);
            FrameInputDrop(&s_in, s_in.frame, 2);
        } else if (have == EEPROM_FRAME_BYTES) {
            s_in.have = 0;
            HandleFrame(now);
        }
    }
}

int EepromDevicePartial() { return FrameInputPartial(&s_in); }

void EepromDeviceIdle(double now) { FrameInputQuiet(&s_in, now, EEPROM_FRAME_BYTES); }

void EepromDeviceSave() {
    if (g_opt.eeprom_out) SaveImage(g_opt.eeprom_out, s_image, s_image_end);
}

}  // namespace

// vessamo's read of a reply: 100 ms for each of its 15 bytes and 1000 ms.
const DevicePersonality EEPROM_DEVICE_SIM = {
    "eeprom", 921600, 2500, EepromDeviceInit, EepromDeviceInput, EepromDeviceIdle, EepromDevicePartial, EepromDeviceSave,
};
