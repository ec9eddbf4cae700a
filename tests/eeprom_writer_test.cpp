// The EEPROM write frame, and FlashEeprom against the simulated device on a
// pseudo-terminal at vessamo's line settings and read time-outs.
#include <gtest/gtest.h>

#include <string.h>
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

namespace {

// ---- Frame -----------------------------------------------------------------

TEST(EepromFrame, AddressBytesAndData)
{
    struct { unsigned block; unsigned char address[3]; } cases[] = {
        {0, {0x00, 0x00, 0x00}},
        {1, {0x00, 0x00, 0x80}},
        {2, {0x00, 0x01, 0x00}},
        {511, {0x00, 0xFF, 0x80}},
        {512, {0x01, 0x00, 0x00}},
        {2047, {0x03, 0xFF, 0x80}},
        {2048, {0x00, 0x00, 0x00}},  // 18 bits: wraps to the start
    };
    unsigned char data[EEPROM_BLOCK_BYTES];
    for (int k = 0; k < EEPROM_BLOCK_BYTES; ++k)
        data[k] = (unsigned char)(255 - k * 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block);
        unsigned char frame[EEPROM_FRAME_BYTES + 1];
        memset(frame, 0xCC, sizeof frame);
        BuildEepromFrame(frame, c.block, data);
        EXPECT_EQ(frame[0], 0x55);
        EXPECT_EQ(frame[1], 0x83);
        EXPECT_EQ(frame[2], c.address[0]);
        EXPECT_EQ(frame[3], c.address[1]);
        EXPECT_EQ(frame[4], c.address[2]);
        EXPECT_EQ(memcmp(frame + 5, data, EEPROM_BLOCK_BYTES), 0);
        EXPECT_EQ(frame[EEPROM_FRAME_BYTES], 0xCC);  // nothing past the frame
    }
}

// ---- Transfer against a scripted device ------------------------------------

const int COM = 3;

std::string Reply(int status, int err = 0)
{
    std::string r(EEPROM_REPLY_BYTES, '\0');
    r[0] = (char)EEPROM_FRAME_START;
    r[1] = (char)status;
    r[2] = (char)err;
    return r;
}

class EepromTransferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetToolProfile(&VESSAMO_PROFILE);
        ClearRecordedLog();
        ClearRecordedProgress();
        g_eeprom_data = nullptr;
        g_eeprom_length = 0;
    }
    void TearDown() override
    {
        CloseToolPort();
        g_eeprom_data = nullptr;
        g_eeprom_length = 0;
    }
    void UseData(unsigned blocks)
    {
        data_.assign((size_t)blocks * EEPROM_BLOCK_BYTES, 0);
        for (size_t k = 0; k < data_.size(); ++k)
            data_[k] = (unsigned char)(k * 13 + k / 128);
        g_eeprom_data = data_.data();
        g_eeprom_length = (int)data_.size();
    }
    std::vector<unsigned char> data_;
};

TEST_F(EepromTransferTest, NoPortOpenDoesNothing)
{
    UseData(2);
    FlashEeprom();
    EXPECT_EQ(RecordedLog(), "");
    EXPECT_EQ(RecordedProgressOps(), "");
}

// Bytes left on the line from an earlier, failed run must not be taken for
// the first reply.
TEST_F(EepromTransferTest, StaleBytesArePurgedBeforeTheRun)
{
    UseData(1);
    ScriptedPeer* peer = StartScriptedPeer(COM, {
        PeerSend(Reply(EEPROM_REPLY_WRITTEN) + "\x77", 200),
        PeerExpect(EEPROM_FRAME_BYTES, Reply(EEPROM_REPLY_WRITTEN)),
    });
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(OpenToolPort(COM, &VESSAMO_PROFILE), 1);
    usleep(800 * 1000);  // the stale bytes are in the receive queue by now
    ClearRecordedLog();

    FlashEeprom();

    EXPECT_EQ(RecordedLog(), "Записываем данные ... OK !\r\r\n");
    CloseToolPort();
    std::string sent = StopScriptedPeer(peer);
    ASSERT_EQ(sent.size(), (size_t)EEPROM_FRAME_BYTES);
    EXPECT_EQ(memcmp(sent.data() + 5, data_.data(), EEPROM_BLOCK_BYTES), 0);
}

