// The download worker thread and the messages it ends with.
#pragma once

#include <windows.h>

// Sent by the worker to hMainWnd once the transfer has ended, wParam and lParam 0:
// the package file is complete ...
#define WM_DOWNLOAD_DONE (WM_APP + 30)
// ... or the transfer failed, for any reason (the code is not passed on).
#define WM_DOWNLOAD_FAILED (WM_APP + 31)

// Thread entry for _beginthreadex; the argument is ignored. Runs DownloadInstaller once,
// sends one of the two messages synchronously and ends with exit code 0.
unsigned __stdcall DownloadThreadProc(void *argument);
