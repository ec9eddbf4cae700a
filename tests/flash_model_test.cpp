// The flash model test: brannik's front panel, flash sequence and port
// worker rules, all real, against a simulated boot monitor on a fake line,
// under seeded random interleavings of a technician's actions (Start/Stop
// clicks singly and in bursts, Exit, port picks, Open File, the port list
// dropped down), device events (the sync answered at a random probe or
// never, identify and phase failures, a line that dies, a probe write that
// never returns, random reply bytes, a stray byte after the identify reply,
// adapters plugged in and pulled with or without a device-change message,
// opens and closes that take long, a Bluetooth port whose phone is away)
// and steps of the worker (worker_double.h). The worker may be held
// between any two of its accesses to a shared value, and an action may be
// cut between any two of its own, the worker running a few steps there.
// After every step it checks what the technician relies on, and at the end
// that "Stop Flash" (where shown) and "Exit" close the tool from wherever
// it was left; a failure prints its seed and steps (switches inside actions
// included), and MODEL_SEED=<seed> MODEL_INTERLEAVINGS=1 replays it exactly.
//
// The line is a Port* backend of this file: writes go to the device model,
// reads take what it answered; a read that gets less than it asked for
// costs the 50 ms read time-out on a fake clock, so a whole flash takes
// milliseconds.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "boot_monitor.h"
#include "firmware_image.h"
#include "flash_sequence.h"
#include "front_panel.h"
#include "log_view.h"
#include "panel_buttons.h"
#include "port_picker.h"
#include "port_worker.h"
#include "recording.h"
#include "serial_port.h"
#include "tool_profile.h"
#include "worker_double.h"

