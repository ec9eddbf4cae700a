// vessamo's constants inside the shared framework.
#include "tool_profile.h"

const ToolProfile VESSAMO_PROFILE = {
    "Vessamo",                              // title
    "Vessamo Error",                        // error box caption
    255,                                    // COM1..COM255 listed
    921600,                                 // bit/s
    100,                                    // read multiplier, ms per byte
    1000,                                   // read constant, ms
    "Ошибка открытия порта COM%i\n",
    "Failed GetCommState()\n",
    "Failed SetCommState()\n",
    "Failed SetCommTimeout()\n",
    nullptr,                                // nothing logged on close
    0x50208844,  // as brannik's, but enabled: the user may scroll and copy
    0,                                      // no pause after a close: the open follows at once
    50,                                     // pause after an open, ms
    "vessamo",                              // the saved log's name
};
