// keep_awake on Windows: SetThreadExecutionState, there since Windows XP;
// ES_CONTINUOUS makes the request last until the same thread changes it.
// timeBeginPeriod from winmm, loaded by its full path (and skipped where it
// is missing). Up to Windows 10 1909 the resolution is the system's, and so
// reaches the serial driver's time-outs; later versions document it only
// for the calling process's own waits.
#include "keep_awake.h"

#include <windows.h>

#include "system_library_win32.h"

enum { FINE_TIMER_MS = 1 };

typedef UINT(WINAPI* TimePeriodCall)(UINT);

static int s_fine_timer = 0;  // 1 while our timeBeginPeriod stands; UI thread

static void AskFineTimer(int on)
{
    if (on == s_fine_timer) return;
    static HMODULE winmm = LoadSystemLibrary(L"winmm.dll");
    TimePeriodCall call = reinterpret_cast<TimePeriodCall>(
        LibraryCall(winmm, on ? "timeBeginPeriod" : "timeEndPeriod"));
    if (!call) return;
    // TIMERR_NOERROR is 0; a refused request is not ended later.
    if (call(FINE_TIMER_MS) == 0) s_fine_timer = on;
}

void KeepSystemAwake(int on)
{
    SetThreadExecutionState(on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
    AskFineTimer(on != 0);
}
