// devsim driven through its pseudo-terminal: a full flash with brannik's own
// link code, the bytes of every fault option, the reports of malformed
// frames, the link path, and the EEPROM device personality.
#include <gtest/gtest.h>

#include <cmath>

#include "boot_monitor.h"
#include "devsim_process.h"
#include "eeprom_writer.h"
#include "serial_port.h"
#include "serial_port_posix.h"
#include "tool_profile.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

typedef std::vector<unsigned char> Bytes;

const int QUIET_MS = 80;           // a reply is over when the line stays quiet this long
const int CODE_BYTES = 49152;
const int EEPROM_BYTES = 1024;

std::string Hex(const Bytes& b) {
    std::string s;
    char h[4];
    for (size_t i = 0; i < b.size(); i++) {
        snprintf(h, sizeof h, i ? " %02X" : "%02X", b[i]);
        s += h;
    }
    return s;
}

Bytes FromHex(const char* text) {
    Bytes b;
    unsigned v;
    int used;
    while (sscanf(text, " %x%n", &v, &used) == 1) {
        b.push_back((unsigned char)v);
        text += used;
    }
    return b;
}

std::string TempPath(const char* name) {
    char path[256];
    snprintf(path, sizeof path, "/tmp/devsim_test_%d_%s", (int)getpid(), name);
    return path;
}

Bytes ReadFile(const std::string& path) {
    Bytes b;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return b;
    int c;
    while ((c = fgetc(f)) != EOF) b.push_back((unsigned char)c);
    fclose(f);
    return b;
}

long long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// The tool's end of the line, opened raw like the POSIX backend does.
int OpenLine(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Reads until want bytes have come, or the line stayed quiet for QUIET_MS.
Bytes Receive(int fd, size_t want = 4096) {
    Bytes got;
    long long quiet_end = NowMs() + QUIET_MS;
    while (got.size() < want) {
        int left = (int)(quiet_end - NowMs());
        if (left <= 0) break;
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0) continue;
        unsigned char buf[512];
        ssize_t n = read(fd, buf, want - got.size() < sizeof buf ? want - got.size() : sizeof buf);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
        quiet_end = NowMs() + QUIET_MS;
    }
    return got;
}

Bytes Send(int fd, const Bytes& frame, size_t want = 4096) {
    EXPECT_EQ((ssize_t)frame.size(), write(fd, frame.data(), frame.size()));
    return Receive(fd, want);
}

Bytes Frame(unsigned char command, unsigned address, const unsigned char* payload) {
    unsigned char f[BM_FRAME_MAX];
    unsigned n = BuildCommandFrame(f, command, address, payload);
    return Bytes(f, f + n);
}

// Recomputes the checksum of a hand-made frame after a field was changed.
Bytes Sealed(Bytes f) {
    unsigned L = f[1];
    f[L + 1] = FrameChecksum(&f[2], L - 1);
    return f;
}

const char* DONE = "0F 03 FF 01 FE";
const char* IDENTIFY_1_0 = "0F 0E F0 0C 00 00 00 00 00 00 00 00 01 00 FF 84";
const Bytes PROBE = {BM_SYNC_PROBE};
const Bytes IDENTIFY = {0x0F, 0x02, 0x00, 0x00};

// A deterministic image: code bytes vary with the offset, EEPROM too.
void MakeImage(Bytes* code, Bytes* eeprom) {
    code->resize(CODE_BYTES);
    eeprom->resize(EEPROM_BYTES);
    for (int i = 0; i < CODE_BYTES; i++) (*code)[i] = (unsigned char)(i * 7 + (i >> 8));
    for (int i = 0; i < EEPROM_BYTES; i++) (*eeprom)[i] = (unsigned char)(0xA5 ^ i ^ (i >> 3));
}

// The frames of a whole flash after sync and identify, in order.
std::vector<Bytes> FlashFrames(const Bytes& code, const Bytes& eeprom) {
    std::vector<Bytes> frames;
    for (unsigned k = 0; k < 96; k++) frames.push_back(Frame(BM_CMD_ERASE, 512 * k, nullptr));
    for (unsigned k = 0; k < 384; k++) frames.push_back(Frame(BM_CMD_PROGRAM, 128 * k, &code[128 * k]));
    for (unsigned k = 0; k < 128; k++) frames.push_back(Frame(BM_CMD_EEPROM_WRITE, 8 * k, &eeprom[8 * k]));
    return frames;
}

