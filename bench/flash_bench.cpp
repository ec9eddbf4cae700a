// flash_bench: one full flash natively against devsim's boot monitor over a
// pseudo-terminal, with the real 50 ms read time-out. Prints the wall time,
// the protocol floor for the same run (every read that cannot end early runs
// its whole time-out), their ratio and the CPU time used. It measures; it
// asserts nothing.
//
// flash_bench --models [MODEL...]: the same flash on each of devsim's line
// models (the line time, a USB adapter's latency, a time-out firing early on
// Windows' tick), or on those named, with a device that answers at once: the flash's time against the
// floor, the median and smallest slack per phase (devsim's transcript), and
// per phase the longest working time of the device that still flashes, to
// the millisecond, found by halving the steps between what the slack
// predicts and 40 ms more (each a flash cut short after that phase).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "devsim_process.h"
#include "firmware_image.h"
#include "flash_sequence.h"
#include "log_view.h"
#include "recording.h"
#include "scripted_peer.h"
#include "serial_port.h"
#include "serial_port_posix.h"
#include "tool_profile.h"

enum {
    BENCH_COM = 3,
    IGNORED_PROBES = 3,       // devsim answers probe IGNORED_PROBES + 1
    READ_TIMEOUT_MS = 50,     // brannik's total read time-out, ms
    LINE_BAUD = 115200,       // bit/s
    BITS_PER_BYTE = 10,       // 8N1: start, 8 data, stop
    EXCHANGES = FLASH_ERASE_BLOCKS + FLASH_PROGRAM_BLOCKS + FLASH_EEPROM_BLOCKS,
    ERASE_FRAME = 8, PROGRAM_FRAME = 136, EEPROM_FRAME = 16, IDENTIFY_FRAME = 4,  // bytes out
    STATUS_REPLY = 5, IDENTIFY_REPLY = 16, SYNC_ANSWER = 1,                       // bytes in
};

static const char FINAL_PROMPT[] = "Выключите и включите питание устройства !";

static double Seconds(const timespec& t) { return t.tv_sec + t.tv_nsec / 1e9; }
static double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

static double CpuSeconds()
{
    rusage r;
    getrusage(RUSAGE_SELF, &r);
    return Seconds(r.ru_utime) + Seconds(r.ru_stime);
}

static double WallSeconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return Seconds(t);
}

static int WriteImage(const char* path)
{
    FILE* f = fopen(path, "wb");
    if (!f)
        return 0;
    fputs("ZEL", f);
    for (unsigned i = 0; i < ZEL_CODE_BYTES; i++)
        fputc((int)((i * 37 + (i >> 7)) & 0xFF), f);
    fputs("LEZ", f);
    for (unsigned i = 0; i < ZEL_EEPROM_BYTES; i++)
        fputc((int)((i * 11 + 5) & 0xFF), f);
    return fclose(f) == 0;
}

// The protocol floor: every read that cannot end early runs its whole
// time-out.
static double FloorSeconds()
{
    return (EXCHANGES + 1 + IGNORED_PROBES) * READ_TIMEOUT_MS / 1000.0;
}

// One flash against a devsim boot monitor started with args (after the
// personality and its sync): 1 with the log, the wall and CPU seconds.
static int FlashAgainstDevsim(std::vector<std::string> args, std::string* log, double* wall, double* cpu)
{
    args.insert(args.begin(), {"boot-monitor", "--sync-after", std::to_string(IGNORED_PROBES + 1)});
    DevsimProcess sim;
    if (!StartDevsim(&sim, args)) {
        fprintf(stderr, "flash_bench: devsim did not start: %s\n", sim.stderr_text.c_str());
        return 0;
    }
    BindComPort(BENCH_COM, sim.pty_path.c_str());
    if (!OpenToolPort(BENCH_COM)) {
        fprintf(stderr, "flash_bench: cannot open %s\n", sim.pty_path.c_str());
        StopDevsim(&sim);
        return 0;
    }
    TakeFirmwareForFlash();
    g_flash_state.store(FLASH_STARTED);
    ClearRecordedLog();
    double cpu0 = CpuSeconds(), wall0 = WallSeconds();
    FlashFirmware();
    *wall = WallSeconds() - wall0;
    *cpu = CpuSeconds() - cpu0;
    *log = RecordedLog();
    CloseToolPort();
    StopDevsim(&sim);
    return 1;
}

