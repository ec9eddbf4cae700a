// LogPrint, ExpandLineFeeds and ErrorBox over the recording backend, and the
// recording models of the progress bar and brannik's flash controls that the
// transfer tests rely on.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "file_open.h"
#include "log_save.h"
#include "log_view.h"
#include "recording.h"
#include "panel_buttons.h"
#include "progress_bar.h"
#include "tool_profile.h"

namespace {

std::string Expand(const std::string& text, size_t out_size)
{
    std::string out(out_size + 8, '#');  // guard bytes after the buffer
    size_t n = ExpandLineFeeds(text.c_str(), &out[0], out_size);
    EXPECT_EQ(out.substr(out_size), std::string(8, '#')) << "wrote past the buffer";
    if (out_size == 0)
        return "";
    EXPECT_EQ(strlen(out.c_str()), n);
    return out.substr(0, n);
}

TEST(LogView, LineFeedsGetACarriageReturnInFront)
{
    struct {
        const char* text;
        const char* logged;
    } cases[] = {
        {"a\nb", "a\r\nb"},
        {"line\r\n", "line\r\r\n"},   // a CR already there stays in front
        {"\n\n", "\r\n\r\n"},
        {"no feeds\r", "no feeds\r"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ClearRecordedLog();
        LogPrint("%s", c.text);
        EXPECT_EQ(RecordedLog(), c.logged);
    }
    ClearRecordedLog();
    LogPrint("Открыт порт COM%i\n", 12);
    EXPECT_EQ(RecordedLog(), "Открыт порт COM12\r\n");
}

TEST(LogView, ExpansionIsCutWithoutSplittingLineEnds)
{
    struct {
        const char* text;
        size_t out_size;
        const char* expect;
    } cases[] = {
        {"ab\n", 5, "ab\r\n"},
        {"ab\n", 4, "ab"},        // CR LF does not fit: neither goes in
        {"ab\n", 3, "ab"},
        {"a\r\nb", 5, "a\r\r\n"},
        {"a\r\nb", 4, "a"},       // nor the text's own CR of that line end
        {"abc", 2, "a"},
        {"abc", 1, ""},
        {"abc", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " in " + std::to_string(c.out_size));
        EXPECT_EQ(Expand(c.text, c.out_size), c.expect);
    }
}

TEST(LogView, OverlongTextsAreCutSafely)
{
    ClearRecordedLog();
    std::string big(40000, 'x');
    LogPrint("%s", big.c_str());
    EXPECT_EQ(RecordedLog(), std::string(LOG_FORMAT_BYTES - 1, 'x'));

    // 20000 line feeds fit the format buffer but not once expanded.
    ClearRecordedLog();
    LogPrint("%s", std::string(20000, '\n').c_str());
    std::string logged = RecordedLog();
    EXPECT_EQ(logged.size(), (size_t)LOG_EXPAND_BYTES - 2);
    EXPECT_EQ(logged.find("\n\n"), std::string::npos);
    EXPECT_EQ(logged.substr(logged.size() - 2), "\r\n");

    SetToolProfile(&VESSAMO_PROFILE);
    ClearRecordedLog();
    EXPECT_EQ(ErrorBox("%s", std::string(600, 'e').c_str()), 0);
    EXPECT_EQ(RecordedErrorBoxes(), "Vessamo Error|" + std::string(ERROR_BOX_BYTES - 1, 'e') + "\n");
    SetToolProfile(&BRANNIK_PROFILE);
}

// A view that refuses EM_SETTEXTEX (answers 0) gets the same bytes through
// EM_REPLACESEL; one that takes it never sees them twice; an empty text
// reaches the view only as the scroll.
TEST(LogView, RefusedSetTextExFallsBackToReplaceSel)
{
    struct {
        int refuse;
        const char* text;
        const char* messages;
        const char* logged;
    } cases[] = {
        {0, "Открыт порт COM3\n", "settextex scroll", "Открыт порт COM3\r\n"},
        {1, "Открыт порт COM3\n", "settextex replacesel scroll", "Открыт порт COM3\r\n"},
        {1, "", "scroll", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refuse);
        ClearRecordedLog();
        RefuseSetTextEx(c.refuse);
        LogPrint("%s", c.text);
        EXPECT_EQ(RecordedLogMessages(), c.messages);
        EXPECT_EQ(RecordedLog(), c.logged);
    }
    ClearRecordedLog();
}

TEST(LogView, ErrorBoxShowsTheToolTitleAndReturnsZero)
{
    SetToolProfile(&BRANNIK_PROFILE);
    ClearRecordedLog();
    EXPECT_EQ(ErrorBox("Failed loading %s", "RICHED32.DLL"), 0);
    SetToolProfile(&VESSAMO_PROFILE);
    EXPECT_EQ(ErrorBox("Failed create RichEdit Control"), 0);
    SetToolProfile(&BRANNIK_PROFILE);
    EXPECT_EQ(RecordedErrorBoxes(),
              "Brannik Error|Failed loading RICHED32.DLL\n"
              "Vessamo Error|Failed create RichEdit Control\n");
    EXPECT_EQ(RecordedLog(), "");
}

// The log font's 10 pixels are at 100 %; at any other scaling the text
// must grow with the dialog, or it stays small print in a wide box.
TEST(LogView, FontHeightFollowsTheScreenDpi)
{
    const struct { int dpi, height; } rows[] = {
        {96, -10}, {0, -10}, {-1, -10},   // 100 %, and a DPI the screen does not tell
        {120, -13},                        // 125 %: 12.5 rounds up, as MulDiv does
        {144, -15}, {168, -18}, {192, -20}, {288, -30},
    };
    for (const auto& r : rows)
        EXPECT_EQ(LogFontHeight(r.dpi), r.height) << r.dpi << " DPI";
}

// A day at the bench: 200 complete flashes in one sitting, about 57,000
// characters, more than twice a new control's limit. Every flash's lines,
// the last one included, must be in the view whole.
TEST(LogView, ALongSittingKeepsEveryLineOnceTheViewIsPrepared)
{
    const char* const FLASH_LINES[] = {
        "\r\nВыключите и включите питание устройства.\r\n",
        "Прошивка начнется сразу после включения питания.\r\n",
        "Обнаружен загрузчик версии: 2.7 \n",
        "Стираем старый код ... ", "успешно !\r\n",
        "Прошиваем новый код ... ", "успешно !\r\n",
        "Прошиваем новый EEPROM ...", "успешно !\r\n",
        "Выключите и включите питание устройства !\r\n",
    };
    std::string one_flash;
    for (const char* line : FLASH_LINES) {
        char expanded[LOG_EXPAND_BYTES];
        ExpandLineFeeds(line, expanded, sizeof expanded);
        one_flash += expanded;
    }
    ClearRecordedLog();
    PrepareLogView();  // as CreateLogView does
    for (int flash = 0; flash < 200; ++flash)
        for (const char* line : FLASH_LINES)
            LogPrint("%s", line);
    std::string log = RecordedLog();
    EXPECT_EQ(log.size(), 200 * one_flash.size());
    ASSERT_GE(log.size(), one_flash.size());
    EXPECT_EQ(log.substr(log.size() - one_flash.size()), one_flash);
    EXPECT_EQ(RecordedLogMessages().substr(0, 11), "limit clear");
}

TEST(LogView, TwoThreadsLoggingAtOnceKeepTheirLinesIntact)
{
    ClearRecordedLog();
    PrepareLogView();
    const int lines = 2000;
    auto writer = [&](char who) {
        for (int i = 0; i < lines; ++i)
            LogPrint("thread %c line %04d\n", who, i);
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();

    std::string log = RecordedLog();
    int next[2] = {0, 0};
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = log.substr(pos, end - pos);
        char who = 0;
        int n = -1;
        ASSERT_EQ(sscanf(line.c_str(), "thread %c line %d", &who, &n), 2) << line;
        ASSERT_TRUE(who == 'A' || who == 'B') << line;
        char expect[32];
        snprintf(expect, sizeof expect, "thread %c line %04d", who, next[who - 'A']);
        ASSERT_EQ(line, expect);
        ++next[who - 'A'];
        pos = end + 2;
    }
    EXPECT_EQ(next[0], lines);
    EXPECT_EQ(next[1], lines);
}

TEST(ProgressModel, FillsResetsAndWrapsLikeTheControl)
{
    ClearRecordedProgress();
    ProgressReset();
    ProgressBegin(384);
    for (int i = 0; i < 384; ++i)
        ProgressStep();
    ProgressModel bar = RecordedProgress();
    EXPECT_EQ(bar.max, 384u);
    EXPECT_EQ(bar.step, 1u);
    EXPECT_EQ(bar.pos, 384u);  // exactly full

    ProgressStep();            // past the end the control starts over
    EXPECT_EQ(RecordedProgress().pos, 1u);

    ProgressReset();           // empties, keeps the range
    ProgressStep();
    bar = RecordedProgress();
    EXPECT_EQ(bar.pos, 1u);
    EXPECT_EQ(bar.max, 384u);

    ProgressBegin(96);         // a smaller range keeps the position inside it
    for (int i = 0; i < 200; ++i)
        ProgressStep();
    EXPECT_LE(RecordedProgress().pos, 96u);

    ProgressBegin(0);
    ProgressStep();
    bar = RecordedProgress();
    EXPECT_EQ(bar.max, 0u);
    EXPECT_EQ(bar.pos, 0u);

    ProgressBegin(65536 + 5);  // only the low 16 bits reach the control
    EXPECT_EQ(RecordedProgress().max, 5u);

    ClearRecordedProgress();
    ProgressReset();
    ProgressBegin(2);
    ProgressStep();
    ProgressStep();
    EXPECT_EQ(RecordedProgressOps(), "reset begin:2 step step");
}

// A themed bar draws a move back at once and animates a move forward; a
// phase's last step is followed at once by the next phase's reset, so its
// full bar must be drawn before that. The model below draws only what a
// move back (or a range that cuts it) forces, and checks after every step
// that the bar is left as the transfer set it.
TEST(ProgressModel, SnapMovesDrawAThemedBarFullBeforeTheNextReset)
{
    for (unsigned max : {1u, 2u, 96u, 384u, 2048u, 65535u}) {
        unsigned range = max, pos = 0, drawn = 0;
        for (unsigned target = 1; target <= max; ++target) {
            pos = target;  // PBM_STEPIT: forward, animated, not yet drawn
            ProgressMove moves[PROGRESS_SNAP_MOVES];
            int n = ProgressSnapMoves(pos, range, moves);
            for (int i = 0; i < n; ++i) {
                if (moves[i].is_range) {
                    ASSERT_LE(moves[i].value, 65536u) << "beyond PBM_SETRANGE32's reach";
                    range = moves[i].value;
                    pos = pos > range ? range : pos;
                    drawn = drawn > range ? range : drawn;
                } else {
                    ASSERT_LE(moves[i].value, range) << "a position outside the range";
                    if (moves[i].value <= pos)
                        drawn = moves[i].value;
                    pos = moves[i].value;
                }
            }
            ASSERT_EQ(pos, target) << max;
            ASSERT_EQ(range, max) << "range restored, " << target << " of " << max;
        }
        EXPECT_EQ(drawn, max) << "a full bar of " << max << " drawn short";
    }
    ProgressMove moves[PROGRESS_SNAP_MOVES];
    EXPECT_EQ(ProgressSnapMoves(0, 0, moves), 0);  // an empty range draws nothing
}

// The taskbar button through a run's events, each a state the transfers
// leave the bar in (their own tests check which they raise when).
TEST(ProgressModel, TheTaskbarButtonFollowsTheRun)
{
    struct Case {
        RunShown shown;
        unsigned pos, max;
        TaskbarFlag flag;
        unsigned done, total;
    } cases[] = {
        {RUN_NONE, 0, 2048, TASKBAR_NONE, 0, 0},            // before any run, after a success or a stop
        {RUN_WAITING, 17, 384, TASKBAR_INDETERMINATE, 0, 0},  // brannik waits for the device
        {RUN_PROGRESS, 0, 96, TASKBAR_NORMAL, 0, 96},        // a phase begins
        {RUN_PROGRESS, 40, 384, TASKBAR_NORMAL, 40, 384},
        {RUN_FAILED, 40, 384, TASKBAR_ERROR, 40, 384},       // a block refused: red where it stopped
        {RUN_FAILED, 0, 96, TASKBAR_ERROR, 1, 1},            // refused at block 0, or no reply to identify
        {RUN_FAILED, 0, 0, TASKBAR_ERROR, 1, 1},             // vessamo with no blocks to write
    };
    for (const Case& c : cases) {
        TaskbarView v = TaskbarFor(c.shown, c.pos, c.max);
        EXPECT_EQ(v.flag, c.flag) << c.shown << " " << c.pos;
        if (c.flag != TASKBAR_NONE && c.flag != TASKBAR_INDETERMINATE) {
            EXPECT_EQ(v.done, c.done) << c.shown << " " << c.pos;
            EXPECT_EQ(v.total, c.total) << c.shown << " " << c.pos;
        }
    }
}

// The saved log: header, then the log as the view shows it, UTF-8 with a
// byte-order mark and CR LF throughout; the clipboard's text is the same log.
TEST(LogSave, TheFileHoldsTheHeaderAndTheLogAsShown)
{
    struct Case {
        const char* what;
        std::u16string view;   // as the control hands it back
        const char* entry;     // the open port's picker entry, nullptr for none
        unsigned baud;
        int bits;
        std::string port_line, log_utf8;
    } cases[] = {
        {"breaks as riched32 and riched20 give them",
         u"Порт COM 3 открыт.\r\r\nOK !\r\nLast\rline\n", "COM 3 (USB-SERIAL CH340)", 115200, 32,
         "Port: COM 3 (USB-SERIAL CH340), 115200 baud",
         "\xD0\x9F\xD0\xBE\xD1\x80\xD1\x82 COM 3 \xD0\xBE\xD1\x82\xD0\xBA\xD1\x80\xD1\x8B\xD1\x82.\r\n"
         "OK !\r\nLast\r\nline\r\n"},
        {"empty lines kept, no port", u"\r\n\r\nx", nullptr, 921600, 64, "Port: none open", "\r\n\r\nx"},
        {"a name beyond the code page and a lone surrogate", u"\U0001F50C \xD800.", "COM 12 (\xD2\x9A\xD0\xB0\xD0\xB7\xD0\xB0\xD2\x9B)", 921600, 64,
         "Port: COM 12 (\xD2\x9A\xD0\xB0\xD0\xB7\xD0\xB0\xD2\x9B), 921600 baud", "\xF0\x9F\x94\x8C \xEF\xBF\xBD."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::u16string crlf = LogTextWithCrLf(c.view.data(), c.view.size());
        EXPECT_EQ(Utf16ToUtf8(crlf), c.log_utf8);
        char port[LOG_PORT_TEXT_BYTES];
        LogPortText(c.entry, c.baud, port, sizeof port);
        LogFileHeader header = {"brannik", "1.0.0.1", "10.0.19045, 64-bit", c.bits, "2026-12-10 14:03:22", port};
        std::string file = LogFileBytes(header, crlf);
        std::string want_head = std::string("\xEF\xBB\xBF") + "Tool: brannik 1.0.0.1 (" + std::to_string(c.bits) +
                                "-bit exe)\r\nWindows: 10.0.19045, 64-bit\r\nSaved: 2026-12-10 14:03:22\r\n" +
                                c.port_line + "\r\n\r\n";
        EXPECT_EQ(file, want_head + c.log_utf8);
    }
    char name[64];
    const int when[6] = {2026, 1, 9, 7, 5, 3};
    LogFileName("vessamo", when, name, sizeof name);
    EXPECT_STREQ(name, "vessamo-2026-01-09-070503.log");
}

// A save replaces the target only once the whole file is written; one that
// fails part-way (here the process's file size limit, as a full disk would)
// leaves the old file as it was, no other file behind, and says why.
TEST(LogSave, AFailedSaveLeavesTheTargetAsItWas)
{
    char dir[] = "/tmp/log_save_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string target = std::string(dir) + "/brannik.log";
    char reason[256] = "";
    ASSERT_EQ(WriteWholeFile(target.c_str(), "old log", 7, reason, sizeof reason), 1) << reason;
    std::string big(64 * 1024, 'x');
    ASSERT_EQ(WriteWholeFile(target.c_str(), big.data(), big.size(), reason, sizeof reason), 1) << reason;
    ASSERT_EQ(WriteWholeFile(target.c_str(), "old log", 7, reason, sizeof reason), 1) << reason;

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {16 * 1024, 16 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        char why[256] = "";
        int ok = WriteWholeFile(target.c_str(), big.data(), big.size(), why, sizeof why);
        _exit(ok ? 1 : why[0] ? 0 : 2);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save did not fail, or said no reason";

    FILE* f = fopen(target.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char back[16] = "";
    size_t n = fread(back, 1, sizeof back, f);
    fclose(f);
    EXPECT_EQ(std::string(back, n), "old log");
    EXPECT_NE(access((target + ".saving").c_str(), F_OK), 0) << "the part-written file was left behind";

    std::string folder_gone = std::string(dir) + "/gone/brannik.log";
    EXPECT_EQ(WriteWholeFile(folder_gone.c_str(), "x", 1, reason, sizeof reason), 0);
    EXPECT_STRNE(reason, "");
    unlink(target.c_str());
    rmdir(dir);
}

TEST(PanelModel, OperationsChangeOnlyTheirControl)
{
    ClearRecordedPanel();
    PanelModel p = RecordedPanel();
    EXPECT_FALSE(p.start_enabled);
    EXPECT_EQ(p.start_label, "Start Flash");
    EXPECT_TRUE(p.comport_enabled);
    EXPECT_TRUE(p.openfile_enabled);

    LabelStopFlash();
    DisableComPort();
    DisableOpenFile();
    EnableStartFlash();
    p = RecordedPanel();
    EXPECT_EQ(p.start_label, "Stop Flash");
    EXPECT_TRUE(p.start_enabled);
    EXPECT_FALSE(p.comport_enabled);
    EXPECT_FALSE(p.openfile_enabled);

    LabelStartFlash();         // labels never change enabling
    DisableStartFlash();
    DisableStartFlash();
    EnableComPort();
    EnableOpenFile();
    p = RecordedPanel();
    EXPECT_EQ(p.start_label, "Start Flash");
    EXPECT_FALSE(p.start_enabled);
    EXPECT_TRUE(p.comport_enabled);
    EXPECT_TRUE(p.openfile_enabled);
    EXPECT_EQ(RecordedPanelOps(),
              "LabelStopFlash DisableComPort DisableOpenFile EnableStartFlash LabelStartFlash "
              "DisableStartFlash DisableStartFlash EnableComPort EnableOpenFile");
}

}  // namespace