namespace {

enum {
    DEVICE_COM = 3,        // the boot monitor's line
    DEAD_COM = 4,          // opens, but its settings cannot be read
    // Adapters plugged in and pulled (their settings cannot be read either);
    // the device's own adapter comes and goes too.
    PLUGGED_COM_A = 5,
    PLUGGED_COM_B = 6,
    // A Bluetooth link: every open waits while Windows calls the phone, and
    // fails when the phone is away.
    BLUETOOTH_COM = 7,
    READ_TIMEOUT_MS = 50,
    TOTAL_FRAMES = FLASH_ERASE_BLOCKS + FLASH_PROGRAM_BLOCKS + FLASH_EEPROM_BLOCKS,
};

// ---- Random numbers: one seed decides everything ---------------------------

uint64_t s_rng;
unsigned Next()
{
    s_rng ^= s_rng << 13;
    s_rng ^= s_rng >> 7;
    s_rng ^= s_rng << 17;
    return (unsigned)(s_rng >> 11);
}
int Below(int n) { return n <= 0 ? 0 : (int)(Next() % (unsigned)n); }
bool Chance(int percent) { return Below(100) < percent; }

// ---- What the device answers, and what the log must then say --------------

// Replies to an exchange, with the failure line each must produce (nullptr:
// the block is done). Written from the protocol's rules: exactly the 5-byte
// status replies count; anything else that arrives is unrecognised.
enum ReplyKind { R_DONE, R_NOT_SUPPORTED, R_BAD_CHECKSUM, R_SILENT, R_SHORT, R_LONG, R_GARBAGE, R_KINDS };
const char* const EXCHANGE_FAILURE[R_KINDS] = {
    nullptr,
    "\r\nКомманда не поддерживается устройством. i = %i\r\n",
    "\r\nНе верная контрольная сумма комманды. i = %i\r\n",
    "\r\nУстройство не отвечает. i = %i\r\n",
    "\r\nНеопознаный ответ от устройства. i = %i\r\n",
    "\r\nНеопознаный ответ от устройства. i = %i\r\n",
    "\r\nНеопознаный ответ от устройства. i = %i\r\n",
};
const char WRITE_FAILURE[] = "\r\nОшибка связи с устройством. i = %i\r\n";

const std::string STATUS_DONE("\x0F\x03\xFF\x01\xFE", 5);
const std::string STATUS_NOT_SUPPORTED("\x0F\x03\xFF\xF1\x0E", 5);
const std::string STATUS_BAD_CHECKSUM("\x0F\x03\xFF\xF2\x0D", 5);

std::string ExchangeReply(ReplyKind kind)
{
    switch (kind) {
    case R_DONE: return STATUS_DONE;
    case R_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case R_BAD_CHECKSUM: return STATUS_BAD_CHECKSUM;
    case R_SILENT: return "";
    case R_SHORT: return STATUS_DONE.substr(0, 1 + Below(4));
    case R_LONG: return STATUS_DONE + (char)Next();
    default: {
        std::string r(5, '\0');
        do {
            for (char& c : r) c = (char)Next();
        } while (r == STATUS_DONE || r == STATUS_NOT_SUPPORTED || r == STATUS_BAD_CHECKSUM);
        return r;
    }
    }
}

// Replies to the identify request and the line each produces.
enum IdentifyKind { I_GOOD, I_STATUS_DONE, I_NOT_SUPPORTED, I_BAD_CHECKSUM, I_OTHER_STATUS, I_WRONG_COUNT,
                    I_SILENT, I_GARBAGE, I_KINDS };

std::string IdentifyReply(IdentifyKind kind, int major, int minor)
{
    std::string good = {'\x0F', '\x0E', '\xF0', '\x0C'};
    for (int i = 0; i < 8; i++) good += (char)Next();
    good += (char)major;
    good += (char)minor;
    good += "\xFF\x84";
    switch (kind) {
    case I_GOOD: return good;
    case I_STATUS_DONE: return STATUS_DONE;
    case I_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case I_BAD_CHECKSUM: return STATUS_BAD_CHECKSUM;
    case I_OTHER_STATUS: return std::string("\x0F\x03\xFF\x07\xF8", 5);
    case I_WRONG_COUNT: good[3] = '\x0B'; return good;
    case I_SILENT: return "";
    default: {
        std::string r(7, '\0');
        for (char& c : r) c = (char)Next();
        r[0] = '\x42';
        return r;
    }
    }
}

std::string IdentifyLine(IdentifyKind kind, int major, int minor)
{
    char version[64];
    snprintf(version, sizeof version, "Обнаружен загрузчик версии: %i.%i \n", major, minor);
    switch (kind) {
    case I_GOOD: return version;
    case I_STATUS_DONE: return "Комманда выполнена.\n";
    case I_NOT_SUPPORTED: return "Комманда не поддерживается устройством.\n";
    case I_BAD_CHECKSUM: return "Не верная контрольная сумма комманды.\n";
    case I_WRONG_COUNT: return "Неверное количество данных.\n";
    case I_SILENT: return "Устройство не отвечает.\n";
    default: return "Неопознаный ответ от устройства.\n";
    }
}

// The log view writes a CR in front of every LF.
std::string Expanded(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string Format(const char* format, int value)
{
    char buf[160];
    snprintf(buf, sizeof buf, format, value);
    return buf;
}

const std::string PROMPTS =
    "\r\nВыключите и включите питание устройства.\r\nПрошивка начнется сразу после включения питания.\r\n";
const std::string LOADED = Expanded("Код успешно загружен !\r\n");

// ---- One sequence (one run of the transfer), as the model follows it ------

enum DeadAt { DEAD_NEVER, DEAD_AT_PROBE, DEAD_AT_IDENTIFY, DEAD_AT_FRAME };

struct Sequence {
    // The device's plan, drawn when the sequence begins.
    int answer_probe = 0;   // 0: never answers
    int stuck_probe = 0;    // 0: no write gets stuck
    bool noise_after_identify = false;  // a stray byte once the identify reply is read
    DeadAt dead_at = DEAD_NEVER;
    int dead_index = 0;
    IdentifyKind identify = I_GOOD;
    int major = 0, minor = 0;
    int fail_frame = -1;
    ReplyKind fail_kind = R_DONE;
    // What happened.
    bool stopped_before_begin = false;
    bool stop_before_output = false;  // "Stop Flash" came before it logged or sent anything
    int stop_iter = INT_MAX;      // the last probe an answer may cross the stop on
    int probes = 0;
    int answered_probe = 0;
    bool probe_write_failed = false;
    bool identify_sent = false, identify_write_failed = false, identify_ok = false;
    int frames = 0;               // frames received
    int write_failed_frame = -1;
    bool ended = false;
    size_t log_begin = 0;
    std::string code, eeprom;     // the image loaded when it began
};

// ---- The whole model's state, reset for every interleaving ---------------

struct Model {
    std::vector<Sequence> seqs;
    bool pending_stop = false;    // "Stop Flash" before the posted sequence began
    bool in_stop_click = false;   // inside a click on "Stop Flash"
    int idle_probes = 0;          // probes sent while the panel showed idle
    bool dead = false;            // the line is dead until the port is opened again
    bool open[8] = {};
    bool named[8] = {false, false, false, true, true, false, false, true};  // by the system
    int port_calls = 0;           // opens and releases reaching the line
    std::string rx;               // the device's reply, waiting to be read
    bool in_sequence = false;
    bool awaiting_identify_reply = false;
    long clock_ms = 0;
    unsigned read_timeout_ms = READ_TIMEOUT_MS;
    std::vector<std::string> trace;
    std::string violation;
};
Model M;

// What the interleavings covered, over the whole run.
struct Tally {
    int complete, phase_failed, before_phases, stopped_before_begin, crossed, stuck, switches, slow_opens,
        freed_by_stop;
} s_tally;

Sequence* Current() { return M.in_sequence ? &M.seqs.back() : nullptr; }

void Violation(const std::string& what)
{
    if (M.violation.empty())
        M.violation = what;
}


std::string Unwhitened(const unsigned char* p, unsigned n)
{
    std::string s;
    for (unsigned i = 0; i < n; i++) s += (char)(p[i] ^ BM_WHITENING);
    return s;
}

// A frame reached the device: check it against the image the sequence
// began with, and answer it.
void DeviceFrame(Sequence& s, const unsigned char* f, unsigned n)
{
    int j = s.frames++;
    if (j == 0 && s.answered_probe > s.stop_iter)
        Violation("an erase frame went out although \"Stop Flash\" came before the device answered");
    unsigned char cmd = f[2];
    unsigned address = f[3] | (f[4] << 8) | (f[5] << 16);
    if (cmd == BM_CMD_PROGRAM) {
        int k = j - FLASH_ERASE_BLOCKS;
        if (address != (unsigned)k * FLASH_PROGRAM_BLOCK_BYTES ||
            Unwhitened(f + 7, FLASH_PROGRAM_BLOCK_BYTES) != s.code.substr(k * FLASH_PROGRAM_BLOCK_BYTES, FLASH_PROGRAM_BLOCK_BYTES))
            Violation("program block " + std::to_string(k) + " is not the image the flash began with");
    } else if (cmd == BM_CMD_EEPROM_WRITE) {
        int k = j - FLASH_ERASE_BLOCKS - FLASH_PROGRAM_BLOCKS;
        if (address != (unsigned)k * FLASH_EEPROM_BLOCK_BYTES ||
            Unwhitened(f + 7, FLASH_EEPROM_BLOCK_BYTES) != s.eeprom.substr(k * FLASH_EEPROM_BLOCK_BYTES, FLASH_EEPROM_BLOCK_BYTES))
            Violation("EEPROM block " + std::to_string(k) + " is not the image the flash began with");
    }
    M.rx += ExchangeReply(j == s.fail_frame ? s.fail_kind : R_DONE);
}

// What the log must hold for a sequence that ended on its own.
std::string ExpectedLog(const Sequence& s)
{
    if (s.stopped_before_begin)
        return "";
    std::string log = PROMPTS;
    if (s.probe_write_failed)
        return Expanded(log + "Ошибка связи с устройством.\n");
    if (!s.answered_probe)
        return Expanded(log);
    if (s.identify_write_failed)
        return Expanded(log + "Ошибка связи с устройством.\n");
    log += IdentifyLine(s.identify, s.major, s.minor);
    if (s.identify != I_GOOD)
        return Expanded(log);
    static const char* const START[3] = {"Стираем старый код ... ", "Прошиваем новый код ... ", "Прошиваем новый EEPROM ..."};
    static const int BLOCKS[3] = {FLASH_ERASE_BLOCKS, FLASH_PROGRAM_BLOCKS, FLASH_EEPROM_BLOCKS};
    int j = 0;
    for (int p = 0; p < 3; p++) {
        log += START[p];
        for (int k = 0; k < BLOCKS[p]; k++, j++) {
            if (j == s.write_failed_frame)
                return Expanded(log + Format(WRITE_FAILURE, k));
            if (j == s.fail_frame && s.fail_kind != R_DONE)
                return Expanded(log + Format(EXCHANGE_FAILURE[s.fail_kind], k));
        }
        log += "успешно !\r\n";
    }
    return Expanded(log + "Выключите и включите питание устройства !\r\n");
}

std::string WithoutLoads(std::string log)
{
    for (size_t at; (at = log.find(LOADED)) != std::string::npos;)
        log.erase(at, LOADED.size());
    return log;
}

// The transfer the worker double runs: FlashFirmware, with the model's
// bookkeeping around it.
void ModelTransfer()
{
    M.seqs.emplace_back();
    Sequence& s = M.seqs.back();
    s.stopped_before_begin = M.pending_stop;
    s.stop_before_output = M.in_stop_click;
    M.pending_stop = false;
    if (s.stopped_before_begin)
        s.stop_iter = 0;
    s.answer_probe = Chance(80) ? 1 + Below(4) : 0;
    if (Chance(5))
        s.stuck_probe = 1 + Below(3);
    int dead = Below(100);
    s.dead_at = dead < 3 ? DEAD_AT_PROBE : dead < 6 ? DEAD_AT_IDENTIFY : dead < 12 ? DEAD_AT_FRAME : DEAD_NEVER;
    s.dead_index = s.dead_at == DEAD_AT_PROBE ? 1 + Below(4) : Below(TOTAL_FRAMES);
    s.identify = Chance(75) ? I_GOOD : (IdentifyKind)(1 + Below(I_KINDS - 1));
    s.major = Below(256);
    s.minor = Below(256);
    s.noise_after_identify = Chance(20);
    if (Chance(40)) {
        s.fail_frame = Below(TOTAL_FRAMES);
        s.fail_kind = (ReplyKind)(1 + Below(R_KINDS - 1));
    }
    // The model's own look at the image goes past the access hook: it is
    // no step of the product's.
    const unsigned char* code = g_code_image.value.load();
    const unsigned char* eeprom = g_eeprom_image.value.load();
    if (code) s.code.assign((const char*)code, ZEL_CODE_BYTES);
    if (eeprom) s.eeprom.assign((const char*)eeprom, ZEL_EEPROM_BYTES);
    s.log_begin = RecordedLog().size();
    M.in_sequence = true;
    // Start Flash needs an open port, and nothing changes the port between
    // the press and the sequence but a change queued before the press.
    if (!g_port.value.load())
        Violation("a flash began with no port open: Start Flash was taken while a port change was queued");

    FlashFirmware();

    M.in_sequence = false;
    s.ended = true;
    std::string got = WithoutLoads(RecordedLog().substr(s.log_begin));
    // A stop that came before the sequence showed anything (or is coming
    // now, in a click the sequence ends inside) may have taken effect
    // before its first look at the flash state, or just after.
    if ((s.stop_before_output || M.in_stop_click) && got.empty() && !s.probes)
        s.stopped_before_begin = true;
    if (s.stopped_before_begin)
        s_tally.stopped_before_begin++;
    else if (!s.identify_ok)
        s_tally.before_phases++;
    else if (s.frames == TOTAL_FRAMES && s.fail_frame < 0)
        s_tally.complete++;
    else
        s_tally.phase_failed++;
    if (s.identify_ok && s.stop_iter != INT_MAX)
        s_tally.crossed++;
    if (WdDraining() || !M.violation.empty())
        return;
    std::string want = ExpectedLog(s);
    if (got != want)
        Violation("the log of a flash says\n" + got + "\ninstead of\n" + want);
}

}  // namespace

// ---- The line: the Port* backend the serial port core runs on -------------

struct PortDevice {
    int com;
};
static PortDevice s_devices[8] = {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}};