static int SingleFlash()
{
    std::string log;
    double wall, cpu;
    if (!FlashAgainstDevsim({}, &log, &wall, &cpu))
        return 1;
    int ok = log.find(FINAL_PROMPT) != std::string::npos;

    // Reads that run their whole time-out: every exchange and the identify
    // (each asks for more than the device sends) and each ignored probe.
    double floor_s = FloorSeconds();
    long bytes_out = (IGNORED_PROBES + 1) + IDENTIFY_FRAME + FLASH_ERASE_BLOCKS * ERASE_FRAME +
                     FLASH_PROGRAM_BLOCKS * PROGRAM_FRAME + FLASH_EEPROM_BLOCKS * EEPROM_FRAME;
    long bytes_in = SYNC_ANSWER + IDENTIFY_REPLY + EXCHANGES * STATUS_REPLY;
    double line_s = (double)(bytes_out + bytes_in) * BITS_PER_BYTE / LINE_BAUD;

    printf("flash_bench: one full flash against devsim boot-monitor --sync-after %d\n", IGNORED_PROBES + 1);
    printf("  outcome           %s\n", ok ? "flashed" : "FAILED (see below)");
    printf("  wall time         %.3f s\n", wall);
    printf("  protocol floor    %.3f s  (%d exchanges + identify + %d ignored probes, each a %d ms read)\n",
           floor_s, (int)EXCHANGES, (int)IGNORED_PROBES, (int)READ_TIMEOUT_MS);
    printf("  ratio             %.4f  (target <= 1.02)\n", wall / floor_s);
    printf("  CPU time          %.3f s  (%.2f %% of wall; target < 1 %%)\n", cpu, 100.0 * cpu / wall);
    printf("  line time         %.3f s  (%ld bytes out, %ld in at %d baud 8N1, if the link were a real line;"
           " not in the floor)\n", line_s, bytes_out, bytes_in, (int)LINE_BAUD);
    if (!ok)
        printf("%s\n", log.c_str());
    return 0;
}

// ---- line models ----------------------------------------------------------

enum { PH_ERASE, PH_PROGRAM, PH_EEPROM, PHASES };
static const char* const PHASE_NAMES[PHASES] = {"erase", "program", "eeprom"};
// Logged once the phase is through: the next phase's first line, or the
// final prompt.
static const char* const PHASE_PASSED[PHASES] = {"Прошиваем новый код", "Прошиваем новый EEPROM", FINAL_PROMPT};
// A fault that ends the flash right after the phase, so a step costs no more.
static const char* const CUT_AFTER[PHASES] = {"program:0:not-supported", "eeprom:0:not-supported", nullptr};

struct FlashRun {
    int passed[PHASES];
    double wall;
    std::vector<double> slack[PHASES];  // ms; negative: late by that much
};

// The slack devsim noted after each reply, by the phase of the frame before it.
static void ReadSlack(const std::string& path, FlashRun* run)
{
    std::ifstream in(path);
    std::string line;
    int phase = -1;
    while (std::getline(in, line)) {
        size_t at = line.find(" < 0F ");
        if (at != std::string::npos && line.size() >= at + 11) {
            std::string cmd = line.substr(at + 9, 2);  // " < 0F LL CC"
            phase = cmd == "01" ? PH_ERASE : cmd == "02" ? PH_PROGRAM : cmd == "03" ? PH_EEPROM : -1;
            continue;
        }
        if (line.find(" < ") != std::string::npos) phase = -1;
        double ms;
        size_t note = line.find("# slack ");
        if (phase >= 0 && note != std::string::npos && sscanf(line.c_str() + note + 8, "%lf", &ms) == 1)
            run->slack[phase].push_back(ms);
        note = line.find("# late ");
        if (phase >= 0 && note != std::string::npos && sscanf(line.c_str() + note + 7, "%lf", &ms) == 1)
            run->slack[phase].push_back(-ms);
    }
}

static int RunOnModel(const char* model, int work_phase, unsigned work_ms, FlashRun* run, const std::string& dir)
{
    std::string transcript = dir + "/transcript.txt";
    std::vector<std::string> args = {"--line", model, "--transcript", transcript};
    if (work_phase >= 0) {
        args.push_back("--work-ms");
        args.push_back(std::string(PHASE_NAMES[work_phase]) + ":" + std::to_string(work_ms));
        if (CUT_AFTER[work_phase]) {
            args.push_back("--fault");
            args.push_back(CUT_AFTER[work_phase]);
        }
    }
    std::string log;
    double cpu;
    if (!FlashAgainstDevsim(args, &log, &run->wall, &cpu))
        return 0;
    for (int p = 0; p < PHASES; p++) {
        run->passed[p] = log.find(PHASE_PASSED[p]) != std::string::npos;
        run->slack[p].clear();
    }
    ReadSlack(transcript, run);
    unlink(transcript.c_str());
    return 1;
}

