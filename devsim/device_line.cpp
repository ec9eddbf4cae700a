// device_line: the pseudo-terminal pair, the poll loop, the reply queue, the
// transcript and the images' saving (see device_line.h).
#include "device_line.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

DevsimOptions g_opt;

// The motherboard UART hands a reply on as its last byte is in; the USB
// adapters by their latency timer (FTDI: 16 ms by default, 1..255 settable),
// CP210x, CH340 and PL2303 chips within a few ms, a CDC-ACM device at the
// host's polling of its bulk endpoint. Every model but the bare pty adds the
// 3 ms by which a 50 ms time-out on Windows' 15.6 ms tick may fire early.
const LineModel LINE_MODELS[] = {
    {"pty", 0, 0, 0, 0, 0},
    {"uart", 1, 0, 0, 0, 3},
    {"ftdi16", 1, 16, 0, 0, 3},
    {"ftdi2", 1, 2, 0, 0, 3},
    {"cp210x", 1, 0, 1, 3, 3},
    {"cdc", 1, 4, 0, 0, 3},
};
const unsigned LINE_MODEL_COUNT = sizeof LINE_MODELS / sizeof LINE_MODELS[0];

namespace {

enum {
    READ_CHUNK = 4096,          // bytes taken from the master per read
    OUT_QUEUE_LIMIT = 65536,    // unread replies kept before dropping, bytes
    PATH_MAX_BYTES = 512,
    FINISH_SETTLE_MS = 10,      // --once: the last reply reaches the tool's queue within this
    FINISH_DRAIN_MS = 2000,     // --once: longest wait for the tool to read the last reply
};

struct PendingReply {
    double due_ms;
    unsigned n;
    unsigned char bytes[DEVSIM_REPLY_MAX];
    int hangup;
    int last;                // the reply's last part: its slack is noted
    double window_end_ms;    // when the tool's read for this reply ends
};

volatile sig_atomic_t s_stop_signal = 0;
timespec s_start;
int s_master = -1;
int s_slave = -1;                // held open so the master never sees a hangup
char s_slave_path[PATH_MAX_BYTES];
int s_link_made = 0;
FILE* s_transcript = nullptr;
int s_violations = 0;
int s_finish = 0;
std::vector<PendingReply> s_pending;     // in due order (replies are queued in order)
std::vector<unsigned char> s_out;        // handed to the master, not yet taken
double s_last_write_ms = -1e9;
const DevicePersonality* s_device = nullptr;
double s_tool_wrote_ms = 0;      // when the tool's last bytes reached the pty (its write returned)
double s_wire_in_free = 0;       // the line time of the tool's bytes to the device ends, ms
double s_wire_out_free = 0;      // the line time of the device's bytes ends, ms
double s_last_due = 0;           // a line's bytes never overtake each other
uint32_t s_latency_rng = 2463534242u;  // the same latencies every run

double ByteMs() { return 10.0 * 1000.0 / s_device->baud; }  // 8N1: ten bit times

double NextLatencyFraction() {
    s_latency_rng ^= s_latency_rng << 13;
    s_latency_rng ^= s_latency_rng >> 17;
    s_latency_rng ^= s_latency_rng << 5;
    return s_latency_rng / 4294967296.0;
}

// The tool wrote n bytes, read from the pty at now; returns when the last of
// them has reached the device.
double LineIn(unsigned n, double now) {
    s_tool_wrote_ms = now;
    if (!g_opt.line->paced) return now;
    double start = now > s_wire_in_free ? now : s_wire_in_free;
    s_wire_in_free = start + n * ByteMs();
    return s_wire_in_free;
}

void PushPending(const PendingReply& r) {
    s_pending.push_back(r);
    s_pending.back().due_ms = r.due_ms > s_last_due ? r.due_ms : s_last_due;
    s_last_due = s_pending.back().due_ms;
}

void OnStopSignal(int) { s_stop_signal = 1; }

// Opens the pseudo-terminal pair, sets the slave raw and keeps it open.
int OpenPty() {
    s_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (s_master < 0 || grantpt(s_master) != 0 || unlockpt(s_master) != 0) {
        fprintf(stderr, "devsim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 0;
    }
    const char* name = ptsname(s_master);
    if (!name) {
        fprintf(stderr, "devsim: ptsname: %s\n", strerror(errno));
        return 0;
    }
    snprintf(s_slave_path, sizeof s_slave_path, "%s", name);
    s_slave = open(s_slave_path, O_RDWR | O_NOCTTY);
    if (s_slave < 0) {
        fprintf(stderr, "devsim: cannot open %s: %s\n", s_slave_path, strerror(errno));
        return 0;
    }
    // Raw from the start: with the default line discipline the slave would
    // echo our replies back to us before the tool sets its own mode.
    termios t;
    if (tcgetattr(s_slave, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        if (g_opt.flow_control_left) {
            t.c_iflag |= IXON | IXOFF;
            t.c_cflag |= CRTSCTS;
        }
        tcsetattr(s_slave, TCSANOW, &t);
    }
    fcntl(s_master, F_SETFL, fcntl(s_master, F_GETFL) | O_NONBLOCK);
    return 1;
}

int MakeLink() {
    if (!g_opt.link_path) return 1;
    struct stat st;
    if (lstat(g_opt.link_path, &st) == 0) {
        // A link left behind by an earlier run is replaced; anything else is kept.
        if (!S_ISLNK(st.st_mode)) {
            fprintf(stderr, "devsim: --link %s: exists and is not a symbolic link\n", g_opt.link_path);
            return 0;
        }
        unlink(g_opt.link_path);
    }
    if (symlink(s_slave_path, g_opt.link_path) != 0) {
        fprintf(stderr, "devsim: --link %s: %s\n", g_opt.link_path, strerror(errno));
        return 0;
    }
    s_link_made = 1;
    return 1;
}

// Removes the link only while it still points at our device.
void RemoveLink() {
    if (!s_link_made) return;
    char target[PATH_MAX_BYTES];
    ssize_t n = readlink(g_opt.link_path, target, sizeof target - 1);
    if (n >= 0) {
        target[n] = 0;
        if (strcmp(target, s_slave_path) == 0) unlink(g_opt.link_path);
    }
    s_link_made = 0;
}

void CloseLine() {
    if (s_master >= 0) close(s_master);
    if (s_slave >= 0) close(s_slave);
    s_master = s_slave = -1;
    s_out.clear();
}

void WriteOut() {
    while (!s_out.empty() && s_master >= 0) {
        ssize_t n = write(s_master, s_out.data(), s_out.size());
        if (n > 0) {
            s_last_write_ms = NowMs();
            s_out.erase(s_out.begin(), s_out.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) s_out.clear();
        break;
    }
}

// Hands the replies that are due to the master, in order.
void SendDueReplies(double now) {
    size_t done = 0;
    for (; done < s_pending.size() && s_pending[done].due_ms <= now; done++) {
        const PendingReply& r = s_pending[done];
        if (r.hangup) {
            TranscriptNote("hangup: line closed");
            CloseLine();
            continue;
        }
        if (s_master < 0) continue;
        if (r.n == 0) {
            TranscriptNote("no reply");
            continue;
        }
        TranscriptBytes(now, '>', r.bytes, r.n);
        if (s_out.size() + r.n > OUT_QUEUE_LIMIT) {
            TranscriptNote("tool is not reading: %u reply bytes dropped", r.n);
            continue;
        }
        s_out.insert(s_out.end(), r.bytes, r.bytes + r.n);
        if (r.last) {
            double slack = r.window_end_ms - now;
            if (slack >= 0) TranscriptNote("slack %.3fms", slack);
            else TranscriptNote("late %.3fms", -slack);
        }
    }
    s_pending.erase(s_pending.begin(), s_pending.begin() + done);
    WriteOut();
}

// Notes the flow control of the line (the pty's termios, shared with the
// tool's side) when it differs from what was noted last, so that a
// transcript shows what the tool's open did to it.
void NoteLineFlowControl() {
    static int s_noted = -1;
    termios t;
    if (s_slave < 0 || tcgetattr(s_slave, &t) != 0) return;
    int flags = ((t.c_iflag & IXON) ? 1 : 0) | ((t.c_iflag & IXOFF) ? 2 : 0) | ((t.c_cflag & CRTSCTS) ? 4 : 0);
    if (flags == s_noted) return;
    s_noted = flags;
    TranscriptNote("line: ixon=%d ixoff=%d crtscts=%d", flags & 1, (flags >> 1) & 1, (flags >> 2) & 1);
}

timespec MsToTimespec(double ms) {
    if (ms < 0) ms = 0;
    timespec ts;
    ts.tv_sec = (time_t)(ms / 1000.0);
    ts.tv_nsec = (long)((ms - ts.tv_sec * 1000.0) * 1e6);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    return ts;
}

// The one loop: wait for input, a due reply or a signal; never sleeps blindly.
void RunLoop(const DevicePersonality* device, const sigset_t* wait_mask) {
    double last_input = NowMs();
    double hup_quiet_until = 0;
    double finish_deadline = -1;
    unsigned char buf[READ_CHUNK];
    while (!s_stop_signal) {
        double now = NowMs();
        SendDueReplies(now);
        double wait = -1;
        if (s_finish && s_pending.empty() && s_out.empty()) {
            // Closing the master drops what the tool has not read yet, so the
            // last reply must be taken first (or the tool given up on).
            if (finish_deadline < 0) finish_deadline = now + FINISH_DRAIN_MS;
            int unread = 0;
            if (s_slave >= 0 && ioctl(s_slave, FIONREAD, &unread) != 0) unread = 0;
            if ((unread == 0 && now - s_last_write_ms >= FINISH_SETTLE_MS) || now >= finish_deadline) break;
            wait = 1;
        }
        if (!s_pending.empty()) wait = s_pending.front().due_ms - now;
        if (device->partial()) {
            double gap = last_input + DEVSIM_FRAME_GAP_MS - now;
            if (wait < 0 || gap < wait) wait = gap;
        }
        if (now < hup_quiet_until && (wait < 0 || hup_quiet_until - now < wait)) wait = hup_quiet_until - now;
        pollfd pfd = {s_master, 0, 0};
        nfds_t nfds = 0;
        if (s_master >= 0) {
            nfds = 1;
            if (now >= hup_quiet_until) pfd.events |= POLLIN;
            if (!s_out.empty()) pfd.events |= POLLOUT;
        }
        timespec ts = MsToTimespec(wait);
        int rc = ppoll(nfds ? &pfd : nullptr, nfds, wait < 0 ? nullptr : &ts, wait_mask);
        if (rc < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "devsim: poll: %s\n", strerror(errno));
            break;
        }
        now = NowMs();
        if (nfds && (pfd.revents & POLLIN)) {
            ssize_t n = read(s_master, buf, sizeof buf);
            if (n > 0) {
                last_input = now;
                NoteLineFlowControl();
                device->input(buf, (unsigned)n, LineIn((unsigned)n, now));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                hup_quiet_until = now + 5;  // keeps a hung-up master from spinning the loop
            }
        } else if (nfds && (pfd.revents & (POLLHUP | POLLERR))) {
            hup_quiet_until = now + 5;
        }
        if (s_master >= 0 && (pfd.revents & POLLOUT)) WriteOut();
        if (device->partial() && now - last_input >= DEVSIM_FRAME_GAP_MS) device->idle(now);
    }
}

}  // namespace

unsigned char FillerByte(unsigned i) {
    return g_opt.filler_n ? g_opt.filler[i % g_opt.filler_n] : 0x00;
}

double NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - s_start.tv_sec) * 1000.0 + (t.tv_nsec - s_start.tv_nsec) / 1e6;
}

