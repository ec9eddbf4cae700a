// The termios backend over real pseudo-terminals: the COM binding table,
// probing, exclusive open, line settings through OpenComPort, and the read
// and write guarantees the device protocols rely on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log_view.h"
#include "recording.h"
#include "serial_port.h"
#include "serial_port_posix.h"
#include "tool_profile.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A pseudo-terminal pair; the test plays the device on the master side.
struct Pty {
    int master = -1;
    int slave = -1;  // kept open so the line stays up between opens
    std::string path;
    Pty()
    {
        char name[128];
        // The line starts cooked at 38400: opening must make it raw.
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = name;
    }
    ~Pty()
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    void Send(const std::string& bytes) { ASSERT_EQ(write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
};

PortHandle OpenWithTimeouts(int com, unsigned multiplier, unsigned constant)
{
    PortHandle h = PortCreate(com);
    if (!h)
        return nullptr;
    PortLineState st;
    PortGetState(h, &st);
    TakeOverLine(&st.line, 115200);
    PortSetState(h, &st);
    PortTimeouts t = {0, multiplier, constant, 0, 0};
    PortSetTimeouts(h, &t);
    return h;
}

class PosixPort : public ::testing::Test {
protected:
    Pty pty;
    void SetUp() override
    {
        ASSERT_FALSE(pty.path.empty());
        ClearComPortBindings();
        BindComPort(3, pty.path.c_str());
        ClearRecordedLog();
        g_port.store(nullptr);
    }
    void TearDown() override
    {
        if (g_port.load())
            CloseComPort();
        ClearComPortBindings();
        SetToolProfile(&BRANNIK_PROFILE);
    }
};

TEST(ComPortBinding, BoundNumbersUseTheirPathOthersTheTtyS)
{
    ClearComPortBindings();
    char buf[64];
    EXPECT_STREQ(ComPortPath(1, buf, sizeof buf), "/dev/ttyS0");
    EXPECT_STREQ(ComPortPath(12, buf, sizeof buf), "/dev/ttyS11");
    BindComPort(12, "/dev/pts/7");
    EXPECT_STREQ(ComPortPath(12, buf, sizeof buf), "/dev/pts/7");
    BindComPort(12, "/dev/pts/9");  // rebinding replaces
    EXPECT_STREQ(ComPortPath(12, buf, sizeof buf), "/dev/pts/9");
    EXPECT_STREQ(ComPortPath(13, buf, sizeof buf), "/dev/ttyS12");
    BindComPort(0, "/x");    // out of range: ignored
    BindComPort(256, "/x");
    char small[6];
    EXPECT_STREQ(ComPortPath(12, small, sizeof small), "/dev/");  // cut, terminated
    ClearComPortBindings();
    EXPECT_STREQ(ComPortPath(12, buf, sizeof buf), "/dev/ttyS11");
}

TEST_F(PosixPort, ListNamesTheBoundPortsAndOpensNone)
{
    BindComPort(4, "/nonexistent/tty");
    BindComPort(200, "/dev/null");
    PortHandle held = PortCreate(3);
    ASSERT_NE(held, nullptr);
    std::string names;
    PortListNames([](const char* name, unsigned n, void* all) {
        static_cast<std::string*>(all)->append(name, n).append(" ");
    }, &names);
    EXPECT_EQ(names, "COM3 COM4 COM200 ");
    PortRelease(held);
}

TEST_F(PosixPort, OpenIsExclusive)
{
    PortHandle first = PortCreate(3);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(PortCreate(3), nullptr);

    // The tool's own open fails the same way and leaves the port closed.
    SetToolProfile(&VESSAMO_PROFILE);
    g_selected_port.store(3);
    EXPECT_EQ(OpenComPort(), 0);
    EXPECT_EQ(g_port.load(), nullptr);
    EXPECT_EQ(RecordedLog(), "Ошибка открытия порта COM3\r\n");

    PortRelease(first);
    PortHandle again = PortCreate(3);
    EXPECT_NE(again, nullptr);
    PortRelease(again);
}

// A terminal program left the line cooked, 7E1, with XON/XOFF both ways,
// RTS/CTS and modem control: the open takes it over, and the bytes a
// terminal would eat or mark (XON, XOFF, 0x00, 0xFF) arrive as sent.
TEST_F(PosixPort, OpenTakesOverALineLeftSetUpRaw8N1AtTheToolRate)
{
    struct {
        const ToolProfile* tool;
        speed_t speed;
    } cases[] = {{&BRANNIK_PROFILE, B115200}, {&VESSAMO_PROFILE, B921600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool->title);
        SetToolProfile(c.tool);
        ClearRecordedLog();
        termios left;
        ASSERT_EQ(tcgetattr(pty.slave, &left), 0);
        left.c_iflag |= IXON | IXOFF | INPCK | PARMRK | ICRNL;
        left.c_cflag = (left.c_cflag & ~(CSIZE | CLOCAL)) | CS7 | PARENB | CRTSCTS;
        left.c_lflag |= ICANON | ECHO | ISIG;
        ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &left), 0);

        g_selected_port.store(3);
        ASSERT_EQ(OpenComPort(), 1);
        EXPECT_EQ(RecordedLog(), "Открыт порт COM3\r\n");

        termios tio;
        ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(cfgetispeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & CSIZE, (tcflag_t)CS8);
        EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | INPCK | PARMRK), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);

        // Ends in XON, so that a line still under XON/XOFF fails the read
        // instead of holding the write below for ever.
        const std::string sent("\x13\x00\xFF\x0D\x13\x11", 6);
        PortTimeouts t = {0, 0, 2000, 0, 0};
        PortSetTimeouts(g_port.load(), &t);
        pty.Send(sent);
        char got[6] = {};
        EXPECT_EQ(PortRead(g_port.load(), got, sizeof got), 6);
        EXPECT_EQ(std::string(got, 6), sent);
        EXPECT_EQ(PortWrite(g_port.load(), "\x55", 1), 1);
        CloseComPort();
        EXPECT_EQ(g_port.load(), nullptr);
    }
}

