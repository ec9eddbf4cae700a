// serial_port: the tool's one serial port.
//
// Lists the COM ports the system knows (for the port picker), opens the
// selected port with the tool's line settings and read time-outs, closes it,
// and answers whether the tool is ready to talk to a device. Each outcome of
// an open or close is logged with LogPrint.
//
// The list is made from the names the system gives its ports, never by
// opening them: an open wakes a Bluetooth port for seconds and resets every
// device that reacts to DTR. It is made anew whenever the picker is filled
// (start-up, a device change, the list dropping down); the port the tool
// holds open stays on it even after the system stops naming it.
//
// A port keeps the settings the last program left on it, so the open takes
// the whole line over (TakeOverLine) and inherits nothing but DTR and RTS.
//
// Threads: EnumComPorts and GetListedPort run on the user-interface thread
// only, which alone writes and reads the list. OpenComPort, CloseComPort and
// every transfer's use of the port run on the port worker thread only; an
// open asked for by a pick opens the port picked then, carried with the
// request (OpenComPortNumber), however many picks follow it. The
// port handle and the open port's number are written only by
// OpenComPort/CloseComPort; IsPortReady and EnumComPorts read them on the
// user-interface thread.
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
extern Shared<int> g_open_port;             // COM number of the open port, 0 for none; written by Open/CloseComPort
extern Shared<void*> g_port_worker_thread;  // set by StartPortWorker; read by IsPortReady

enum {
    PORT_LIST_SLOTS = 256,
    PORT_QUEUE_BYTES = 2048,    // driver queue sizes asked for at open
};

// Lists anew, in ascending order, each COM1..last_listed_port that the
// system names, the open port, and `also` (a port an open is queued for,
// which an adapter's blip must not take off the picker; 0 for none);
// returns the count. Opens nothing.
int  EnumComPorts(int also = 0);
int  GetListedPort(int index);  // list entry, or 0 outside 0..count-1
// The COM number a port name stands for when the tool opens "\\.\COM<n>"
// ("COM3", any case, padding ignored); 0 for any other name.
int  ComPortNumber(const char* name, unsigned length);
int  OpenComPort();             // opens the selected port; 1 when a port is open afterwards
int  OpenComPortNumber(int com);  // the same for COM<com>, picked when the open was asked for
void CloseComPort();
int  IsPortReady();             // worker thread exists and a port is open
// The tool's read time-outs with the given constant (the open states the
// tool's own); no interval time-out and no write time-out. Port worker.
int  ApplyPortTimeouts(PortHandle h, unsigned read_constant_ms);

// ---- Platform backend ------------------------------------------------------

// How the driver drives DTR or RTS (the DCB's DTR_CONTROL_* and
// RTS_CONTROL_* values).
enum PortLineControl {
    PORT_LINE_OFF = 0,
    PORT_LINE_ON = 1,
    PORT_LINE_HANDSHAKE = 2,  // lowered as the input queue fills: input flow control
    PORT_LINE_TOGGLE = 3,     // RTS only: raised while sending (RS-485 adapters)
};

// The line settings the open decides on, by name: the fields of a Win32 DCB
// that change which bytes reach the device or the tool, or when. A backend
// fills them from the platform's record (a DCB, a termios) and writes them
// back into that same record, so whatever has no name here is applied as
// the driver reported it.
struct PortLineSettings {
    unsigned baud;
    unsigned char byte_size;        // data bits
    unsigned char parity;           // 0 none, 1 odd, 2 even, 3 mark, 4 space
    unsigned char stop_bits;        // 0 one, 1 one and a half, 2 two
    unsigned char binary;           // no end-of-file character processing
    unsigned char parity_check;     // parity errors detected
    unsigned char out_cts_flow;     // writes wait while CTS is low
    unsigned char out_dsr_flow;     // writes wait while DSR is low
    unsigned char dtr_control;      // PortLineControl
    unsigned char dsr_sensitivity;  // received bytes dropped while DSR is low
    unsigned char out_xon_xoff;     // XOFF/XON from the device stop and restart writes, and are taken out
    unsigned char in_xon_xoff;      // XOFF/XON sent to the device as the input queue fills
    unsigned char error_char;       // bytes received with a parity error replaced
    unsigned char null_strip;       // received 0x00 bytes discarded
    unsigned char rts_control;      // PortLineControl
    unsigned char abort_on_error;   // after an error every read and write fails until cleared
    unsigned short xon_limit;       // queued input bytes at which XON is sent
    unsigned short xoff_limit;      // free input queue bytes at which XOFF is sent
    unsigned char xon_char;
    unsigned char xoff_char;
};