static double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static double Smallest(const std::vector<double>& v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

static int Models(const std::string& dir, std::vector<const char*> models)
{
    if (models.empty()) models = {"pty", "uart", "ftdi16", "ftdi2", "cp210x", "cdc"};
    printf("flash_bench --models: a full flash on each line model, the device answering at once;\n"
           "slack = what was left of brannik's 50 ms read when the reply was in (negative: late)\n\n");
    printf("| line | flash | ratio to floor | slack erase (median / smallest) | program | eeprom |"
           " longest work: erase | program | eeprom |\n|---|---|---|---|---|---|---|---|---|\n");
    fflush(stdout);
    for (const char* model : models) {
        FlashRun base;
        if (!RunOnModel(model, -1, 0, &base, dir)) return 1;
        printf("| %s | %s %.2f s | %.3f |", model, base.passed[PH_EEPROM] ? "flashed" : "FAILED", base.wall,
               base.wall / FloorSeconds());
        for (int p = 0; p < PHASES; p++)
            printf(" %.1f / %.1f ms |", Median(base.slack[p]), Smallest(base.slack[p]));
        for (int p = 0; p < PHASES; p++) {
            // The smallest slack says roughly how much work fits in the
            // read, and a late reply may have up to the late wait more:
            // halve the steps between the two, each a flash cut short
            // after the phase.
            int pass = (int)Smallest(base.slack[p]) - 3, fail = pass + 40;
            if (pass < 0) pass = 0;
            FlashRun step;
            while (pass > 0) {
                if (!RunOnModel(model, p, (unsigned)pass, &step, dir)) return 1;
                if (step.passed[p]) break;
                fail = pass;
                pass = pass > 8 ? pass - 8 : 0;
            }
            for (;;) {
                if (!RunOnModel(model, p, (unsigned)fail, &step, dir)) return 1;
                if (!step.passed[p] || fail > 1000) break;
                pass = fail;
                fail += 20;
            }
            while (fail - pass > 1) {
                int mid = (pass + fail) / 2;
                if (!RunOnModel(model, p, (unsigned)mid, &step, dir)) return 1;
                if (step.passed[p]) pass = mid;
                else fail = mid;
            }
            printf(" %d ms |", pass);
            fflush(stdout);
        }
        printf("\n");
        fflush(stdout);
    }
    return 0;
}

int main(int argc, char** argv)
{
    char dir[] = "/tmp/flash_bench_XXXXXX";
    if (!mkdtemp(dir)) {
        perror("flash_bench: mkdtemp");
        return 1;
    }
    std::string image = std::string(dir) + "/bench.zel";
    SetToolProfile(&BRANNIK_PROFILE);
    if (!WriteImage(image.c_str()) || !LoadFirmwareImage(image.c_str())) {
        fprintf(stderr, "flash_bench: cannot write or load %s\n", image.c_str());
        return 1;
    }
    int rc;
    if (argc == 4 && strcmp(argv[1], "--model") == 0) {
        // One point: --model MODEL PHASE:MS
        FlashRun run;
        int phase = -1;
        unsigned ms = 0;
        char name[16] = "";
        if (sscanf(argv[3], "%15[a-z]:%u", name, &ms) == 2)
            for (int p = 0; p < PHASES; p++)
                if (strcmp(name, PHASE_NAMES[p]) == 0) phase = p;
        rc = phase < 0 || !RunOnModel(argv[2], phase, ms, &run, dir);
        if (!rc)
            printf("%s %s: %s in %.2f s, smallest slack %.1f ms\n", argv[2], argv[3],
                   run.passed[phase] ? "passed" : "FAILED", run.wall, Smallest(run.slack[phase]));
    } else {
        rc = argc > 1 && strcmp(argv[1], "--models") == 0
                 ? Models(dir, std::vector<const char*>(argv + 2, argv + argc))
                 : SingleFlash();
    }
    unlink(image.c_str());
    rmdir(dir);
    return rc;
}
