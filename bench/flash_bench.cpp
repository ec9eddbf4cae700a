// flash_bench: one full flash natively against devsim's boot monitor over a
// pseudo-terminal, with the real 50 ms read time-out. Prints the wall time,
// the protocol floor for the same run (every read that cannot end early runs
// its whole time-out), their ratio and the CPU time used. It measures; it
// asserts nothing.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>

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

int main()
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

    DevsimProcess sim;
    std::string sync_after = std::to_string(IGNORED_PROBES + 1);
    if (!StartDevsim(&sim, {"boot-monitor", "--sync-after", sync_after})) {
        fprintf(stderr, "flash_bench: devsim did not start: %s\n", sim.stderr_text.c_str());
        return 1;
    }
    BindComPort(BENCH_COM, sim.pty_path.c_str());
    if (!OpenToolPort(BENCH_COM)) {
        fprintf(stderr, "flash_bench: cannot open %s\n", sim.pty_path.c_str());
        StopDevsim(&sim);
        return 1;
    }
    TakeFirmwareForFlash();
    g_flash_state.store(FLASH_STARTED);
    ClearRecordedLog();

    double cpu0 = CpuSeconds(), wall0 = WallSeconds();
    FlashFirmware();
    double wall = WallSeconds() - wall0, cpu = CpuSeconds() - cpu0;

    std::string log = RecordedLog();
    int ok = log.find("Выключите и включите питание устройства !") != std::string::npos;
    CloseToolPort();
    StopDevsim(&sim);
    unlink(image.c_str());
    rmdir(dir);

    // Reads that run their whole time-out: every exchange and the identify
    // (each asks for more than the device sends) and each ignored probe.
    int full_reads = EXCHANGES + 1 + IGNORED_PROBES;
    double floor_s = full_reads * READ_TIMEOUT_MS / 1000.0;
    long bytes_out = (IGNORED_PROBES + 1) + IDENTIFY_FRAME + FLASH_ERASE_BLOCKS * ERASE_FRAME +
                     FLASH_PROGRAM_BLOCKS * PROGRAM_FRAME + FLASH_EEPROM_BLOCKS * EEPROM_FRAME;
    long bytes_in = SYNC_ANSWER + IDENTIFY_REPLY + EXCHANGES * STATUS_REPLY;
    double line_s = (double)(bytes_out + bytes_in) * BITS_PER_BYTE / LINE_BAUD;

    printf("flash_bench: one full flash against devsim boot-monitor --sync-after %s\n", sync_after.c_str());
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
