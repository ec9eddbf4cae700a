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

// ---- Open, probe, close ----------------------------------------------------

// Opens path for reading and writing without making it the controlling
// terminal; O_NONBLOCK only so that a modem line cannot hold the open.
static int OpenDevice(const char* path)
{
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
}

int PortProbe(int com)
{
    char path[256];
    ComPortPath(com, path, sizeof path);
    int fd = OpenDevice(path);
    if (fd < 0)
        // Held by someone else, or present but its device fails: still a port.
        return errno == EBUSY || errno == EACCES || errno == EIO;
    // It opened, so it exists; whether another holder has it locked (our
    // flock would say EWOULDBLOCK) does not matter for the list.
    close(fd);
    return 1;
}

PortHandle PortCreate(int com)
{
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

int PortGetState(PortHandle h, PortLineState* state)
{
    if (!h || !state)
        return 0;
    termios tio;
    if (tcgetattr(h->fd, &tio) != 0)
        return 0;
    memcpy(state->raw, &tio, sizeof tio);
    return 1;
}

static speed_t BaudConstant(unsigned baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    default: return B0;  // not a standard rate
    }
}

int PortSetState(PortHandle h, PortLineState* state, unsigned baud)
{
    if (!h || !state)
        return 0;
    speed_t speed = BaudConstant(baud);
    if (speed == B0)
        return 0;
    termios tio;
    memcpy(&tio, state->raw, sizeof tio);
    // Raw bytes in both directions: the protocols are binary.
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;   // reads are bounded by poll, never by the driver
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return 0;
    if (tcsetattr(h->fd, TCSANOW, &tio) != 0)
        return 0;
    memcpy(state->raw, &tio, sizeof tio);
    return 1;
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