void PortListNames(PortNameSink take, void* context)
{
    for (int com = 1; com < 8; com++) {
        if (M.named[com]) {
            std::string name = "COM" + std::to_string(com);
            take(name.data(), (unsigned)name.size(), context);
        }
    }
}

// An open or close that takes long: time passes on the worker (the user
// acts meanwhile), and the adapter may be pulled before it ends.
void TakesLong(int most)
{
    for (int n = 1 + Below(most); n > 0; n--)
        WdIoPoint();
}

// The device's adapter and the Bluetooth link have records, as Windows
// keeps them.
void PortListDevices(PortDeviceSink take, void* context)
{
    take("COM3", 4, "USB-SERIAL CH340 (COM3)", context);
    take("COM7", 4, u8"Стандартный последовательный порт по соединению Bluetooth (COM7)", context);
}

PortHandle PortCreate(int com)
{
    M.port_calls++;
    if (M.in_sequence)
        Violation("a port was opened under a running flash");
    if (com == BLUETOOTH_COM || Chance(10)) {
        s_tally.slow_opens++;
        TakesLong(com == BLUETOOTH_COM ? 300 : 30);
    }
    if (!M.named[com] || M.open[com] || (com == BLUETOOTH_COM && Chance(50)))
        return nullptr;
    M.open[com] = true;
    if (com == DEVICE_COM)
        M.dead = false;  // the cable is plugged back
    return &s_devices[com];
}

