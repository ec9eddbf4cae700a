// thread_worker: see thread_worker.h. One mutex guards the queue, the
// report waiting for the test thread and the record of what was done.
#include "thread_worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "port_worker.h"

namespace {

struct Posted {
    unsigned command;  // 0: the transfer
    int com;
};

std::mutex s_m;
std::condition_variable s_cv;
std::thread s_thread;
std::deque<Posted> s_queue;
int s_in_hand = 0;
int s_quit = 0;
void (*s_report)() = nullptr;  // sent to the test thread, not yet run
std::string s_done;
void (*s_transfer)() = nullptr;
void (*s_after_port_change)() = nullptr;
void (*s_after_transfer)() = nullptr;

void Note(const std::string& what)
{
    std::lock_guard<std::mutex> lock(s_m);
    s_done += s_done.empty() ? what : " " + what;
}

// The last note, made before the change ran (nothing is noted while an
// overtaken open runs), replaced.
void Renote(const std::string& was, const std::string& now)
{
    std::lock_guard<std::mutex> lock(s_m);
    if (s_done.size() >= was.size() && s_done.compare(s_done.size() - was.size(), was.size(), was) == 0)
        s_done.replace(s_done.size() - was.size(), was.size(), now);
}

// Worker: the report runs on the test thread; the worker waits for it.
void Send(void (*report)())
{
    std::unique_lock<std::mutex> lock(s_m);
    s_report = report;
    s_cv.notify_all();
    s_cv.wait(lock, [] { return s_report == nullptr; });
}

void SendPortChanged() { Send(s_after_port_change); }
void SendTransferDone() { Send(s_after_transfer); }

void WorkerMain()
{
    std::unique_lock<std::mutex> lock(s_m);
    for (;;) {
        s_cv.wait(lock, [] { return s_quit || !s_queue.empty(); });
        if (s_queue.empty())
            return;
        Posted p = s_queue.front();
        s_queue.pop_front();
        s_in_hand = 1;
        lock.unlock();
        if (p.command) {
            // Noted before it runs, so that its pause follows it; an open
            // that a later pick overtook is noted so.
            std::string what = p.command == ID_COM_OPEN ? "open:" + std::to_string(p.com) : "close";
            Note(what);
            if (!WorkerRunPortChange(p.command, p.com, s_after_port_change ? SendPortChanged : nullptr))
                Renote(what, "overtaken:" + std::to_string(p.com));
        } else {
            Note("transfer");
            WorkerRunTransfer(s_transfer, s_after_transfer ? SendTransferDone : nullptr);
        }
        lock.lock();
        s_in_hand = 0;
        s_cv.notify_all();
    }
}

// Test thread, lock held: runs the waiting report unlocked.
void RunReport(std::unique_lock<std::mutex>& lock)
{
    void (*report)() = s_report;
    lock.unlock();
    report();
    lock.lock();
    s_report = nullptr;
    s_cv.notify_all();
}

}  // namespace

int PostPortChange(unsigned command, int com)
{
    std::lock_guard<std::mutex> lock(s_m);
    s_queue.push_back({command, com});
    s_cv.notify_all();
    return 1;
}

void RequestTransfer()
{
    std::lock_guard<std::mutex> lock(s_m);
    s_queue.push_back({0, 0});
    s_cv.notify_all();
}

void WorkerPause(unsigned ms) { Note("pause:" + std::to_string(ms)); }

void TwStart(void (*transfer)(), void (*after_port_change)(), void (*after_transfer)())
{
    std::lock_guard<std::mutex> lock(s_m);
    s_transfer = transfer;
    s_after_port_change = after_port_change;
    s_after_transfer = after_transfer;
    s_queue.clear();
    s_quit = 0;
    s_in_hand = 0;
    s_report = nullptr;
    s_done.clear();
    s_thread = std::thread(WorkerMain);
}

void TwJoin()
{
    std::unique_lock<std::mutex> lock(s_m);
    for (;;) {
        s_cv.wait(lock, [] { return s_report || (s_queue.empty() && !s_in_hand); });
        if (!s_report)
            return;
        RunReport(lock);
    }
}

void TwPump()
{
    std::unique_lock<std::mutex> lock(s_m);
    while (s_report)
        RunReport(lock);
}

void TwStop()
{
    TwJoin();
    {
        std::lock_guard<std::mutex> lock(s_m);
        s_quit = 1;
        s_cv.notify_all();
    }
    s_thread.join();
}

std::string TwDone()
{
    std::lock_guard<std::mutex> lock(s_m);
    std::string done = s_done;
    s_done.clear();
    return done;
}