TEST_F(EepromTransferTest, EmptyDataSendsNoFrame)
{
    ScriptedPeer* peer = StartScriptedPeer(COM, {
        PeerSend(Reply(EEPROM_REPLY_WRITTEN), 200),
    });
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(OpenToolPort(COM, &VESSAMO_PROFILE), 1);
    usleep(800 * 1000);
    ClearRecordedLog();

    FlashEeprom();

    EXPECT_EQ(RecordedLog(), "Записываем данные ... OK !\r\r\n");
    EXPECT_EQ(RecordedProgressOps(), "reset begin:0 reset");
    ProgressModel bar = RecordedProgress();
    EXPECT_EQ(bar.max, 0u);
    EXPECT_EQ(bar.pos, 0u);
    // The purge dropped what the device had sent before the run.
    char left[4];
    EXPECT_EQ(PortRead(g_port.load(), left, 1), 0);
    CloseToolPort();
    EXPECT_EQ(StopScriptedPeer(peer), "");
}

// ---- Transfer against devsim -----------------------------------------------

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Frames devsim received, from its transcript ("+1.234ms < 55 83 ...").
int FramesReceived(const std::string& transcript)
{
    std::istringstream lines(transcript);
    std::string line;
    int frames = 0;
    while (std::getline(lines, line))
        if (line.find("ms < 55 83 ") != std::string::npos)
            ++frames;
    return frames;
}

int Steps(const std::string& ops)
{
    int steps = 0;
    for (size_t at = ops.find("step"); at != std::string::npos; at = ops.find("step", at + 1))
        ++steps;
    return steps;
}

class EepromDevsimTest : public EepromTransferTest {
protected:
    void SetUp() override
    {
        EepromTransferTest::SetUp();
        char dir[] = "/tmp/eeprom_writer_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        out_ = dir_ + "/written.dat";
        transcript_ = dir_ + "/transcript.txt";
    }
    void TearDown() override
    {
        EepromTransferTest::TearDown();
        if (dev_.pid)
            StopDevsim(&dev_);
        ClearComPortBindings();
        unlink(out_.c_str());
        unlink(transcript_.c_str());
        rmdir(dir_.c_str());
    }

    // Starts `devsim eeprom` with extra options and opens COM3 on it the way
    // vessamo does.
    void StartDevice(const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = {"eeprom", "--eeprom-out", out_, "--transcript", transcript_};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(StartDevsim(&dev_, args), 1) << dev_.stderr_text;
        BindComPort(COM, dev_.pty_path.c_str());
        ASSERT_EQ(OpenToolPort(COM, &VESSAMO_PROFILE), 1);
        ClearRecordedLog();
    }

    // Closes the port and stops devsim, so that its files are complete.
    void StopDevice()
    {
        CloseToolPort();
        StopDevsim(&dev_);
        written_ = ReadWholeFile(out_);
        frames_ = FramesReceived(ReadWholeFile(transcript_));
    }

    std::string Data(unsigned blocks) const
    {
        return std::string((const char*)data_.data(), (size_t)blocks * EEPROM_BLOCK_BYTES);
    }

    DevsimProcess dev_;
    std::string dir_, out_, transcript_;
    std::string written_;
    int frames_ = 0;
};

TEST_F(EepromDevsimTest, FullWriteOf2048Blocks)
{
    UseData(2048);
    StartDevice({});

    FlashEeprom();

    EXPECT_EQ(RecordedLog(), "Записываем данные ... OK !\r\r\n");
    ProgressModel bar = RecordedProgress();
    EXPECT_EQ(bar.max, 2048u);
    EXPECT_EQ(bar.pos, 0u);
    EXPECT_EQ(Steps(RecordedProgressOps()), 2048);
    StopDevice();
    EXPECT_EQ(dev_.exit_code, 0) << dev_.stderr_text;  // no protocol violation
    EXPECT_EQ(frames_, 2048);
    EXPECT_TRUE(written_ == Data(2048)) << "EEPROM written differs from the file";
}