void PortSetupQueues(PortHandle, unsigned, unsigned) {}
int PortGetState(PortHandle h, PortLineState*) { return h->com == DEVICE_COM; }
int PortSetState(PortHandle, const PortLineState*) { return 1; }
int PortSetTimeouts(PortHandle, const PortTimeouts* t)
{
    M.read_timeout_ms = t->read_constant_ms;
    return 1;
}
void PortPurge(PortHandle) { M.rx.clear(); }
void PortDropInput(PortHandle) { M.rx.clear(); }

void PortRelease(PortHandle h)
{
    M.port_calls++;
    if (M.in_sequence)
        Violation("the port was closed under a running flash");
    if (Chance(10))
        TakesLong(30);
    M.open[h->com] = false;
}

int PortWrite(PortHandle h, const void* data, unsigned n)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    bool probe = n == 1 && bytes[0] == BM_SYNC_PROBE;
    WdIoPoint();
    Sequence* s = Current();
    if (WdDraining() || !s || !h || h->com != DEVICE_COM)
        return 0;
    if (probe) {
        if (s->dead_at == DEAD_AT_PROBE && s->probes + 1 == s->dead_index)
            M.dead = true;
        if (!M.dead && s->stuck_probe == s->probes + 1) {
            s_tally.stuck++;
            WdStuck();
            return 0;
        }
    } else if (bytes[0] == BM_FRAME_START && n == 4) {
        if (s->dead_at == DEAD_AT_IDENTIFY)
            M.dead = true;
    } else if (s->dead_at == DEAD_AT_FRAME && s->frames == s->dead_index) {
        M.dead = true;
    }
    if (M.dead) {
        if (probe)
            s->probe_write_failed = true;
        else if (n == 4)
            s->identify_write_failed = true;
        else if (s->write_failed_frame < 0)
            s->write_failed_frame = s->frames;
        return 0;
    }

    if (probe) {
        s->probes++;
        // "Stop Flash" ends the probing within one more probe.
        if (RecordedPanel().start_label == "Start Flash") {
            if (++M.idle_probes > 1)
                Violation("probing went on while the panel showed idle");
        } else {
            M.idle_probes = 0;
        }
        if (s->probes == s->answer_probe) {
            s->answered_probe = s->probes;
            M.rx = "\xAA";
        }
    } else if (n == 4) {
        s->identify_sent = true;
        M.rx = IdentifyReply(s->identify, s->major, s->minor);
        M.awaiting_identify_reply = true;
    } else {
        DeviceFrame(*s, bytes, n);
    }
    return 1;
}

