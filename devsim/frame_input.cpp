// Frame input shared by both personalities: collecting a frame's bytes,
// dropping input after a byte that breaks a frame, and what happens when the
// line goes quiet with a frame half received. Runs on devsim's main thread,
// called from the personalities' input and idle functions. See frame_input.h.
#include "frame_input.h"
#include "device_line.h"

int FrameInputDropping(FrameInput* in, unsigned char c) {
    if (!in->discarding) return 0;
    if (in->discard_n < DEVSIM_DISCARD_KEEP) in->discard[in->discard_n++] = c;
    return 1;
}

unsigned FrameInputAdd(FrameInput* in, unsigned char c) {
    // Each personality ends a frame at its own length, far below the buffer;
    // the check keeps a slip there from writing past it.
    if (in->have < DEVSIM_FRAME_MAX) in->frame[in->have++] = c;
    return in->have;
}

void FrameInputDrop(FrameInput* in, const unsigned char* kept, unsigned n) {
    in->discarding = 1;
    in->discard_n = 0;
    for (unsigned i = 0; i < n && in->discard_n < DEVSIM_DISCARD_KEEP; i++) in->discard[in->discard_n++] = kept[i];
    in->have = 0;
}

int FrameInputPartial(const FrameInput* in) { return in->have > 0 || in->discarding; }

void FrameInputQuiet(FrameInput* in, double now, unsigned need) {
    if (in->discarding) {
        TranscriptBytes(now, '<', in->discard, in->discard_n);
        TranscriptNote("discarded up to here");
        in->discarding = 0;
    } else if (in->have > 0) {
        TranscriptBytes(now, '<', in->frame, in->have);
        if (need == 0) Violation("frame cut off after its start byte");
        else Violation("frame cut off after %u of %u bytes", in->have, need);
    }
    in->have = 0;
}
