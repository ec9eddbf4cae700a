// devsim: a stand-in for the target device on a pseudo-terminal, so that the
// tools can be tested, measured and shown without the hardware. This file
// holds the command line (the options, the help) and main, which hands the
// chosen personality to the line (device_line.h). The boot monitor that
// brannik flashes through is boot_monitor_sim, the device side of vessamo's
// EEPROM write eeprom_sim. Nothing includes this file.
#include "device_line.h"
#include "boot_monitor_sim.h"
#include "eeprom_sim.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

namespace {

const char HELP_TEXT[] =
"usage: devsim boot-monitor [options]\n"
"       devsim eeprom [options]\n"
"\n"
"Plays the target device on a pseudo-terminal. The first line of standard\n"
"output is the device path (the pty slave) that a tool should open. devsim\n"
"runs until SIGINT or SIGTERM and then exits 0, or 3 when the tool broke the\n"
"protocol at least once (each violation is reported on stderr), 2 on a bad\n"
"command line, 1 when the pseudo-terminal or a file could not be set up.\n"
"\n"
"Personalities:\n"
"  boot-monitor  the boot monitor brannik flashes through: sync answer,\n"
"                identify reply, erase/program/EEPROM-write status replies.\n"
"                Every frame is checked (start byte, length, command, byte 6,\n"
"                checksum, addresses rising from 0 in the order erase 0..95,\n"
"                program 0..383, EEPROM 0..127). A frame with a wrong checksum\n"
"                gets the bad-checksum reply 0F 03 FF F2 0D, an unknown\n"
"                command the not-supported reply 0F 03 FF F1 0E. A probe 0x55\n"
"                where a frame should start begins a new sync.\n"
"  eeprom        the device side of vessamo's EEPROM write: checks each\n"
"                133-byte frame (55 83, 18-bit address, 128 data bytes) and\n"
"                answers 15 bytes: 55 AA 00 and 12 filler bytes.\n"
"\n"
"Options:\n"
"  --link PATH          also make a symbolic link PATH to the device path\n"
"                       (e.g. a Wine prefix's dosdevices/com3); removed at exit\n"
"  --once               exit by itself after one complete flash (EEPROM block\n"
"                       127 answered) or, for eeprom, after --blocks frames\n"
"  --blocks N           eeprom: frames in one transfer (1..2048)\n"
"  --sync-after N       answer the N-th probe 0x55 with 0xAA (default 1)\n"
"  --never-sync         never answer a probe\n"
"  --version MAJ.MIN    version in the identify reply (default 1.0); the reply\n"
"                       is 0F 0E F0 0C, 8 filler bytes, MAJ, MIN, FF, 84\n"
"  --code-out FILE      save the code image written (49152 bytes; bytes never\n"
"                       erased or programmed read 00, erased ones FF)\n"
"  --eeprom-out FILE    save the EEPROM written: boot-monitor 1024 bytes;\n"
"                       eeprom up to the end of the highest block written.\n"
"                       Unwritten bytes read FF. Images are saved at exit and\n"
"                       whenever a flash or a --blocks transfer completes.\n"
"  --reply-delay-ms N   hold every reply back N ms (default 0)\n"
"  --work-ms PHASE:MS   the device's working time for each command of PHASE\n"
"                       that it carries out (sync, identify, erase, program,\n"
"                       eeprom; eeprom: block), e.g. erase:40. Repeatable\n"
"  --line MODEL         the line between the PC and the device (default pty:\n"
"                       instant). Every other model paces the bytes at the\n"
"                       tool's rate both ways, the tool's from when its write\n"
"                       returned, and adds 3 ms for a time-out that fires\n"
"                       early on Windows' tick:\n"
"      uart             a motherboard port: the reply as its last byte is in\n"
"      ftdi16, ftdi2    an FTDI adapter at a latency timer of 16 ms (its\n"
"                       default) or 2 ms: the device's bytes reach the PC at\n"
"                       the next tick of a free-running grid of that period\n"
"      cp210x           CP210x, CH340, PL2303: 1..3 ms after the last byte\n"
"      cdc              a CDC-ACM device: a 4 ms grid\n"
"                       A late reply is not dropped: the tool's next read gets\n"
"                       it. The transcript notes after each reply the slack\n"
"                       left in the tool's read (\"# slack 12.345ms\", 50 ms\n"
"                       from its write for brannik, 2500 ms for vessamo) or by\n"
"                       how much the reply missed it (\"# late 3.210ms\")\n"
"  --flow-control-left  leave the line as a terminal program would before the\n"
"                       tool opens it: XON/XOFF both ways and RTS/CTS on (the\n"
"                       pty's IXON, IXOFF and CRTSCTS). The transcript notes the\n"
"                       line's flow control whenever it changes: \"# line: ...\"\n"
"  --filler HEX[,HEX]   bytes repeated through the reply fields the tools do\n"
"                       not interpret (identify reply bytes 4..11, EEPROM reply\n"
"                       bytes 3..14; default 00), e.g. 11,13 for XON and XOFF\n"
"  --transcript FILE    log every byte in (<) and out (>) with its time,\n"
"                       one line per frame or reply: \"+12.345ms < 0F 06 ...\";\n"
"                       \"!\" lines are violations, \"#\" lines events\n"
"  --fault PHASE:BLOCK:KIND\n"
"                       replace the reply to one block (zero-based; for sync\n"
"                       the zero-based probe of the current sync; identify is\n"
"                       block 0). Repeatable; each fault fires once.\n"
"    boot-monitor PHASE: sync, identify, erase, program, eeprom\n"
"      not-supported    0F 03 FF F1 0E\n"
"      bad-checksum     0F 03 FF F2 0D\n"
"      done             0F 03 FF 01 FE (where an identify reply is due)\n"
"      no-reply         nothing\n"
"      short1..short4   the first 1..4 bytes of the reply due (not sync)\n"
"      long6            0F 03 FF 01 FE 00 (not sync)\n"
"      garbage          3C A5 5A 96 69\n"
"      wrong-identify   identify reply with data count 0B (identify only)\n"
"      bad-length       identify reply with length byte 0F (identify only)\n"
"      hangup           close the line (the master): the tool's writes and\n"
"                       reads fail from then on\n"
"    eeprom PHASE: block\n"
"      dd:ERR, ee, ff:ERR  status DD/EE/FF with error detail ERR (0..255)\n"
"      status:HEX       any status byte, e.g. status:42\n"
"      short14          the first 14 bytes of the reply\n"
"      bad-start        reply whose first byte is AA\n"
"      long16           the reply and one surplus byte 00, which the tool\n"
"                       reads as the start of the next reply\n"
"      silence          no reply\n"
"      hangup           close the line\n"
"    Commands answered with a status fault or left unanswered are not\n"
"    carried out; mangled replies (short, long, garbage) follow a command\n"
"    that was carried out.\n"
"\n"
"Examples:\n"
"  devsim boot-monitor --once --code-out code.bin --eeprom-out ee.bin\n"
"  devsim boot-monitor --link ~/.wine/dosdevices/com3 --fault program:17:bad-checksum\n"
"  devsim eeprom --blocks 8 --once --eeprom-out written.dat --fault block:3:dd:7\n";

int UsageError(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int UsageError(const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fprintf(stderr, "devsim: %s (devsim --help explains the options)\n", text);
    return 0;
}

// Parses a whole decimal (or 0x hexadecimal with base 0) number up to max.
int ParseNumber(const char* text, int base, unsigned max, unsigned* value) {
    if (!text || !*text || *text == '-') return 0;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, base);
    if (errno || *end || v > max) return 0;
    *value = (unsigned)v;
    return 1;
}

int ParsePhase(const char* name, FaultPhase* phase) {
    static const struct { const char* name; FaultPhase phase; } PHASES[] = {
        {"sync", PHASE_SYNC}, {"identify", PHASE_IDENTIFY}, {"erase", PHASE_ERASE},
        {"program", PHASE_PROGRAM}, {"eeprom", PHASE_EEPROM}, {"block", PHASE_BLOCK},
    };
    for (const auto& p : PHASES)
        if (strcmp(name, p.name) == 0) { *phase = p.phase; return 1; }
    return 0;
}

// PHASE:BLOCK:KIND[:ARG]; checks that the kind fits the personality and phase.
int ParseFault(const char* given, Fault* f) {
    char text[128];
    snprintf(text, sizeof text, "%s", given);
    char* parts[4] = {};
    int count = 0;
    for (char* p = text; count < 4;) {
        parts[count++] = p;
        char* colon = strchr(p, ':');
        if (!colon) break;
        *colon = 0;
        p = colon + 1;
    }
    if (count < 3) return UsageError("--fault %s: expected PHASE:BLOCK:KIND", given);
    memset(f, 0, sizeof *f);
    if (!ParsePhase(parts[0], &f->phase)) return UsageError("--fault %s: unknown phase '%s'", given, parts[0]);
    if (!ParseNumber(parts[1], 10, 0xFFFFFFu, &f->block)) return UsageError("--fault %s: bad block '%s'", given, parts[1]);
    const char* kind = parts[2];
    const char* arg = count > 3 ? parts[3] : nullptr;
    int eeprom_phase = f->phase == PHASE_BLOCK;
    if (eeprom_phase != !g_opt.boot_monitor)
        return UsageError("--fault %s: phase '%s' does not belong to this personality", given, parts[0]);

    int takes_arg = 0;
    if (strcmp(kind, "hangup") == 0) {
        f->kind = FAULT_HANGUP;
    } else if (eeprom_phase) {
        if (strcmp(kind, "dd") == 0 || strcmp(kind, "ff") == 0) {
            f->kind = FAULT_STATUS;
            f->arg = kind[0] == 'd' ? 0xDD : 0xFF;
            takes_arg = 1;
            if (!ParseNumber(arg, 0, 255, &f->arg2)) return UsageError("--fault %s: %s needs :ERR (0..255)", given, kind);
        } else if (strcmp(kind, "ee") == 0) {
            f->kind = FAULT_STATUS;
            f->arg = 0xEE;
        } else if (strcmp(kind, "status") == 0) {
            f->kind = FAULT_STATUS;
            takes_arg = 1;
            if (!ParseNumber(arg, 16, 255, &f->arg)) return UsageError("--fault %s: status needs :HEX (00..FF)", given);
        } else if (strcmp(kind, "short14") == 0) {
            f->kind = FAULT_SHORT;
            f->arg = 14;
        } else if (strcmp(kind, "bad-start") == 0) {
            f->kind = FAULT_BAD_START;
        } else if (strcmp(kind, "long16") == 0) {
            f->kind = FAULT_LONG;
            f->arg = 16;
        } else if (strcmp(kind, "silence") == 0) {
            f->kind = FAULT_SILENCE;
        }
    } else {
        static const struct { const char* name; FaultKind kind; unsigned arg; } KINDS[] = {
            {"not-supported", FAULT_NOT_SUPPORTED, 0}, {"bad-checksum", FAULT_BAD_CHECKSUM, 0},
            {"done", FAULT_DONE, 0}, {"no-reply", FAULT_NO_REPLY, 0},
            {"short1", FAULT_SHORT, 1}, {"short2", FAULT_SHORT, 2}, {"short3", FAULT_SHORT, 3},
            {"short4", FAULT_SHORT, 4}, {"long6", FAULT_LONG, 6}, {"garbage", FAULT_GARBAGE, 0},
            {"wrong-identify", FAULT_WRONG_IDENTIFY, 0}, {"bad-length", FAULT_BAD_LENGTH, 0},
        };
        for (const auto& k : KINDS)
            if (strcmp(kind, k.name) == 0) { f->kind = k.kind; f->arg = k.arg; }
        if ((f->kind == FAULT_WRONG_IDENTIFY || f->kind == FAULT_BAD_LENGTH) && f->phase != PHASE_IDENTIFY)
            return UsageError("--fault %s: %s belongs to the identify phase", given, kind);
        if ((f->kind == FAULT_SHORT || f->kind == FAULT_LONG) && f->phase == PHASE_SYNC)
            return UsageError("--fault %s: the sync answer is one byte; %s does not apply", given, kind);
    }
    if (f->kind == FAULT_NONE) return UsageError("--fault %s: unknown kind '%s'", given, kind);
    if (arg && !takes_arg) return UsageError("--fault %s: %s takes no argument", given, kind);
    if (f->phase == PHASE_IDENTIFY && f->block != 0) return UsageError("--fault %s: identify has only block 0", given);
    return 1;
}

// PHASE:MS: the device's working time for the commands of one phase.
int ParseWork(const char* given) {
    char text[64];
    snprintf(text, sizeof text, "%s", given);
    char* colon = strchr(text, ':');
    FaultPhase phase;
    unsigned ms;
    if (!colon) return UsageError("--work-ms %s: expected PHASE:MS, e.g. erase:40", given);
    *colon = 0;
    if (!ParsePhase(text, &phase) || (phase == PHASE_BLOCK) != !g_opt.boot_monitor)
        return UsageError("--work-ms %s: no phase '%s' in this personality", given, text);
    if (!ParseNumber(colon + 1, 10, 60000, &ms)) return UsageError("--work-ms %s: expected milliseconds", given);
    g_opt.work_ms[phase] = ms;
    return 1;
}

// HEX[,HEX...]: the filler pattern, each byte 00..FF.
int ParseFiller(const char* given) {
    char text[128];
    snprintf(text, sizeof text, "%s", given);
    g_opt.filler_n = 0;
    for (char* p = strtok(text, ","); p; p = strtok(nullptr, ",")) {
        unsigned v;
        if (g_opt.filler_n == DEVSIM_FILLER_MAX || !ParseNumber(p, 16, 255, &v))
            return UsageError("--filler %s: expected up to %d hex bytes, e.g. 11,13", given, (int)DEVSIM_FILLER_MAX);
        g_opt.filler[g_opt.filler_n++] = (unsigned char)v;
    }
    if (g_opt.filler_n == 0) return UsageError("--filler %s: expected hex bytes, e.g. 11,13", given);
    return 1;
}

int ParseOptions(int argc, char** argv) {
    if (argc < 2) return UsageError("name a personality: boot-monitor or eeprom");
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(HELP_TEXT, stdout);
        exit(DEVSIM_EXIT_OK);
    }
    if (strcmp(argv[1], "boot-monitor") == 0) g_opt.boot_monitor = 1;
    else if (strcmp(argv[1], "eeprom") == 0) g_opt.boot_monitor = 0;
    else return UsageError("unknown personality '%s'", argv[1]);
    g_opt.sync_after = 1;
    g_opt.version_major = 1;
    g_opt.version_minor = 0;
    g_opt.line = &LINE_MODELS[0];