double WorkDone(FaultPhase phase, double frame_end_ms) { return frame_end_ms + g_opt.work_ms[phase]; }

void QueueReply(double sent_ms, const unsigned char* bytes, unsigned n) {
    const LineModel* m = g_opt.line;
    const double sent = sent_ms + g_opt.reply_delay_ms;
    PendingReply r;
    memset(&r, 0, sizeof r);
    r.due_ms = sent;
    r.last = n > 0;
    r.window_end_ms = s_tool_wrote_ms + s_device->read_window_ms;
    if (n > (unsigned)DEVSIM_REPLY_MAX) n = DEVSIM_REPLY_MAX;
    const double latency =
        m->latency_min_ms + (m->latency_max_ms - m->latency_min_ms) * NextLatencyFraction();
    const double wire = sent > s_wire_out_free ? sent : s_wire_out_free;
    if (m->paced && n) s_wire_out_free = wire + n * ByteMs();
    if (m->grid_ms <= 0) {
        // All at once, as the last byte is in.
        r.n = n;
        if (n) memcpy(r.bytes, bytes, n);
        if (m->paced && n) r.due_ms = s_wire_out_free;
        r.due_ms += latency + m->early_ms;
        PushPending(r);
    } else {
        // Each byte at the grid's tick after it reached the adapter; the
        // bytes of one tick go together.
        PendingReply part = r;
        part.last = 0;
        part.n = 0;
        for (unsigned i = 0; i < n; i++) {
            double in_adapter = m->paced ? wire + (i + 1) * ByteMs() : sent;
            double due = std::ceil(in_adapter / m->grid_ms) * m->grid_ms + latency + m->early_ms;
            if (part.n && due != part.due_ms) {
                PushPending(part);
                part.n = 0;
            }
            part.due_ms = due;
            part.bytes[part.n++] = bytes[i];
        }
        part.last = n > 0;
        PushPending(part);
    }
    if (s_pending.front().due_ms <= NowMs()) SendDueReplies(NowMs());
}

