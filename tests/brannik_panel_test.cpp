// brannik's front panel logic with a simple double of the port worker: open
// and close run OpenComPort/CloseComPort at once over pseudo-terminals,
// posted transfers run FlashFirmware in order on one worker thread (the
// test thread hears that each returned when it waits for them, as the
// user-interface thread would), pauses are only recorded, and the open-file
// dialog is scripted. Interleavings of
// the two threads are the model test's business (flash_model_test.cpp).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
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
#include "tool_profile.h"

// ---- Port worker and open-file dialog doubles ------------------------------

static std::mutex s_double_mutex;
static std::condition_variable s_double_changed;
static std::string s_requests;             // "open sleep:50 ..." in call order
static std::deque<unsigned> s_posted;      // 0 a transfer, else a posted open or close
static int s_busy = 0;                     // the worker has work in hand
static int s_returned = 0;                 // sequences returned, not yet told to the panel
static std::thread s_worker;               // takes them in order
static std::string s_dialog_path;          // "" = the user cancels

static void NoteRequest(const std::string& what)
{
    std::lock_guard<std::mutex> lock(s_double_mutex);
    s_requests += s_requests.empty() ? what : " " + what;
}

void RequestPortOpen() { NoteRequest("open"); OpenComPort(); }
void RequestPortClose() { NoteRequest("close"); CloseComPort(); }
void SleepMs(unsigned ms) { NoteRequest("sleep:" + std::to_string(ms)); }
static void WorkerLoop()
{
    std::unique_lock<std::mutex> lock(s_double_mutex);
    while (!s_posted.empty()) {
        unsigned command = s_posted.front();
        s_posted.pop_front();
        lock.unlock();
        if (command)
            WorkerRunPostedRequest(command, OnPortRequestsServed);
        else
            FlashFirmware();
        lock.lock();
        if (!command)
            ++s_returned;
    }
    s_busy = 0;
    s_double_changed.notify_all();
}

static void Post(unsigned command)
{
    std::lock_guard<std::mutex> lock(s_double_mutex);
    s_posted.push_back(command);
    if (!s_busy) {
        s_busy = 1;
        if (s_worker.joinable())
            s_worker.join();
        s_worker = std::thread(WorkerLoop);
    }
}

void RequestTransfer()
{
    NoteRequest("transfer");
    Post(0);
}

void PostPortRequest(unsigned command)
{
    NoteRequest(command == ID_COM_OPEN ? "post open" : "post close");
    Post(command);
}
int OpenFirmwareFile(void* owner)
{
    NoteRequest("dialog");
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

std::string Requests()
{
    std::lock_guard<std::mutex> lock(s_double_mutex);
    std::string r = s_requests;
    s_requests.clear();
    return r;
}

// Waits until every posted transfer has run, and tells the panel on this
// thread that each returned.
void JoinWorkers()
{
    std::unique_lock<std::mutex> lock(s_double_mutex);
    s_double_changed.wait(lock, [] { return !s_busy; });
    int returned = s_returned;
    s_returned = 0;
    lock.unlock();
    if (s_worker.joinable())
        s_worker.join();
    for (; returned > 0; --returned)
        OnFlashReturned();
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

        ClearRecordedPanel();
        ClearRecordedLog();
        ClearRecordedProgress();
        ClearRecordedAwake();
        Requests();
    }

    void TearDown() override
    {
        JoinWorkers();
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
        {"then a port", [&] { PickCom(PTY_COM); }, READY, "open sleep:50", opened, ""},
        {"---- with the port open", [&] { PickPort(0); }, NOT_READY, "close", closed, ""},
        {"---- with no port open", [&] { PickPort(0); }, NOT_READY, "close", "", ""},
        {"no selection", [&] { PickPort(-1); }, NOT_READY, "", "", ""},
        {"port again", [&] { PickCom(PTY_COM); }, READY, "open sleep:50", opened, ""},
        {"the open port picked again", [&] { PickCom(PTY_COM); }, READY,
         "close sleep:50 open sleep:50", closed + opened, ""},
        {"a port that fails", [&] { PickCom(DEAD_COM); }, NOT_READY, "close sleep:50 open sleep:50",
         closed + "Failed GetCommState() - COM4\r\r\n", ""},
        {"start with no port", [] { OnStartStopFlash(); }, NOT_READY, "", "", ""},
        {"dialog cancelled", [&] { OpenFile(""); }, NOT_READY, "dialog", "", ""},
        {"port back", [&] { PickCom(PTY_COM); }, READY, "open sleep:50", opened, ""},
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
    EXPECT_EQ(Requests(), "transfer");

    WaitFor([] { return RecordedProgressOps().find("begin:96") != std::string::npos; });
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
    OnStartStopFlash();
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
    EXPECT_EQ(Requests(), "transfer");
    OnStartStopFlash();
    JoinWorkers();
    ExpectState(READY, 1);
}

}  // namespace
