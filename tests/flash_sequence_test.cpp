// FlashFirmware over a pseudo-terminal with the POSIX backend and the real
// 50 ms read time-out, against devsim's boot monitor (and, where a write
// must fail at one exact block, a scripted peer). The panel starts each run
// in the started state, as "Start Flash" leaves it.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "boot_monitor.h"
#include "devsim_process.h"
#include "firmware_image.h"
#include "flash_sequence.h"
#include "log_view.h"
#include "recording.h"
#include "panel_buttons.h"
#include "progress_bar.h"
#include "scripted_peer.h"
#include "serial_port.h"
#include "serial_port_posix.h"
#include "tool_profile.h"

namespace {

typedef std::vector<unsigned char> ByteVec;

enum { FLASH_COM = 3 };

// What the log view shows (every line feed preceded by a carriage return).
const std::string PROMPTS =
    "\r\r\nВыключите и включите питание устройства.\r\r\n"
    "Прошивка начнется сразу после включения питания.\r\r\n";
const std::string VERSION_27 = "Обнаружен загрузчик версии: 2.7 \r\n";
const std::string ERASE = "Стираем старый код ... ";
const std::string PROGRAM = "Прошиваем новый код ... ";
const std::string EEPROM = "Прошиваем новый EEPROM ...";
const std::string DONE = "успешно !\r\r\n";
const std::string FINAL_PROMPT = "Выключите и включите питание устройства !\r\r\n";
const std::string LOADED = "Код успешно загружен !\r\r\n";
const std::string RESTORE_OPS = "EnableStartFlash EnableOpenFile LabelStartFlash EnableComPort";

ByteVec Pattern(size_t n, unsigned seed)
{
    ByteVec b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (unsigned char)(i * 37 + seed + (i >> 7));
    return b;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Repeat(const std::string& op, int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += " " + op;
    return s;
}

// One frame the device received, from devsim's transcript.
struct Frame {
    ByteVec bytes;
    unsigned char command() const { return bytes.size() > 2 && bytes[0] == BM_FRAME_START ? bytes[2] : 0xFF; }
    unsigned address() const { return bytes.size() > 5 ? bytes[3] | bytes[4] << 8 | bytes[5] << 16 : 0; }
};

// "+12.345ms < 0F 06 ..." lines are what the tool sent.
std::vector<Frame> ParseTranscript(const std::string& text)
{
    std::vector<Frame> frames;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t at = line.find(" < ");
        if (at == std::string::npos)
            continue;
        std::istringstream hex(line.substr(at + 3));
        Frame f;
        unsigned v;
        while (hex >> std::hex >> v)
            f.bytes.push_back((unsigned char)v);
        frames.push_back(f);
    }
    return frames;
}

int CountCommand(const std::vector<Frame>& frames, unsigned char command)
{
    int n = 0;
    for (const Frame& f : frames)
        n += f.command() == command;
    return n;
}

int CountProbes(const std::vector<Frame>& frames)
{
    int n = 0;
    for (const Frame& f : frames)
        for (unsigned char b : f.bytes)
            n += b == BM_SYNC_PROBE;
    return n;
}

class FlashSequenceTest : public ::testing::Test {
protected:
    std::string dir_;
    DevsimProcess sim_;
    ByteVec code_ = Pattern(ZEL_CODE_BYTES, 3);
    ByteVec eeprom_ = Pattern(ZEL_EEPROM_BYTES, 4);
    std::string started_ops_;

    void SetUp() override
    {
        char tmpl[] = "/tmp/flash_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetToolProfile(&BRANNIK_PROFILE);
        ASSERT_EQ(LoadFirmwareImage(WriteZel("fw.zel", code_, eeprom_).c_str()), 1);
    }

