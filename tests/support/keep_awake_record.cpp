// keep_awake_record: the native model of brannik's keep-awake request. As on
// Windows, each thread's request is its own: a release made on another
// thread leaves the first one's request standing, and the system is kept
// awake while any thread's request stands.
#include "keep_awake.h"
#include "recording.h"

#include <map>
#include <mutex>
#include <string>
#include <thread>

static std::mutex s_mutex;
static std::map<std::thread::id, bool> s_held;
static std::string s_ops;
static thread_local bool t_for_other = false;
static thread_local std::thread::id t_for;

void KeepSystemAwake(int on)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_held[t_for_other ? t_for : std::this_thread::get_id()] = on != 0;
    if (!s_ops.empty())
        s_ops += ' ';
    s_ops += on ? "hold" : "release";
}

bool RecordedAwake()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    for (const auto& h : s_held)
        if (h.second)
            return true;
    return false;
}

std::string RecordedAwakeOps()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_ops;
}

void ClearRecordedAwake()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_held.clear();
    s_ops.clear();
}

void RecordAsThread(const std::thread::id* id)
{
    t_for_other = id != nullptr;
    if (id)
        t_for = *id;
}
