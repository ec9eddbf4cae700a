// progress_bar: the moves that make a themed progress bar draw its position
// at once (progress_bar.h). Platform-free; progress_bar_win32.cpp makes them.
#include "progress_bar.h"

int ProgressSnapMoves(unsigned pos, unsigned max, ProgressMove moves[PROGRESS_SNAP_MOVES])
{
    // Short of full the animation arrives by itself, unless a reset
    // overtakes it, and the transfers reset only after a full bar (or leave
    // it where a failure stopped it). A step to full is what gets lost: the
    // next phase's reset comes at once.
    if (max == 0 || pos < max)
        return 0;
    moves[0] = {1, max + 1};
    moves[1] = {0, max + 1};
    moves[2] = {0, max};
    moves[3] = {1, max};
    return 4;
}

TaskbarView TaskbarFor(RunShown shown, unsigned pos, unsigned max)
{
    switch (shown) {
    case RUN_WAITING:
        return {TASKBAR_INDETERMINATE, 0, 0};
    case RUN_PROGRESS:
        return {TASKBAR_NORMAL, pos, max};
    case RUN_FAILED:
        if (pos == 0 || max == 0)
            return {TASKBAR_ERROR, 1, 1};
        return {TASKBAR_ERROR, pos, max};
    default:
        return {TASKBAR_NONE, 0, 0};
    }
}