void QueueHangup(double frame_end_ms) {
    PendingReply r;
    memset(&r, 0, sizeof r);
    r.due_ms = frame_end_ms + g_opt.reply_delay_ms;
    r.hangup = 1;
    PushPending(r);
}

void TranscriptBytes(double at_ms, char direction, const unsigned char* bytes, unsigned n) {
    if (!s_transcript) return;
    fprintf(s_transcript, "+%.3fms %c", at_ms, direction);
    for (unsigned i = 0; i < n; i++) fprintf(s_transcript, " %02X", bytes[i]);
    fputc('\n', s_transcript);
}

void TranscriptNote(const char* fmt, ...) {
    if (!s_transcript) return;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fprintf(s_transcript, "+%.3fms # %s\n", NowMs(), text);
}

void Violation(const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    s_violations++;
    fprintf(stderr, "devsim: violation: %s\n", text);
    if (s_transcript) fprintf(s_transcript, "+%.3fms ! %s\n", NowMs(), text);
}

const Fault* TakeFault(FaultPhase phase, unsigned block) {
    for (int i = 0; i < g_opt.fault_count; i++) {
        Fault* f = &g_opt.faults[i];
        if (!f->fired && f->phase == phase && f->block == block) {
            f->fired = 1;
            return f;
        }
    }
    return nullptr;
}

