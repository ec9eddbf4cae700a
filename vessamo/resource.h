/* vessamo's resource identifiers: the controls of dialog 103 and the command
   table (menu 101). Plain #defines, read by the resource script and the C++
   code alike. The ids both tools share come from shell_ids.h. */
#ifndef VESSAMO_RESOURCE_H
#define VESSAMO_RESOURCE_H

#include "shell_ids.h"  /* IDC_COMPORT, LOG_VIEW, IDC_EXIT, IDC_PROGRESS, ID_COM_OPEN, ID_COM_CLOSE */

#define IDD_MAINDIALOG 103       /* front panel template, "MainDialog" */
#define IDR_COMMANDS 101         /* command table, never loaded */
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDC_FLASHEEPROM 1005     /* "Flash EEPROM" */

#define ID_PPP_FLASHEEPROM 40003 /* front panel to main window: write the EEPROM data */
#define ID_PPP_SELECTPORT 40004  /* front panel to main window: a port was picked */
#define ID_COM_CONNECTED 40009   /* declared in the command table only */
#define ID_COM_FLASHEEPROM 40012 /* main window to port worker, posted: run the write */

#endif