struct Devsim {
    DevsimProcess p;
    int fd = -1;
    int Start(const std::vector<std::string>& args) {
        if (!StartDevsim(&p, args)) return 0;
        fd = OpenLine(p.pty_path);
        return fd >= 0;
    }
    // Sync and identify, as the flash sequence begins.
    void Catch() {
        EXPECT_EQ("AA", Hex(Send(fd, PROBE, 1)));
        EXPECT_EQ(IDENTIFY_1_0, Hex(Send(fd, IDENTIFY, 16)));
    }
    int Stop() {
        if (fd >= 0) close(fd);
        fd = -1;
        return StopDevsim(&p);
    }
    ~Devsim() {
        if (fd >= 0) close(fd);
        if (p.pid) StopDevsim(&p);
    }
};

// ---- the full flash through brannik's link code -----------------------------

TEST(DevsimBootMonitor, FullFlashThroughLinkCodeRebuildsTheImage) {
    Bytes code, eeprom;
    MakeImage(&code, &eeprom);
    std::string code_out = TempPath("code.bin"), eeprom_out = TempPath("eeprom.bin");
    DevsimProcess sim;
    ASSERT_TRUE(StartDevsim(&sim, {"boot-monitor", "--sync-after", "3", "--version", "2.7",
                                   "--code-out", code_out, "--eeprom-out", eeprom_out}));
    const int com = 7;
    BindComPort(com, sim.pty_path.c_str());
    SetToolProfile(&BRANNIK_PROFILE);
    g_selected_port = com;
    g_port_worker_thread = (void*)1;
    ASSERT_EQ(1, OpenComPort());

    ASSERT_EQ(1, SyncBootMonitor());
    ASSERT_EQ(1, IdentifyBootMonitor());
    int exchanges = 0;
    for (const Bytes& f : FlashFrames(code, eeprom)) {
        ASSERT_EQ(BM_OUTCOME_DONE, ExchangeCommand(f.data(), (unsigned)f.size())) << "exchange " << exchanges;
        exchanges++;
    }
    EXPECT_EQ(608, exchanges);
    // Saved when the flash completed, while devsim still runs.
    EXPECT_TRUE(ReadFile(code_out) == code);
    EXPECT_TRUE(ReadFile(eeprom_out) == eeprom);

    CloseComPort();
    g_port_worker_thread = nullptr;
    ClearComPortBindings();
    EXPECT_EQ(0, StopDevsim(&sim)) << sim.stderr_text;
    EXPECT_EQ("", sim.stderr_text);
    unlink(code_out.c_str());
    unlink(eeprom_out.c_str());
}

// ---- raw frames -------------------------------------------------------------

TEST(DevsimBootMonitor, OnceEndsAfterACompleteFlashAndErasesBeforeProgramming) {
    Bytes code, eeprom;
    MakeImage(&code, &eeprom);
    // Leave program block 5 out: its bytes must read FF (erased), not 00.
    std::vector<Bytes> frames = FlashFrames(code, eeprom);
    frames.erase(frames.begin() + 96 + 5);
    std::string code_out = TempPath("once_code.bin");
    Devsim d;
    ASSERT_TRUE(d.Start({"boot-monitor", "--once", "--code-out", code_out}));
    d.Catch();
    for (const Bytes& f : frames) ASSERT_EQ(DONE, Hex(Send(d.fd, f, 5)));
    ASSERT_TRUE(WaitDevsim(&d.p, 5000));
    EXPECT_EQ(3, d.p.exit_code);  // the gap is an order violation
    EXPECT_NE(std::string::npos, d.p.stderr_text.find("program block 6 (address 0x000300) where program block 5 is due"))
        << d.p.stderr_text;
    Bytes saved = ReadFile(code_out);
    ASSERT_EQ((size_t)CODE_BYTES, saved.size());
    for (int i = 0; i < CODE_BYTES; i++) {
        unsigned char want = i / 128 == 5 ? 0xFF : code[i];
        ASSERT_EQ(want, saved[i]) << "offset " << i;
    }
    unlink(code_out.c_str());
}

