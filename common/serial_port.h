// serial_port: the tool's one serial port.
//
// Finds the COM ports present (for the port picker), opens the selected port
// with the tool's line settings and read time-outs, closes it, and answers
// whether the tool is ready to talk to a device. Each outcome of an open or
// close is logged with LogPrint.
//
// Threads: EnumComPorts and GetListedPort run on the user-interface thread
// before the front panel is shown. OpenComPort, CloseComPort and every
// transfer's use of the port run on the port worker thread only. The port
// handle is written only by OpenComPort/CloseComPort; IsPortReady reads it on
// the user-interface thread after a synchronous open or close request.
//
// The protocol code reaches the platform only through the Port* backend
// functions at the bottom of this header. The build links exactly one
// backend: serial_port_win32.cpp (Win32 serial API) or serial_port_posix.cpp
// (termios; used natively by the tests, the simulator and the benchmarks).
#pragma once

#include "shared_value.h"

typedef struct PortDevice* PortHandle;  // opaque; nullptr = no port open

// Shared between the threads.
extern Shared<PortHandle> g_port;           // written by Open/CloseComPort (port worker)
extern Shared<int> g_selected_port;         // COM number; written by the front panel
extern Shared<void*> g_port_worker_thread;  // set by StartPortWorker; read by IsPortReady

enum {
    PORT_LIST_SLOTS = 256,
    PORT_QUEUE_BYTES = 2048,    // driver queue sizes asked for at open
};

int  EnumComPorts();            // probes COM1..last_probed_port anew, returns the count
int  GetListedPort(int index);  // list entry, or 0 outside 0..count-1
int  OpenComPort();             // 1 when a port is open afterwards
void CloseComPort();
int  IsPortReady();             // worker thread exists and a port is open

// ---- Platform backend ------------------------------------------------------

// The platform's view of the line settings between GetCommState and
// SetCommState (a DCB or a termios record); opaque to the core.
struct PortLineState {
    alignas(8) unsigned char raw[256];
};

struct PortTimeouts {
    unsigned read_interval_ms;
    unsigned read_multiplier_ms;
    unsigned read_constant_ms;
    unsigned write_multiplier_ms;
    unsigned write_constant_ms;
};

int        PortProbe(int com);      // 1: present (free, busy, or its device fails)
PortHandle PortCreate(int com);     // exclusive open; nullptr on failure
void       PortSetupQueues(PortHandle h, unsigned in_bytes, unsigned out_bytes);
int        PortGetState(PortHandle h, PortLineState* state);
int        PortSetState(PortHandle h, PortLineState* state, unsigned baud);  // 8N1 at baud
int        PortSetTimeouts(PortHandle h, const PortTimeouts* t);
void       PortPurge(PortHandle h);  // abort and drop both directions
int        PortWrite(PortHandle h, const void* data, unsigned n);  // 1: all n written
// Reads up to n bytes; returns when n have arrived or when the total read
// time-out (multiplier * n + constant) has passed since the call began.
// Returns the count received (fewer than n means the time-out passed, or an
// I/O error ended the read after those bytes), or -1 on an I/O error with
// nothing received. Callers that follow the device protocols count -1 as 0.
int        PortRead(PortHandle h, void* data, unsigned n);
void       PortRelease(PortHandle h);  // CloseHandle
