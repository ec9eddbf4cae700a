// vessamo's front panel logic, with a port worker thread (thread_worker.h)
// that carries out what the panel posts, in order, over pseudo-terminals.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "eeprom_file.h"
#include "eeprom_writer.h"
#include "front_panel.h"
#include "log_view.h"
#include "recording.h"
#include "port_worker.h"
#include "progress_bar.h"
#include "scripted_peer.h"
#include "serial_port.h"
#include "serial_port_posix.h"
#include "thread_worker.h"
#include "tool_profile.h"

namespace {

const int GOOD_COM = 3;  // a pseudo-terminal with a scripted device
const int DEAD_COM = 4;  // /dev/null: opens, but GetCommState fails

int s_line;  // the picker line a handler picks

class VessamoPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetToolProfile(&VESSAMO_PROFILE);
        ClearRecordedLog();
        ClearRecordedProgress();
        g_selected_port = 0;
        g_port_worker_thread = (void*)1;
        memset(block_, 0x5A, sizeof block_);
        g_eeprom_data = block_;
        g_eeprom_length = EEPROM_BLOCK_BYTES;
        TwStart(FlashEeprom, nullptr, nullptr);
    }
    void TearDown() override
    {
        TwStop();
        CloseComPort();
        if (peer_)
            StopScriptedPeer(peer_);
        g_port_worker_thread = nullptr;
        g_eeprom_data = nullptr;
        g_eeprom_length = 0;
        ClearComPortBindings();
    }

    // Starts the device on GOOD_COM (answering `blocks` frames with "written"),
    // binds DEAD_COM and enumerates the ports.
    void StartDevices(unsigned blocks = 0)
    {
        std::vector<PeerStep> script;
        for (unsigned k = 0; k < blocks; ++k)
            script.push_back(PeerExpect(EEPROM_FRAME_BYTES, Reply()));
        peer_ = StartScriptedPeer(GOOD_COM, script);
        ASSERT_NE(peer_, nullptr);
        BindComPort(DEAD_COM, "/dev/null");
        EnumComPorts();
    }

    // The picker line that stands for `com`.
    static int LineOf(int com)
    {
        for (int k = 0; GetListedPort(k) != 0; ++k)
            if (GetListedPort(k) == com)
                return k + 1;  // line 0 is "----"
        ADD_FAILURE() << "COM" << com << " not listed";
        return -1;
    }

    // The user picks a line of the port picker; the dialog posts
    // ID_PPP_SELECTPORT when asked to, and the main window handles it.
    void Pick(int line)
    {
        if (OnPortPicked(line))
            OnSelectPort();
        TwJoin();
    }

    static std::string Reply()
    {
        std::string r(EEPROM_REPLY_BYTES, '\0');
        r[0] = (char)EEPROM_FRAME_START;
        r[1] = (char)EEPROM_REPLY_WRITTEN;
        return r;
    }

    unsigned char block_[EEPROM_BLOCK_BYTES];
    ScriptedPeer* peer_ = nullptr;
};

