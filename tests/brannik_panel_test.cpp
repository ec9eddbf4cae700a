// brannik's front panel logic with a port worker thread (thread_worker.h):
// what the panel posts runs in order through the worker's own rules over
// pseudo-terminals, its reports run on the test thread as the
// user-interface thread would run them, pauses are only recorded, and the
// open-file dialog is scripted. Interleavings of the two threads are the
// model test's business (flash_model_test.cpp).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "boot_monitor.h"
#include "firmware_image.h"
#include "flash_sequence.h"
#include "front_panel.h"
#include "log_view.h"
#include "recording.h"
#include "panel_buttons.h"
#include "port_worker.h"
#include "progress_bar.h"
#include "scripted_peer.h"
#include "serial_port.h"
#include "serial_port_posix.h"
#include "thread_worker.h"
#include "tool_profile.h"

// ---- The open-file dialog double --------------------------------------------

static std::string s_dialog_path;          // "" = the user cancels
static int s_dialogs = 0;                  // dialogs shown

int OpenFirmwareFile(void* owner)
{
    ++s_dialogs;
    return s_dialog_path.empty() ? 0 : LoadFirmwareImage(s_dialog_path.c_str());
}

namespace {

enum {
    PTY_COM = 3,       // a pseudo-terminal that opens
    DEAD_COM = 4,      // /dev/null: opens, GetCommState fails
    DEVICE_COM = 5,    // a scripted boot monitor
    SLOW_READ_MS = 400,  // read time-out that leaves room to press buttons mid-exchange
};

const std::string PROMPTS =
    "\r\r\nВыключите и включите питание устройства.\r\r\n"
    "Прошивка начнется сразу после включения питания.\r\r\n";
const std::string NO_ANSWER = "Устройство не отвечает.\r\n";
const std::string IDENTIFY_REQUEST("\x0F\x02\x00\x00", 4);

// The dialogs shown, then what the worker carried out, since the last call.
std::string Requests()
{
    std::string r = s_dialogs ? "dialog" : "";
    s_dialogs = 0;
    std::string done = TwDone();
    if (!done.empty())
        r += r.empty() ? done : " " + done;
    return r;
}

// Waits until the worker has carried out everything posted, serving its
// reports on this thread as the user-interface thread would.
void JoinWorkers()
{
    TwJoin();
}

// Waits (bounded) until ready() holds; a test that times out fails on its
// next expectation.
void WaitFor(const std::function<bool()>& ready)
{
    for (int i = 0; i < 20000 && !ready(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ToolProfile SlowBrannik()
{
    ToolProfile p = BRANNIK_PROFILE;
    p.read_constant_ms = SLOW_READ_MS;
    return p;
}
const ToolProfile SLOW_BRANNIK = SlowBrannik();

struct PanelState {
    bool start_enabled;
    const char* label;
    bool others_enabled;
    int flag;
};
const PanelState NOT_READY = {false, "Start Flash", true, 0};
const PanelState READY = {true, "Start Flash", true, 0};
const PanelState STARTED = {true, "Stop Flash", false, 1};
const PanelState RUNNING = {false, "Stop Flash", false, 1};

void ExpectState(const PanelState& want, int may_close)
{
    PanelModel p = RecordedPanel();
    EXPECT_EQ(p.start_enabled, want.start_enabled);
    EXPECT_EQ(p.start_label, want.label);
    EXPECT_EQ(p.comport_enabled, want.others_enabled);
    EXPECT_EQ(p.openfile_enabled, want.others_enabled);
    EXPECT_EQ(FlashInProgress(), want.flag);
    EXPECT_EQ(MayCloseTool(), may_close);
}

class BrannikPanelTest : public ::testing::Test {
protected:
    std::string dir_, good_, bad_;
    ScriptedPeer* pty_ = nullptr;
    ScriptedPeer* device_ = nullptr;
    int picker_[8] = {};  // picker entry of COM n

    void SetUp() override
    {
        char tmpl[] = "/tmp/panel_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        good_ = dir_ + "/good.zel";
        bad_ = dir_ + "/bad.zel";
        std::ofstream(good_, std::ios::binary)
            << "ZEL" << std::string(ZEL_CODE_BYTES, '\x5A') << "LEZ" << std::string(ZEL_EEPROM_BYTES, '\x01');
        std::ofstream(bad_, std::ios::binary) << "ZEL";

        // Fresh process-wide state: nothing loaded, no port, idle panel.
        SetToolProfile(&BRANNIK_PROFILE);
        LoadFirmwareImage(bad_.c_str());
        CloseComPort();
        g_port_worker_thread.store((void*)1);
        g_flash_state.store(FLASH_IDLE);
        g_stop_request.store(0);
        g_selected_port.store(0);
        s_dialog_path.clear();

        for (int com : {PTY_COM, DEAD_COM, DEVICE_COM})
            BindComPort(com, "/dev/null");
        int count = EnumComPorts();
        for (int i = 0; i < count; i++)
            if (GetListedPort(i) < 8)
                picker_[GetListedPort(i)] = i + 1;
        pty_ = StartScriptedPeer(PTY_COM, {});
        ASSERT_NE(pty_, nullptr);
        TwStart(FlashFirmware, OnPortRequestsServed, OnFlashReturned);

        ClearRecordedPanel();
        ClearRecordedLog();
        ClearRecordedProgress();
        ClearRecordedAwake();
        Requests();
    }

    void TearDown() override
    {
        TwStop();
        CloseComPort();
        SetToolProfile(&BRANNIK_PROFILE);
        StopScriptedPeer(pty_);
        if (device_)
            StopScriptedPeer(device_);
        for (int com : {PTY_COM, DEAD_COM, DEVICE_COM})
            BindComPort(com, nullptr);
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    // What the dialog procedure and the main window do for a pick.
    void PickPort(int picker_index)
    {
        if (OnPortPicked(picker_index))
            OnSelectPort();
    }
    void PickCom(int com) { PickPort(picker_[com]); }

    void OpenFile(const std::string& path)
    {
        s_dialog_path = path;
        OnOpenFile(nullptr);
    }

    // A scripted boot monitor on DEVICE_COM, opened with the slow read
    // time-out, an image loaded, the panel ready.
    void ReadyWithDevice(const std::vector<PeerStep>& script)
    {
        device_ = StartScriptedPeer(DEVICE_COM, script);
        ASSERT_NE(device_, nullptr);
        SetToolProfile(&SLOW_BRANNIK);
        PickCom(DEVICE_COM);
        JoinWorkers();
        OpenFile(good_);
        ExpectState(READY, 1);
        ClearRecordedLog();
        ClearRecordedProgress();
        Requests();
    }
};

const std::string DONE_REPLY = "\x0F\x03\xFF\x01\xFE";
const std::string IDENTIFY_REPLY = Bytes({0x0F, 0x0E, 0xF0, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 1, 4, 0xFF, 0x84});

TEST_F(BrannikPanelTest, StateTable)
{
    const std::string opened = "Открыт порт COM3\r\n";
    const std::string closed = "COM порт закрыт.\r\r\n";
    struct Step {
        const char* what;
        std::function<void()> act;
        PanelState state;
        std::string requests;
        std::string log;
        std::string boxes;
    } steps[] = {
        {"start-up", [] {}, NOT_READY, "", "", ""},
        {"image without a port", [&] { OpenFile(good_); }, NOT_READY, "dialog", "Код успешно загружен !\r\r\n", ""},
        {"then a port", [&] { PickCom(PTY_COM); }, READY, "close open:3 pause:50", opened, ""},
        {"---- with the port open", [&] { PickPort(0); }, NOT_READY, "close pause:50", closed, ""},
        {"---- with no port open", [&] { PickPort(0); }, NOT_READY, "close", "", ""},
        {"no selection", [&] { PickPort(-1); }, NOT_READY, "", "", ""},
        {"port again", [&] { PickCom(PTY_COM); }, READY, "close open:3 pause:50", opened, ""},
        {"the open port picked again", [&] { PickCom(PTY_COM); }, READY,
         "close pause:50 open:3 pause:50", closed + opened, ""},
        {"a port that fails", [&] { PickCom(DEAD_COM); }, NOT_READY, "close pause:50 open:4 pause:50",
         closed + "Failed GetCommState() - COM4\r\r\n", ""},
        {"start with no port", [] { OnStartStopFlash(); }, NOT_READY, "", "", ""},
        {"dialog cancelled", [&] { OpenFile(""); }, NOT_READY, "dialog", "", ""},
        {"port back", [&] { PickCom(PTY_COM); }, READY, "close open:3 pause:50", opened, ""},
        {"dialog cancelled keeps the image", [&] { OpenFile(""); }, READY, "dialog", "", ""},
        {"start", [] {
             OnStartStopFlash();
             WaitFor([] { return RecordedLog().find(PROMPTS) != std::string::npos; });
         }, STARTED, "transfer", "", ""},
        {"stop while waiting for the device", [] { OnStartStopFlash(); }, READY, "", "", ""},
        {"bad file after a good one", [&] { OpenFile(bad_); }, READY, "dialog", "",
         "Brannik Error|Wrong size of ZEL binary flash !\n"},
        {"start without an image", [] { OnStartStopFlash(); }, READY, "", "", ""},
        {"good file again", [&] { OpenFile(good_); }, READY, "dialog", "Код успешно загружен !\r\r\n", ""},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        ClearRecordedLog();
        s.act();
        if (s.state.flag == 0)
            JoinWorkers();  // a stopped flash ends within one probe
        std::string log = RecordedLog();
        size_t prompts = log.find(PROMPTS);  // the started flash's own lines
        if (prompts != std::string::npos)
            log.erase(prompts, PROMPTS.size());
        ExpectState(s.state, s.state.flag == 0);
        EXPECT_EQ(RecordedAwake(), s.state.flag == 1);  // held on this thread, released here
        EXPECT_EQ(Requests(), s.requests);
        EXPECT_EQ(log, s.log);
        EXPECT_EQ(RecordedErrorBoxes(), s.boxes);
    }
    EXPECT_EQ(IsFirmwareLoaded(), 1);
    EXPECT_EQ(RecordedAwakeOps(), "hold release");
}

// Started, running phases, idle after a failed phase; "Exit" refused
// throughout and accepted after.
TEST_F(BrannikPanelTest, FlashGoesThroughStartedAndRunningToIdle)
{
    ReadyWithDevice({PeerProbes(1, "\xAA"), PeerExpect(4, IDENTIFY_REPLY), PeerExpect(8, DONE_REPLY),
                     PeerExpect(8, "")});
    OnStartStopFlash();
    ExpectState(STARTED, 0);

    WaitFor([] { return RecordedProgressOps().find("begin:96") != std::string::npos; });
    EXPECT_EQ(Requests(), "transfer");
    ExpectState(RUNNING, 0);
    OnStartStopFlash();  // ignored: the phases run to their end
    ExpectState(RUNNING, 0);
    EXPECT_EQ(g_stop_request.load(), 0);

    EXPECT_TRUE(RecordedAwake());

    JoinWorkers();
    ExpectState(READY, 1);
    EXPECT_EQ(RecordedAwakeOps(), "hold release");
    EXPECT_FALSE(RecordedAwake());
    EXPECT_EQ(RecordedProgress().pos, 1u);
    EXPECT_EQ(RecordedLog(), PROMPTS + "Обнаружен загрузчик версии: 1.4 \r\n" + "Стираем старый код ... " +
                                 "\r\r\nУстройство не отвечает. i = 1\r\r\n");
}

// A stop pressed while the device identifies itself cannot stop the phases
// that follow, so the panel must show them as running until they end.
TEST_F(BrannikPanelTest, StopDuringIdentifyDoesNotReleaseThePanelWhilePhasesRun)
{
    ReadyWithDevice({PeerProbes(1, "\xAA"), PeerExpect(4, IDENTIFY_REPLY), PeerExpect(8, "")});
    OnStartStopFlash();
    WaitFor([&] { return PeerReceived(device_).find(IDENTIFY_REQUEST) != std::string::npos; });
    OnStartStopFlash();
    ExpectState(READY, 1);  // idle at once, "Exit" let through, but the sequence still runs

    WaitFor([] { return RecordedProgressOps().find("begin:96") != std::string::npos; });
    ExpectState(RUNNING, 0);

    JoinWorkers();
    ExpectState(READY, 1);
    EXPECT_NE(RecordedLog().find("i = 0"), std::string::npos);
}

// A stop that no sync consumed (here after a failed identify) must not make
// the next flash give up at its first unanswered probe.
TEST_F(BrannikPanelTest, StaleStopDoesNotReachTheNextFlash)
{
    ReadyWithDevice({PeerProbes(1, "\xAA"), PeerExpect(4, ""), PeerProbes(3, "\xAA"), PeerExpect(4, "")});
    OnStartStopFlash();
    JoinWorkers();
    ExpectState(STARTED, 0);  // identify failed: the panel waits for "Stop Flash"
    EXPECT_EQ(RecordedLog(), PROMPTS + NO_ANSWER);
    EXPECT_TRUE(RecordedAwake());

    OnStartStopFlash();
    ExpectState(READY, 1);
    EXPECT_FALSE(RecordedAwake());
    ClearRecordedLog();
    OnStartStopFlash();
    JoinWorkers();
    // Two probes went unanswered before the third caught the device.
    EXPECT_EQ(RecordedLog(), PROMPTS + NO_ANSWER);
    EXPECT_EQ(PeerReceived(device_), "\x55" + IDENTIFY_REQUEST + "\x55\x55\x55" + IDENTIFY_REQUEST);
    ExpectState(STARTED, 0);
    // Halted, and the port gone meanwhile: "Stop Flash" still frees it.
    CloseComPort();
    OnStartStopFlash();
    ExpectState(NOT_READY, 1);
    EXPECT_FALSE(RecordedAwake());
}

// "Start Flash" right after "Stop Flash", while the stopped sequence has not
// yet noticed, must not start a second one beside it.
TEST_F(BrannikPanelTest, StartWaitsUntilTheStoppedSequenceHasEnded)
{
    ReadyWithDevice({PeerSilent(20000)});
    OnStartStopFlash();
    WaitFor([&] { return !PeerReceived(device_).empty(); });
    OnStartStopFlash();  // stop
    OnStartStopFlash();  // start again at once: ignored
    ExpectState(READY, 1);  // "Exit" works as soon as the panel is idle
    EXPECT_EQ(Requests(), "transfer");

    JoinWorkers();
    EXPECT_EQ(g_flash_state.load(), FLASH_IDLE);
    ExpectState(READY, 1);
    OnStartStopFlash();
    ExpectState(STARTED, 0);
    OnStartStopFlash();
    JoinWorkers();
    EXPECT_EQ(Requests(), "transfer");
    ExpectState(READY, 1);
}

// A port slow to open (a Bluetooth link while Windows calls the phone):
// every handler of the panel returns at once, the log and the button follow
// when the open ends, and a pick made meanwhile is carried out after it.
TEST_F(BrannikPanelTest, APortSlowToOpenHoldsUpNoHandler)
{
    OpenFile(good_);
    HoldComPortOpens(PTY_COM, 1);
    auto quick = [](const char* what, const std::function<void()>& handler) {
        auto began = std::chrono::steady_clock::now();
        handler();
        auto took = std::chrono::steady_clock::now() - began;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 100) << what;
    };
    quick("pick", [&] { PickCom(PTY_COM); });
    WaitFor([&] {  // the worker is held in the open
        TwPump();
        return ComPortOpensHeld(PTY_COM) == 1;
    });
    EXPECT_EQ(TwDone(), "close open:3");
    quick("Start Flash", [] { OnStartStopFlash(); });
    quick("Open File", [&] { OpenFile(good_); });
    // A run down the list behind it: only the port it stops at is opened.
    quick("another pick", [&] { PickCom(DEVICE_COM); });
    quick("another pick", [&] { PickCom(PTY_COM); });
    quick("----", [&] { PickPort(0); });
    quick("another pick", [&] { PickCom(DEAD_COM); });
    ExpectState(NOT_READY, 1);
    EXPECT_EQ(RecordedLog(), "Код успешно загружен !\r\r\nКод успешно загружен !\r\r\n");

    HoldComPortOpens(PTY_COM, 0);
    JoinWorkers();
    EXPECT_EQ(RecordedLog(), "Код успешно загружен !\r\r\nКод успешно загружен !\r\r\n"
                             "Открыт порт COM3\r\nCOM порт закрыт.\r\r\nFailed GetCommState() - COM4\r\r\n");
    EXPECT_EQ(Requests(), "dialog pause:50 close pause:50 overtaken:5 close overtaken:3 close close open:4 pause:50");
    ExpectState(NOT_READY, 1);
    PickCom(PTY_COM);
    JoinWorkers();
    ExpectState(READY, 1);

    // A pick and then "----" taken by the dialog in one go (a fast wheel)
    // before the main window takes their commands, behind a slow open: no
    // port is left open.
    ClearRecordedLog();
    Requests();
    HoldComPortOpens(PTY_COM, 1);
    PickCom(PTY_COM);
    WaitFor([&] { TwPump(); return ComPortOpensHeld(PTY_COM) == 1; });
    int commands = OnPortPicked(picker_[DEAD_COM]) + OnPortPicked(0);
    while (commands-- > 0)
        OnSelectPort();
    HoldComPortOpens(PTY_COM, 0);
    JoinWorkers();
    EXPECT_EQ(Requests(), "close pause:50 open:3 pause:50 close pause:50 close");
    EXPECT_EQ(RecordedLog(), "COM порт закрыт.\r\r\nОткрыт порт COM3\r\nCOM порт закрыт.\r\r\n");
    ExpectState(NOT_READY, 1);
}

}  // namespace
