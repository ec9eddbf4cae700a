// devsim_process: devsim as a child process, for tests and benchmarks.
//
// StartDevsim runs the devsim built alongside (DEVSIM_PATH) with the given
// arguments, waits for the device path on its first line of standard output
// and leaves it running; StopDevsim sends SIGTERM and collects the exit code
// and everything devsim wrote on standard error; WaitDevsim waits for a
// devsim started with --once to end by itself. Standard error goes to a
// temporary file, so devsim never blocks on a full pipe. The child gets
// SIGTERM if the test process dies first. Call from one thread.
#pragma once

#include <string>
#include <vector>

struct DevsimProcess {
    int pid = 0;                // running child, 0 when none
    std::string pty_path;       // device path printed by devsim
    int exit_code = -1;         // after Stop/Wait: exit status, or 128 + signal
    std::string stderr_text;    // after Stop/Wait: all of devsim's standard error
    std::string stderr_file;    // internal
};

// Starts devsim with args (e.g. {"boot-monitor", "--once"}). Returns 1 with
// pty_path set; 0 when devsim did not print a path within 5 s (it is then
// reaped: exit_code and stderr_text tell why, e.g. 2 for a usage error).
int StartDevsim(DevsimProcess* p, const std::vector<std::string>& args);

// SIGTERM, then waits up to 5 s (then SIGKILL). Returns the exit code.
int StopDevsim(DevsimProcess* p);

// Waits up to timeout_ms for devsim to exit by itself. Returns 1 when it did
// (exit_code and stderr_text are then set), 0 when it still runs.
int WaitDevsim(DevsimProcess* p, int timeout_ms);