    enum { OPT_LINK = 256, OPT_CODE_OUT, OPT_EEPROM_OUT, OPT_TRANSCRIPT, OPT_SYNC_AFTER, OPT_BLOCKS, OPT_REPLY_DELAY,
           OPT_VERSION, OPT_FAULT, OPT_ONCE, OPT_NEVER_SYNC, OPT_FLOW_CONTROL_LEFT, OPT_FILLER,
           OPT_LINE, OPT_WORK };
    static const option LONG_OPTIONS[] = {
        {"help", no_argument, nullptr, 'h'},
        {"once", no_argument, nullptr, OPT_ONCE},
        {"never-sync", no_argument, nullptr, OPT_NEVER_SYNC},
        {"link", required_argument, nullptr, OPT_LINK},
        {"code-out", required_argument, nullptr, OPT_CODE_OUT},
        {"eeprom-out", required_argument, nullptr, OPT_EEPROM_OUT},
        {"transcript", required_argument, nullptr, OPT_TRANSCRIPT},
        {"sync-after", required_argument, nullptr, OPT_SYNC_AFTER},
        {"blocks", required_argument, nullptr, OPT_BLOCKS},
        {"reply-delay-ms", required_argument, nullptr, OPT_REPLY_DELAY},
        {"version", required_argument, nullptr, OPT_VERSION},
        {"fault", required_argument, nullptr, OPT_FAULT},
        {"flow-control-left", no_argument, nullptr, OPT_FLOW_CONTROL_LEFT},
        {"filler", required_argument, nullptr, OPT_FILLER},
        {"line", required_argument, nullptr, OPT_LINE},
        {"work-ms", required_argument, nullptr, OPT_WORK},
        {nullptr, 0, nullptr, 0},
    };
    // The personality is argv[1]; the options follow it. Errors are ours.
    optind = 2;
    opterr = 0;
    for (;;) {
        int previous = optind;
        int c = getopt_long(argc, argv, ":h", LONG_OPTIONS, nullptr);
        if (c == -1) break;
        const char* val = optarg;
        const char* given = argv[previous < argc ? previous : argc - 1];
        switch (c) {
        case 'h':
            fputs(HELP_TEXT, stdout);
            exit(DEVSIM_EXIT_OK);
        case ':':
            return UsageError("%s needs a value", given);
        case '?':
            return UsageError("%s: unknown option", given);
        case OPT_ONCE:
            g_opt.once = 1;
            break;
        case OPT_NEVER_SYNC:
            if (!g_opt.boot_monitor) return UsageError("--never-sync is a boot-monitor option");
            g_opt.never_sync = 1;
            break;
        case OPT_LINK:
            g_opt.link_path = val;
            break;
        case OPT_CODE_OUT:
            if (!g_opt.boot_monitor) return UsageError("--code-out is a boot-monitor option");
            g_opt.code_out = val;
            break;
        case OPT_EEPROM_OUT:
            g_opt.eeprom_out = val;
            break;
        case OPT_TRANSCRIPT:
            g_opt.transcript = val;
            break;
        case OPT_SYNC_AFTER:
            if (!g_opt.boot_monitor) return UsageError("--sync-after is a boot-monitor option");
            if (!ParseNumber(val, 10, 1000000, &g_opt.sync_after) || g_opt.sync_after == 0)
                return UsageError("--sync-after %s: expected a number from 1", val);
            break;
        case OPT_BLOCKS:
            if (g_opt.boot_monitor) return UsageError("--blocks is an eeprom option");
            if (!ParseNumber(val, 10, 2048, &g_opt.blocks) || g_opt.blocks == 0)
                return UsageError("--blocks %s: expected 1..2048", val);
            break;
        case OPT_REPLY_DELAY:
            if (!ParseNumber(val, 10, 600000, &g_opt.reply_delay_ms))
                return UsageError("--reply-delay-ms %s: expected milliseconds", val);
            break;
        case OPT_VERSION: {
            if (!g_opt.boot_monitor) return UsageError("--version is a boot-monitor option");
            char text[32];
            snprintf(text, sizeof text, "%s", val);
            char* dot = strchr(text, '.');
            if (!dot) return UsageError("--version %s: expected MAJOR.MINOR", val);
            *dot = 0;
            if (!ParseNumber(text, 10, 255, &g_opt.version_major) || !ParseNumber(dot + 1, 10, 255, &g_opt.version_minor))
                return UsageError("--version %s: expected MAJOR.MINOR, each 0..255", val);
            break;
        }
        case OPT_FLOW_CONTROL_LEFT:
            g_opt.flow_control_left = 1;
            break;
        case OPT_FILLER:
            if (!ParseFiller(val)) return 0;
            break;
        case OPT_LINE: {
            const LineModel* chosen = nullptr;
            for (unsigned i = 0; i < LINE_MODEL_COUNT; i++)
                if (strcmp(val, LINE_MODELS[i].name) == 0) chosen = &LINE_MODELS[i];
            if (!chosen) return UsageError("--line %s: expected pty, uart, ftdi16, ftdi2, cp210x or cdc", val);
            g_opt.line = chosen;
            break;
        }
        case OPT_WORK:
            if (!ParseWork(val)) return 0;
            break;
        case OPT_FAULT:
            if (g_opt.fault_count == DEVSIM_MAX_FAULTS) return UsageError("at most %d --fault options", (int)DEVSIM_MAX_FAULTS);
            if (!ParseFault(val, &g_opt.faults[g_opt.fault_count])) return 0;
            g_opt.fault_count++;
            break;
        }
    }
    if (optind < argc) return UsageError("%s: unexpected argument", argv[optind]);
    if (g_opt.once && !g_opt.boot_monitor && g_opt.blocks == 0)
        return UsageError("--once needs --blocks N for the eeprom personality");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!ParseOptions(argc, argv)) return DEVSIM_EXIT_USAGE;
    const DevicePersonality* device = g_opt.boot_monitor ? &BOOT_MONITOR_SIM : &EEPROM_DEVICE_SIM;
    int opened = LineOpen(device);
    if (opened != DEVSIM_EXIT_OK) return opened;
    return LineRun(device);
}