enum {
    PORT_XON_CHAR = 0x11,
    PORT_XOFF_CHAR = 0x13,
    PORT_XON_LIMIT = 512,   // both limits well inside the 2048-byte queues,
    PORT_XOFF_LIMIT = 512,  // or Windows refuses the whole DCB
};

// The line state between PortGetState and PortSetState: the named settings
// and, beside them, the platform's whole record as read (opaque to the core).
struct PortLineState {
    PortLineSettings line;
    alignas(8) unsigned char raw[256];
};

// Takes the line over for the tools' raw binary link, whatever the last
// program left on the port: baud, 8N1, binary, no flow control of any kind,
// nothing dropped, replaced or held back on an error. DTR and RTS stay at the
// level the driver was asked for (a device may draw power from them or be
// reset by them); a handshake mode, being input flow control, becomes on.
// Platform-free, so that the decision is tested natively.
void TakeOverLine(PortLineSettings* line, unsigned baud);

struct PortTimeouts {
    unsigned read_interval_ms;
    unsigned read_multiplier_ms;
    unsigned read_constant_ms;
    unsigned write_multiplier_ms;
    unsigned write_constant_ms;
};

// Hands every name the system has for a serial port to take(): on Windows
// the DOS device names (QueryDosDevice) and the serial drivers' port names
// (SERIALCOMM). As the system has them: other names among them, not zero
// terminated, possibly padded. Touches no port; a source that fails is
// skipped.
typedef void (*PortNameSink)(const char* name, unsigned length, void* context);
void       PortListNames(PortNameSink take, void* context);
// Hands each device record the system keeps for a serial port to take():
// the port's name as the record holds it ("COM3", not zero terminated) and
// the device's name as Device Manager shows it (UTF-8, zero terminated,
// often ending in " (COM3)"). On Windows: SetupAPI's Ports class, present
// devices only; nothing where SetupAPI or the records are missing. Touches
// no port; user-interface thread.
typedef void (*PortDeviceSink)(const char* port, unsigned length, const char* device, void* context);
void       PortListDevices(PortDeviceSink take, void* context);
PortHandle PortCreate(int com);     // exclusive open; nullptr on failure
void       PortSetupQueues(PortHandle h, unsigned in_bytes, unsigned out_bytes);
int        PortGetState(PortHandle h, PortLineState* state);  // the line as the driver reports it
int        PortSetState(PortHandle h, const PortLineState* state);  // applies state->line over state->raw
int        PortSetTimeouts(PortHandle h, const PortTimeouts* t);
void       PortPurge(PortHandle h);  // abort and drop both directions
// Drops the bytes that have arrived and not been read, and only those: a
// late reply the adapter released after its exchange was judged. Asks the
// driver for the input count first, so a clean line costs no purge.
void       PortDropInput(PortHandle h);
int        PortWrite(PortHandle h, const void* data, unsigned n);  // 1: all n written
// Reads up to n bytes; returns when n have arrived or when the total read
// time-out (multiplier * n + constant) has passed since the call began.
// Returns the count received (fewer than n means the time-out passed, or an
// I/O error ended the read after those bytes), or -1 on an I/O error with
// nothing received. Callers that follow the device protocols count -1 as 0.
int        PortRead(PortHandle h, void* data, unsigned n);
void       PortRelease(PortHandle h);  // CloseHandle