TEST_F(PosixPort, ReadReturnsAsSoonAsAllBytesAreThere)
{
    PortHandle h = OpenWithTimeouts(3, 0, 5000);
    ASSERT_NE(h, nullptr);
    pty.Send("\x01\x02\x03\x04\x05\x06\x07");
    unsigned char buf[6];
    auto t0 = Clock::now();
    EXPECT_EQ(PortRead(h, buf, 6), 6);
    EXPECT_LT(MsSince(t0), 2500);  // far below the 5 s time-out
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[5], 6);
    EXPECT_EQ(PortRead(h, buf, 1), 1);  // the seventh byte is still queued
    EXPECT_EQ(buf[0], 7);
    PortRelease(h);
}

TEST_F(PosixPort, ReadReturnsThePartialCountAfterTheTotalTimeout)
{
    struct {
        unsigned multiplier, constant, asked;
        std::string sent;
    } cases[] = {
        {0, 50, 6, ""},             // brannik: 50 ms whatever is asked
        {0, 50, 6, "\x11\x22\x33"},
        {10, 20, 15, "abcde"},      // the multiplier counts: 10 * 15 + 20 = 170 ms
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.multiplier * c.asked + c.constant);
        PortHandle h = OpenWithTimeouts(3, c.multiplier, c.constant);
        ASSERT_NE(h, nullptr);
        if (!c.sent.empty())
            pty.Send(c.sent);
        unsigned char buf[32];
        auto t0 = Clock::now();
        EXPECT_EQ(PortRead(h, buf, c.asked), (int)c.sent.size());
        EXPECT_GE(MsSince(t0), (long)(c.multiplier * c.asked + c.constant));
        EXPECT_EQ(std::string((char*)buf, c.sent.size()), c.sent);
        PortRelease(h);
    }
}

TEST_F(PosixPort, PauseBetweenBurstsDoesNotEndTheRead)
{
    PortHandle h = OpenWithTimeouts(3, 0, 3000);
    ASSERT_NE(h, nullptr);
    std::thread peer([&] {
        pty.Send("abc");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Send("def");
    });
    char buf[6];
    EXPECT_EQ(PortRead(h, buf, 6), 6);
    peer.join();
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    PortRelease(h);
}

TEST_F(PosixPort, HangUpOfThePeerIsAnErrorNotATimeout)
{
    PortHandle h = OpenWithTimeouts(3, 0, 5000);
    ASSERT_NE(h, nullptr);
    close(pty.slave);  // only our port holds the slave now
    pty.slave = -1;
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        close(pty.master);
        pty.master = -1;
    });
    char buf[6];
    auto t0 = Clock::now();
    EXPECT_EQ(PortRead(h, buf, 6), -1);
    EXPECT_LT(MsSince(t0), 2500);
    peer.join();
    EXPECT_EQ(PortRead(h, buf, 6), -1);  // and stays one
    PortRelease(h);
}

TEST_F(PosixPort, BytesThatArrivedBeforeAHangUpAreReturnedAndTheWriteAfterFails)
{
    PortHandle h = OpenWithTimeouts(3, 0, 5000);
    ASSERT_NE(h, nullptr);
    close(pty.slave);
    pty.slave = -1;
    std::thread peer([&] {
        pty.Send("\x0F\x03\xFF\x01\xFE");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        close(pty.master);
        pty.master = -1;
    });
    unsigned char buf[6];
    auto t0 = Clock::now();
    EXPECT_EQ(PortRead(h, buf, 6), 5);  // a reply, then the line died
    EXPECT_LT(MsSince(t0), 2500);
    peer.join();
    EXPECT_EQ(buf[4], 0xFE);
    EXPECT_EQ(PortWrite(h, "\x0F\x02\x00\x00", 4), 0);
    PortRelease(h);
}

TEST_F(PosixPort, WriteDeliversEveryByteBeyondTheDriverQueue)
{
    PortHandle h = OpenWithTimeouts(3, 0, 50);
    ASSERT_NE(h, nullptr);
    std::vector<unsigned char> data(65536);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (unsigned char)(i * 7 + (i >> 8));
    std::vector<unsigned char> got;
    std::thread peer([&] {
        unsigned char buf[4096];
        while (got.size() < data.size()) {
            ssize_t k = read(pty.master, buf, sizeof buf);
            if (k <= 0)
                break;
            got.insert(got.end(), buf, buf + k);
        }
    });
    EXPECT_EQ(PortWrite(h, data.data(), (unsigned)data.size()), 1);
    peer.join();
    EXPECT_EQ(got, data);
    PortRelease(h);
}

TEST_F(PosixPort, PurgeDropsWhatArrivedBefore)
{
    PortHandle h = OpenWithTimeouts(3, 0, 50);
    ASSERT_NE(h, nullptr);
    pty.Send("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PortPurge(h);
    char buf[8];
    EXPECT_EQ(PortRead(h, buf, 5), 0);
    pty.Send("x");
    EXPECT_EQ(PortRead(h, buf, 1), 1);
    PortRelease(h);
}

}  // namespace