    void TearDown() override
    {
        CloseComPort();
        g_port_worker_thread.store(nullptr);
        if (sim_.pid)
            StopDevsim(&sim_);
        BindComPort(FLASH_COM, nullptr);
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    std::string WriteZel(const char* name, const ByteVec& code, const ByteVec& eeprom)
    {
        std::string file = "ZEL" + std::string(code.begin(), code.end()) + "LEZ" +
                           std::string(eeprom.begin(), eeprom.end());
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << file;
        return path;
    }

    // The panel as "Start Flash" leaves it; logs and progress cleared.
    void EnterStartedState()
    {
        ClearRecordedPanel();
        EnableStartFlash();
        LabelStopFlash();
        DisableComPort();
        DisableOpenFile();
        started_ops_ = RecordedPanelOps();
        ASSERT_EQ(TakeFirmwareForFlash(), 1);
        g_flash_state.store(FLASH_STARTED);
        g_stop_request.store(0);
        ClearRecordedLog();
        ClearRecordedProgress();
    }

    std::string PanelOpsSinceStart()
    {
        std::string ops = RecordedPanelOps().substr(started_ops_.size());
        return ops.empty() ? ops : ops.substr(1);
    }

    void StartDevice(std::vector<std::string> extra)
    {
        std::vector<std::string> args = {"boot-monitor", "--version", "2.7",
                                         "--transcript", dir_ + "/transcript.txt",
                                         "--code-out", dir_ + "/code.bin",
                                         "--eeprom-out", dir_ + "/eeprom.bin"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(StartDevsim(&sim_, args), 1) << sim_.stderr_text;
        BindComPort(FLASH_COM, sim_.pty_path.c_str());
        ASSERT_EQ(OpenToolPort(FLASH_COM), 1) << RecordedLog();
        EnterStartedState();
    }

    // Stops devsim; returns what the tool sent, in order.
    std::vector<Frame> StopDevice()
    {
        CloseComPort();
        StopDevsim(&sim_);
        EXPECT_EQ(sim_.exit_code, 0) << sim_.stderr_text;
        return ParseTranscript(ReadFile(dir_ + "/transcript.txt"));
    }

    void ExpectPanel(bool start_enabled, const char* label, bool others_enabled, int flag)
    {
        PanelModel p = RecordedPanel();
        EXPECT_EQ(p.start_enabled, start_enabled);
        EXPECT_EQ(p.start_label, label);
        EXPECT_EQ(p.comport_enabled, others_enabled);
        EXPECT_EQ(p.openfile_enabled, others_enabled);
        EXPECT_EQ(FlashInProgress(), flag);
        // The sequence has returned: restored, or halted waiting for "Stop Flash".
        EXPECT_EQ(g_flash_state.load(), flag ? FLASH_HALTED : FLASH_IDLE);
    }
};

TEST_F(FlashSequenceTest, FullFlashWritesTheImageAndReturnsThePanelToIdle)
{
    StartDevice({});
    FlashFirmware();

    EXPECT_EQ(RecordedLog(), PROMPTS + VERSION_27 + ERASE + DONE + PROGRAM + DONE + EEPROM + DONE +
                                 FINAL_PROMPT);
    EXPECT_EQ(RecordedProgressOps(), "reset begin:96" + Repeat("step", 96) + " reset begin:384" +
                                         Repeat("step", 384) + " reset begin:128" +
                                         Repeat("step", 128) + " reset");
    EXPECT_EQ(RecordedProgress().pos, 0u);
    EXPECT_EQ(RecordedRunOps(), "waiting succeeded");
    EXPECT_EQ(RecordedProgress().shown, RUN_NONE);
    EXPECT_EQ(PanelOpsSinceStart(), "DisableStartFlash " + RESTORE_OPS);
    ExpectPanel(true, "Start Flash", true, 0);

    std::vector<Frame> frames = StopDevice();
    ASSERT_EQ(frames.size(), 2u + 96 + 384 + 128);
    EXPECT_EQ(CountProbes({frames[0]}), 1);
    EXPECT_EQ(frames[1].bytes, ByteVec({0x0F, 0x02, 0x00, 0x00}));
    struct Phase { unsigned char command; unsigned blocks, step, first; } phases[] = {
        {BM_CMD_ERASE, 96, 512, 2}, {BM_CMD_PROGRAM, 384, 128, 98}, {BM_CMD_EEPROM_WRITE, 128, 8, 482}};
    for (const Phase& ph : phases)
        for (unsigned k = 0; k < ph.blocks; k++) {
            const Frame& f = frames[ph.first + k];
            ASSERT_EQ(f.command(), ph.command) << k;
            ASSERT_EQ(f.address(), k * ph.step) << k;
        }
    EXPECT_EQ(ReadFile(dir_ + "/code.bin"), std::string(code_.begin(), code_.end()));
    EXPECT_EQ(ReadFile(dir_ + "/eeprom.bin"), std::string(eeprom_.begin(), eeprom_.end()));
}

TEST_F(FlashSequenceTest, AFailedExchangeEndsThePhasesAndRestoresThePanel)
{
    struct Case {
        const char* fault;
        std::string log_after_identify;
        unsigned bar_max, bar_pos;
        unsigned char last_command;
        unsigned last_block;
        std::vector<std::string> line = {};  // devsim's line and device timing
    } cases[] = {
        {"program:17:bad-checksum",
         ERASE + DONE + PROGRAM + "\r\r\nНе верная контрольная сумма комманды. i = 17\r\r\n", 384, 17,
         BM_CMD_PROGRAM, 17},
        {"erase:0:no-reply", ERASE + "\r\r\nУстройство не отвечает. i = 0\r\r\n", 96, 0, BM_CMD_ERASE, 0},
        {"erase:5:not-supported", ERASE + "\r\r\nКомманда не поддерживается устройством. i = 5\r\r\n", 96, 5,
         BM_CMD_ERASE, 5},
        {"erase:9:garbage", ERASE + "\r\r\nНеопознаный ответ от устройства. i = 9\r\r\n", 96, 9, BM_CMD_ERASE, 9},
        {"erase:2:long6", ERASE + "\r\r\nНеопознаный ответ от устройства. i = 2\r\r\n", 96, 2, BM_CMD_ERASE, 2},
        {"erase:3:short4", ERASE + "\r\r\nНеопознаный ответ от устройства. i = 3\r\r\n", 96, 3, BM_CMD_ERASE, 3},
        // Each erase reply, sent 40 ms into the read, reaches the tool up to
        // 19 ms later through an FTDI adapter's latency timer: the whole
        // phase is still acknowledged.
        {"program:0:not-supported",
         ERASE + DONE + PROGRAM + "\r\r\nКомманда не поддерживается устройством. i = 0\r\r\n", 384, 0,
         BM_CMD_PROGRAM, 0, {"--line", "ftdi16", "--work-ms", "erase:40"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::vector<std::string> args = {"--fault", c.fault};
        args.insert(args.end(), c.line.begin(), c.line.end());
        StartDevice(args);
        FlashFirmware();

        EXPECT_EQ(RecordedLog(), PROMPTS + VERSION_27 + c.log_after_identify);
        ProgressModel bar = RecordedProgress();
        EXPECT_EQ(bar.max, c.bar_max);
        EXPECT_EQ(bar.pos, c.bar_pos);
        EXPECT_EQ(bar.shown, RUN_FAILED);  // red where it stopped
        EXPECT_EQ(RecordedRunOps(), "waiting failed");
        EXPECT_EQ(PanelOpsSinceStart(), "DisableStartFlash " + RESTORE_OPS);
        ExpectPanel(true, "Start Flash", true, 0);

        std::vector<Frame> frames = StopDevice();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back().command(), c.last_command);
        unsigned step = c.last_command == BM_CMD_ERASE ? 512 : 128;
        EXPECT_EQ(frames.back().address(), c.last_block * step);
        EXPECT_EQ(CountCommand(frames, BM_CMD_EEPROM_WRITE), 0);
    }
}

TEST_F(FlashSequenceTest, SyncOrIdentifyFailureLeavesThePanelStarted)
{
    struct Case {
        const char* fault;
        std::string log_after_prompts;
        int identify_frames;
    } cases[] = {
        {"identify:0:no-reply", "Устройство не отвечает.\r\n", 1},
        {"identify:0:wrong-identify", "Неверное количество данных.\r\n", 1},
        {"identify:0:done", "Комманда выполнена.\r\n", 1},
        // The line drops under the first probe: the next probe cannot be
        // sent, and the log says so instead of waiting for the device.
        {"sync:0:hangup", "Ошибка связи с устройством.\r\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        StartDevice({"--fault", c.fault});
        FlashFirmware();

        EXPECT_EQ(RecordedLog(), PROMPTS + c.log_after_prompts);
        EXPECT_EQ(RecordedProgressOps(), "");
        EXPECT_EQ(RecordedRunOps(), "waiting failed");
        EXPECT_EQ(PanelOpsSinceStart(), "");
        ExpectPanel(true, "Stop Flash", false, 1);

        std::vector<Frame> frames = StopDevice();
        EXPECT_EQ(CountCommand(frames, BM_CMD_IDENTIFY), c.identify_frames);
        EXPECT_EQ(CountCommand(frames, BM_CMD_ERASE), 0);
    }
}

TEST_F(FlashSequenceTest, StopDuringTheSyncEndsItWithNothingButProbesSent)
{
    StartDevice({"--never-sync"});
    std::thread worker(FlashFirmware);

    // Probing goes on for as long as nobody stops it.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(g_flash_state.load(), FLASH_STARTED);
    EXPECT_EQ(RecordedLog(), PROMPTS);

    g_flash_state.store(FLASH_STOPPED);  // as "Stop Flash" does
    g_stop_request.store(1);
    worker.join();

    EXPECT_EQ(g_stop_request.load(), 0);
    EXPECT_EQ(g_flash_state.load(), FLASH_IDLE);
    EXPECT_EQ(RecordedLog(), PROMPTS);
    EXPECT_EQ(RecordedProgressOps(), "");
    EXPECT_EQ(RecordedRunOps(), "waiting stopped");  // no failure, nothing signalled
    EXPECT_EQ(RecordedProgress().ends, 0);
    EXPECT_EQ(PanelOpsSinceStart(), "");

    std::vector<Frame> frames = StopDevice();
    int probes = CountProbes(frames);
    EXPECT_GE(probes, 5);
    size_t sent = 0;
    for (const Frame& f : frames)
        sent += f.bytes.size();
    EXPECT_EQ(sent, (size_t)probes);
}

// The line drops as EEPROM block 127 goes out (on a pseudo-terminal a read
// that sees the hang-up reports a failure, so the drop shows as no reply).
// Meanwhile, in the program phase, another image is loaded and then a bad
// file: neither may change a byte of what the device receives.
TEST_F(FlashSequenceTest, LineDropAtTheLastBlockAndLoadsDuringTheFlash)
{
    const std::string done = Bytes({0x0F, 0x03, 0xFF, 0x01, 0xFE});
    std::string identify = Bytes({0x0F, 0x0E, 0xF0, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 2, 7, 0xFF, 0x84});
    std::vector<PeerStep> script = {PeerProbes(1, Bytes({0xAA})), PeerExpect(4, identify)};
    script.insert(script.end(), 96, PeerExpect(8, done));
    script.insert(script.end(), 384, PeerExpect(136, done));
    script.insert(script.end(), 127, PeerExpect(16, done));
    // The line dies right after the reply to EEPROM block 126: the write of
    // block 127 fails.
    script.push_back(PeerSilent(10));
    script.push_back(PeerHangUp());
    ScriptedPeer* peer = StartScriptedPeer(FLASH_COM, script);
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(OpenToolPort(FLASH_COM), 1);
    EnterStartedState();

    std::string other = WriteZel("other.zel", Pattern(ZEL_CODE_BYTES, 99), Pattern(ZEL_EEPROM_BYTES, 98));
    std::string bad = WriteZel("bad.zel", ByteVec(10), ByteVec());
    std::thread loader([&] {
        auto wait_program_block = [](unsigned k) {
            for (int i = 0; i < 60000; i++) {
                ProgressModel bar = RecordedProgress();
                if (bar.max == 384 && bar.pos >= k)
                    return;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        wait_program_block(100);
        LoadFirmwareImage(other.c_str());
        wait_program_block(250);
        LoadFirmwareImage(bad.c_str());
    });
    FlashFirmware();
    loader.join();

    std::string log = RecordedLog();
    size_t at = log.find(LOADED);
    ASSERT_NE(at, std::string::npos);
    log.erase(at, LOADED.size());
    EXPECT_EQ(log, PROMPTS + VERSION_27 + ERASE + DONE + PROGRAM + DONE + EEPROM +
                       "\r\r\nОшибка связи с устройством. i = 127\r\r\n");
    EXPECT_EQ(RecordedProgress().pos, 127u);
    ExpectPanel(true, "Start Flash", true, 0);

    CloseToolPort();
    std::string got = StopScriptedPeer(peer);
    // Probe, identify, then the frames; payloads un-whitened.
    ASSERT_EQ(got.size(), 1u + 4 + 96 * 8 + 384 * 136 + 127 * 16);
    const unsigned char* p = (const unsigned char*)got.data() + 5 + 96 * 8;
    ByteVec code, eeprom;
    for (int k = 0; k < 384; k++, p += 136)
        for (int i = 0; i < 128; i++)
            code.push_back(p[7 + i] ^ BM_WHITENING);
    for (int k = 0; k < 127; k++, p += 16)
        for (int i = 0; i < 8; i++)
            eeprom.push_back(p[7 + i] ^ BM_WHITENING);
    EXPECT_TRUE(code == code_) << "program payloads differ from the image at the start";
    EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), eeprom_.begin()));
}

}  // namespace
