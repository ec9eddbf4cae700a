/* brannik's resource identifiers: the controls of dialog 103 and the command
   table (menu 101). Plain #defines, read by the resource script and the C++
   code alike. The ids both tools share come from shell_ids.h. */
#ifndef BRANNIK_RESOURCE_H
#define BRANNIK_RESOURCE_H

#include "shell_ids.h"  /* IDC_COMPORT, LOG_VIEW, IDC_EXIT, IDC_PROGRESS, ID_COM_OPEN, ID_COM_CLOSE */

#define IDD_MAINDIALOG 103      /* front panel template, "MainDialog" */
#define IDR_COMMANDS 101        /* command table, never loaded */
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDC_STARTFLASH 1002     /* "Start Flash" / "Stop Flash" */
#define IDC_OPENFILE 1009       /* "Open File" */

#define ID_PPP_STARTFLASH 40002 /* front panel to main window: Start/Stop toggle */
#define ID_PPP_SELECTPORT 40012 /* front panel to main window: a port was picked */
#define ID_PPP_OPENFILE 40014   /* front panel to main window: choose and load an image */
#define ID_COM_STARTFLASH 40013 /* main window to port worker, posted: run the flash */

#endif
