// LogPrint, ExpandLineFeeds and ErrorBox over the recording backend, and the
// recording models of the progress bar and brannik's flash controls that the
// transfer tests rely on.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>

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
