// scripted_port: a serial backend for testing the port core without a
// device. Every Port* call but the listing is recorded in order with its
// arguments; any one set-up step can be made to fail; the names the system
// gives its ports, and its device records, are set as raw strings.
// Single-threaded use only.
#pragma once

#include <string>
#include <utility>
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
void ScriptSetPresent(int com);         // the system names the port "COM<com>"
// Names as the system hands them over, each exactly as given (zeros and
// blanks included), after those of ScriptSetPresent.
void ScriptSetNames(const std::vector<std::string>& names);
// Device records as the system keeps them: each a port name and the
// device's name (UTF-8), handed over in this order.
void ScriptSetDevices(const std::vector<std::pair<std::string, std::string>>& records);
int ScriptListings();                   // PortListNames calls since the reset
std::string ScriptCalls();              // e.g. "create:3 queues:2048/2048 get set:115200 ..."
void ScriptNote(const std::string& what);  // something else done in between, into the same record
void ScriptClearCalls();
int ScriptOpenHandles();                // handles created and not yet released
// The line PortGetState reports (as a driver hands over what the last
// program left; ScriptCleanLine, 9600 8N1 with nothing on, until set), and
// the line PortSetState was last given.
PortLineSettings ScriptCleanLine();
void ScriptReportLine(const PortLineSettings& line);
PortLineSettings ScriptAppliedLine();
