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
#include "shared_value.h"

static std::mutex s_m;
static std::condition_variable s_cv;
static std::thread s_thread;
static thread_local int t_worker = 0;
static thread_local int t_on_ui = 0;  // the worker runs a handler of the UI thread

// Guarded by s_m.
static void (*s_transfer)() = nullptr;
static void (*s_after_port_change)() = nullptr;
static void (*s_after_transfer)() = nullptr;
static std::thread::id s_ui_thread;  // the test thread, playing the user-interface thread
static int s_turn = 0;         // 1: the worker may run
static int s_budget = 0;       // yield points it may still pass
static int s_pumping = 1;      // the UI side serves sends
static int s_ui_busy = 0;      // the UI side runs code (sleeps, or is inside an action)
static int s_draining = 0;
static int s_quit = 0;
static WdAt s_at = WD_IDLE;
struct Posted {
    unsigned command;  // 0 a transfer, else an open or close
    int com;           // the port an open opens
};
static std::deque<Posted> s_posted;
static int s_outstanding = 0;    // transfers posted and not yet returned
static int (*s_switch_steps)(int conflict) = nullptr;
static int s_in_action = 0;    // test thread only
static int s_to_shared = 0;    // the current grant ends before the next shared access
static const void* s_to_value = nullptr;  // ... of this value (nullptr: any)
static const void* s_accessed = nullptr;  // the value the worker is about to access
static int s_switches = 0;     // switches inside actions in which the worker moved

// While the UI side runs code it serves no send, but the worker goes on
// with its I/O, its shared values and posted work.
static int Allowed(WdAt where)
{
    switch (where) {
    case WD_IO: return 1;
    case WD_SHARED: return 1;
    case WD_SEND: return s_pumping && !s_ui_busy;
    case WD_IDLE: return !s_posted.empty();
    default: return 0;
    }
}

// Worker: stop at a yield point until the test lets it go on.
static void Yield(std::unique_lock<std::mutex>& lock, WdAt where)
{
    s_at = where;
    if (where == WD_SHARED && s_to_shared && (!s_to_value || s_to_value == s_accessed))
        s_budget = 0;
    for (;;) {
        if (s_draining && where != WD_IDLE)
            return;
        if (where == WD_IDLE && (s_quit || (s_draining && s_posted.empty())))
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
        if (where == WD_IDLE && s_draining && !s_posted.empty())
            return;
    }
}

static void SendHook()
{
    if (!t_worker || t_on_ui)
        return;
    std::unique_lock<std::mutex> lock(s_m);
    Yield(lock, WD_SEND);
}

static int Grant(std::unique_lock<std::mutex>& lock, int steps, int pumping, int ui_busy);

// Before every access to a shared value, on either thread.
static void SharedHook(const void* value)
{
    if (t_on_ui)
        return;
    std::unique_lock<std::mutex> lock(s_m);
    if (t_worker) {
        s_accessed = value;
        Yield(lock, WD_SHARED);
        return;
    }
    if (!s_in_action || !s_switch_steps)
        return;
    // The worker stands before an access of the very value the UI side is
    // about to touch: which of the two goes first is what matters.
    int conflict = s_at == WD_SHARED && s_accessed == value;
    lock.unlock();
    int steps = s_switch_steps(conflict);  // the test's own state: called unlocked
    lock.lock();
    if (Grant(lock, steps, 0, 1) > 0)
        ++s_switches;
}

// after_port_change and after_transfer are sent to the user-interface
// thread: once the send goes through, the handler runs whole, as the UI
// thread's would, with no yield point inside (the worker waits in the send
// meanwhile).
static void RunOnUi(void (*handler)())
{
    SendHook();
    t_on_ui = 1;
    RecordAsThread(&s_ui_thread);
    handler();
    RecordAsThread(nullptr);
    t_on_ui = 0;
}

static void SendAfterPortChange() { RunOnUi(s_after_port_change); }
static void SendAfterTransfer() { RunOnUi(s_after_transfer); }

// A transfer counts as outstanding until the transfer itself returns.
static void RunTransfer()
{
    s_transfer();
    std::lock_guard<std::mutex> lock(s_m);
    --s_outstanding;
}

static void WorkerMain()
{
    t_worker = 1;
    std::unique_lock<std::mutex> lock(s_m);
    for (;;) {
        Yield(lock, WD_IDLE);
        if (!s_posted.empty()) {
            Posted p = s_posted.front();
            s_posted.pop_front();
            lock.unlock();
            if (p.command)
                WorkerRunPortChange(p.command, p.com, s_after_port_change ? SendAfterPortChange : nullptr);
            else
                WorkerRunTransfer(RunTransfer, s_after_transfer ? SendAfterTransfer : nullptr);
            lock.lock();
        } else if (s_quit || s_draining) {
            break;
        }
    }
    s_at = WD_IDLE;
    s_turn = 0;
    s_cv.notify_all();
}

void WdStart(void (*transfer)(), void (*after_port_change)(), void (*after_transfer)())
{
    {
        std::lock_guard<std::mutex> lock(s_m);
        s_transfer = transfer;
        s_after_port_change = after_port_change;
        s_after_transfer = after_transfer;
        s_ui_thread = std::this_thread::get_id();
        s_turn = s_budget = s_draining = s_quit = 0;
        s_pumping = 1;
        s_ui_busy = 0;
        s_in_action = 0;
        s_switches = 0;
        s_at = WD_IDLE;
        s_posted.clear();
        s_outstanding = 0;
    }
    g_view_send_hook = SendHook;
    g_shared_access_hook = SharedHook;
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
    g_shared_access_hook = nullptr;
}

int WdDraining()
{
    std::lock_guard<std::mutex> lock(s_m);
    return s_draining;
}

// Test thread: hand the turn over and wait until it comes back. Returns
// the steps the worker took.
static int Grant(std::unique_lock<std::mutex>& lock, int steps, int pumping, int ui_busy)
{
    s_budget = steps;
    s_pumping = pumping;
    s_ui_busy = ui_busy;
    int taken = 0;
    if (steps > 0 && Allowed(s_at)) {
        s_turn = 1;
        s_cv.notify_all();
        s_cv.wait(lock, [] { return !s_turn; });
        taken = steps - s_budget;
    }
    s_budget = 0;
    s_pumping = 1;
    s_ui_busy = 0;
    return taken;
}

void WdRun(int steps)
{
    std::unique_lock<std::mutex> lock(s_m);
    Grant(lock, steps, 1, 0);
}

void WdRunToShared(int steps, const void* value)
{
    std::unique_lock<std::mutex> lock(s_m);
    s_to_shared = 1;
    s_to_value = value;
    Grant(lock, steps, 1, 0);
    s_to_shared = 0;
    s_to_value = nullptr;
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

void WdSetSwitchSteps(int (*steps)(int conflict)) { s_switch_steps = steps; }
void WdAction(int inside) { s_in_action = inside; }

int WdSwitches()
{
    std::lock_guard<std::mutex> lock(s_m);
    return s_switches;
}

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


// ---- The platform half of the port worker, as the front panel reaches it ----

int PostPortChange(unsigned command, int com)
{
    std::lock_guard<std::mutex> lock(s_m);
    s_posted.push_back({command, com});
    return 1;
}

void RequestTransfer()
{
    std::lock_guard<std::mutex> lock(s_m);
    s_posted.push_back({0, 0});
    ++s_outstanding;
}

// The pause after an open or close: time passes on the worker, a point
// where the test may hold it.
void WorkerPause(unsigned) { WdIoPoint(); }
