// The scripted peer (see scripted_peer.h): one thread per peer plays the
// script on the master side of a pseudo-terminal and records what it reads.
#include "scripted_peer.h"

#include "serial_port.h"
#include "serial_port_posix.h"
#include "tool_profile.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

enum {
    PEER_POLL_MS = 5,          // longest the thread waits before looking at stop, ms
    PEER_PROBE_BYTE = 0x55,    // the byte that PEER_PROBES counts
};

struct ScriptedPeer {
    int com = 0;
    int master = -1;           // the peer's side; -1 after a hang-up
    int slave = -1;            // kept open so the master never sees a hang-up first
    std::vector<PeerStep> script;
    std::thread thread;
    std::atomic<int> stop{0};
    std::atomic<int> done{0};
    std::mutex lock;           // guards received and error
    std::string received;
    std::string error;
    size_t consumed = 0;       // peer thread only: bytes of received used by steps
};

static long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits up to wait_ms for bytes and records them. Returns the count read,
// 0 when none came.
static size_t Pump(ScriptedPeer* p, int wait_ms)
{
    if (p->master < 0) {
        usleep((useconds_t)wait_ms * 1000);
        return 0;
    }
    pollfd pfd = {p->master, POLLIN, 0};
    if (poll(&pfd, 1, wait_ms) <= 0 || !(pfd.revents & POLLIN)) return 0;
    char buf[512];
    ssize_t k = read(p->master, buf, sizeof buf);
    if (k <= 0) return 0;
    std::lock_guard<std::mutex> guard(p->lock);
    p->received.append(buf, (size_t)k);
    return (size_t)k;
}

static size_t Unconsumed(ScriptedPeer* p)
{
    std::lock_guard<std::mutex> guard(p->lock);
    return p->received.size() - p->consumed;
}

static unsigned char NextByte(ScriptedPeer* p)
{
    std::lock_guard<std::mutex> guard(p->lock);
    return (unsigned char)p->received[p->consumed++];
}

static void Fail(ScriptedPeer* p, const char* what, size_t step)
{
    char text[160];
    snprintf(text, sizeof text, "step %zu: %s", step, what);
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->error.empty()) p->error = text;
}

// Keeps recording while it waits, so that nothing the tool sends is missed.
static void Pause(ScriptedPeer* p, unsigned ms)
{
    long long until = NowMs() + ms;
    while (!p->stop.load()) {
        long long left = until - NowMs();
        if (left <= 0) break;
        Pump(p, left < PEER_POLL_MS ? (int)left : PEER_POLL_MS);
    }
}

static void Send(ScriptedPeer* p, const std::string& bytes)
{
    size_t done = 0;
    while (p->master >= 0 && done < bytes.size()) {
        ssize_t k = write(p->master, bytes.data() + done, bytes.size() - done);
        if (k > 0) done += (size_t)k;
        else if (k < 0 && errno == EINTR) continue;
        else break;
    }
}

// Waits until at least one unconsumed byte is there. 0 on stop or when no
// byte came for PEER_STEP_LIMIT_MS.
static int AwaitByte(ScriptedPeer* p, size_t step)
{
    long long limit = NowMs() + PEER_STEP_LIMIT_MS;
    while (Unconsumed(p) == 0) {
        if (p->stop.load()) return 0;
        if (NowMs() >= limit) {
            Fail(p, "no byte came in time", step);
            return 0;
        }
        Pump(p, PEER_POLL_MS);
    }
    return 1;
}

// Plays one step; 0 ends the script early (stop, give-up or hang-up).
static int PlayStep(ScriptedPeer* p, const PeerStep& s, size_t step)
{
    switch (s.kind) {
    case PEER_EXPECT:
        for (unsigned i = 0; i < s.count; ++i) {
            if (!AwaitByte(p, step)) return 0;
            NextByte(p);
        }
        Pause(p, s.delay_ms);
        Send(p, s.reply);
        return 1;
    case PEER_SEND:
        Pause(p, s.delay_ms);
        Send(p, s.reply);
        return 1;
    case PEER_PROBES: {
        unsigned probes = 0;
        while (probes < s.count) {
            if (!AwaitByte(p, step)) return 0;
            if (NextByte(p) != PEER_PROBE_BYTE) continue;
            if (++probes == s.count) Send(p, s.reply);
            else Send(p, s.per_probe);
        }
        return 1;
    }
    case PEER_SILENT:
        Pause(p, s.delay_ms);
        {
            std::lock_guard<std::mutex> guard(p->lock);
            p->consumed = p->received.size();
        }
        return 1;
    case PEER_HANG_UP:
        if (p->master >= 0) close(p->master);
        p->master = -1;
        return 0;
    }
    return 0;
}

static void PeerThread(ScriptedPeer* p)
{
    for (size_t i = 0; i < p->script.size(); ++i)
        if (!PlayStep(p, p->script[i], i)) break;
    p->done.store(1);
    while (!p->stop.load()) Pump(p, PEER_POLL_MS);
    // The tool may have written its last bytes just before the stop.
    while (Pump(p, PEER_DRAIN_QUIET_MS) > 0) {
    }
}

PeerStep PeerExpect(unsigned count, const std::string& reply, unsigned delay_ms)
{
    return PeerStep{PEER_EXPECT, count, reply, delay_ms, std::string()};
}

PeerStep PeerSend(const std::string& bytes, unsigned delay_ms)
{
    return PeerStep{PEER_SEND, 0, bytes, delay_ms, std::string()};
}

PeerStep PeerProbes(unsigned answered_probe, const std::string& reply, const std::string& per_probe)
{
    return PeerStep{PEER_PROBES, answered_probe, reply, 0, per_probe};
}

PeerStep PeerSilent(unsigned ms)
{
    return PeerStep{PEER_SILENT, 0, std::string(), ms, std::string()};
}

PeerStep PeerHangUp()
{
    return PeerStep{PEER_HANG_UP, 0, std::string(), 0, std::string()};
}

ScriptedPeer* StartScriptedPeer(int com, const std::vector<PeerStep>& script)
{
    int master = -1, slave = -1;
    char path[256];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) return nullptr;
    termios tio;
    if (tcgetattr(master, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
    }
    ScriptedPeer* p = new ScriptedPeer;
    p->com = com;
    p->master = master;
    p->slave = slave;
    p->script = script;
    BindComPort(com, path);
    p->thread = std::thread(PeerThread, p);
    return p;
}

std::string PeerReceived(ScriptedPeer* peer)
{
    std::lock_guard<std::mutex> guard(peer->lock);
    return peer->received;
}

int PeerScriptDone(ScriptedPeer* peer)
{
    return peer->done.load();
}

std::string PeerError(ScriptedPeer* peer)
{
    std::lock_guard<std::mutex> guard(peer->lock);
    return peer->error;
}

std::string StopScriptedPeer(ScriptedPeer* peer)
{
    if (!peer) return std::string();
    peer->stop.store(1);
    peer->thread.join();
    if (peer->master >= 0) close(peer->master);
    if (peer->slave >= 0) close(peer->slave);
    BindComPort(peer->com, nullptr);
    std::string received = peer->received;
    delete peer;
    return received;
}

int OpenToolPort(int com, const ToolProfile* profile)
{
    SetToolProfile(profile);
    g_selected_port.store(com);
    g_port_worker_thread.store((void*)1);
    return OpenComPort();
}

void CloseToolPort()
{
    CloseComPort();
    g_port_worker_thread.store(nullptr);
}

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int v : values) bytes.push_back((char)(unsigned char)v);
    return bytes;
}