int SaveImage(const char* path, const unsigned char* bytes, size_t n) {
    char tmp[PATH_MAX_BYTES + 16];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE* f = fopen(tmp, "wb");
    int ok = f && fwrite(bytes, 1, n, f) == n;
    if (f && fclose(f) != 0) ok = 0;
    if (ok && rename(tmp, path) != 0) ok = 0;
    if (!ok) {
        fprintf(stderr, "devsim: cannot write %s: %s\n", path, strerror(errno));
        unlink(tmp);
    }
    return ok;
}

void RequestFinish() { s_finish = 1; }

// The stop signals stay blocked except inside ppoll, so none is lost
// between the check of the flag and the wait.
static sigset_t s_wait_mask;

int LineOpen(const DevicePersonality* device) {
    clock_gettime(CLOCK_MONOTONIC, &s_start);
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_set, &s_wait_mask);
    sigdelset(&s_wait_mask, SIGINT);
    sigdelset(&s_wait_mask, SIGTERM);
    sigdelset(&s_wait_mask, SIGHUP);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (g_opt.transcript) {
        s_transcript = fopen(g_opt.transcript, "w");
        if (!s_transcript) {
            fprintf(stderr, "devsim: cannot write %s: %s\n", g_opt.transcript, strerror(errno));
            return DEVSIM_EXIT_SYSTEM;
        }
        setvbuf(s_transcript, nullptr, _IOLBF, 0);  // readable while devsim runs
    }
    if (!OpenPty() || !MakeLink()) {
        CloseLine();
        return DEVSIM_EXIT_SYSTEM;
    }
    s_device = device;
    device->init();

    printf("%s\n", s_slave_path);
    fflush(stdout);
    TranscriptNote("devsim %s on %s", device->name, s_slave_path);
    NoteLineFlowControl();
    return DEVSIM_EXIT_OK;
}

int LineRun(const DevicePersonality* device) {
    RunLoop(device, &s_wait_mask);

    device->save();
    RemoveLink();
    CloseLine();
    if (s_violations) fprintf(stderr, "devsim: %d protocol violation(s)\n", s_violations);
    TranscriptNote("exit, %d violation(s)", s_violations);
    if (s_transcript) fclose(s_transcript);
    return s_violations ? DEVSIM_EXIT_VIOLATION : DEVSIM_EXIT_OK;
}
