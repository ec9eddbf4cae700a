// Boot monitor link: frame layout byte for byte, and the sync, identify and
// command exchange over a real pseudo-terminal with the tool's own port
// settings (50 ms read time-out) against a scripted peer.
#include "boot_monitor.h"

#include "log_view.h"
#include "recording.h"
#include "scripted_peer.h"
#include "serial_port.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kCom = 41;  // COM number bound to the peer's pseudo-terminal

std::string Fill(size_t n, int value) { return std::string(n, (char)(unsigned char)value); }

std::string Hex(const std::string& bytes)
{
    std::string out;
    char cell[4];
    for (unsigned char c : bytes) {
        snprintf(cell, sizeof cell, "%02X ", c);
        out += cell;
    }
    return out;
}

// ---- Frames ----------------------------------------------------------------

struct FrameCase {
    const char* name;
    unsigned char command;
    unsigned address;
    std::string payload;   // data bytes before whitening
    std::string expected;  // the whole frame
};

TEST(BootMonitorFrame, LaysOutEveryCommandByteForByte)
{
    const std::string alternating = [] {
        std::string s;
        for (int i = 0; i < 64; ++i) s += Bytes({0x55, 0xAA});
        return s;
    }();
    const FrameCase cases[] = {
        {"erase at 0", BM_CMD_ERASE, 0, "", Bytes({0x0F, 0x06, 0x01, 0x00, 0x00, 0x00, 0x08, 0x09})},
        {"erase at 0x200", BM_CMD_ERASE, 0x200, "", Bytes({0x0F, 0x06, 0x01, 0x00, 0x02, 0x00, 0x08, 0x0B})},
        {"erase at 0xBE00", BM_CMD_ERASE, 0xBE00, "", Bytes({0x0F, 0x06, 0x01, 0x00, 0xBE, 0x00, 0x08, 0xB7})},
        {"erase, bits 16..23 in byte 5", BM_CMD_ERASE, 0x123456, "",
         Bytes({0x0F, 0x06, 0x01, 0x56, 0x34, 0x12, 0x08, 0x79})},
        {"erase, bits above 23 dropped", BM_CMD_ERASE, 0xFF123456, "",
         Bytes({0x0F, 0x06, 0x01, 0x56, 0x34, 0x12, 0x08, 0x79})},
        {"program at 0xBF80, all 0xFF", BM_CMD_PROGRAM, 0xBF80, Fill(128, 0xFF),
         Bytes({0x0F, 0x86, 0x02, 0x80, 0xBF, 0x00, 0x02}) + Fill(128, 0xAA) + Bytes({0x3F})},
        {"program, all 0x55 whitens to zeros", BM_CMD_PROGRAM, 0xABCDEF, Fill(128, 0x55),
         Bytes({0x0F, 0x86, 0x02, 0xEF, 0xCD, 0xAB, 0x02}) + Fill(128, 0x00) + Bytes({0x89})},
        {"program, all 0x00", BM_CMD_PROGRAM, 0, Fill(128, 0x00),
         Bytes({0x0F, 0x86, 0x02, 0x00, 0x00, 0x00, 0x02}) + Fill(128, 0x55) + Bytes({0x00})},
        {"program, alternating 0x55 0xAA", BM_CMD_PROGRAM, 0x10000, alternating,
         Bytes({0x0F, 0x86, 0x02, 0x00, 0x00, 0x01, 0x02}) + [] {
             std::string s;
             for (int i = 0; i < 64; ++i) s += Bytes({0x00, 0xFF});
             return s;
         }() + Bytes({0x01})},
        {"EEPROM write at 0x3F8, all 0xFF", BM_CMD_EEPROM_WRITE, 0x3F8, Fill(8, 0xFF),
         Bytes({0x0F, 0x0E, 0x03, 0xF8, 0x03, 0x00, 0x08}) + Fill(8, 0xAA) + Bytes({0xF0})},
        {"EEPROM write, bits 16 and up dropped", BM_CMD_EEPROM_WRITE, 0x12345678, Fill(8, 0x55),
         Bytes({0x0F, 0x0E, 0x03, 0x78, 0x56, 0x00, 0x08}) + Fill(8, 0x00) + Bytes({0x25})},
        {"EEPROM write, mixed payload", BM_CMD_EEPROM_WRITE, 0xFFFF,
         Bytes({0x00, 0x55, 0xAA, 0xFF, 0x01, 0x02, 0x04, 0x08}),
         Bytes({0x0F, 0x0E, 0x03, 0xFF, 0xFF, 0x00, 0x08, 0x55, 0x00, 0xFF, 0xAA, 0x54, 0x57, 0x51,
                0x5D, 0x04})},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char frame[BM_FRAME_MAX + 8];
        memset(frame, 0xEE, sizeof frame);
        const unsigned char* payload =
            c.payload.empty() ? nullptr : reinterpret_cast<const unsigned char*>(c.payload.data());
        unsigned n = BuildCommandFrame(frame, c.command, c.address, payload);
        ASSERT_EQ(n, c.expected.size());
        EXPECT_EQ(Hex(std::string((const char*)frame, n)), Hex(c.expected));
        EXPECT_EQ((unsigned char)frame[n], 0xEE) << "wrote past the frame";
    }
}

