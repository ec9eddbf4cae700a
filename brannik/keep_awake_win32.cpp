// keep_awake on Windows: SetThreadExecutionState, there since Windows XP.
// ES_CONTINUOUS makes the request last until the same thread changes it.
#include "keep_awake.h"

#include <windows.h>

void KeepSystemAwake(int on)
{
    SetThreadExecutionState(on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}
