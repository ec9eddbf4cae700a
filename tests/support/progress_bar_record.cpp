// progress_bar_record: the native model of the front panel's progress bar,
// with a log of the operations for the tests. A mutex guards the model:
// the transfers step it on the port worker while tests read it.
//
// The model follows msctls_progress32: the range is 0..max with max taken
// from the low 16 bits of the count (PBM_SETRANGE packs it into a word);
// PBM_SETRANGE and PBM_SETPOS clamp the position into the range; PBM_STEPIT
// adds the step and, once that passes max, wraps it modulo the range width
// (pos = (pos + step) % max, or 0 for an empty range), as measured on the
// control: a full 0..384 bar stepped once more shows 1, not 0 or 384.
#include "progress_bar.h"
#include "recording.h"

#include <mutex>
#include <string>

enum {
    PROGRESS_RANGE_MASK = 0xFFFF,   // PBM_SETRANGE carries max in 16 bits
    PROGRESS_INITIAL_MAX = 2048,    // range the model starts with, steps
};

static std::mutex s_mutex;
static ProgressModel s_bar = {PROGRESS_INITIAL_MAX, 1, 0, RUN_NONE, 0};
static std::string s_ops;
static std::string s_run_ops;

static void Record(const std::string& op)
{
    if (!s_ops.empty())
        s_ops += ' ';
    s_ops += op;
}

static void ClampPosition()
{
    if (s_bar.pos > s_bar.max)
        s_bar.pos = s_bar.max;
}

void ProgressBegin(unsigned steps)
{
    if (g_view_send_hook)
        g_view_send_hook();
    std::lock_guard<std::mutex> lock(s_mutex);
    s_bar.max = steps & PROGRESS_RANGE_MASK;
    ClampPosition();
    s_bar.step = 1;
    s_bar.shown = RUN_PROGRESS;
    Record("begin:" + std::to_string(steps));
}

void ProgressStep()
{
    if (g_view_send_hook)
        g_view_send_hook();
    std::lock_guard<std::mutex> lock(s_mutex);
    unsigned next = s_bar.pos + s_bar.step;
    if (next > s_bar.max)
        next = s_bar.max == 0 ? 0 : next % s_bar.max;
    s_bar.pos = next;
    Record("step");
}

void ProgressReset()
{
    if (g_view_send_hook)
        g_view_send_hook();
    std::lock_guard<std::mutex> lock(s_mutex);
    s_bar.pos = 0;
    Record("reset");
}

ProgressModel RecordedProgress()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_bar;
}

static void Run(RunShown shown, int signalled, const char* op)
{
    if (g_view_send_hook)
        g_view_send_hook();
    std::lock_guard<std::mutex> lock(s_mutex);
    s_bar.shown = shown;
    s_bar.ends += signalled;
    if (!s_run_ops.empty())
        s_run_ops += ' ';
    s_run_ops += op;
}

void ProgressRunWaiting() { Run(RUN_WAITING, 0, "waiting"); }
void ProgressRunFailed() { Run(RUN_FAILED, 1, "failed"); }
void ProgressRunSucceeded() { Run(RUN_NONE, 1, "succeeded"); }
void ProgressRunStopped() { Run(RUN_NONE, 0, "stopped"); }

std::string RecordedRunOps()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_run_ops;
}

std::string RecordedProgressOps()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_ops;
}

void ClearRecordedProgress()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_bar = ProgressModel{PROGRESS_INITIAL_MAX, 1, 0, RUN_NONE, 0};
    s_ops.clear();
    s_run_ops.clear();
}
