// progress_bar: the moves that make a themed progress bar draw its position
// at once (progress_bar.h). Platform-free; progress_bar_win32.cpp makes them.
#include "progress_bar.h"

int ProgressSnapMoves(unsigned pos, unsigned max, ProgressMove moves[PROGRESS_SNAP_MOVES])
{
    if (max == 0)
        return 0;  // nothing is drawn in an empty range
    if (pos < max) {
        moves[0] = {0, pos + 1};
        moves[1] = {0, pos};
        return 2;
    }
    moves[0] = {1, max + 1};
    moves[1] = {0, max + 1};
    moves[2] = {0, max};
    moves[3] = {1, max};
    return 4;
}
