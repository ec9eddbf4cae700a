// frame_input: how a personality collects a frame byte by byte, shared by
// both. After a byte that cannot belong to a frame it drops all input until
// the line has been quiet for DEVSIM_FRAME_GAP_MS: the bytes that follow are
// the rest of a broken frame, and taking one of them for a frame start would
// only report more noise. The dropped bytes go to the transcript as one line
// when the line goes quiet. devsim's main thread.
#pragma once

enum {
    DEVSIM_FRAME_MAX = 256,      // frame buffer, bytes (longest frame of either device: 136)
    DEVSIM_DISCARD_KEEP = 256,   // dropped bytes kept for the transcript
};

struct FrameInput {
    unsigned char frame[DEVSIM_FRAME_MAX];
    unsigned have;               // bytes of the frame received so far
    int discarding;              // dropping input until the line goes quiet
    unsigned char discard[DEVSIM_DISCARD_KEEP];
    unsigned discard_n;          // dropped bytes kept (later ones are not logged)
};

// Returns 1 (and keeps c for the transcript) while input is being dropped.
int FrameInputDropping(FrameInput* in, unsigned char c);
// Adds c to the frame; returns the bytes of the frame received so far.
unsigned FrameInputAdd(FrameInput* in, unsigned char c);
// Starts dropping: kept are the bytes already taken that the transcript
// should show first; the frame collected so far is abandoned.
void FrameInputDrop(FrameInput* in, const unsigned char* kept, unsigned n);
int  FrameInputPartial(const FrameInput* in);  // 1 while a frame or a drop is open
// The line went quiet: logs the dropped bytes, or logs and reports the frame
// cut off short (need: its full length, 0 while its length is not known yet).
// Leaves the input ready for a new frame.
void FrameInputQuiet(FrameInput* in, double now_ms, unsigned need);

