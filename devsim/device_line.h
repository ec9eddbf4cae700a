// device_line: the line both device personalities of devsim speak on, and
// the options record they share.
//
// It owns the pseudo-terminal pair (and the --link to its slave), the one
// poll loop, the reply queue, the transcript, the violation count and the
// saving of images through a temporary file. A personality answers with a
// table of its functions (DevicePersonality); the loop feeds it the bytes
// that arrive and calls it when the line stays quiet, and the personality
// queues its replies here. Everything runs on devsim's main thread; the
// personalities only consume bytes and queue replies, they never block, so a
// reply leaves within a fraction of a millisecond of the frame's last byte
// (plus --reply-delay-ms and the device's --work-ms), unless a line model
// (--line) puts the line time and a USB adapter's delays in between.
//
// A line model, on the pty's instant line: the tool's bytes reach the device
// at the baud rate from when its write returned, and the device's bytes the
// tool at the baud rate, then at the next tick of the adapter's free-running
// latency grid (whatever arrived within one period goes together) or after
// its fixed latency, plus the few ms by which a time-out on Windows' tick may
// fire early. A reply that comes late is never dropped: the tool's next read
// gets it. The transcript notes, after each reply, how much of the tool's
// read window was left when its last byte reached the tool (slack) or by how
// much it missed (late).
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

// How the line between the PC and the device delays bytes (--line).
struct LineModel {
    const char* name;
    int paced;                  // bytes take their time on the wire at the personality's rate
    double grid_ms;             // the device's bytes reach the PC at ticks of this period; 0: as they come
    double latency_min_ms;      // and this long after, drawn evenly from min..max per reply
    double latency_max_ms;
    double early_ms;            // the tool's read time-out firing this much early, as more delay
};

// The models --line names, the instant pty first (the default).
extern const LineModel LINE_MODELS[];
extern const unsigned LINE_MODEL_COUNT;

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
    const LineModel* line;     // never nullptr once the options are read
    unsigned work_ms[PHASE_BLOCK + 1];  // the device's working time per command, by FaultPhase
    const char* transcript;
    int flow_control_left;     // the line left with XON/XOFF both ways and RTS/CTS
    unsigned char filler[DEVSIM_FILLER_MAX];  // repeated through the reply fields nobody reads
    unsigned filler_n;         // 0: those fields read 00
    Fault faults[DEVSIM_MAX_FAULTS];
    int fault_count;
};

extern DevsimOptions g_opt;

// ---- what a personality gives the line ----------------------------------

struct DevicePersonality {
    const char* name;                 // as on the command line
    unsigned baud;                    // the line rate the tool talks at, bit/s
    unsigned read_window_ms;          // the tool's read time-out for a reply
    void (*init)();
    void (*input)(const unsigned char* bytes, unsigned n, double now_ms);
    void (*idle)(double now_ms);      // called when input stayed quiet for the frame gap
    int  (*partial)();                // 1 while a frame is half received
    void (*save)();                   // writes the images asked for
};

// ---- the line, for devsim's main ------------------------------------------

// Takes the stop signals (SIGINT, SIGTERM, SIGHUP), opens the transcript,
// the pseudo-terminal pair and the link, inits the personality and prints
// the device path; DEVSIM_EXIT_OK, or DEVSIM_EXIT_SYSTEM after a message on
// stderr.
int  LineOpen(const DevicePersonality* device);
// Runs the personality until a stop signal or, with --once, until the last
// reply is taken; then saves its images, removes the link, closes the line
// and the transcript. The exit code: DEVSIM_EXIT_OK or DEVSIM_EXIT_VIOLATION.
int  LineRun(const DevicePersonality* device);

// ---- services of the line for the personalities -------------------------

double NowMs();                       // monotonic, ms since devsim started
// Byte i of the reply fields that the tools do not interpret (--filler).
unsigned char FillerByte(unsigned i);
// Queues a reply that the device sends at sent_ms (plus --reply-delay-ms),
// through the line model (n may be 0: a deliberate silence, logged only in
// the transcript).
void QueueReply(double sent_ms, const unsigned char* bytes, unsigned n);
// When the device is done with a command of phase that it carries out: its
// --work-ms after the frame's end.
double WorkDone(FaultPhase phase, double frame_end_ms);
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
void RequestFinish();                 // --once: end LineRun once the replies are out

