// serial_port_posix: the termios backend of serial_port.h, used by the
// native builds (tests, the device simulator and the benchmarks).
//
// It keeps the contract of the Win32 backend: an exclusive open (flock), the
// named line settings mapped onto termios (raw mode, IXON, IXOFF, CRTSCTS,
// CLOCAL and the rest; see PortSetState), both queues flushed by PortPurge,
// writes that block until every byte is out, and reads that end when n bytes
// have arrived or when multiplier * n + constant ms have passed since the
// read began (no interval time-out). A hang-up or I/O error of the line ends
// a read with the bytes that had arrived (a short count), or -1 when none had.
//
// COM numbers reach device paths through one process-wide binding table:
//   - BindComPort(com, path) binds COM<com> (1..255) to path, replacing any
//     earlier binding; tests bind a COM number to a pseudo-terminal slave.
//   - ClearComPortBindings() forgets every binding.
//   - ComPortPath(com, buf, n) writes the path of COM<com> into buf and
//     returns buf: the bound path, or "/dev/ttyS<com-1>" when unbound.
//   - HoldComPortOpens(com, 1) makes every open of COM<com> wait until
//     HoldComPortOpens(com, 0): a port slow to open, as a Bluetooth link
//     is while Windows calls the paired phone; ComPortOpensHeld(com) says
//     how many opens of it wait now.
// The table is guarded by a mutex; any thread may bind or look up.
//
// The system keeps no device records here: PortListDevices names nothing.
//
// A PortHandle points to a heap record holding the descriptor and the
// time-outs last set; PortRelease frees it.
#pragma once

#include <stddef.h>

enum {
    COM_PORT_BINDINGS = 256,    // COM numbers 1..255 can be bound
};

void BindComPort(int com, const char* path);
void ClearComPortBindings();
const char* ComPortPath(int com, char* buf, size_t n);
void HoldComPortOpens(int com, int hold);
int  ComPortOpensHeld(int com);