TEST(DevsimBootMonitor, SyncAndIdentifyOptions) {
    struct Case {
        std::vector<std::string> args;
        int probes;               // probes sent
        const char* replies;      // bytes seen in answer to all of them
        const char* identify;     // reply to identify afterwards, "" to skip
    } cases[] = {
        {{"boot-monitor"}, 1, "AA", IDENTIFY_1_0},
        {{"boot-monitor", "--sync-after", "3"}, 2, "", ""},
        {{"boot-monitor", "--sync-after", "3"}, 3, "AA", IDENTIFY_1_0},
        {{"boot-monitor", "--never-sync"}, 5, "", ""},
        {{"boot-monitor", "--version", "2.7"}, 1, "AA", "0F 0E F0 0C 00 00 00 00 00 00 00 00 02 07 FF 84"},
        {{"boot-monitor", "--reply-delay-ms", "20"}, 1, "AA", IDENTIFY_1_0},
        {{"boot-monitor", "--filler", "11,13,AA"}, 1, "AA", "0F 0E F0 0C 11 13 AA 11 13 AA 11 13 01 00 FF 84"},
    };
    for (const Case& c : cases) {
        Devsim d;
        ASSERT_TRUE(d.Start(c.args));
        Bytes got;
        for (int i = 0; i < c.probes; i++) {
            Bytes r = Send(d.fd, PROBE);
            got.insert(got.end(), r.begin(), r.end());
        }
        EXPECT_EQ(c.replies, Hex(got)) << c.args.back();
        if (*c.identify) {
            EXPECT_EQ(c.identify, Hex(Send(d.fd, IDENTIFY))) << c.args.back();
        }
        EXPECT_EQ(0, d.Stop()) << d.p.stderr_text;
    }
}

TEST(DevsimBootMonitor, FaultsReplaceTheReplyOfTheirBlock) {
    Bytes code, eeprom;
    MakeImage(&code, &eeprom);
    const std::vector<Bytes> flash = FlashFrames(code, eeprom);
    struct Case {
        const char* fault;
        int frames_before;        // flash frames answered normally first (-1: fault at identify)
        const char* reply;        // what the faulted frame gets
    } cases[] = {
        {"identify:0:done", -1, DONE},
        {"identify:0:not-supported", -1, "0F 03 FF F1 0E"},
        {"identify:0:wrong-identify", -1, "0F 0E F0 0B 00 00 00 00 00 00 00 00 01 00 FF 84"},
        {"identify:0:bad-length", -1, "0F 0F F0 0C 00 00 00 00 00 00 00 00 01 00 FF 84"},
        {"identify:0:short4", -1, "0F 0E F0 0C"},
        {"identify:0:no-reply", -1, ""},
        {"identify:0:garbage", -1, "3C A5 5A 96 69"},
        {"erase:0:not-supported", 0, "0F 03 FF F1 0E"},
        {"erase:0:bad-checksum", 0, "0F 03 FF F2 0D"},
        {"erase:2:no-reply", 2, ""},
        {"erase:0:short1", 0, "0F"},
        {"erase:0:short2", 0, "0F 03"},
        {"erase:0:short3", 0, "0F 03 FF"},
        {"erase:0:short4", 0, "0F 03 FF 01"},
        {"erase:95:long6", 95, "0F 03 FF 01 FE 00"},
        {"program:17:bad-checksum", 96 + 17, "0F 03 FF F2 0D"},
        {"program:0:garbage", 96, "3C A5 5A 96 69"},
        {"eeprom:127:not-supported", 96 + 384 + 127, "0F 03 FF F1 0E"},
    };
    for (const Case& c : cases) {
        Devsim d;
        ASSERT_TRUE(d.Start({"boot-monitor", "--fault", c.fault}));
        EXPECT_EQ("AA", Hex(Send(d.fd, PROBE, 1)));
        if (c.frames_before < 0) {
            EXPECT_EQ(c.reply, Hex(Send(d.fd, IDENTIFY))) << c.fault;
        } else {
            EXPECT_EQ(IDENTIFY_1_0, Hex(Send(d.fd, IDENTIFY, 16)));
            for (int i = 0; i < c.frames_before; i++) ASSERT_EQ(DONE, Hex(Send(d.fd, flash[i], 5))) << c.fault;
            EXPECT_EQ(c.reply, Hex(Send(d.fd, flash[c.frames_before]))) << c.fault;
        }
        EXPECT_EQ(0, d.Stop()) << c.fault << ": " << d.p.stderr_text;
    }
}

