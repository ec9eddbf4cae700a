// termios backend of the serial port (see serial_port_posix.h).
#include "serial_port.h"
#include "serial_port_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

struct PortDevice {
    int fd;
    PortTimeouts timeouts;  // all zero until PortSetTimeouts: reads then wait for all n
};

static_assert(sizeof(termios) <= sizeof(PortLineState::raw), "termios must fit PortLineState");

// ---- COM number to device path ---------------------------------------------

static std::mutex s_bind_mutex;
static std::string s_bound[COM_PORT_BINDINGS];
static bool s_held[COM_PORT_BINDINGS];
static int s_waiting[COM_PORT_BINDINGS];  // opens held now
static std::condition_variable s_released;

void BindComPort(int com, const char* path)
{
    if (com < 1 || com >= COM_PORT_BINDINGS)
        return;
    std::lock_guard<std::mutex> lock(s_bind_mutex);
    s_bound[com] = path ? path : "";
}

void ClearComPortBindings()
{
    std::lock_guard<std::mutex> lock(s_bind_mutex);
    for (std::string& s : s_bound)
        s.clear();
}

void HoldComPortOpens(int com, int hold)
{
    if (com < 1 || com >= COM_PORT_BINDINGS)
        return;
    std::lock_guard<std::mutex> lock(s_bind_mutex);
    s_held[com] = hold != 0;
    s_released.notify_all();
}

static void WaitWhileHeld(int com)
{
    if (com < 1 || com >= COM_PORT_BINDINGS)
        return;
    std::unique_lock<std::mutex> lock(s_bind_mutex);
    ++s_waiting[com];
    s_released.wait(lock, [com] { return !s_held[com]; });
    --s_waiting[com];
}

int ComPortOpensHeld(int com)
{
    if (com < 1 || com >= COM_PORT_BINDINGS)
        return 0;
    std::lock_guard<std::mutex> lock(s_bind_mutex);
    return s_waiting[com];
}

const char* ComPortPath(int com, char* buf, size_t n)
{
    if (n == 0)
        return buf;
    {
        std::lock_guard<std::mutex> lock(s_bind_mutex);
        if (com >= 1 && com < COM_PORT_BINDINGS && !s_bound[com].empty()) {
            snprintf(buf, n, "%s", s_bound[com].c_str());
            return buf;
        }
    }
    snprintf(buf, n, "/dev/ttyS%d", com - 1);
    return buf;
}

// ---- Names, open, close ----------------------------------------------------

// Opens path for reading and writing without making it the controlling
// terminal; O_NONBLOCK only so that a modem line cannot hold the open.
static int OpenDevice(const char* path)
{
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
}

// The ports bound in the table are the ones this system names.
void PortListNames(PortNameSink take, void* context)
{
    std::lock_guard<std::mutex> lock(s_bind_mutex);
    for (int com = 1; com < COM_PORT_BINDINGS; ++com) {
        if (s_bound[com].empty())
            continue;
        char name[16];
        int n = snprintf(name, sizeof name, "COM%d", com);
        take(name, (unsigned)n, context);
    }
}

void PortListDevices(PortDeviceSink, void*) {}

PortHandle PortCreate(int com)
{
    WaitWhileHeld(com);
    char path[256];
    ComPortPath(com, path, sizeof path);
    int fd = OpenDevice(path);
    if (fd < 0)
        return nullptr;
    // Exclusive, like CreateFileA without sharing: a second open fails.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    PortDevice* dev = new PortDevice;
    dev->fd = fd;
    memset(&dev->timeouts, 0, sizeof dev->timeouts);
    return dev;
}

void PortRelease(PortHandle h)
{
    if (!h)
        return;
    close(h->fd);
    delete h;
}

// ---- Line settings ---------------------------------------------------------

void PortSetupQueues(PortHandle h, unsigned in_bytes, unsigned out_bytes)
{
    // termios has no queue sizes to ask for; the driver's own are used.
}

