// devsim: the device side of both serial protocols on a pseudo-terminal.
//
// devsim.cpp owns the process: options, the pseudo-terminal pair, the one
// poll loop, the reply queue, the transcript, the violation count and the
// saving of reconstructed images. Two personalities plug into that loop:
// boot_monitor_sim.cpp (the boot monitor that brannik flashes through) and
// eeprom_sim.cpp (the device side of vessamo's EEPROM write); both take their
// frames off the line through frame_input.cpp. Everything runs on the main
// thread; the personalities only consume bytes and queue replies, they never
// block, so a reply leaves within a fraction of a millisecond of the frame's
// last byte (plus --reply-delay-ms).
#pragma once

#include <cstddef>

enum {
    DEVSIM_EXIT_OK = 0,           // stopped, no protocol violation seen
    DEVSIM_EXIT_SYSTEM = 1,       // pseudo-terminal or file could not be set up
    DEVSIM_EXIT_USAGE = 2,        // bad command line
    DEVSIM_EXIT_VIOLATION = 3,    // the tool broke the protocol at least once
    DEVSIM_FRAME_GAP_MS = 20,     // a frame that stalls this long is cut off, ms
    DEVSIM_MAX_FAULTS = 64,       // --fault options kept
    DEVSIM_REPLY_MAX = 64,        // longest reply or fault reply, bytes
    DEVSIM_FILLER_MAX = 16,       // --filler bytes kept
};

enum FaultPhase {
    PHASE_SYNC,
    PHASE_IDENTIFY,
    PHASE_ERASE,
    PHASE_PROGRAM,
    PHASE_EEPROM,
    PHASE_BLOCK,   // the EEPROM device's one phase
};

enum FaultKind {
    FAULT_NONE,
    // boot monitor
    FAULT_NOT_SUPPORTED,
    FAULT_BAD_CHECKSUM,
    FAULT_DONE,
    FAULT_NO_REPLY,
    FAULT_SHORT,          // arg = 1..4 bytes (boot monitor) or 14 (EEPROM)
    FAULT_LONG,           // long6 (boot monitor) or long16 (EEPROM)
    FAULT_GARBAGE,
    FAULT_WRONG_IDENTIFY,
    FAULT_BAD_LENGTH,
    FAULT_HANGUP,         // both personalities
    // EEPROM device
    FAULT_STATUS,         // arg = status byte, arg2 = error detail byte
    FAULT_BAD_START,
    FAULT_SILENCE,
};

struct Fault {
    FaultPhase phase;
    unsigned block;       // zero-based block, or probe index for sync
    FaultKind kind;
    unsigned arg;
    unsigned arg2;
    int fired;            // each fault fires once, at the first matching block
};

struct DevsimOptions {
    int boot_monitor;          // 1: boot monitor, 0: EEPROM device
    const char* link_path;
    int once;
    unsigned sync_after;       // probe number answered with the sync answer, from 1
    int never_sync;
    unsigned version_major;
    unsigned version_minor;
    unsigned blocks;           // EEPROM device: frames that make one transfer (0: not set)
    const char* code_out;
    const char* eeprom_out;
    unsigned reply_delay_ms;
    const char* transcript;
    int flow_control_left;     // the line left with XON/XOFF both ways and RTS/CTS
    unsigned char filler[DEVSIM_FILLER_MAX];  // repeated through the reply fields nobody reads
    unsigned filler_n;         // 0: those fields read 00
    Fault faults[DEVSIM_MAX_FAULTS];
    int fault_count;
};

extern DevsimOptions g_opt;

// ---- services of devsim.cpp for the personalities --------------------------

double NowMs();                       // monotonic, ms since devsim started
// Byte i of the reply fields that the tools do not interpret (--filler).
unsigned char FillerByte(unsigned i);
// Queues bytes to go out --reply-delay-ms after frame_end_ms (n may be 0:
// a deliberate silence, logged only in the transcript).
void QueueReply(double frame_end_ms, const unsigned char* bytes, unsigned n);
void QueueHangup(double frame_end_ms);  // closes the master when due
void TranscriptBytes(double at_ms, char direction, const unsigned char* bytes, unsigned n);
void TranscriptNote(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Counts a protocol violation and reports it on stderr and in the transcript.
void Violation(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Finds the not yet fired fault for phase and block, marks it fired.
const Fault* TakeFault(FaultPhase phase, unsigned block);
// Writes n bytes to path through a temporary file and a rename, so a reader
// never sees half a file. Reports failure on stderr; returns 1/0.
int SaveImage(const char* path, const unsigned char* bytes, size_t n);
void RequestFinish();                 // --once: exit once the replies are out

// ---- frame input, shared by the personalities (frame_input.cpp) -----------
// A personality collects a frame byte by byte. After a byte that cannot
// belong to a frame it drops all input until the line has been quiet for
// DEVSIM_FRAME_GAP_MS: the bytes that follow are the rest of a broken frame,
// and taking one of them for a frame start would only report more noise.
// The dropped bytes go to the transcript as one line when the line goes quiet.

enum {
    DEVSIM_FRAME_MAX = 256,      // frame buffer, bytes (longest frame of either device: 136)
    DEVSIM_DISCARD_KEEP = 256,   // dropped bytes kept for the transcript
};

struct FrameInput {
    unsigned char frame[DEVSIM_FRAME_MAX];
    unsigned have;               // bytes of the frame received so far
    int discarding;              // dropping input until the line goes quiet
    unsigned char discard[DEVSIM_DISCARD_KEEP];
    unsigned discard_n;          // dropped bytes kept (later ones are not logged)
};

// Returns 1 (and keeps c for the transcript) while input is being dropped.
int FrameInputDropping(FrameInput* in, unsigned char c);
// Adds c to the frame; returns the bytes of the frame received so far.
unsigned FrameInputAdd(FrameInput* in, unsigned char c);
// Starts dropping: kept are the bytes already taken that the transcript
// should show first; the frame collected so far is abandoned.
void FrameInputDrop(FrameInput* in, const unsigned char* kept, unsigned n);
int  FrameInputPartial(const FrameInput* in);  // 1 while a frame or a drop is open
// The line went quiet: logs the dropped bytes, or logs and reports the frame
// cut off short (need: its full length, 0 while its length is not known yet).
// Leaves the input ready for a new frame.
void FrameInputQuiet(FrameInput* in, double now_ms, unsigned need);

// ---- the personalities -----------------------------------------------------

void BootMonitorInit();
void BootMonitorInput(const unsigned char* bytes, unsigned n, double now_ms);
void BootMonitorIdle(double now_ms);   // called when input stayed quiet for the frame gap
int  BootMonitorPartial();             // 1 while a frame is half received
void BootMonitorSave();                // writes --code-out and --eeprom-out

void EepromDeviceInit();
void EepromDeviceInput(const unsigned char* bytes, unsigned n, double now_ms);
void EepromDeviceIdle(double now_ms);
int  EepromDevicePartial();
void EepromDeviceSave();