TEST(DevsimBootMonitor, SyncFaultsAndOneShotFaults) {
    struct Case {
        std::vector<std::string> args;
        const char* answers;      // to probes 1, 2 and 3
    } cases[] = {
        {{"--fault", "sync:0:no-reply"}, "|AA|AA"},
        {{"--fault", "sync:0:garbage"}, "3C A5 5A 96 69|AA|AA"},
        {{"--fault", "sync:0:done"}, "0F 03 FF 01 FE|AA|AA"},
        {{"--sync-after", "2", "--fault", "sync:1:garbage"}, "|3C A5 5A 96 69|AA"},
        {{"--fault", "sync:1:garbage"}, "AA|AA|AA"},  // a probe after the answer starts a new sync
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"boot-monitor"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Devsim d;
        ASSERT_TRUE(d.Start(args));
        std::string answers = Hex(Send(d.fd, PROBE));
        answers += "|" + Hex(Send(d.fd, PROBE));
        answers += "|" + Hex(Send(d.fd, PROBE));
        EXPECT_EQ(c.answers, answers) << c.args.back();
        EXPECT_EQ(0, d.Stop()) << c.args.back();
    }
    // A fault fires once: a second flash after it gets done for that block.
    Devsim d;
    ASSERT_TRUE(d.Start({"boot-monitor", "--fault", "erase:0:bad-checksum"}));
    d.Catch();
    EXPECT_EQ("0F 03 FF F2 0D", Hex(Send(d.fd, Frame(BM_CMD_ERASE, 0, nullptr))));
    d.Catch();
    EXPECT_EQ(DONE, Hex(Send(d.fd, Frame(BM_CMD_ERASE, 0, nullptr))));
    EXPECT_EQ(0, d.Stop()) << d.p.stderr_text;
}

TEST(DevsimBootMonitor, HangupClosesTheLine) {
    Devsim d;
    ASSERT_TRUE(d.Start({"boot-monitor", "--once", "--fault", "erase:1:hangup"}));
    d.Catch();
    EXPECT_EQ(DONE, Hex(Send(d.fd, Frame(BM_CMD_ERASE, 0, nullptr), 5)));
    EXPECT_EQ((ssize_t)8, write(d.fd, Frame(BM_CMD_ERASE, 512, nullptr).data(), 8));
    pollfd pfd = {d.fd, POLLIN, 0};
    ASSERT_EQ(1, poll(&pfd, 1, 2000));
    EXPECT_TRUE(pfd.revents & POLLHUP);
    unsigned char b;
    EXPECT_LE(read(d.fd, &b, 1), 0);
    // With --once there is nothing left to wait for.
    ASSERT_TRUE(WaitDevsim(&d.p, 5000));
    EXPECT_EQ(0, d.p.exit_code);
}

TEST(DevsimBootMonitor, MalformedFramesAreReported) {
    const Bytes erase0 = Frame(BM_CMD_ERASE, 0, nullptr);
    Bytes bad_sum = erase0;
    bad_sum[7] ^= 0x01;
    Bytes unknown = erase0;
    unknown[2] = 0x07;
    Bytes byte6 = erase0;
    byte6[6] = 0x09;
    unsigned char ee[8] = {};
    Bytes ee_byte5 = Frame(BM_CMD_EEPROM_WRITE, 0, ee);
    ee_byte5[5] = 0x01;
    struct Case {
        const char* what;
        int catch_first;          // sync and identify before the frame
        Bytes frame;
        const char* reply;
        const char* report;       // part of the stderr line
    } cases[] = {
        {"checksum", 1, bad_sum, "0F 03 FF F2 0D", "frame checksum 08, its bytes give 09"},
        {"unknown command", 1, Sealed(unknown), "0F 03 FF F1 0E", "unknown command 07"},
        {"length of command", 1, Sealed(FromHex("0F 06 02 00 00 00 02 00")), "0F 03 FF F1 0E", "program frame with length byte 06"},
        {"byte 6", 1, Sealed(byte6), DONE, "erase frame with byte 6 = 09 (expected 08)"},
        {"eeprom byte 5", 1, Sealed(ee_byte5), DONE, "eeprom frame with byte 5 = 01"},
        {"order", 1, Frame(BM_CMD_ERASE, 512, nullptr), DONE, "erase block 1 (address 0x000200) where erase block 0 is due"},
        {"program first", 1, Frame(BM_CMD_PROGRAM, 0, std::vector<unsigned char>(128).data()), DONE,
         "program block 0 (address 0x000000) where erase block 0 is due"},
        {"misaligned", 1, Frame(BM_CMD_ERASE, 0x100, nullptr), DONE, "erase address 0x000100 is not a block"},
        {"outside", 1, Frame(BM_CMD_ERASE, 0xC000, nullptr), DONE, "erase address 0x00C000 is not a block"},
        {"no identify", 0, erase0, "", "byte 0F while waiting for sync probes"},
        {"skipped identify", 2, erase0, DONE, "erase block 0 (address 0x000000) where identify block 0 is due"},
        {"start byte", 1, FromHex("12 34"), "", "byte 12 where a frame start 0F is due"},
        {"length byte", 1, FromHex("0F 07 01 00"), "", "frame length byte 07 fits no command"},
        {"cut off", 1, FromHex("0F 06 01 00"), "", "frame cut off after 4 of 8 bytes"},
    };
    for (const Case& c : cases) {
        Devsim d;
        ASSERT_TRUE(d.Start({"boot-monitor"}));
        if (c.catch_first == 1) d.Catch();
        if (c.catch_first == 2) {
            EXPECT_EQ("AA", Hex(Send(d.fd, PROBE, 1)));
        }
        EXPECT_EQ(c.reply, Hex(Send(d.fd, c.frame))) << c.what;
        EXPECT_EQ(3, d.Stop()) << c.what;
        EXPECT_NE(std::string::npos, d.p.stderr_text.find(c.report)) << c.what << ": " << d.p.stderr_text;
    }
}

