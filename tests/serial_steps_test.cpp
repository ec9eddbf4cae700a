// The port core (enumeration, open, close) over a scripted backend: every
// set-up step failing in turn, the order and arguments of the backend calls,
// and the exact bytes logged, for both tools.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "log_view.h"
#include "port_picker.h"
#include "port_worker.h"
#include "recording.h"
#include "serial_port.h"
#include "support/scripted_port.h"
#include "tool_profile.h"

namespace {
std::vector<std::pair<unsigned, int>> s_posted;
}  // namespace

int PostPortChange(unsigned command, int com)
{
    s_posted.push_back({command, com});
    return 1;
}
void WorkerPause(unsigned ms) { ScriptNote("pause:" + std::to_string(ms)); }
void RequestTransfer() {}

namespace {

int s_fake_thread;  // stands for the port worker thread's handle

class SerialSteps : public ::testing::Test {
protected:
    void SetUp() override
    {
        ScriptReset();
        ClearRecordedLog();
        g_port.store(nullptr);
        g_selected_port.store(0);
        g_port_worker_thread.store(&s_fake_thread);
    }
    void TearDown() override
    {
        if (g_port.load())
            CloseComPort();
        g_port_worker_thread.store(nullptr);
        SetToolProfile(&BRANNIK_PROFILE);
    }
};

std::string Bytes(std::initializer_list<unsigned char> b) { return std::string(b.begin(), b.end()); }

struct FailCase {
    const ToolProfile* tool;
    ScriptStep step;
    const char* calls;      // backend calls up to and including the failure
    const char* logged;     // after line-feed expansion
};

TEST_F(SerialSteps, EachFailingStepLogsItsMessageAndLeavesThePortClosed)
{
    const FailCase cases[] = {
        {&BRANNIK_PROFILE, SCRIPT_FAIL_CREATE, "create:12", "Ошибка открытия порта COM12\r\r\n"},
        {&BRANNIK_PROFILE, SCRIPT_FAIL_GET_STATE, "create:12 queues:2048/2048 get release",
         "Failed GetCommState() - COM12\r\r\n"},
        {&BRANNIK_PROFILE, SCRIPT_FAIL_SET_STATE,
         "create:12 queues:2048/2048 get set:115200 release", "Failed SetCommState() - COM12\r\r\n"},
        {&BRANNIK_PROFILE, SCRIPT_FAIL_TIMEOUTS,
         "create:12 queues:2048/2048 get set:115200 purge timeouts:0/0/50/0/0 release",
         "Failed SetCommTimeouts()\r\r\n"},
        {&VESSAMO_PROFILE, SCRIPT_FAIL_CREATE, "create:12", "Ошибка открытия порта COM12\r\n"},
        {&VESSAMO_PROFILE, SCRIPT_FAIL_GET_STATE, "create:12 queues:2048/2048 get release",
         "Failed GetCommState()\r\n"},
        {&VESSAMO_PROFILE, SCRIPT_FAIL_SET_STATE,
         "create:12 queues:2048/2048 get set:921600 release", "Failed SetCommState()\r\n"},
        {&VESSAMO_PROFILE, SCRIPT_FAIL_TIMEOUTS,
         "create:12 queues:2048/2048 get set:921600 purge timeouts:0/100/1000/0/0 release",
         "Failed SetCommTimeout()\r\n"},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(std::string(c.tool->title) + " / " + c.calls);
        SetUp();
        SetToolProfile(c.tool);
        g_selected_port.store(12);
        ScriptFailAt(c.step);

        EXPECT_EQ(OpenComPort(), 0);
        EXPECT_EQ(ScriptCalls(), c.calls);
        EXPECT_EQ(RecordedLog(), c.logged);
        EXPECT_EQ(g_port.load(), nullptr);
        EXPECT_EQ(IsPortReady(), 0);
        EXPECT_EQ(ScriptOpenHandles(), 0);  // nothing leaked

        // The next open starts again from the first step.
        ScriptFailAt(SCRIPT_FAIL_NONE);
        ScriptClearCalls();
        EXPECT_EQ(OpenComPort(), 1);
        EXPECT_EQ(ScriptCalls().rfind("create:12 ", 0), 0u) << ScriptCalls();
        EXPECT_EQ(IsPortReady(), 1);
        CloseComPort();
    }
}

TEST_F(SerialSteps, OpenAppliesTheToolSettingsInOrderAndLogsTheWindows1251Line)
{
    // "Открыт порт COM3" then CR LF, as Windows-1251 bytes.
    const std::string opened = Bytes({0xCE, 0xF2, 0xEA, 0xF0, 0xFB, 0xF2, 0x20, 0xEF, 0xEE, 0xF0,
                                      0xF2, 0x20, 0x43, 0x4F, 0x4D, 0x33, 0x0D, 0x0A});
    struct {
        const ToolProfile* tool;
        const char* calls;
    } cases[] = {
        {&BRANNIK_PROFILE,
         "create:3 queues:2048/2048 get set:115200 purge timeouts:0/0/50/0/0"},
        {&VESSAMO_PROFILE,
         "create:3 queues:2048/2048 get set:921600 purge timeouts:0/100/1000/0/0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool->title);
        SetUp();
        SetToolProfile(c.tool);
        g_selected_port.store(3);
        EXPECT_EQ(IsPortReady(), 0);
        EXPECT_EQ(OpenComPort(), 1);
        EXPECT_EQ(ScriptCalls(), c.calls);
        EXPECT_EQ(RecordedLog(), opened);
        EXPECT_NE(g_port.load(), nullptr);
        EXPECT_EQ(IsPortReady(), 1);

        // Ready needs the port worker thread as well as the port.
        g_port_worker_thread.store(nullptr);
        EXPECT_EQ(IsPortReady(), 0);
        g_port_worker_thread.store(&s_fake_thread);
        CloseComPort();
    }
}

// ---- The line as the last program left it ----------------------------------

std::string Describe(const PortLineSettings& l)
{
    char text[320];
    snprintf(text, sizeof text,
             "%u %u%c%u binary=%u parity_check=%u cts=%u dsr=%u dtr=%u dsr_sens=%u outx=%u inx=%u "
             "errchar=%u null=%u rts=%u abort=%u xon=%02X/%u xoff=%02X/%u",
             l.baud, l.byte_size, "NOEMS"[l.parity % 5], l.stop_bits, l.binary, l.parity_check,
             l.out_cts_flow, l.out_dsr_flow, l.dtr_control, l.dsr_sensitivity, l.out_xon_xoff,
             l.in_xon_xoff, l.error_char, l.null_strip, l.rts_control, l.abort_on_error, l.xon_char,
             l.xon_limit, l.xoff_char, l.xoff_limit);
    return text;
}

// Whatever another program left on the port, alone and all at once, the
// open applies the tools' raw link: every hazard off, XON/XOFF characters
// and limits that Windows accepts, DTR and RTS at the level reported.
TEST_F(SerialSteps, OpenTakesOverWhateverTheLastProgramLeftOnTheLine)
{
    typedef void (*Leave)(PortLineSettings*);
    struct Hazard {
        const char* what;
        Leave leave;
        unsigned char dtr = PORT_LINE_ON, rts = PORT_LINE_ON;  // as applied
    } hazards[] = {
        {"a clean line", [](PortLineSettings*) {}},
        {"XON/XOFF output flow", [](PortLineSettings* l) { l->out_xon_xoff = 1; }},
        {"XON/XOFF input flow", [](PortLineSettings* l) { l->in_xon_xoff = 1; }},
        {"CTS output flow", [](PortLineSettings* l) { l->out_cts_flow = 1; }},
        {"DSR output flow", [](PortLineSettings* l) { l->out_dsr_flow = 1; }},
        {"DSR sensitivity", [](PortLineSettings* l) { l->dsr_sensitivity = 1; }},
        {"null stripping", [](PortLineSettings* l) { l->null_strip = 1; }},
        {"error character", [](PortLineSettings* l) { l->error_char = 1; }},
        {"parity checking", [](PortLineSettings* l) { l->parity_check = 1; }},
        {"abort on error", [](PortLineSettings* l) { l->abort_on_error = 1; }},
        {"XON equal to XOFF", [](PortLineSettings* l) { l->xon_char = l->xoff_char = 0x13; }},
        {"limits past the queue", [](PortLineSettings* l) { l->xon_limit = 4096; l->xoff_limit = 65535; }},
        {"7E2, not binary", [](PortLineSettings* l) { l->byte_size = 7; l->parity = 2; l->stop_bits = 2; l->binary = 0; }},
        {"RTS/CTS handshake", [](PortLineSettings* l) { l->out_cts_flow = 1; l->rts_control = PORT_LINE_HANDSHAKE; }},
        {"DTR/DSR handshake", [](PortLineSettings* l) { l->out_dsr_flow = 1; l->dtr_control = PORT_LINE_HANDSHAKE; }},
        {"DTR off, RTS toggled for RS-485", [](PortLineSettings* l) {
             l->dtr_control = PORT_LINE_OFF;
             l->rts_control = PORT_LINE_TOGGLE;
         }, PORT_LINE_OFF, PORT_LINE_TOGGLE},
        {"all at once", [](PortLineSettings* l) {
             l->out_xon_xoff = l->in_xon_xoff = l->out_cts_flow = l->out_dsr_flow = 1;
             l->dsr_sensitivity = l->null_strip = l->error_char = l->parity_check = l->abort_on_error = 1;
             l->xon_char = l->xoff_char = 0;
             l->xon_limit = l->xoff_limit = 65535;
             l->byte_size = 7;
             l->parity = 1;
             l->binary = 0;
             l->dtr_control = PORT_LINE_OFF;
             l->rts_control = PORT_LINE_HANDSHAKE;
         }, PORT_LINE_OFF, PORT_LINE_ON},
    };
    for (const ToolProfile* tool : {&BRANNIK_PROFILE, &VESSAMO_PROFILE}) {
        for (const Hazard& h : hazards) {
            SCOPED_TRACE(std::string(tool->title) + " / " + h.what);
            SetUp();
            SetToolProfile(tool);
            PortLineSettings left = ScriptCleanLine();
            h.leave(&left);
            ScriptReportLine(left);
            g_selected_port.store(3);
            ASSERT_EQ(OpenComPort(), 1);

            PortLineSettings want = {};
            want.baud = tool->baud;
            want.byte_size = 8;
            want.binary = 1;
            want.dtr_control = h.dtr;
            want.rts_control = h.rts;
            want.xon_char = 0x11;
            want.xoff_char = 0x13;
            want.xon_limit = 512;
            want.xoff_limit = 512;
            EXPECT_EQ(Describe(ScriptAppliedLine()), Describe(want));
            CloseComPort();
        }
    }
}

TEST_F(SerialSteps, CloseLogsOnlyInBrannik)
{
    // "COM порт закрыт." then CR CR LF: the text's own CR stays in front.
    const std::string closed = Bytes({0x43, 0x4F, 0x4D, 0x20, 0xEF, 0xEE, 0xF0, 0xF2, 0x20, 0xE7,
                                      0xE0, 0xEA, 0xF0, 0xFB, 0xF2, 0x2E, 0x0D, 0x0D, 0x0A});
    struct {
        const ToolProfile* tool;
        std::string logged;
    } cases[] = {{&BRANNIK_PROFILE, closed}, {&VESSAMO_PROFILE, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool->title);
        SetUp();
        SetToolProfile(c.tool);
        g_selected_port.store(3);
        ASSERT_EQ(OpenComPort(), 1);
        ScriptClearCalls();
        ClearRecordedLog();

        CloseComPort();
        EXPECT_EQ(ScriptCalls(), "purge release");
        EXPECT_EQ(RecordedLog(), c.logged);
        EXPECT_EQ(g_port.load(), nullptr);
        EXPECT_EQ(IsPortReady(), 0);
        EXPECT_EQ(ScriptOpenHandles(), 0);

        // Closing again does nothing and logs nothing.
        ScriptClearCalls();
        ClearRecordedLog();
        CloseComPort();
        EXPECT_EQ(ScriptCalls(), "");
        EXPECT_EQ(RecordedLog(), "");
    }
}

TEST_F(SerialSteps, OpenWhileOpenKeepsTheOldPort)
{
    for (const ToolProfile* tool : {&BRANNIK_PROFILE, &VESSAMO_PROFILE}) {
        SCOPED_TRACE(tool->title);
        SetUp();
        SetToolProfile(tool);
        g_selected_port.store(3);
        ASSERT_EQ(OpenComPort(), 1);
        PortHandle first = g_port.load();
        ScriptClearCalls();
        ClearRecordedLog();

        g_selected_port.store(5);
        EXPECT_EQ(OpenComPort(), 1);
        EXPECT_EQ(g_port.load(), first);
        EXPECT_EQ(ScriptCalls(), "");
        EXPECT_EQ(RecordedLog(), "");
        CloseComPort();
    }
}

// ---- The port list and the picker --------------------------------------------

TEST_F(SerialSteps, TheListHoldsThePortsTheSystemNamesInTheToolRangeOpeningNone)
{
    struct {
        const ToolProfile* tool;
        std::vector<std::string> names;  // both sources, as handed over
        std::vector<int> listed;
    } cases[] = {
        {&BRANNIK_PROFILE, {"COM200", "COM1", "COM127", "COM3", "COM128", "COM255"}, {1, 3, 127}},
        {&VESSAMO_PROFILE, {"COM255", "COM2", "COM128", "COM254", "COM256"}, {2, 128, 254, 255}},
        {&VESSAMO_PROFILE, {}, {}},
        // Both sources name most ports, among other devices' names.
        {&BRANNIK_PROFILE, {"COM3", "C:", "LPT1", "COM1", "NUL", "COM3", "COM1", "com5"}, {1, 3, 5}},
        // Registry strings without their zero, or padded.
        {&BRANNIK_PROFILE, {std::string("COM7"), std::string("COM8\0\0", 6), "COM9  ", "COM10\t"}, {7, 8, 9, 10}},
        // Names the tool cannot open as "\\.\COM<n>".
        {&VESSAMO_PROFILE, {"COM007", "COM0", "COM", "COM3A", "COM-1", "COM+4", " COM5", "COM1000",
                            "COM4294967299", "XCOM6", "\\Device\\Serial0", "COMX", "CO", ""}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tool->title) + " / " + std::to_string(c.names.size()) + " names");
        SetUp();
        SetToolProfile(c.tool);
        ScriptSetNames(c.names);

        EXPECT_EQ(EnumComPorts(), (int)c.listed.size());
        EXPECT_EQ(ScriptCalls(), "") << "a port was touched";
        EXPECT_EQ(ScriptListings(), 1);
        std::vector<int> listed;
        for (int i = 0; i < (int)c.listed.size(); ++i)
            listed.push_back(GetListedPort(i));
        EXPECT_EQ(listed, c.listed);
        int count = (int)c.listed.size();
        EXPECT_EQ(GetListedPort(-1), 0);
        EXPECT_EQ(GetListedPort(count), 0);
    }
    // Every port named twice fills vessamo's list once; a second listing
    // starts again rather than appending past the table.
    SetUp();
    SetToolProfile(&VESSAMO_PROFILE);
    for (int com = 1; com <= 255; ++com)
        ScriptSetPresent(com);
    for (int com = 255; com >= 1; --com)
        ScriptSetPresent(com);
    EXPECT_EQ(EnumComPorts(), 255);
    EXPECT_EQ(EnumComPorts(), 255);
    EXPECT_EQ(GetListedPort(254), 255);
    EXPECT_EQ(GetListedPort(255), 0);
}

TEST_F(SerialSteps, ThePickerFollowsThePortsKeepingTheShownAndTheOpenPort)
{
    // A technician's morning: adapters plugged and pulled around picks.
    // Each step: the user's pick ("" none), then the names the system has
    // when the picker is filled again.
    struct Step {
        const char* pick;
        std::vector<std::string> names;
        std::vector<std::string> entries;
        const char* shown;
    } steps[] = {
        {"", {"COM3", "COM5"}, {"----", "COM 3", "COM 5"}, "----"},
        {"COM 5", {"COM4", "COM3", "COM5"}, {"----", "COM 3", "COM 4", "COM 5"}, "COM 5"},
        // The open adapter pulled: still listed and shown.
        {"", {"COM3", "COM4"}, {"----", "COM 3", "COM 4", "COM 5"}, "COM 5"},
        // "----" closes it (brannik); then it goes.
        {"----", {"COM3", "COM4"}, {"----", "COM 3", "COM 4"}, "----"},
        // A shown port that is not open and has gone leaves "----".
        {"COM 4", {"COM3"}, {"----", "COM 3"}, "----"},
        {"COM 3", {"COM3", "COM12"}, {"----", "COM 3", "COM 12"}, "COM 3"},
        {"", {}, {"----", "COM 3"}, "COM 3"},
    };
    SetToolProfile(&BRANNIK_PROFILE);
    ClearRecordedPicker();
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string("pick \"") + step.pick + "\", then " + std::to_string(step.names.size()) + " names");
        std::string pick = step.pick;
        if (!pick.empty()) {
            // As the dialog procedure and the main window take a pick.
            int index = PickerIndexOf(pick);
            ASSERT_GE(index, 0);
            PickerUserPicks(index);
            if (index >= 1) {
                g_selected_port.store(GetListedPort(index - 1));
                CloseComPort();
                if (pick != "COM 4")  // that one's device fails to open
                    OpenComPort();
            } else {
                CloseComPort();
            }
        }
        ScriptReset();
        ScriptSetNames(step.names);
        ClearRecordedLog();
        int selected = g_selected_port.load();
        PortHandle port = g_port.load();

