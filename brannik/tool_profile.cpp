// brannik's constants inside the shared framework.
#include "tool_profile.h"

const ToolProfile BRANNIK_PROFILE = {
    "Tarvel Brannik",                       // title
    "Brannik Error",                        // error box caption
    127,                                    // COM1..COM127 listed
    115200,                                 // bit/s
    0,                                      // read multiplier, ms per byte
    50,                                     // read constant, ms
    "Ошибка открытия порта COM%i\r\n",
    "Failed GetCommState() - COM%i\r\n",
    "Failed SetCommState() - COM%i\r\n",
    "Failed SetCommTimeouts()\r\n",
    "COM порт закрыт.\r\n",
    0x58208844,  // WS_CHILD|WS_VISIBLE|WS_DISABLED|WS_VSCROLL|ES_SAVESEL|ES_READONLY|ES_AUTOVSCROLL|ES_MULTILINE
    50,                                     // pause after a close, ms
    50,                                     // pause after an open, ms
    "brannik",                              // the saved log's name
};