TEST(DevsimBootMonitor, TranscriptHasOneLinePerFrameAndReply) {
    std::string path = TempPath("transcript.txt");
    Devsim d;
    ASSERT_TRUE(d.Start({"boot-monitor", "--transcript", path}));
    d.Catch();
    EXPECT_EQ(0, d.Stop());
    std::string text;
    for (unsigned char c : ReadFile(path)) text += (char)c;
    const char* lines[] = {"ms < 55\n", "ms > AA\n", "ms < 0F 02 00 00\n", "ms > 0F 0E F0 0C 00 00 00 00 00 00 00 00 01 00 FF 84\n"};
    size_t at = 0;
    for (const char* l : lines) {
        size_t found = text.find(l, at);
        ASSERT_NE(std::string::npos, found) << l << " in\n" << text;
        size_t line_start = text.rfind('\n', found) + 1;
        double ms;
        EXPECT_EQ(1, sscanf(text.c_str() + line_start, "+%lfms", &ms)) << text.substr(line_start, 20);
        at = found;
    }
    unlink(path.c_str());
}

// An FTDI adapter at its default latency timer: the device's reply leaves it
// only at a tick of the 16 ms grid (plus the 3 ms of an early time-out), and
// one sent 48 ms into the read misses it; the transcript says by how much.
TEST(DevsimBootMonitor, TheFtdiModelHoldsRepliesToItsGrid) {
    std::string path = TempPath("ftdi.txt");
    Devsim d;
    ASSERT_TRUE(d.Start({"boot-monitor", "--line", "ftdi16", "--work-ms", "erase:48", "--transcript", path}));
    d.Catch();
    EXPECT_EQ(DONE, Hex(Send(d.fd, Frame(BM_CMD_ERASE, 0, nullptr), 5)));
    EXPECT_EQ(0, d.Stop());
    std::string text;
    for (unsigned char c : ReadFile(path)) text += (char)c;
    size_t reply = text.find(std::string("ms > ") + DONE);
    ASSERT_NE(std::string::npos, reply) << text;
    size_t line_start = text.rfind('\n', reply) + 1;
    double ms = -1, late = -1;
    ASSERT_EQ(1, sscanf(text.c_str() + line_start, "+%lfms", &ms));
    double past_tick = std::fmod(ms - 3.0, 16.0);
    EXPECT_TRUE(past_tick < 2.0 || past_tick > 15.5) << ms;  // devsim hands it on at the tick
    size_t note = text.find("# late ", reply);
    ASSERT_NE(std::string::npos, note) << text;
    EXPECT_EQ(1, sscanf(text.c_str() + note, "# late %lfms", &late));
    EXPECT_GT(late, 0.0);
    EXPECT_LT(late, 16.0 + 3.0 + 2.0);
    unlink(path.c_str());
}