        FillPortPicker(nullptr);
        EXPECT_EQ(RecordedPicker(), step.entries);
        EXPECT_EQ(RecordedPickerShown(), step.shown);
        // Entry k stands for list entry k - 1.
        for (int k = 1; k < (int)step.entries.size(); ++k)
            EXPECT_EQ("COM " + std::to_string(GetListedPort(k - 1)), step.entries[k]);
        // Nothing but the picker changed.
        EXPECT_EQ(ScriptCalls(), "");
        EXPECT_EQ(RecordedLog(), "");
        EXPECT_EQ(g_selected_port.load(), selected);
        EXPECT_EQ(g_port.load(), port);
    }
}

// The dropped list fits its widest entry within the monitor the panel is
// on, a second one on either side of the primary (1920 px wide) included.
TEST(PortPicker, DroppedListStaysWithinTheMonitorThePanelIsOn)
{
    struct {
        const char* where;
        int text, left, right, work_right, want;
    } rows[] = {
        {"a short list: the picker's own width", 50, 100, 250, 1920, 150},
        {"second monitor to the right, near its edge", 300, 3700, 3800, 3840, 140},
        {"second monitor to the left, near its edge", 300, -200, -120, 0, 200},
    };
    for (const auto& r : rows)
        EXPECT_EQ(DroppedListWidth(r.text, 32, r.left, r.right, r.work_right), r.want) << r.where;
}

