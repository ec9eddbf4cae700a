// worker_double: one worker thread handed a baton by the test thread; see
// worker_double.h. A mutex and a condition variable pass the turn: the
// worker runs only while `s_turn` is set and its budget lasts, so the two
// threads never run the product code at the same time.
#include "worker_double.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "port_worker.h"
#include "recording.h"

static std::mutex s_m;
static std::condition_variable s_cv;
static std::thread s_thread;
static thread_local int t_worker = 0;

// Guarded by s_m.
static void (*s_transfer)() = nullptr;
static void (*s_after_port_change)() = nullptr;
static int s_turn = 0;         // 1: the worker may run
static int s_budget = 0;       // yield points it may still pass
static int s_pumping = 1;      // the UI side serves sends
static int s_io_only = 0;      // only I/O may proceed (the UI sleeps)
static int s_draining = 0;
static int s_quit = 0;
static WdAt s_at = WD_IDLE;
static unsigned s_incoming = 0;  // a sent request waiting for the worker
static int s_answered = 0;
static std::deque<unsigned> s_posted;  // queued: 0 a transfer, else an open or close
static int s_outstanding = 0;    // posted and not yet returned
static int s_ui_hung = 0;
static int (*s_sleep_steps)() = nullptr;

static int Allowed(WdAt where)
{
    switch (where) {
    case WD_IO: return 1;
    case WD_SEND: return s_pumping && !s_io_only;
    case WD_IDLE: return !s_io_only && (s_incoming || !s_posted.empty());
    default: return 0;
    }
}

// Worker: stop at a yield point until the test lets it go on.
static void Yield(std::unique_lock<std::mutex>& lock, WdAt where)
{
    s_at = where;
    for (;;) {
        if (s_draining && where != WD_IDLE)
            return;
        if (where == WD_IDLE && (s_quit || (s_draining && !s_incoming && s_posted.empty())))
            return;
        if (s_turn && s_budget > 0 && Allowed(where)) {
            --s_budget;
            return;
        }
        s_turn = 0;
        s_cv.notify_all();
        s_cv.wait(lock, [&] {
            return s_quit || s_draining || (s_turn && s_budget > 0 && Allowed(where));
        });
        if (where == WD_IDLE && s_draining && (s_incoming || !s_posted.empty()))
            return;
    }
}

// A sent request delivered while the worker waits in a send: the real
// worker's rules park it (a transfer runs) or carry it out.
static void TakeIncoming(std::unique_lock<std::mutex>& lock)
{
    unsigned command = s_incoming;
    s_incoming = 0;
    lock.unlock();
    WorkerPortRequest(command);
    lock.lock();
    s_answered = 1;
    s_cv.notify_all();
}

static void SendHook()
{
    if (!t_worker)
        return;
    std::unique_lock<std::mutex> lock(s_m);
    Yield(lock, WD_SEND);
    if (s_incoming)
        TakeIncoming(lock);
}

static void WorkerMain()
{
    t_worker = 1;
    std::unique_lock<std::mutex> lock(s_m);
    for (;;) {
        Yield(lock, WD_IDLE);
        if (s_incoming) {  // sent requests come before posted ones
            TakeIncoming(lock);
        } else if (!s_posted.empty()) {
            unsigned command = s_posted.front();
            s_posted.pop_front();
            lock.unlock();
            if (command)
                WorkerRunPostedRequest(command, s_after_port_change);
            else
                WorkerRunTransfer(s_transfer, s_after_port_change);
            lock.lock();
            if (!command)
                --s_outstanding;
        } else if (s_quit || s_draining) {
            break;
        }
    }
    s_at = WD_IDLE;
    s_turn = 0;
    s_cv.notify_all();
}

void WdStart(void (*transfer)(), void (*after_port_change)())
{
    {
        std::lock_guard<std::mutex> lock(s_m);
        s_transfer = transfer;
        s_after_port_change = after_port_change;
        s_turn = s_budget = s_draining = s_quit = 0;
        s_pumping = 1;
        s_io_only = 0;
        s_at = WD_IDLE;
        s_incoming = 0;
        s_answered = 0;
        s_posted.clear();
        s_outstanding = 0;
        s_ui_hung = 0;
    }
    g_view_send_hook = SendHook;
    s_thread = std::thread(WorkerMain);
}

void WdStop()
{
    {
        std::lock_guard<std::mutex> lock(s_m);
        s_draining = 1;
        s_cv.notify_all();
    }
    s_thread.join();
    g_view_send_hook = nullptr;
}

int WdDraining()
{
    std::lock_guard<std::mutex> lock(s_m);
    return s_draining;
}

// Test thread: hand the turn over and wait until it comes back.
static void Grant(std::unique_lock<std::mutex>& lock, int steps, int pumping, int io_only)
{
    s_budget = steps;
    s_pumping = pumping;
    s_io_only = io_only;
    if (steps <= 0 || !Allowed(s_at))
        return;
    s_turn = 1;
    s_cv.notify_all();
    s_cv.wait(lock, [] { return !s_turn; });
    s_budget = 0;
    s_pumping = 1;
    s_io_only = 0;
}

void WdRun(int steps)
{
    std::unique_lock<std::mutex> lock(s_m);
    Grant(lock, steps, 1, 0);
}

void WdDeliverSends()
{
    std::unique_lock<std::mutex> lock(s_m);
    while (s_at == WD_SEND)
        Grant(lock, 1, 1, 0);
}

WdAt WdWhere()
{
    std::lock_guard<std::mutex> lock(s_m);
    return s_at;
}

int WdOutstanding()
{
    std::lock_guard<std::mutex> lock(s_m);
    return s_outstanding;
}

int WdQueued()
{
    std::lock_guard<std::mutex> lock(s_m);
    return (int)s_posted.size();
}

int WdUiHung()
{
    std::lock_guard<std::mutex> lock(s_m);
    return s_ui_hung;
}

void WdSetSleepSteps(int (*steps)()) { s_sleep_steps = steps; }

void WdIoPoint()
{
    std::unique_lock<std::mutex> lock(s_m);
    Yield(lock, WD_IO);
}

void WdStuck()
{
    std::unique_lock<std::mutex> lock(s_m);
    s_at = WD_STUCK;
    s_turn = 0;
    s_cv.notify_all();
    s_cv.wait(lock, [] { return s_draining || s_quit; });
}


// ---- The product's port worker requests, as the front panel makes them ----

static void SendRequest(unsigned command)
{
    std::unique_lock<std::mutex> lock(s_m);
    s_incoming = command;
    s_answered = 0;
    // The UI thread waits in SendMessage, serving the worker's sends.
    while (!s_answered) {
        if (s_at == WD_STUCK || s_draining) {
            // The real user-interface thread would wait here for ever.
            s_ui_hung = 1;
            s_incoming = 0;
            return;
        }
        Grant(lock, 1, 1, 0);
    }
}

void RequestPortOpen() { SendRequest(ID_COM_OPEN); }
void RequestPortClose() { SendRequest(ID_COM_CLOSE); }

void RequestTransfer()
{
    std::lock_guard<std::mutex> lock(s_m);
    s_posted.push_back(0);
    ++s_outstanding;
}

void PostPortRequest(unsigned command)
{
    std::lock_guard<std::mutex> lock(s_m);
    s_posted.push_back(command);
}

void SleepMs(unsigned)
{
    std::unique_lock<std::mutex> lock(s_m);
    Grant(lock, s_sleep_steps ? s_sleep_steps() : 0, 0, 1);
}