int PortRead(PortHandle, void* data, unsigned n)
{
    WdIoPoint();
    if (WdDraining() || M.dead)
        return -1;
    // The phases begin once the identify reply is in.
    bool identify_read = M.awaiting_identify_reply && Current();
    if (identify_read)
        Current()->identify_ok = Current()->identify == I_GOOD;
    M.awaiting_identify_reply = false;
    unsigned got = n < M.rx.size() ? n : (unsigned)M.rx.size();
    memcpy(data, M.rx.data(), got);
    M.rx.erase(0, got);
    // The device's line settles after its reply: a stray byte that must not
    // be taken for the first erase reply.
    if (identify_read && Current()->noise_after_identify)
        M.rx += '\xFF';
    if (got < n)
        M.clock_ms += M.read_timeout_ms;
    return (int)got;
}

// ---- The open-file dialog: a modal loop, then the file the user picked ----

namespace {
std::string s_files[3];  // two good images and a bad file
int s_dialog_choice = -1;
int s_dialog_steps = -1;  // worker steps while the dialog is up; -1: drawn
}  // namespace

int OpenFirmwareFile(void*)
{
    // The dialog's modal loop pumps.
    WdRun(s_dialog_steps >= 0 ? s_dialog_steps : Below(4) ? Below(40) : Below(3000));
    if (s_dialog_choice < 0)
        return 0;
    return LoadFirmwareImage(s_files[s_dialog_choice].c_str());
}