// termios rates and their numbers, both ways.
static const struct {
    unsigned baud;
    speed_t speed;
} RATES[] = {
    {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
    {1000000, B1000000},
};

static speed_t BaudConstant(unsigned baud)
{
    for (const auto& r : RATES)
        if (r.baud == baud)
            return r.speed;
    return B0;  // not a standard rate
}

static unsigned BaudNumber(speed_t speed)
{
    for (const auto& r : RATES)
        if (r.speed == speed)
            return r.baud;
    return 0;
}

// termios names fewer things than a DCB. Mapped: the rate and framing,
// canonical processing (not binary), INPCK (parity checking), PARMRK (bytes
// with errors marked, that is replaced), IXON and IXOFF, CRTSCTS (CTS output
// flow and RTS handshake at once), CLOCAL (off: the modem status lines
// matter, as with DSR sensitivity), VSTART and VSTOP. The rest reads as off.
static void ReadLine(const termios& tio, PortLineSettings* line)
{
    memset(line, 0, sizeof *line);
    line->baud = BaudNumber(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5: line->byte_size = 5; break;
    case CS6: line->byte_size = 6; break;
    case CS7: line->byte_size = 7; break;
    default: line->byte_size = 8; break;
    }
    line->parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : 0;
    line->stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    line->binary = !(tio.c_lflag & ICANON);
    line->parity_check = (tio.c_iflag & INPCK) != 0;
    line->error_char = (tio.c_iflag & PARMRK) != 0;
    line->out_xon_xoff = (tio.c_iflag & IXON) != 0;
    line->in_xon_xoff = (tio.c_iflag & IXOFF) != 0;
    line->out_cts_flow = (tio.c_cflag & CRTSCTS) != 0;
    line->rts_control = (tio.c_cflag & CRTSCTS) ? PORT_LINE_HANDSHAKE : PORT_LINE_ON;
    line->dtr_control = PORT_LINE_ON;
    line->dsr_sensitivity = !(tio.c_cflag & CLOCAL);
    line->xon_char = tio.c_cc[VSTART];
    line->xoff_char = tio.c_cc[VSTOP];
}

static void SetFlag(tcflag_t* flags, tcflag_t bit, int on)
{
    *flags = on ? (*flags | bit) : (*flags & ~bit);
}

int PortGetState(PortHandle h, PortLineState* state)
{
    if (!h || !state)
        return 0;
    termios tio;
    if (tcgetattr(h->fd, &tio) != 0)
        return 0;
    memcpy(state->raw, &tio, sizeof tio);
    ReadLine(tio, &state->line);
    return 1;
}

int PortSetState(PortHandle h, const PortLineState* state)
{
    if (!h || !state)
        return 0;
    const PortLineSettings& line = state->line;
    speed_t speed = BaudConstant(line.baud);
    if (speed == B0)
        return 0;
    termios tio;
    memcpy(&tio, state->raw, sizeof tio);
    if (line.binary)
        cfmakeraw(&tio);  // no line editing, echo, signals or CR/LF mapping
    static const tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    unsigned bits = line.byte_size >= 5 && line.byte_size <= 8 ? line.byte_size : 8;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= SIZES[bits - 5] | CREAD;
    SetFlag(&tio.c_cflag, PARENB, line.parity != 0);
    SetFlag(&tio.c_cflag, PARODD, line.parity == 1);
    SetFlag(&tio.c_cflag, CSTOPB, line.stop_bits != 0);
    SetFlag(&tio.c_iflag, INPCK, line.parity_check);
    SetFlag(&tio.c_iflag, PARMRK, line.error_char);
    SetFlag(&tio.c_iflag, IXON, line.out_xon_xoff);
    SetFlag(&tio.c_iflag, IXOFF, line.in_xon_xoff);
    SetFlag(&tio.c_cflag, CRTSCTS, line.out_cts_flow || line.rts_control == PORT_LINE_HANDSHAKE);
    SetFlag(&tio.c_cflag, CLOCAL, !line.dsr_sensitivity);
    tio.c_cc[VSTART] = line.xon_char;
    tio.c_cc[VSTOP] = line.xoff_char;
    tio.c_cc[VMIN] = 1;   // reads are bounded by poll, never by the driver
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return 0;
    return tcsetattr(h->fd, TCSANOW, &tio) == 0 ? 1 : 0;
}

int PortSetTimeouts(PortHandle h, const PortTimeouts* t)
{
    if (!h || !t)
        return 0;
    h->timeouts = *t;
    return 1;
}

void PortPurge(PortHandle h)
{
    if (h)
        tcflush(h->fd, TCIOFLUSH);
}

void PortDropInput(PortHandle h)
{
    if (h)
        tcflush(h->fd, TCIFLUSH);
}

// ---- Transfer --------------------------------------------------------------

int PortWrite(PortHandle h, const void* data, unsigned n)
{
    if (!h)
        return 0;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    unsigned done = 0;
    while (done < n) {
        ssize_t k = write(h->fd, p + done, n - done);
        if (k > 0) {
            done += (unsigned)k;
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else if (k < 0 && errno == EAGAIN) {
            pollfd pfd = {h->fd, POLLOUT, 0};
            poll(&pfd, 1, -1);
        } else {
            return 0;
        }
    }
    return 1;
}

static int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// A read cut short by an I/O error returns the bytes that did arrive, as
// ReadFile reports them; -1 only when nothing came. The dead line then shows
// at the next write or read.
static int ReadEnded(unsigned got)
{
    return got > 0 ? (int)got : -1;
}

int PortRead(PortHandle h, void* data, unsigned n)
{
    if (!h)
        return -1;
    unsigned char* p = static_cast<unsigned char*>(data);
    // 64-bit: multiplier * n may exceed 32 bits.
    uint64_t total_ms = (uint64_t)h->timeouts.read_multiplier_ms * n + h->timeouts.read_constant_ms;
    // Both total time-outs zero: like Win32, the read waits for all n bytes.
    bool unbounded = h->timeouts.read_multiplier_ms == 0 && h->timeouts.read_constant_ms == 0;
    int64_t deadline = NowNs() + (int64_t)total_ms * 1000000;
    unsigned got = 0;
    while (got < n) {
        int wait_ms = -1;
        if (!unbounded) {
            int64_t left = deadline - NowNs();
            if (left <= 0)
                break;
            int64_t ms = (left + 999999) / 1000000;  // round up: never end early
            wait_ms = ms > 0x7fffffff ? 0x7fffffff : (int)ms;
        }
        pollfd pfd = {h->fd, POLLIN, 0};
        int r = poll(&pfd, 1, wait_ms);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return ReadEnded(got);
        }
        if (r == 0)
            continue;  // the deadline is checked at the top
        if (pfd.revents & (POLLERR | POLLNVAL))
            return ReadEnded(got);
        if (!(pfd.revents & POLLIN))
            return ReadEnded(got);  // hang-up with nothing left to read
        ssize_t k = read(h->fd, p + got, n - got);
        if (k > 0) {
            got += (unsigned)k;
        } else if (k == 0) {
            return ReadEnded(got);  // end of file: the peer hung up
        } else if (errno != EINTR && errno != EAGAIN) {
            return ReadEnded(got);  // EIO and the like
        }
    }
    return (int)got;
}