TEST(BootMonitorFrame, RefusesWhatIsNotACommandFrame)
{
    unsigned char frame[BM_FRAME_MAX];
    EXPECT_EQ(BuildCommandFrame(frame, BM_CMD_IDENTIFY, 0, nullptr), 0u);
    EXPECT_EQ(BuildCommandFrame(frame, 0x04, 0, nullptr), 0u);
    EXPECT_EQ(BuildCommandFrame(frame, BM_CMD_PROGRAM, 0, nullptr), 0u);
    EXPECT_EQ(BuildCommandFrame(frame, BM_CMD_EEPROM_WRITE, 0, nullptr), 0u);
    EXPECT_EQ(FrameChecksum(frame, 0), 0);
}

// ---- Over a pseudo-terminal --------------------------------------------------

// Opens the tool's port on the peer, then empties the log of the open message.
ScriptedPeer* StartWithPort(const std::vector<PeerStep>& script)
{
    ScriptedPeer* peer = StartScriptedPeer(kCom, script);
    if (!peer) return nullptr;
    if (OpenToolPort(kCom) != 1) {
        StopScriptedPeer(peer);
        return nullptr;
    }
    ClearRecordedLog();
    return peer;
}

// A peer that hangs up once the port is open: the test writes one marker
// byte, the peer takes it and closes its side.
const char kMarker = 'M';
ScriptedPeer* StartHungUp()
{
    ScriptedPeer* peer = StartWithPort({PeerExpect(1, ""), PeerHangUp()});
    if (!peer) return nullptr;
    PortWrite(g_port.load(), &kMarker, 1);
    for (int i = 0; i < 500 && !PeerScriptDone(peer); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return peer;
}

// What is left in the tool's input queue (a 50 ms read).
int Leftover()
{
    unsigned char buf[16];
    int n = PortRead(g_port.load(), buf, sizeof buf);
    return n < 0 ? 0 : n;
}

// ---- Sync ----------------------------------------------------------------------

struct SyncCase {
    const char* name;
    std::vector<PeerStep> script;
    bool hang_up;          // the peer closes its side before the sync
    int stop_before;       // stop request when the sync starts
    int stop_after_ms;     // >0: another thread sets the stop request then
    int result;
    int probes;            // exact count of 0x55 received, or -1: at least one
};

// Ends a sync that would otherwise never end, and says so.
const int kWatchdogMs = 4000;

struct SyncRun {
    int result;
    bool watchdog_fired;
};

SyncRun RunSync(int stop_after_ms)
{
    std::atomic<int> finished{0};
    std::atomic<int> fired{0};
    std::thread helper([&] {
        auto start = std::chrono::steady_clock::now();
        bool stop_sent = false;
        while (!finished.load()) {
            int ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start).count();
            if (stop_after_ms > 0 && !stop_sent && ms >= stop_after_ms) {
                g_stop_request.store(1);
                stop_sent = true;
            }
            if (ms >= kWatchdogMs) {
                fired.store(1);
                g_stop_request.store(1);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    int result = SyncBootMonitor();
    finished.store(1);
    helper.join();
    return SyncRun{result, fired.load() != 0};
}

TEST(BootMonitorSync, AnswersStopsAndFailures)
{
    // The answer comes with trailing bytes that the purge must drop.
    const std::string answer = Bytes({0xAA, 0x11, 0x22, 0x33});
    const SyncCase cases[] = {
        {"answered at the first probe", {PeerProbes(1, answer)}, false, 0, 0, 1, 1},
        {"answered at the sixth probe", {PeerProbes(6, answer)}, false, 0, 0, 1, 6},
        {"echoed probes ignored", {PeerProbes(4, answer, Bytes({0x55}))}, false, 0, 0, 1, 4},
        {"noise 0x00 ignored", {PeerProbes(3, answer, Bytes({0x00}))}, false, 0, 0, 1, 3},
        {"noise 0xA5 ignored", {PeerProbes(3, answer, Bytes({0xA5}))}, false, 0, 0, 1, 3},
        // The device's own program talked while the port sat idle before
        // Start Flash: its 0xAA is no answer to a probe not yet sent.
        {"0xAA from the running program before the sync",
         {PeerSend(Bytes({0x41, 0xAA, 0x0D, 0xAA}), 10), PeerProbes(3, answer)}, false, 0, 0, 1, 3},
        {"stop set before start", {}, false, 1, 0, 0, 1},
        {"stop set, answer in the same read", {PeerProbes(1, answer)}, false, 1, 0, 1, 1},
        {"stop set while probing", {}, false, 0, 150, 0, -1},
        {"write fails", {}, true, 0, 0, 0, 0},
        {"write fails with stop set", {}, true, 1, 0, 0, 0},
    };
    for (const SyncCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer* peer = c.hang_up ? StartHungUp() : StartWithPort(c.script);
        ASSERT_NE(peer, nullptr);
        g_stop_request.store(c.stop_before);
        if (!c.script.empty() && c.script[0].kind == PEER_SEND)
            std::this_thread::sleep_for(std::chrono::milliseconds(80));  // sent, not yet read

        SyncRun run = RunSync(c.stop_after_ms);
        EXPECT_FALSE(run.watchdog_fired) << "the sync did not end by itself";
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(g_stop_request.load(), 0) << "stop request not consumed";
        if (c.result == 1 && !c.hang_up) {
            EXPECT_EQ(Leftover(), 0) << "bytes after the answer kept";
        }
        std::string log = RecordedLog();

        CloseToolPort();
        std::string got = StopScriptedPeer(peer);
        // Only a failed probe write is logged: the line is gone.
        EXPECT_EQ(log, c.hang_up ? "Ошибка связи с устройством.\r\n" : "");
        if (c.hang_up) {
            EXPECT_EQ(got, std::string(1, kMarker));
        } else if (c.probes >= 0) {
            EXPECT_EQ(Hex(got), Hex(Fill((size_t)c.probes, 0x55)));
        } else {
            EXPECT_GE(got.size(), 1u);
            EXPECT_EQ(got, Fill(got.size(), 0x55));
        }
        g_stop_request.store(0);
    }
}

TEST(BootMonitorSync, WithoutPortLeavesStopRequestAlone)
{
    ASSERT_EQ(g_port.load(), nullptr);
    ClearRecordedLog();
    g_stop_request.store(1);
    EXPECT_EQ(SyncBootMonitor(), 0);
    EXPECT_EQ(g_stop_request.load(), 1);
    g_stop_request.store(0);
    EXPECT_EQ(SyncBootMonitor(), 0);
    EXPECT_EQ(IdentifyBootMonitor(), 0);
    EXPECT_EQ(RecordedLog(), "");
    const unsigned char frame[8] = {0};
    EXPECT_EQ(ExchangeCommand(frame, sizeof frame), BM_OUTCOME_WRITE_FAILED);
}

// ---- Identify ----------------------------------------------------------------

// A well-formed identify reply with the given version; patch bytes to spoil it.
std::string IdentifyReply(int major, int minor)
{
    return Bytes({0x3C, 0x0E, 0xF0, 0x0C, 1, 2, 3, 4, 5, 6, 7, 8, major, minor, 0xFF, 0x84});
}

std::string Patched(std::string bytes, size_t at, int value)
{
    bytes[at] = (char)(unsigned char)value;
    return bytes;
}

struct IdentifyCase {
    const char* name;
    std::string reply;   // "" = silence
    bool hang_up;
    int result;
    const char* log;     // as it reaches the log view
};

TEST(BootMonitorIdentify, RepliesAndTheirMessages)
{
    const char* unrecognised = "Неопознаный ответ от устройства.\r\n";
    // 64 bytes with a matching length byte is whole; a longer reply is cut at
    // 64 and no longer matches its own length byte.
    const std::string long64 = Patched(IdentifyReply(3, 1) + Fill(48, 0x00), 1, 62);
    const std::string long80 = Patched(IdentifyReply(3, 1) + Fill(64, 0x00), 1, 78);
    const IdentifyCase cases[] = {
        {"good reply", IdentifyReply(2, 7), false, 1, "Обнаружен загрузчик версии: 2.7 \r\n"},
        {"version bytes are unsigned", IdentifyReply(200, 255), false, 1,
         "Обнаружен загрузчик версии: 200.255 \r\n"},
        {"short reply, 15 bytes", Patched(IdentifyReply(2, 7).substr(0, 15), 1, 0x0D), false, 0,
         unrecognised},
        {"64-byte reply, length matching", long64, false, 1, "Обнаружен загрузчик версии: 3.1 \r\n"},
        {"over 64 bytes", long80, false, 0, unrecognised},
        {"status: not supported", Bytes({0x0F, 0x03, 0xFF, 0xF1, 0x0E}), false, 0,
         "Комманда не поддерживается устройством.\r\n"},
        {"status: bad checksum", Bytes({0x0F, 0x03, 0xFF, 0xF2, 0x0D}), false, 0,
         "Не верная контрольная сумма комманды.\r\n"},
        {"status: done", Bytes({0x0F, 0x03, 0xFF, 0x01, 0xFE}), false, 0, "Комманда выполнена.\r\n"},
        {"status with a wrong check byte", Bytes({0x0F, 0x03, 0xFF, 0x01, 0xFF}), false, 0, unrecognised},
        {"status of an unknown value", Bytes({0x0F, 0x03, 0xFF, 0x02, 0xFD}), false, 0, unrecognised},
        {"wrong data count", Patched(IdentifyReply(2, 7), 3, 0x0B), false, 0,
         "Неверное количество данных.\r\n"},
        {"length byte not matching", Patched(IdentifyReply(2, 7), 1, 0x0F), false, 0, unrecognised},
        {"wrong reply type", Patched(IdentifyReply(2, 7), 2, 0xF1), false, 0, unrecognised},
        {"wrong fixed byte 14", Patched(IdentifyReply(2, 7), 14, 0xFE), false, 0, unrecognised},
        {"wrong fixed byte 15", Patched(IdentifyReply(2, 7), 15, 0x85), false, 0, unrecognised},
        {"one byte", Bytes({0x0F}), false, 0, unrecognised},
        {"silence", "", false, 0, "Устройство не отвечает.\r\n"},
        {"write fails", "", true, 0, "Ошибка связи с устройством.\r\n"},
    };
    for (const IdentifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer* peer = c.hang_up ? StartHungUp() : StartWithPort({PeerExpect(4, c.reply)});
        ASSERT_NE(peer, nullptr);
        g_stop_request.store(0);

        EXPECT_EQ(IdentifyBootMonitor(), c.result);
        std::string log = RecordedLog();
        CloseToolPort();
        std::string got = StopScriptedPeer(peer);

        EXPECT_EQ(log, c.log);
        EXPECT_EQ(Hex(got), Hex(c.hang_up ? std::string(1, kMarker) : Bytes({0x0F, 0x02, 0x00, 0x00})));
        EXPECT_EQ(g_stop_request.load(), 0);
    }
}

// ---- Command exchange ----------------------------------------------------------

struct ExchangeCase {
    const char* name;
    unsigned char command;
    std::string reply;
    bool hang_up;
    ExchangeOutcome outcome;
    unsigned delay_ms = 0;    // the reply held back this long, as a USB adapter may
    std::string tail = "";    // sent tail_ms after the reply
    unsigned tail_ms = 0;
};

TEST(BootMonitorExchange, ClassifiesEveryReply)
{
    const std::string done = Bytes({0x0F, 0x03, 0xFF, 0x01, 0xFE});
    const ExchangeCase cases[] = {
        {"done", BM_CMD_ERASE, done, false, BM_OUTCOME_DONE},
        {"done to a program frame", BM_CMD_PROGRAM, done, false, BM_OUTCOME_DONE},
        {"done to an EEPROM write", BM_CMD_EEPROM_WRITE, done, false, BM_OUTCOME_DONE},
        {"not supported", BM_CMD_ERASE, Bytes({0x0F, 0x03, 0xFF, 0xF1, 0x0E}), false,
         BM_OUTCOME_NOT_SUPPORTED},
        {"bad checksum", BM_CMD_ERASE, Bytes({0x0F, 0x03, 0xFF, 0xF2, 0x0D}), false,
         BM_OUTCOME_BAD_CHECKSUM},
        {"no reply", BM_CMD_ERASE, "", false, BM_OUTCOME_NO_REPLY},
        {"1 byte", BM_CMD_ERASE, done.substr(0, 1), false, BM_OUTCOME_UNRECOGNISED},
        {"2 bytes", BM_CMD_ERASE, done.substr(0, 2), false, BM_OUTCOME_UNRECOGNISED},
        {"3 bytes", BM_CMD_ERASE, done.substr(0, 3), false, BM_OUTCOME_UNRECOGNISED},
        {"4 bytes", BM_CMD_ERASE, done.substr(0, 4), false, BM_OUTCOME_UNRECOGNISED},
        {"5 bytes, wrong check byte", BM_CMD_ERASE, Bytes({0x0F, 0x03, 0xFF, 0x01, 0xFF}), false,
         BM_OUTCOME_UNRECOGNISED},
        {"5 bytes, not a status", BM_CMD_ERASE, Bytes({0x0F, 0x03, 0xF0, 0x01, 0xF1}), false,
         BM_OUTCOME_UNRECOGNISED},
        {"6 bytes", BM_CMD_ERASE, done + Bytes({0x00}), false, BM_OUTCOME_UNRECOGNISED},
        {"write fails", BM_CMD_ERASE, "", true, BM_OUTCOME_WRITE_FAILED},
        // Past the 50 ms read: the late wait takes the rest, and judges it as
        // any reply in time.
        {"done, arriving 60 ms late", BM_CMD_PROGRAM, done, false, BM_OUTCOME_DONE, 60},
        {"bad checksum, arriving 60 ms late", BM_CMD_ERASE, Bytes({0x0F, 0x03, 0xFF, 0xF2, 0x0D}), false,
         BM_OUTCOME_BAD_CHECKSUM, 60},
        {"done, its last 2 bytes 60 ms late", BM_CMD_ERASE, done.substr(0, 3), false, BM_OUTCOME_DONE, 0,
         done.substr(3), 60},
        {"4 bytes, then 2 more 60 ms late", BM_CMD_ERASE, done.substr(0, 4), false, BM_OUTCOME_UNRECOGNISED, 0,
         done.substr(4) + Bytes({0x00}), 60},
        {"done, arriving 100 ms late", BM_CMD_ERASE, done, false, BM_OUTCOME_NO_REPLY, 100},
    };
    const std::string data = Fill(128, 0x3C);
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char frame[BM_FRAME_MAX];
        unsigned n = BuildCommandFrame(frame, c.command, 0x280,
                                       reinterpret_cast<const unsigned char*>(data.data()));
        ASSERT_GT(n, 0u);
        const std::string sent((const char*)frame, n);
        std::vector<PeerStep> device = {PeerExpect(n, c.reply, c.delay_ms)};
        if (!c.tail.empty()) device.push_back(PeerSend(c.tail, c.tail_ms));
        ScriptedPeer* peer = c.hang_up ? StartHungUp() : StartWithPort(device);
        ASSERT_NE(peer, nullptr);

        EXPECT_EQ(ExchangeCommand(frame, n), c.outcome);
        std::string log = RecordedLog();
        CloseToolPort();
        std::string got = StopScriptedPeer(peer);

        EXPECT_EQ(log, "");
        EXPECT_EQ(Hex(got), Hex(c.hang_up ? std::string(1, kMarker) : sent));
    }
}

// An overlong reply whose surplus byte the adapter releases after the reply
// was judged: the next exchange is judged on its own reply alone.
TEST(BootMonitorExchange, ALateByteIsNotTheNextReply)
{
    const std::string done = Bytes({0x0F, 0x03, 0xFF, 0x01, 0xFE});
    unsigned char frame[BM_FRAME_MAX];
    unsigned n = BuildCommandFrame(frame, BM_CMD_ERASE, 0, nullptr);
    ScriptedPeer* peer = StartWithPort({PeerExpect(n, done), PeerSend(Bytes({0x00}), 60), PeerExpect(n, done)});
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(ExchangeCommand(frame, n), BM_OUTCOME_DONE);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // the surplus byte arrives meanwhile
    EXPECT_EQ(ExchangeCommand(frame, n), BM_OUTCOME_DONE);
    CloseToolPort();
    StopScriptedPeer(peer);
}

}  // namespace