// ---- command line and link ----------------------------------------------------

TEST(DevsimCommandLine, UsageErrorsExitWithTwo) {
    std::vector<std::vector<std::string>> cases = {
        {},
        {"bootmonitor"},
        {"boot-monitor", "--bogus"},
        {"boot-monitor", "--sync-after", "0"},
        {"boot-monitor", "--version", "1"},
        {"boot-monitor", "--version", "1.256"},
        {"boot-monitor", "--fault", "erase:0:dd:1"},
        {"boot-monitor", "--fault", "erase:x:done"},
        {"boot-monitor", "--fault", "sync:0:short2"},
        {"boot-monitor", "--fault", "erase:0:wrong-identify"},
        {"boot-monitor", "--fault", "block:0:ee"},
        {"boot-monitor", "--blocks", "3"},
        {"eeprom", "--once"},
        {"eeprom", "--blocks", "2049"},
        {"eeprom", "--never-sync"},
        {"eeprom", "--fault", "block:0:status:1FF"},
        {"eeprom", "--fault", "block:0:dd"},
        {"eeprom", "--fault", "block:0:ee:3"},
        {"eeprom", "--fault", "erase:0:done"},
        {"eeprom", "--filler", "11,1FF"},
        {"eeprom", "--filler", ","},
    };
    for (const auto& args : cases) {
        DevsimProcess p;
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_FALSE(StartDevsim(&p, args)) << joined;
        EXPECT_EQ(2, p.exit_code) << joined;
        EXPECT_NE(std::string::npos, p.stderr_text.find("devsim: ")) << joined;
    }
}

TEST(DevsimCommandLine, LinkPointsAtTheDeviceAndGoesAtExit) {
    std::string dir = TempPath("dosdevices");
    mkdir(dir.c_str(), 0700);
    std::string link = dir + "/com3";
    ASSERT_EQ(0, symlink("/dev/null", link.c_str()));  // stale link of an earlier run
    {
        DevsimProcess p;
        ASSERT_TRUE(StartDevsim(&p, {"eeprom", "--link", link}));
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(p.pty_path, target);
        int fd = OpenLine(link);  // usable through the link
        EXPECT_GE(fd, 0);
        close(fd);
        EXPECT_EQ(0, StopDevsim(&p));
        struct stat st;
        EXPECT_NE(0, lstat(link.c_str(), &st));
    }
    // Something that is not a link is left alone.
    FILE* f = fopen(link.c_str(), "w");
    fclose(f);
    DevsimProcess p;
    EXPECT_FALSE(StartDevsim(&p, {"boot-monitor", "--link", link}));
    EXPECT_EQ(1, p.exit_code);
    struct stat st;
    EXPECT_EQ(0, lstat(link.c_str(), &st));
    unlink(link.c_str());
    rmdir(dir.c_str());
}

// ---- the EEPROM device --------------------------------------------------------

Bytes EepromFrame(unsigned block, const Bytes& data) {
    unsigned char f[EEPROM_FRAME_BYTES];
    BuildEepromFrame(f, block, &data[128 * block]);
    return Bytes(f, f + EEPROM_FRAME_BYTES);
}

const char* WRITTEN = "55 AA 00 00 00 00 00 00 00 00 00 00 00 00 00";

TEST(DevsimEeprom, RebuildsA2048BlockWrite) {
    Bytes data(2048 * 128);
    for (size_t i = 0; i < data.size(); i++) data[i] = (unsigned char)(i * 13 + (i >> 7));
    std::string out = TempPath("eeprom_2048.bin");
    Devsim d;
    ASSERT_TRUE(d.Start({"eeprom", "--blocks", "2048", "--once", "--eeprom-out", out}));
    for (unsigned i = 0; i < 2048; i++) ASSERT_EQ(WRITTEN, Hex(Send(d.fd, EepromFrame(i, data), 15))) << i;
    ASSERT_TRUE(WaitDevsim(&d.p, 5000));
    EXPECT_EQ(0, d.p.exit_code) << d.p.stderr_text;
    EXPECT_TRUE(ReadFile(out) == data);
    unlink(out.c_str());
}