TEST_F(VessamoPanelTest, PickerLinesStandForListEntries)
{
    StartDevices();
    int line = LineOf(GOOD_COM);
    struct { int line; int returns; int selected; } cases[] = {
        {-1, 0, 77},                       // no selection: nothing changes
        {0, 0, 77},                        // "----": nothing changes
        {line, 1, GOOD_COM},
        {LineOf(DEAD_COM), 1, DEAD_COM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        g_selected_port = 77;
        EXPECT_EQ(OnPortPicked(c.line), c.returns);
        EXPECT_EQ(g_selected_port.load(), c.selected);
    }
    TwJoin();
    EXPECT_EQ(TwDone(), "");  // picking alone asks nothing of the worker
}

TEST_F(VessamoPanelTest, FlashBeforeAnyPortDoesNothing)
{
    OnFlashEeprom();
    TwJoin();
    EXPECT_EQ(TwDone(), "transfer");
    EXPECT_EQ(RecordedLog(), "");
    EXPECT_EQ(RecordedProgressOps(), "");
}

TEST_F(VessamoPanelTest, DashesKeepTheOpenPortAndFlashStillWrites)
{
    StartDevices(1);
    int line = LineOf(GOOD_COM);
    Pick(line);
    EXPECT_EQ(TwDone(), "close open:3 pause:50");
    ASSERT_EQ(IsPortReady(), 1);
    PortHandle before = g_port.load();

    Pick(0);
    EXPECT_EQ(g_port.load(), before);
    EXPECT_EQ(g_selected_port.load(), GOOD_COM);

    OnFlashEeprom();
    TwJoin();
    EXPECT_EQ(TwDone(), "transfer");
    EXPECT_EQ(RecordedLog(), "Открыт порт COM3\r\nЗаписываем данные ... OK !\r\r\n");
    std::string frame = PeerReceived(peer_);
    ASSERT_EQ(frame.size(), (size_t)EEPROM_FRAME_BYTES);
    EXPECT_EQ(frame.substr(5), std::string(EEPROM_BLOCK_BYTES, 0x5A));
}

TEST_F(VessamoPanelTest, SamePortAgainIsClosedAndReopened)
{
    StartDevices();
    int line = LineOf(GOOD_COM);
    Pick(line);
    Pick(line);
    EXPECT_EQ(TwDone(), "close open:3 pause:50 close open:3 pause:50");
    EXPECT_EQ(IsPortReady(), 1);
    // vessamo logs nothing on close, so the reopen shows as a second line.
    EXPECT_EQ(RecordedLog(), "Открыт порт COM3\r\nОткрыт порт COM3\r\n");
}

TEST_F(VessamoPanelTest, FailedOpenLeavesNoPort)
{
    StartDevices();
    int good = LineOf(GOOD_COM);
    int dead = LineOf(DEAD_COM);
    Pick(good);
    Pick(dead);
    EXPECT_EQ(TwDone(), "close open:3 pause:50 close open:4 pause:50");
    EXPECT_EQ(IsPortReady(), 0);
    EXPECT_EQ(g_port.load(), nullptr);
    EXPECT_EQ(RecordedLog(), "Открыт порт COM3\r\nFailed GetCommState()\r\n");

    ClearRecordedLog();
    OnFlashEeprom();  // nothing to write through
    TwJoin();
    EXPECT_EQ(RecordedLog(), "");
    EXPECT_EQ(PeerReceived(peer_), "");
}

// A port slow to open: the panel's handlers return at once, and what was
// asked meanwhile (a write, a pick of another port) is carried out after the
// open, in order.
TEST_F(VessamoPanelTest, APortSlowToOpenHoldsUpNoHandler)
{
    StartDevices(1);
    HoldComPortOpens(GOOD_COM, 1);
    auto quick = [](const char* what, void (*handler)()) {
        auto began = std::chrono::steady_clock::now();
        handler();
        auto took = std::chrono::steady_clock::now() - began;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 100) << what;
    };
    s_line = LineOf(GOOD_COM);
    quick("pick", [] { if (OnPortPicked(s_line)) OnSelectPort(); });
    for (int i = 0; i < 20000 && ComPortOpensHeld(GOOD_COM) != 1; i++) {  // the worker is held in the open
        TwPump();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    quick("Flash EEPROM", OnFlashEeprom);
    // A run down the list behind it ("----" is no pick here): only the
    // port it stops at is opened.
    for (int line : {LineOf(DEAD_COM), LineOf(GOOD_COM), 0, LineOf(DEAD_COM)}) {
        s_line = line;
        quick("another pick", [] { if (OnPortPicked(s_line)) OnSelectPort(); });
    }
    EXPECT_EQ(RecordedLog(), "");

    HoldComPortOpens(GOOD_COM, 0);
    TwJoin();
    EXPECT_EQ(TwDone(), "close open:3 pause:50 transfer close overtaken:4 close overtaken:3 close open:4 pause:50");
    EXPECT_EQ(RecordedLog(), "Открыт порт COM3\r\nЗаписываем данные ... OK !\r\r\nFailed GetCommState()\r\n");
    EXPECT_EQ(PeerReceived(peer_).size(), (size_t)EEPROM_FRAME_BYTES);
    EXPECT_EQ(IsPortReady(), 0);
}

}  // namespace