// Each entry names its port's device as Device Manager shows it, without
// the " (COMn)" Windows appends, from the first record that names it.
TEST_F(SerialSteps, EachEntryNamesItsPortsDeviceAsWindowsShowsIt)
{
    std::string zhe;  // 80 letters of two bytes each fill a name exactly
    for (int i = 0; i < 100; ++i)
        zhe += u8"Ж";
    const std::vector<std::pair<std::string, std::string>> records = {
        {"COM3", "USB-SERIAL CH340 (COM3)"},
        {"COM5", u8"Стандартный последовательный порт по соединению Bluetooth (COM5)"},
        {"COM4", "Prolific USB-to-Serial Comm Port (com4)"},
        {"COM6", "Intel(R) Active Management Technology - SOL"},  // no suffix
        {"COM7", ""},
        {"COM8", "   "},
        {"COM20", "Modem (COM20)"},      // a port not listed
        {"COM9", "Odd link (COM3)"},     // another port's suffix is part of the name
        {"COM10", "First (COM10)"},
        {"COM10", "Second (COM10)"},     // two records: the first names it
        {"COM11", ""},
        {"COM11", "Later (COM11)"},      // an empty record names nothing
        {"COM13", zhe + " (COM13)"},
        {"COM14", "A" + zhe},            // cut where a letter would be split
        {std::string("COM15\0", 6), "  Padded record (COM15)  "},
    };
    SetToolProfile(&BRANNIK_PROFILE);
    ScriptSetNames({"COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10", "COM11", "COM12",
                    "COM13", "COM14", "COM15"});
    ScriptSetDevices(records);
    ClearRecordedPicker();
    NotePortDevicesChanged();
    FillPortPicker(nullptr);
    const std::vector<std::string> want = {
        "----",
        "COM 3 (USB-SERIAL CH340)",
        "COM 4 (Prolific USB-to-Serial Comm Port)",
        u8"COM 5 (Стандартный последовательный порт по соединению Bluetooth)",
        "COM 6 (Intel(R) Active Management Technology - SOL)",
        "COM 7",
        "COM 8",
        "COM 9 (Odd link (COM3))",
        "COM 10 (First)",
        "COM 11 (Later)",
        "COM 12",
        "COM 13 (" + zhe.substr(0, PICKER_NAME_BYTES) + ")",
        "COM 14 (A" + zhe.substr(0, PICKER_NAME_BYTES - 2) + ")",
        "COM 15 (Padded record)",
    };
    EXPECT_EQ(RecordedPicker(), want);
    EXPECT_EQ(ScriptCalls(), "");
    // Entry k still stands for list entry k - 1.
    for (int k = 1; k < (int)want.size(); ++k)
        EXPECT_EQ(want[k].rfind("COM " + std::to_string(GetListedPort(k - 1)), 0), 0u) << want[k];

    // A drop of the list with the same ports reads no records; a device
    // arriving or leaving, or another port listed, has them read again.
    ScriptSetDevices({{"COM3", "CP2102 (COM3)"}});
    FillPortPicker(nullptr);
    EXPECT_EQ(RecordedPicker()[1], "COM 3 (USB-SERIAL CH340)");
    NotePortDevicesChanged();
    FillPortPicker(nullptr);
    EXPECT_EQ(RecordedPicker()[1], "COM 3 (CP2102)");
    ScriptSetDevices({{"COM3", "FT232R (COM3)"}});
    ScriptSetNames({"COM16"});
    FillPortPicker(nullptr);
    EXPECT_EQ(RecordedPicker()[1], "COM 3 (FT232R)");
}

