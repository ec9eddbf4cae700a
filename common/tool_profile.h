// tool_profile: the constants in which brannik and vessamo differ inside the
// shared framework (port list range, line rate, read time-outs, the
// texts of port and error messages, the log view's style, the line's pauses
// after a close and an open).
//
// Each tool defines its record in its own folder (BRANNIK_PROFILE,
// VESSAMO_PROFILE). The tool selects it with SetToolProfile once at start-up,
// before the port worker thread exists; afterwards it is only read, from both
// threads. Tests switch between the two records to exercise both tools.
#pragma once

struct ToolProfile {
    const char* title;              // main window and front panel title
    const char* error_title;        // caption of ErrorBox
    int last_listed_port;           // the picker offers COM1 .. this
    unsigned baud;                  // line rate, bit/s (8N1)
    unsigned read_multiplier_ms;    // ReadTotalTimeoutMultiplier, ms per byte asked
    unsigned read_constant_ms;      // ReadTotalTimeoutConstant, ms
    const char* msg_open_failed;        // CreateFileA failed; %i = COM number
    const char* msg_get_state_failed;   // GetCommState failed; may use %i
    const char* msg_set_state_failed;   // SetCommState failed; may use %i
    const char* msg_timeouts_failed;    // SetCommTimeouts failed
    const char* msg_port_closed;        // logged after a close, or nullptr
    unsigned long log_view_style;       // RICHEDIT window style
    unsigned close_pause_ms;        // the line left closed this long after a close of an open port
    unsigned open_pause_ms;         // the line left alone this long after an open, failed or not
    const char* log_name;           // the saved log's name and header: "brannik-....log"
};

extern const ToolProfile BRANNIK_PROFILE;
extern const ToolProfile VESSAMO_PROFILE;

void SetToolProfile(const ToolProfile* profile);
const ToolProfile& Tool();