namespace {

// ---- The technician ---------------------------------------------------------

// Whether a picker entry stands for COM<com>: "COM 3", or "COM 3 (name)".
bool EntryIsPort(const std::string& entry, int com)
{
    std::string base = "COM " + std::to_string(com);
    return entry == base || entry.rfind(base + " (", 0) == 0;
}

int PickerIndexOfPort(int com)
{
    std::vector<std::string> entries = RecordedPicker();
    for (size_t i = 0; i < entries.size(); ++i)
        if (EntryIsPort(entries[i], com))
            return (int)i;
    return -1;
}

bool PanelIdle(const PanelModel& p) { return p.start_label == "Start Flash" && p.comport_enabled && p.openfile_enabled; }
bool PanelStarted(const PanelModel& p) { return p.start_label == "Stop Flash" && p.start_enabled && !p.comport_enabled && !p.openfile_enabled; }
bool PanelRunning(const PanelModel& p) { return p.start_label == "Stop Flash" && !p.start_enabled && !p.comport_enabled && !p.openfile_enabled; }

void Note(const std::string& step) { M.trace.push_back(step); }

// A click on Start/Stop; a stop is noted against the flash it stops.
void ClickStartStop()
{
    PanelModel before = RecordedPanel();
    M.in_stop_click = before.start_label == "Stop Flash";
    OnStartStopFlash();
    M.in_stop_click = false;
    PanelModel after = RecordedPanel();
    if (after.start_label == "Stop Flash")
        M.idle_probes = 0;  // a new idle period begins with the next stop
    if (before.start_label != "Stop Flash" || after.start_label != "Start Flash")
        return;
    Sequence* s = Current();
    if (!s) {
        M.pending_stop = WdOutstanding() > 0;
        return;
    }
    if (!s->probes && RecordedLog().size() == s->log_begin)
        s->stop_before_output = true;
    if (s->answered_probe)
        return;  // the device has answered: the phases run whatever is pressed
    // The answer may cross the stop only on the probe on its way: the one
    // whose reply is about to be read, or one more that the sync writes
    // before it next looks at the stop request.
    s->stop_iter = s->probes + 1;
}

// What must hold whenever the worker is not in the middle of a send or of
// a change it makes in several accesses (held before one of them, it may
// have moved the state and not yet the panel, or the other way round).
void CheckQuiescent()
{
    if (WdOutstanding() > 1)
        Violation("more than one flash sequence is posted");
    if (WdWhere() == WD_SHARED)
        return;
    PanelModel p = RecordedPanel();
    bool idle = PanelIdle(p), started = PanelStarted(p), running = PanelRunning(p);
    if (!idle && !started && !running)
        Violation("the panel is in no state of the table");
    Sequence* s = Current();
    bool phases = s && s->identify_ok && !s->ended;
    if (running != phases)
        Violation(running ? "the panel shows running phases while none run" : "the phases run while the panel does not show them");
    if (MayCloseTool() != (idle ? 1 : 0))
        Violation(idle ? "\"Exit\" is refused while the panel shows idle" : "\"Exit\" is allowed while the panel shows a flash");
    // The PC stays awake for the whole flash, and only for it.
    int state = g_flash_state.value.load();  // the model's own look: past the access hook
    if (state != FLASH_IDLE && !RecordedAwake())
        Violation("a flash is in progress while the PC may go to sleep");
    if (state == FLASH_IDLE && WdOutstanding() == 0 && WdQueued() == 0 && WdWhere() == WD_IDLE && RecordedAwake())
        Violation("the PC is kept awake after the flash has ended");
    // The user sees what is open, wherever the adapters have gone.
    int open = g_open_port.value.load();
    if (open && WdOutstanding() == 0 && WdQueued() == 0 && WdWhere() == WD_IDLE &&
        !EntryIsPort(RecordedPickerShown(), open))
        Violation("the picker shows \"" + RecordedPickerShown() + "\" while COM" + std::to_string(open) + " is open");
    if (idle && WdOutstanding() == 0 && WdQueued() == 0 && WdWhere() == WD_IDLE) {
        if (p.start_enabled && !IsPortReady())
            Violation("Start Flash is enabled with no port open");
        if (!p.start_enabled && IsPortReady() && IsFirmwareLoaded())
            Violation("Start Flash is disabled with a port open and an image loaded");
    }
}

// The panel, the worker and the device after a step, for the trace.
std::string Described()
{
    static const char* const AT[] = {"idle", "io", "send", "stuck", "shared"};
    PanelModel p = RecordedPanel();
    std::string d = "  -> panel " + p.start_label + (p.start_enabled ? "" : " (disabled)") +
                    (p.comport_enabled ? "" : ", picker/file disabled") + "; worker " + AT[WdWhere()] +
                    ", " + std::to_string(WdOutstanding()) + " posted; port " + (IsPortReady() ? "open" : "closed");
    if (Sequence* s = Current())
        d += "; sequence: " + std::to_string(s->probes) + " probes, answered " + std::to_string(s->answered_probe) +
             ", " + std::to_string(s->frames) + " frames";
    return d;
}

int WorkerSteps()
{
    int r = Below(10);
    return r < 4 ? 1 : r < 8 ? 1 + Below(20) : 1 + Below(5000);
}

// Each action may be cut: before one of its first shared accesses, drawn
// when it begins, and before any access of a value the worker is about to
// access too, the worker runs a step or a few right there.
enum { SWITCH_SPAN = 8 };
int s_access, s_switch_at;

// Runs one technician's action with its switch point drawn.
template <typename F>
void Action(F act)
{
    s_access = 0;
    s_switch_at = Chance(75) ? Below(SWITCH_SPAN) : -1;
    WdAction(1);
    act();
    WdAction(0);
}

int SwitchSteps(int conflict)
{
    int k = s_access++;
    if (k != s_switch_at && !(conflict && Chance(50)))
        return 0;
    int n = Below(4) ? 1 + Below(3) : 1 + Below(40);
    M.trace.back() += " [worker " + std::to_string(n) + " at access " + std::to_string(k) + "]";
    return n;
}

// The picker made anew, as on a device change or the list dropping down:
// on the user-interface thread, between actions.
void Relist()
{
    int calls = M.port_calls, selected = g_selected_port.value.load(), queued = WdQueued();
    FillPortPicker(nullptr);
    if (M.port_calls != calls || g_selected_port.value.load() != selected || WdQueued() != queued)
        Violation("a re-list of the ports made a port request");
}

// From wherever an interleaving left it, the technician frees the panel:
// "Stop Flash" where the button offers it, then "Exit". Whatever the
// worker has in hand (phases to their end, a slow open) may take its time,
// but within a bound the tool closes, and once the worker is idle the
// picker shows the open port.
enum { FREE_ROUNDS = 60, FREE_WORKER_STEPS = 2000 };

void CheckStopThenExitCloses()
{
    bool stopped = false;
    for (int round = 0; round < FREE_ROUNDS && M.violation.empty(); round++) {
        PanelModel p = RecordedPanel();
        if (MayCloseTool()) {
            s_tally.freed_by_stop += stopped;
            // Exit: the tool ends; what the worker still does is cut off
            // with the process, but let it run to see the picker once idle.
            for (int k = 0; k < FREE_ROUNDS && WdWhere() != WD_STUCK &&
                            (WdOutstanding() || WdQueued() || WdWhere() != WD_IDLE); k++) {
                WdRun(FREE_WORKER_STEPS);
                WdDeliverSends();
            }
            if (M.violation.empty())
                CheckQuiescent();
            return;
        }
        if (p.start_label == "Stop Flash" && p.start_enabled) {
            Note("then Stop Flash to free the panel");
            Action(ClickStartStop);
            stopped = true;
        } else {
            Note("then the worker " + std::to_string(FREE_WORKER_STEPS) + ", the panel shows a flash");
            WdRun(FREE_WORKER_STEPS);
        }
        WdDeliverSends();
        if (M.violation.empty())
            CheckQuiescent();
        M.trace.back() += Described();
    }
    if (M.violation.empty())
        Violation("\"Stop Flash\" and \"Exit\" do not close the tool: it stays at " + Described());
}

// Puts the model in its start state with the worker started.
void BeginModel(uint64_t seed)
{
    s_rng = seed * 0x9E3779B97F4A7C15ull + 1;
    s_dialog_steps = -1;
    M = Model();
    SetToolProfile(&BRANNIK_PROFILE);
    g_flash_state.store(FLASH_IDLE);
    g_stop_request.store(0);
    g_selected_port.store(0);
    g_port_worker_thread.store((void*)&M);
    LoadFirmwareImage(s_files[2].c_str());  // nothing loaded
    ClearRecordedPanel();
    ClearRecordedLog();
    ClearRecordedProgress();
    ClearRecordedPicker();
    FillPortPicker(nullptr);
    WdSetSwitchSteps(SwitchSteps);
    ClearRecordedAwake();
    WdStart(ModelTransfer, OnPortRequestsServed, OnFlashReturned);
}

std::string EndModel()
{
    s_tally.switches += WdSwitches();
    WdStop();
    CloseComPort();
    return M.violation;
}

// One interleaving; returns the violation, or "" when none.
std::string RunInterleaving(uint64_t seed)
{
    BeginModel(seed);
    bool exited = false;
    int steps = 20 + Below(60);
    for (int i = 0; i < steps && M.violation.empty(); i++) {
        PanelModel p = RecordedPanel();
        int r = Below(100);
        if (r < 25) {
            int n = WorkerSteps();
            Note("worker " + std::to_string(n));
            WdRun(n);
        } else if (r < 50) {
            static const struct {
                const void* value;
                const char* name;
            } TARGETS[] = {{nullptr, "shared value"}, {nullptr, "shared value"},
                           {&g_flash_state, "flash state"}, {&g_flash_state, "flash state"},
                           {&g_flash_state, "flash state"}, {&g_stop_request, "stop request"},
                           {&g_port, "port handle"}, {&g_code_image, "code image"},
                           {&g_selected_port, "selected port"}};
            int t = Below(9);
            Note(std::string("worker to its next access of the ") + TARGETS[t].name);
            WdRunToShared(3000, TARGETS[t].value);
        } else if (r < 65) {
            if (!p.start_enabled) continue;
            Note("click Start/Stop");
            Action(ClickStartStop);
        } else if (r < 70) {
            if (!p.start_enabled) continue;
            int n = 2 + Below(3);
            Note("burst of " + std::to_string(n) + " Start/Stop clicks");
            for (int k = 0; k < n; k++) {
                Action(ClickStartStop);
                if (Chance(50)) WdDeliverSends();
            }
        } else if (r < 75) {
            Note("Exit");
            int may_close = 0;
            Action([&] { may_close = MayCloseTool(); });
            if (may_close) {
                if (!PanelIdle(RecordedPanel()))
                    Violation("\"Exit\" closed the tool while the panel showed a flash");
                exited = true;
                break;
            }
        } else if (r < 80) {
            if (!p.comport_enabled) continue;
            // Mostly the device's entry, when it is listed.
            int index = Chance(50) ? PickerIndexOfPort(DEVICE_COM) : -1;
            if (index < 0)
                index = Below((int)RecordedPicker().size() + 1) - 1;
            Note("pick " + std::to_string(index) + (index > 0 ? " (" + RecordedPicker()[index] + ")" : ""));
            if (index >= 0)
                PickerUserPicks(index);
            Action([&] {
                if (OnPortPicked(index))
                    OnSelectPort();
            });
        } else if (r < 88) {
            // An adapter plugged in or pulled; Windows may tell the main
            // window, or the user may drop the list down, or neither.
            static const int PORTS[] = {DEVICE_COM, PLUGGED_COM_A, PLUGGED_COM_B};
            int com = PORTS[Below(3)];
            M.named[com] = !M.named[com];
            int told = Below(3);
            Note("COM" + std::to_string(com) + (M.named[com] ? " arrives" : " leaves") +
                 (told == 0 ? ", unannounced" : told == 1 ? ", announced" : ", and the list drops down"));
            if (told == 1 || (told == 2 && p.comport_enabled))
                Relist();
        } else {
            if (!p.openfile_enabled) continue;
            static const int FILES[] = {0, 0, 1, 2, -1};
            s_dialog_choice = FILES[Below(5)];
            Note("open file " + std::to_string(s_dialog_choice));
            Action([] { OnOpenFile(nullptr); });
        }
        WdDeliverSends();
        if (M.violation.empty())
            CheckQuiescent();
        M.trace.back() += Described();
    }
    if (!exited && M.violation.empty())
        CheckStopThenExitCloses();
    return EndModel();
}

char s_image_dir[] = "/tmp/flash_model_XXXXXX";

void RemoveImageFiles()
{
    std::string cmd = std::string("rm -rf '") + s_image_dir + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", s_image_dir);
}

// Two good images and a bad file, made once for the whole run.
const char* MakeImageFiles()
{
    const char* dir = s_image_dir;
    if (!s_files[0].empty())
        return dir;
    if (!mkdtemp(s_image_dir))
        return nullptr;
    atexit(RemoveImageFiles);
    for (int f = 0; f < 3; f++) {
        s_files[f] = std::string(dir) + "/image" + std::to_string(f) + ".zel";
        std::ofstream out(s_files[f], std::ios::binary);
        if (f == 2) {
            out << "ZEL";
            continue;
        }
        std::string code(ZEL_CODE_BYTES, '\0'), eeprom(ZEL_EEPROM_BYTES, '\0');
        for (size_t i = 0; i < code.size(); i++) code[i] = (char)(i * (f ? 7 : 13) + (i >> 9) + f);
        for (size_t i = 0; i < eeprom.size(); i++) eeprom[i] = (char)(i * 3 + f);
        out << "ZEL" << code << "LEZ" << eeprom;
    }
    return dir;
}

TEST(FlashModel, RandomInterleavingsKeepThePanelTheDeviceAndTheLogInStep)
{
    const char* dir = MakeImageFiles();
    ASSERT_NE(dir, nullptr);

    const char* count_env = getenv("MODEL_INTERLEAVINGS");
    const char* seed_env = getenv("MODEL_SEED");
    int count = count_env ? atoi(count_env) : 30000;
    uint64_t base = seed_env ? strtoull(seed_env, nullptr, 10) : 20261207;
    int violations = 0;
    std::map<std::string, int> kinds;  // first line of each violation
    for (int i = 0; i < count; i++) {
        uint64_t seed = base + i;
        std::string v = RunInterleaving(seed);
        if (v.empty()) continue;
        violations++;
        kinds[v.substr(0, v.find('\n'))]++;
        if (violations <= 3) {
            std::string steps;
            for (const std::string& s : M.trace) steps += "  " + s + "\n";
            ADD_FAILURE() << "seed " << seed << ": " << v << "\nsteps:\n" << steps
                          << "replay: MODEL_SEED=" << seed << " MODEL_INTERLEAVINGS=1";
        }
    }
    printf("explored %d interleavings, %d invariant violations\n", count, violations);
    printf("flashes: %d complete, %d failed in a phase, %d ended before the phases, %d stopped before they "
           "began; %d stops crossed the device's answer; %d probe writes never returned; %d switches inside "
           "actions; %d opens took long; %d panels freed by Stop Flash at the end\n",
           s_tally.complete, s_tally.phase_failed, s_tally.before_phases, s_tally.stopped_before_begin,
           s_tally.crossed, s_tally.stuck, s_tally.switches, s_tally.slow_opens, s_tally.freed_by_stop);
    for (const auto& k : kinds)
        printf("  %5d x %s\n", k.second, k.first.c_str());
}

// The technician's pick of COM<com>, as the dialog procedure and main
// window take it.
void Pick(int com)
{
    int index = PickerIndexOfPort(com);
    Note("pick COM" + std::to_string(com));
    PickerUserPicks(index);
    Action([&] {
        if (OnPortPicked(index))
            OnSelectPort();
    });
}

void RunUntilIdle()
{
    for (int k = 0; k < 20 && (WdOutstanding() || WdQueued() || WdWhere() != WD_IDLE); k++) {
        WdRun(5000);
        WdDeliverSends();
    }
}

// A road that once left the panel started with no port open and "Stop
// Flash" doing nothing, so that only ending the process freed it: a stop,
// a pick of a port whose open fails queued behind the stopped flash, Open
// File and Start once the stopped flash has returned but before the pick is
// carried out, the queued change leaving no port.
TEST(FlashModel, StopAndExitFreeThePanelWhenAQueuedPickLeavesNoPort)
{
    ASSERT_NE(MakeImageFiles(), nullptr);
    BeginModel(1);
    WdSetSwitchSteps(nullptr);  // the worker moves only where the script says
    Pick(DEVICE_COM);
    RunUntilIdle();
    s_dialog_choice = 0;
    s_dialog_steps = 0;
    Note("open file 0");
    Action([] { OnOpenFile(nullptr); });
    ASSERT_TRUE(RecordedPanel().start_enabled);
    Note("click Start Flash");
    Action(ClickStartStop);
    Note("click Stop Flash");
    Action(ClickStartStop);
    Pick(DEAD_COM);
    // The stopped flash returns; the worker stops before the queued close.
    Note("worker to the queued close");
    WdRunToShared(100000, &g_port);
    Note("open file 0");
    Action([] { OnOpenFile(nullptr); });
    if (RecordedPanel().start_enabled) {
        Note("click Start Flash");
        Action(ClickStartStop);
    }
    RunUntilIdle();
    EXPECT_EQ(IsPortReady(), 0);
    CheckStopThenExitCloses();
    std::string steps;
    for (const std::string& t : M.trace) steps += "  " + t + "\n";
    EXPECT_EQ(EndModel(), "") << steps;
    EXPECT_NE(RecordedLog().find("Failed GetCommState() - COM4"), std::string::npos) << RecordedLog();
}

}  // namespace
