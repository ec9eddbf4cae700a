// eeprom_bench: writes 2,048 blocks to `devsim eeprom` over a pseudo-terminal
// with vessamo's own transfer code and prints where the time went.
//
// For each reply delay given on the command line (ms; default "0 1"):
//   wall        time FlashEeprom took, start to "OK !"
//   device      time devsim itself held each block: from a frame's last byte
//               to its reply, read from devsim's transcript time stamps
//               (devsim's clock, so no clock pairing is needed)
//   overhead    (wall - device) / blocks: what the program, the kernel's
//               pseudo-terminal and devsim's reading add per block
//   cpu         user + system time of this process during the write (getrusage)
// Target: overhead at most 0.2 ms a block. It prints figures; it asserts nothing.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "devsim_process.h"
#include "eeprom_file.h"
#include "eeprom_writer.h"
#include "log_view.h"
#include "recording.h"
#include "progress_bar.h"
#include "scripted_peer.h"
#include "serial_port.h"
#include "serial_port_posix.h"
#include "tool_profile.h"

enum {
    BENCH_COM = 3,          // COM number bound to devsim's pty
    BENCH_BLOCKS = 2048,    // a full 18-bit address range
};

static double CpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Sum over frames of (reply time - frame time), in ms, from the transcript.
static double DeviceMs(const std::string& path, int* frames)
{
    std::ifstream in(path);
    std::string line;
    double total = 0, frame_at = -1;
    *frames = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '+')
            continue;
        double at = strtod(line.c_str() + 1, nullptr);
        size_t ms = line.find("ms ");
        if (ms == std::string::npos || ms + 3 >= line.size())
            continue;
        char dir = line[ms + 3];
        if (dir == '<') {
            frame_at = at;
            ++*frames;
        } else if (dir == '>' && frame_at >= 0) {
            total += at - frame_at;
            frame_at = -1;
        }
    }
    return total;
}

static int RunOnce(unsigned reply_delay_ms, const std::vector<unsigned char>& data)
{
    char dir[] = "/tmp/eeprom_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 0;
    }
    std::string transcript = std::string(dir) + "/transcript.txt";
    std::string written = std::string(dir) + "/written.dat";

    DevsimProcess dev;
    if (!StartDevsim(&dev, {"eeprom", "--reply-delay-ms", std::to_string(reply_delay_ms),
                            "--transcript", transcript, "--eeprom-out", written})) {
        fprintf(stderr, "devsim did not start: %s\n", dev.stderr_text.c_str());
        return 0;
    }
    BindComPort(BENCH_COM, dev.pty_path.c_str());
    if (!OpenToolPort(BENCH_COM, &VESSAMO_PROFILE)) {
        fprintf(stderr, "cannot open %s\n", dev.pty_path.c_str());
        StopDevsim(&dev);
        return 0;
    }
    ClearRecordedLog();
    ClearRecordedProgress();

    double cpu0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    FlashEeprom();
    auto t1 = std::chrono::steady_clock::now();
    double cpu = CpuSeconds() - cpu0;

    CloseToolPort();
    StopDevsim(&dev);

    double wall_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    int frames = 0;
    double device_ms = DeviceMs(transcript, &frames);
    std::ifstream w(written, std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(w)), std::istreambuf_iterator<char>());
    bool same = got.size() == data.size() && memcmp(got.data(), data.data(), data.size()) == 0;
    bool ok = RecordedLog().find("OK !") != std::string::npos;

    printf("reply delay %u ms: %s, %d frames, EEPROM %s\n", reply_delay_ms, ok ? "OK" : "FAILED",
           frames, same ? "equal to the data" : "DIFFERS");
    printf("  wall      %9.1f ms  (%.4f ms a block)\n", wall_ms, wall_ms / BENCH_BLOCKS);
    printf("  device    %9.1f ms  (%.4f ms a block)\n", device_ms, device_ms / BENCH_BLOCKS);
    printf("  overhead  %9.1f ms  (%.4f ms a block; target <= 0.2)\n",
           wall_ms - device_ms, (wall_ms - device_ms) / BENCH_BLOCKS);
    printf("  cpu       %9.1f ms  (%.1f %% of wall)\n", cpu * 1000, 100 * cpu * 1000 / wall_ms);

    unlink(transcript.c_str());
    unlink(written.c_str());
    rmdir(dir);
    return ok && same;
}

int main(int argc, char** argv)
{
    SetToolProfile(&VESSAMO_PROFILE);
    std::vector<unsigned char> data((size_t)BENCH_BLOCKS * EEPROM_BLOCK_BYTES);
    for (size_t k = 0; k < data.size(); ++k)
        data[k] = (unsigned char)(k * 31 + k / 128);
    g_eeprom_data = data.data();
    g_eeprom_length = (int)data.size();

    std::vector<unsigned> delays;
    for (int a = 1; a < argc; ++a)
        delays.push_back((unsigned)strtoul(argv[a], nullptr, 10));
    if (delays.empty())
        delays = {0, 1};

    printf("eeprom_bench: %d blocks of %d bytes to devsim eeprom\n", BENCH_BLOCKS, EEPROM_BLOCK_BYTES);
    int all_ok = 1;
    for (unsigned d : delays)
        all_ok &= RunOnce(d, data);
    return all_ok ? 0 : 1;
}