TEST(DevsimEeprom, ImageEndsAtTheHighestBlockWritten) {
    Bytes data(4 * 128, 0x11);
    std::string out = TempPath("eeprom_gaps.bin");
    Devsim d;
    ASSERT_TRUE(d.Start({"eeprom", "--eeprom-out", out}));
    EXPECT_EQ(WRITTEN, Hex(Send(d.fd, EepromFrame(3, data), 15)));
    EXPECT_EQ(WRITTEN, Hex(Send(d.fd, EepromFrame(1, data), 15)));
    EXPECT_EQ(0, d.Stop());
    Bytes want(4 * 128, 0xFF);
    std::fill(want.begin() + 128, want.begin() + 256, 0x11);
    std::fill(want.begin() + 384, want.end(), 0x11);
    EXPECT_TRUE(ReadFile(out) == want);
    unlink(out.c_str());
}

TEST(DevsimEeprom, FaultsReplaceTheReplyOfTheirBlock) {
    Bytes data(3 * 128, 0x42);
    struct Case {
        const char* fault;
        const char* reply;        // to block 1
        const char* next;         // to block 2
    } cases[] = {
        {"block:1:dd:7", "55 DD 07 00 00 00 00 00 00 00 00 00 00 00 00", WRITTEN},
        {"block:1:ee", "55 EE 00 00 00 00 00 00 00 00 00 00 00 00 00", WRITTEN},
        {"block:1:ff:200", "55 FF C8 00 00 00 00 00 00 00 00 00 00 00 00", WRITTEN},
        {"block:1:status:42", "55 42 00 00 00 00 00 00 00 00 00 00 00 00 00", WRITTEN},
        {"block:1:short14", "55 AA 00 00 00 00 00 00 00 00 00 00 00 00", WRITTEN},
        {"block:1:bad-start", "AA AA 00 00 00 00 00 00 00 00 00 00 00 00 00", WRITTEN},
        {"block:1:silence", "", WRITTEN},
    };
    for (const Case& c : cases) {
        Devsim d;
        ASSERT_TRUE(d.Start({"eeprom", "--fault", c.fault}));
        EXPECT_EQ(WRITTEN, Hex(Send(d.fd, EepromFrame(0, data), 15))) << c.fault;
        EXPECT_EQ(c.reply, Hex(Send(d.fd, EepromFrame(1, data)))) << c.fault;
        EXPECT_EQ(c.next, Hex(Send(d.fd, EepromFrame(2, data)))) << c.fault;
        EXPECT_EQ(0, d.Stop()) << c.fault;
    }
    // The fields the tool does not interpret carry the filler.
    {
        Devsim d;
        ASSERT_TRUE(d.Start({"eeprom", "--filler", "13,11"}));
        EXPECT_EQ("55 AA 00 13 11 13 11 13 11 13 11 13 11 13 11", Hex(Send(d.fd, EepromFrame(0, data), 15)));
        EXPECT_EQ(0, d.Stop());
    }
    // long16: the surplus byte leads the next reply, as the tool reads 15 at a time.
    Devsim d;
    ASSERT_TRUE(d.Start({"eeprom", "--fault", "block:0:long16"}));
    EXPECT_EQ(std::string(WRITTEN) + " 00", Hex(Send(d.fd, EepromFrame(0, data))));
    EXPECT_EQ(0, d.Stop());
}

TEST(DevsimEeprom, MalformedFramesAreReported) {
    Bytes data(128, 0x00);
    Bytes good = EepromFrame(0, data);
    Bytes high = good, low = good, count = good;
    high[2] = 0x04;
    low[4] = 0x40;
    count[1] = 0x82;
    struct Case {
        Bytes frame;
        const char* report;
    } cases[] = {
        {high, "address bytes 04 00 00"},
        {low, "address bytes 00 00 40"},
        {count, "frame count byte 82"},
        {FromHex("AA 83 00"), "byte AA where a frame start 55 is due"},
        {Bytes(good.begin(), good.begin() + 100), "frame cut off after 100 of 133 bytes"},
    };
    for (const Case& c : cases) {
        Devsim d;
        ASSERT_TRUE(d.Start({"eeprom"}));
        EXPECT_EQ("", Hex(Send(d.fd, c.frame))) << c.report;
        EXPECT_EQ(WRITTEN, Hex(Send(d.fd, good, 15))) << c.report;  // back in step
        EXPECT_EQ(3, d.Stop()) << c.report;
        EXPECT_NE(std::string::npos, d.p.stderr_text.find(c.report)) << d.p.stderr_text;
    }
}

}  // namespace