// ---- Port changes on the worker ----------------------------------------------

// What the panel posted (s_posted, above) carried out as the worker would,
// one at a time, in order.
void RunPosted()
{
    for (const auto& p : s_posted)
        WorkerRunPortChange(p.first, p.second, nullptr);
    s_posted.clear();
}

// Picks made faster than the worker carries them out (a slow open ahead of
// them): an open that a later pick overtook is not made, nor its pause; the
// last pick opens the port picked for it, whatever is selected by the time
// the worker comes to it; a pick and then "----" leave no port opened at
// all; the line gets each tool's pauses on the worker, a failed open's too.
TEST_F(SerialSteps, QueuedPortChangesRunInOrderWithTheirOwnPortsAndPauses)
{
    const char* const open_calls = "create:%d queues:2048/2048 get set:%u purge timeouts:%s";
    struct {
        const ToolProfile* tool;
        const char* timeouts;
        const char* after_close;  // the pause after closing an open port
    } cases[] = {
        {&BRANNIK_PROFILE, "0/0/50/0/0", " pause:50"},
        {&VESSAMO_PROFILE, "0/100/1000/0/0", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool->title);
        SetUp();
        SetToolProfile(c.tool);
        s_posted.clear();
        g_selected_port.store(3);
        RequestPortClose();  // no port open: nothing, no pause
        RequestPortOpen();   // overtaken by the next pick
        g_selected_port.store(5);
        RequestPortClose();
        RequestPortOpen();
        g_selected_port.store(9);
        EXPECT_EQ(PortChangesQueued(), 4);
        EXPECT_EQ(ScriptCalls(), "");  // posting touches no port
        RunPosted();
        RequestPortClose();  // "----", once the worker has opened COM5
        RunPosted();
        EXPECT_EQ(PortChangesQueued(), 0);
        char opened[160];
        snprintf(opened, sizeof opened, open_calls, 5, c.tool->baud, c.timeouts);
        EXPECT_EQ(ScriptCalls(), std::string(opened) + " pause:50 purge release" + c.after_close);
        EXPECT_EQ(ScriptOpenHandles(), 0);

        // A pick and then "----" handled in one go: nothing is opened.
        ScriptClearCalls();
        RequestPortClose();
        RequestPortOpen();
        RequestPortClose();
        RunPosted();
        EXPECT_EQ(ScriptCalls(), "");
        EXPECT_EQ(PortOpenQueued(), 0);

        ScriptClearCalls();
        ScriptFailAt(SCRIPT_FAIL_CREATE);
        RequestPortOpen();
        RunPosted();
        EXPECT_EQ(ScriptCalls(), "create:9 pause:50");
        EXPECT_EQ(PortChangesQueued(), 0);
    }
}

}  // namespace