struct ReplyCase {
    const char* fault;    // devsim --fault, on a transfer of 8 blocks
    const char* outcome;  // what completes "Записываем данные ... "
    unsigned steps;       // blocks acknowledged with 0xAA
    int frames;           // frames sent before the transfer ended
    unsigned good;        // leading blocks the device must hold
};

const ReplyCase REPLY_CASES[] = {
    {"block:3:dd:7", "Шина данных устройства EEPROM не готова. i = 3, err = 7\r\n", 3, 4, 3},
    {"block:3:ff:200", "Ошибка записи в микросхему EEPROM. i = 3, err = 200\r\n", 3, 4, 3},
    {"block:3:ee", "Не верный размер переданных данных. i = 3\r\n", 3, 4, 3},
    // An unknown status is passed over: no step, and the run still succeeds.
    {"block:3:status:42", "OK !\r\r\n", 7, 8, 3},
    {"block:3:short14", "Неверное количество полученных данных. i = 3, lpSize = 14\r\n", 3, 4, 4},
    {"block:3:bad-start", "Неверный формат ответной посылки. i = 3  AA AA 00 00\r\n", 3, 4, 4},
    // The 16th byte is read as the start of block 4's reply.
    {"block:3:long16", "Неверный формат ответной посылки. i = 4  00 55 AA 00\r\n", 4, 5, 5},
};

TEST_F(EepromDevsimTest, RepliesAndTheirMessages)
{
    UseData(8);
    for (const ReplyCase& c : REPLY_CASES) {
        SCOPED_TRACE(c.fault);
        ClearRecordedProgress();
        StartDevice({"--fault", c.fault});

        FlashEeprom();

        EXPECT_EQ(RecordedLog(), std::string("Записываем данные ... ") + c.outcome);
        // A failed run leaves the bar where it stood; a success resets it.
        bool ok = strncmp(c.outcome, "OK", 2) == 0;
        EXPECT_EQ(RecordedProgress().pos, ok ? 0u : c.steps);
        EXPECT_EQ(RecordedRunOps(), ok ? "succeeded" : "failed");
        EXPECT_EQ(RecordedProgress().shown, ok ? RUN_NONE : RUN_FAILED);
        EXPECT_EQ(Steps(RecordedProgressOps()), (int)c.steps);
        StopDevice();
        EXPECT_EQ(dev_.exit_code, 0) << dev_.stderr_text;
        EXPECT_EQ(frames_, c.frames);  // nothing sent after the failing block
        EXPECT_TRUE(written_.compare(0, c.good * EEPROM_BLOCK_BYTES, Data(c.good)) == 0);
    }
}

TEST_F(EepromDevsimTest, SilentDeviceEndsAfterTheReadTimeout)
{
    UseData(4);
    StartDevice({"--fault", "block:0:silence"});

    auto start = std::chrono::steady_clock::now();
    FlashEeprom();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(RecordedLog(), "Записываем данные ... Неверное количество полученных данных. i = 0, lpSize = 0\r\n");
    EXPECT_GE(seconds, 2.4);  // 100 ms x 15 bytes + 1000 ms
    EXPECT_EQ(RecordedProgress().pos, 0u);
    StopDevice();
    EXPECT_EQ(frames_, 1);
}

// The device hangs up after block 3's frame: the read fails (counted as no
// bytes), and a second run cannot even send its first frame.
TEST_F(EepromDevsimTest, LineHangUp)
{
    UseData(8);
    StartDevice({"--fault", "block:3:hangup"});

    FlashEeprom();
    EXPECT_EQ(RecordedLog(), "Записываем данные ... Неверное количество полученных данных. i = 3, lpSize = 0\r\n");
    EXPECT_EQ(RecordedProgress().pos, 3u);

    ClearRecordedLog();
    FlashEeprom();
    EXPECT_EQ(RecordedLog(), "Записываем данные ... Ошибка отправки данных. i = 0\r\n");
    EXPECT_EQ(RecordedProgress().pos, 0u);
    StopDevice();
    EXPECT_EQ(frames_, 4);
}

}  // namespace
