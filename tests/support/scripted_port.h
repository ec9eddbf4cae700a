// scripted_port: a serial backend for testing the port core without a
// device. Every Port* call is recorded in order with its arguments; any one
// set-up step can be made to fail; the ports that enumeration finds are set
// per COM number. Single-threaded use only.
#pragma once

#include <string>
#include <vector>

enum ScriptStep {
    SCRIPT_FAIL_NONE,
    SCRIPT_FAIL_CREATE,      // PortCreate gives no handle
    SCRIPT_FAIL_GET_STATE,   // PortGetState fails
    SCRIPT_FAIL_SET_STATE,   // PortSetState fails
    SCRIPT_FAIL_TIMEOUTS,    // PortSetTimeouts fails
};

struct PortLineSettings;

void ScriptReset();                     // no failure, no ports, empty record, a clean line
void ScriptFailAt(ScriptStep step);
void ScriptSetPresent(int com);         // PortProbe(com) answers 1
std::string ScriptCalls();              // e.g. "create:3 queues:2048/2048 get set:115200 ..."
void ScriptClearCalls();
const std::vector<int>& ScriptProbed(); // COM numbers probed, in call order
int ScriptOpenHandles();                // handles created and not yet released
// The line PortGetState reports (as a driver hands over what the last
// program left; ScriptCleanLine, 9600 8N1 with nothing on, until set), and
// the line PortSetState was last given.
PortLineSettings ScriptCleanLine();
void ScriptReportLine(const PortLineSettings& line);
PortLineSettings ScriptAppliedLine();
