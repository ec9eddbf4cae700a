/* shell_ids: the identifiers that the framework and both tools share: the
   front panel controls the shell itself works on, and the two port worker
   commands. Plain #defines only, so that each tool's resource script can
   read them through its resource.h as well as the C++ code. */
#ifndef SHELL_IDS_H
#define SHELL_IDS_H

#define IDC_COMPORT 1000    /* port picker, "----" then "COM %i" per port */
#define LOG_VIEW 1006       /* placeholder the log view is laid over */
#define IDC_EXIT 1007       /* "Exit" */
#define IDC_PROGRESS 1008   /* progress bar, msctls_progress32 */

#define IDI_TOOL 1           /* the tool's icon: the first icon resource, the one Explorer shows */
#define IDR_MANIFEST 1       /* the manifest (resource type 24): Common Controls 6, DPI aware, asInvoker */

#define ID_COM_OPEN 40007   /* main window to port worker, posted: open the port picked */
#define ID_COM_CLOSE 40008  /* main window to port worker, posted: close the port */

#endif
