// The boot monitor personality: answers the sync probe, the identify request
// and the erase, program and EEPROM-write frames, checks every frame and the
// order of the flash sequence, and rebuilds the code and EEPROM images that
// the tool wrote. Runs on devsim's main thread, fed by its poll loop.
#include "boot_monitor_sim.h"
#include "frame_input.h"
#include "boot_monitor.h"

#include <cstring>

namespace {

void BootMonitorSave();

enum : unsigned char {
    BM_LEN_IDENTIFY = 0x02,          // length byte of an identify request
    BM_LEN_ERASE = 0x06,             // length byte of an erase frame
    BM_LEN_PROGRAM = 0x86,           // length byte of a program frame
    BM_LEN_EEPROM = 0x0E,            // length byte of an EEPROM-write frame
    BM_FIXED_ERASE = 0x08,           // byte 6 of an erase frame
    BM_FIXED_PROGRAM = 0x02,         // byte 6 of a program frame
    BM_FIXED_EEPROM = 0x08,          // byte 6 of an EEPROM-write frame
    BM_IDENTIFY_LEN_BYTE = 0x0E,     // byte 1 of the identify reply: 14 bytes follow
    BM_IDENTIFY_TAIL_0 = 0xFF,       // byte 14 of the identify reply
    BM_IDENTIFY_TAIL_1 = 0x84,       // byte 15 of the identify reply
    BM_WRONG_DATA_COUNT = 0x0B,      // data count of the wrong-identify fault
    BM_BAD_LENGTH_BYTE = 0x0F,       // length byte of the bad-length fault
};

enum {
    CODE_BYTES = 49152,              // code area, bytes
    EEPROM_BYTES = 1024,             // EEPROM, bytes
    ERASE_BLOCK = 512,               // bytes per erase block
    PROGRAM_BLOCK = 128,             // bytes per program block
    EEPROM_BLOCK = 8,                // bytes per EEPROM-write block
    ERASE_STEPS = 96,                // erase blocks in a flash
    PROGRAM_STEPS = 384,             // program blocks in a flash
    EEPROM_STEPS = 128,              // EEPROM blocks in a flash
    IDENTIFY_REPLY_BYTES = 16,       // identify reply, bytes
};
static_assert((unsigned)BM_FRAME_MAX <= (unsigned)DEVSIM_FRAME_MAX, "the longest frame must fit the frame buffer");

const unsigned char GARBAGE[] = {0x3C, 0xA5, 0x5A, 0x96, 0x69};  // no 0x55, 0xAA or 0x0F

enum LinkState { WAIT_SYNC, FRAMES };

LinkState s_state = WAIT_SYNC;
unsigned s_probes = 0;                   // probes seen in the current sync
FrameInput s_in;                         // the frame being received
unsigned s_need = 0;                     // frame length once the length byte is in, else 0
FaultPhase s_next_phase = PHASE_IDENTIFY;  // what the flash sequence sends next
unsigned s_next_block = 0;
unsigned char s_code[CODE_BYTES];
unsigned char s_eeprom[EEPROM_BYTES];

const char* PhaseName(FaultPhase p) {
    switch (p) {
    case PHASE_SYNC: return "sync";
    case PHASE_IDENTIFY: return "identify";
    case PHASE_ERASE: return "erase";
    case PHASE_PROGRAM: return "program";
    case PHASE_EEPROM: return "eeprom";
    default: return "block";
    }
}

unsigned StatusReply(unsigned char* out, unsigned char status) {
    out[0] = BM_FRAME_START;
    out[1] = 0x03;
    out[2] = BM_REPLY_STATUS;
    out[3] = status;
    out[4] = (unsigned char)(BM_REPLY_STATUS ^ status);
    return BM_STATUS_REPLY_LEN;
}

unsigned IdentifyReply(unsigned char* out) {
    out[0] = BM_FRAME_START;
    out[1] = BM_IDENTIFY_LEN_BYTE;
    out[2] = BM_REPLY_IDENTIFY;
    out[3] = BM_IDENTIFY_DATA_COUNT;
    for (int i = 4; i < 12; i++) out[i] = FillerByte(i - 4);  // not examined by the tool
    out[12] = (unsigned char)g_opt.version_major;
    out[13] = (unsigned char)g_opt.version_minor;
    out[14] = BM_IDENTIFY_TAIL_0;
    out[15] = BM_IDENTIFY_TAIL_1;
    return IDENTIFY_REPLY_BYTES;
}

void SendStatus(double now, unsigned char status) {
    unsigned char r[BM_STATUS_REPLY_LEN];
    QueueReply(now, r, StatusReply(r, status));
}

int FaultCarriesOut(const Fault* f);

// Sends what fault f puts in place of the reply due in phase.
void SendFault(const Fault* f, FaultPhase phase, double now) {
    TranscriptNote("fault at %s block %u", PhaseName(phase), f->block);
    unsigned char r[DEVSIM_REPLY_MAX];
    unsigned n = 0;
    switch (f->kind) {
    case FAULT_NOT_SUPPORTED: n = StatusReply(r, BM_STATUS_NOT_SUPPORTED); break;
    case FAULT_BAD_CHECKSUM: n = StatusReply(r, BM_STATUS_BAD_CHECKSUM); break;
    case FAULT_DONE: n = StatusReply(r, BM_STATUS_DONE); break;
    case FAULT_SHORT:
        if (phase == PHASE_IDENTIFY) IdentifyReply(r);
        else StatusReply(r, BM_STATUS_DONE);
        n = f->arg;
        break;
    case FAULT_LONG:
        n = StatusReply(r, BM_STATUS_DONE);
        while (n < f->arg) r[n++] = 0x00;
        break;
    case FAULT_GARBAGE:
        memcpy(r, GARBAGE, sizeof GARBAGE);
        n = sizeof GARBAGE;
        break;
    case FAULT_WRONG_IDENTIFY:
        n = IdentifyReply(r);
        r[3] = BM_WRONG_DATA_COUNT;
        break;
    case FAULT_BAD_LENGTH:
        n = IdentifyReply(r);
        r[1] = BM_BAD_LENGTH_BYTE;
        break;
    case FAULT_HANGUP:
        QueueHangup(now);
        if (g_opt.once) RequestFinish();  // no flash can complete on a closed line
        return;
    default:  // no-reply
        break;
    }
    QueueReply(FaultCarriesOut(f) ? WorkDone(phase, now) : now, r, n);
}

// A command whose reply says it failed (or that got none) was not carried out.
int FaultCarriesOut(const Fault* f) {
    return !f || f->kind == FAULT_DONE || f->kind == FAULT_SHORT || f->kind == FAULT_LONG ||
           f->kind == FAULT_GARBAGE || f->kind == FAULT_WRONG_IDENTIFY || f->kind == FAULT_BAD_LENGTH;
}

void StartSync() {
    s_state = WAIT_SYNC;
    s_probes = 0;
}

void HandleProbe(double now) {
    static const unsigned char probe = BM_SYNC_PROBE;
    TranscriptBytes(now, '<', &probe, 1);
    if (s_state != WAIT_SYNC) {
        TranscriptNote("probe where a frame should start: new sync");
        StartSync();
    }
    unsigned index = s_probes++;
    const Fault* f = TakeFault(PHASE_SYNC, index);
    if (f) {
        SendFault(f, PHASE_SYNC, now);
        return;
    }
    if (g_opt.never_sync || s_probes < g_opt.sync_after) return;
    TranscriptNote("sync answered at probe %u", s_probes);
    static const unsigned char answer = BM_SYNC_ANSWER;
    QueueReply(WorkDone(PHASE_SYNC, now), &answer, 1);
    s_state = FRAMES;
    s_next_phase = PHASE_IDENTIFY;
    s_next_block = 0;
}

void NextInSequence(FaultPhase phase, unsigned block) {
    s_next_phase = phase;
    s_next_block = block + 1;
    if (phase == PHASE_ERASE && s_next_block == ERASE_STEPS) { s_next_phase = PHASE_PROGRAM; s_next_block = 0; }
    if (phase == PHASE_PROGRAM && s_next_block == PROGRAM_STEPS) { s_next_phase = PHASE_EEPROM; s_next_block = 0; }
}

void HandleIdentify(double now) {
    if (s_next_phase != PHASE_IDENTIFY)
        Violation("identify request where %s block %u is due", PhaseName(s_next_phase), s_next_block);
    const Fault* f = TakeFault(PHASE_IDENTIFY, 0);
    if (f) SendFault(f, PHASE_IDENTIFY, now);
    else {
        unsigned char r[IDENTIFY_REPLY_BYTES];
        QueueReply(WorkDone(PHASE_IDENTIFY, now), r, IdentifyReply(r));
    }
    if (FaultCarriesOut(f)) {
        s_next_phase = PHASE_ERASE;
        s_next_block = 0;
    }
}

void HandleFrame(double now) {
    const unsigned char* b = s_in.frame;
    unsigned L = b[1];
    TranscriptBytes(now, '<', b, s_need);
    unsigned char sum = 0;
    for (unsigned i = 2; i <= L; i++) sum ^= b[i];
    if (sum != b[L + 1]) {
        Violation("frame checksum %02X, its bytes give %02X (command %02X)", b[L + 1], sum, b[2]);
        SendStatus(now, BM_STATUS_BAD_CHECKSUM);
        return;
    }
    unsigned char cmd = b[2];
    FaultPhase phase;
    unsigned char fixed;
    unsigned block_bytes, memory_bytes;
    unsigned char expected_len;
    switch (cmd) {
    case BM_CMD_IDENTIFY: phase = PHASE_IDENTIFY; expected_len = BM_LEN_IDENTIFY; fixed = 0; block_bytes = memory_bytes = 0; break;
    case BM_CMD_ERASE: phase = PHASE_ERASE; expected_len = BM_LEN_ERASE; fixed = BM_FIXED_ERASE; block_bytes = ERASE_BLOCK; memory_bytes = CODE_BYTES; break;
    case BM_CMD_PROGRAM: phase = PHASE_PROGRAM; expected_len = BM_LEN_PROGRAM; fixed = BM_FIXED_PROGRAM; block_bytes = PROGRAM_BLOCK; memory_bytes = CODE_BYTES; break;
    case BM_CMD_EEPROM_WRITE: phase = PHASE_EEPROM; expected_len = BM_LEN_EEPROM; fixed = BM_FIXED_EEPROM; block_bytes = EEPROM_BLOCK; memory_bytes = EEPROM_BYTES; break;
    default:
        Violation("unknown command %02X", cmd);
        SendStatus(now, BM_STATUS_NOT_SUPPORTED);
        return;
    }
    if (L != expected_len) {
        Violation("%s frame with length byte %02X (expected %02X)", PhaseName(phase), L, expected_len);
        SendStatus(now, BM_STATUS_NOT_SUPPORTED);
        return;
    }
    if (phase == PHASE_IDENTIFY) {
        HandleIdentify(now);
        return;
    }

    unsigned address = b[3] | (unsigned)b[4] << 8;
    if (phase == PHASE_EEPROM) {
        if (b[5] != 0) Violation("eeprom frame with byte 5 = %02X (expected 00)", b[5]);
    } else {
        address |= (unsigned)b[5] << 16;
    }
    if (b[6] != fixed) Violation("%s frame with byte 6 = %02X (expected %02X)", PhaseName(phase), b[6], fixed);
    int in_range = address % block_bytes == 0 && address + block_bytes <= memory_bytes;
    if (!in_range) Violation("%s address 0x%06X is not a block inside the memory", PhaseName(phase), address);
    unsigned block = address / block_bytes;
    if (phase != s_next_phase || block != s_next_block) {
        if (s_next_phase == PHASE_SYNC)
            Violation("%s block %u after the flash had ended", PhaseName(phase), block);
        else
            Violation("%s block %u (address 0x%06X) where %s block %u is due", PhaseName(phase), block,
                      address, PhaseName(s_next_phase), s_next_block);
    }

    const Fault* f = TakeFault(phase, block);
    if (FaultCarriesOut(f) && in_range) {
        if (phase == PHASE_ERASE) memset(s_code + address, 0xFF, ERASE_BLOCK);
        unsigned char* target = phase == PHASE_PROGRAM ? s_code + address : s_eeprom + address;
        for (unsigned i = 0; phase != PHASE_ERASE && i < block_bytes; i++)
            target[i] = (unsigned char)(b[7 + i] ^ BM_WHITENING);
    }
    if (FaultCarriesOut(f)) NextInSequence(phase, block);
    if (f) SendFault(f, phase, now);
    else SendStatus(WorkDone(phase, now), BM_STATUS_DONE);

    int answered_done = !f || f->kind == FAULT_DONE;
    if (phase == PHASE_EEPROM && block == EEPROM_STEPS - 1 && answered_done) {
        TranscriptNote("flash complete");
        BootMonitorSave();
        StartSync();
        s_next_phase = PHASE_SYNC;  // nothing but a new sync may follow
        if (g_opt.once) RequestFinish();
    }
}

void BootMonitorInit() {
    // Code never erased nor programmed reads 00, so a skipped erase shows;
    // the EEPROM starts blank.
    memset(s_code, 0x00, sizeof s_code);
    memset(s_eeprom, 0xFF, sizeof s_eeprom);
    StartSync();
}

void BootMonitorInput(const unsigned char* bytes, unsigned n, double now) {
    for (unsigned i = 0; i < n; i++) {
        unsigned char c = bytes[i];
        if (FrameInputDropping(&s_in, c)) continue;
        if (s_in.have == 0) {
            if (c == BM_SYNC_PROBE) {
                HandleProbe(now);
            } else if (s_state == WAIT_SYNC) {
                Violation("byte %02X while waiting for sync probes", c);
                FrameInputDrop(&s_in, &c, 1);
            } else if (c != BM_FRAME_START) {
                Violation("byte %02X where a frame start 0F is due", c);
                FrameInputDrop(&s_in, &c, 1);
            } else {
                FrameInputAdd(&s_in, c);
                s_need = 0;  // not known until the length byte is in
            }
        } else if (s_in.have == 1) {
            FrameInputAdd(&s_in, c);
            if (c != BM_LEN_IDENTIFY && c != BM_LEN_ERASE && c != BM_LEN_PROGRAM && c != BM_LEN_EEPROM) {
                Violation("frame length byte %02X fits no command", c);
                FrameInputDrop(&s_in, s_in.frame, 2);
            } else {
                s_need = c + 2u;
            }
        } else if (FrameInputAdd(&s_in, c) == s_need) {
            s_in.have = 0;
            HandleFrame(now);
        }
    }
}

int BootMonitorPartial() { return FrameInputPartial(&s_in); }

void BootMonitorIdle(double now) { FrameInputQuiet(&s_in, now, s_need); }

void BootMonitorSave() {
    if (g_opt.code_out) SaveImage(g_opt.code_out, s_code, sizeof s_code);
    if (g_opt.eeprom_out) SaveImage(g_opt.eeprom_out, s_eeprom, sizeof s_eeprom);
}

}  // namespace

const DevicePersonality BOOT_MONITOR_SIM = {
    "boot-monitor", 115200, 50, BootMonitorInit, BootMonitorInput, BootMonitorIdle, BootMonitorPartial, BootMonitorSave,
};
